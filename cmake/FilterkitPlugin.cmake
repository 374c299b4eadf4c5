# filterkit_link_plugin_module(TARGET)
#
# Makes a MODULE target a filter plug-in: the framework's exported `main`
# and the whole framework linked in (every module exports all framework
# functions and globals), symbols bound inside the module (-Bsymbolic) so two
# modules loaded into one process never share framework state, and no
# "lib" prefix: the file is NAME.so. Used by the project's own plug-ins and,
# through find_package(filterkit), by plug-ins built against an installed
# tree.
function(filterkit_link_plugin_module name)
  target_sources(${name} PRIVATE $<TARGET_OBJECTS:filterkit::filter_framework_main>)
  target_link_libraries(${name} PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,filterkit::filter_framework>")
  # Libraries that bring the framework in as well (binary_features) do not
  # link it a second time without --whole-archive.
  set_property(TARGET ${name} PROPERTY LINK_LIBRARY_OVERRIDE_filter_framework WHOLE_ARCHIVE)
  set_property(TARGET ${name} PROPERTY LINK_LIBRARY_OVERRIDE_filterkit::filter_framework WHOLE_ARCHIVE)
  target_link_options(${name} PRIVATE LINKER:-Bsymbolic LINKER:--no-undefined)
  set_target_properties(${name} PROPERTIES PREFIX "" SUFFIX ".so")
endfunction()
