# filterkit_exact_fp: floating point exactly as written. Every target that
# computes pixel values links it, so no fused multiply-add contracts two
# roundings into one and no fast-math reorders or drops a NaN. Outputs are
# compared byte for byte across builds and targets.
add_library(filterkit_exact_fp INTERFACE)
add_library(filterkit::exact_fp ALIAS filterkit_exact_fp)
target_compile_options(filterkit_exact_fp INTERFACE -ffp-contract=off -fno-fast-math)
install(TARGETS filterkit_exact_fp EXPORT filterkitTargets)
set_target_properties(filterkit_exact_fp PROPERTIES EXPORT_NAME exact_fp)
