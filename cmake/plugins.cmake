include(GoogleTest)
include(${CMAKE_CURRENT_LIST_DIR}/FilterkitPlugin.cmake)

# add_filter_plugin(NAME SOURCES ... [OUTPUT_DIR dir] [LIBS ...] [DESCRIPTION file])
#
# Builds one plug-in module NAME.so with its own whole copy of the framework:
# every module exports all framework functions and globals, and its symbols
# bind inside it (-Bsymbolic), so two modules loaded into one process never
# share framework state. Modules land in build/plugins unless OUTPUT_DIR says
# otherwise; only those are installed. The plug-in's description
# (DESCRIPTION, by default NAME.json beside the plug-in's CMakeLists.txt when
# there is one) is copied beside the module as NAME.json and installed with it.
add_custom_target(plugins)


function(add_filter_plugin name)
  cmake_parse_arguments(P "" "OUTPUT_DIR;DESCRIPTION" "SOURCES;LIBS" ${ARGN})
  add_library(${name} MODULE ${P_SOURCES})
  target_link_libraries(${name} PRIVATE ${P_LIBS})
  filterkit_link_plugin_module(${name})
  if(P_OUTPUT_DIR)
    set(out ${P_OUTPUT_DIR})
  else()
    set(out ${CMAKE_BINARY_DIR}/plugins)
    install(TARGETS ${name} LIBRARY DESTINATION ${FILTERKIT_PLUGIN_INSTALL_DIR})
    add_dependencies(plugins ${name})
  endif()
  set_target_properties(${name} PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${out})
  if(NOT P_DESCRIPTION AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${name}.json)
    set(P_DESCRIPTION ${name}.json)
  endif()
  if(P_DESCRIPTION)
    get_filename_component(description ${P_DESCRIPTION} ABSOLUTE)
    configure_file(${description} ${out}/${name}.json COPYONLY)
    if(NOT P_OUTPUT_DIR)
      install(FILES ${out}/${name}.json DESTINATION ${FILTERKIT_PLUGIN_INSTALL_DIR})
    endif()
  endif()
endfunction()

# add_project_test(NAME SOURCES ... [LIBS ...] [PLUGINS ...])
#
# One GoogleTest executable; ctest lists and runs each of its tests on its
# own. PLUGIN_DIR and TEST_PLUGIN_DIR are compiled in so tests can load the
# modules they need.
function(add_project_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;PLUGINS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE test_support GTest::gtest GTest::gtest_main ${T_LIBS})
  target_compile_definitions(${name} PRIVATE
    PLUGIN_DIR="${CMAKE_BINARY_DIR}/plugins"
    TEST_PLUGIN_DIR="${CMAKE_BINARY_DIR}/test_plugins"
    SOURCE_DIR="${CMAKE_SOURCE_DIR}"
    BINARY_DIR="${CMAKE_BINARY_DIR}")
  foreach(p IN LISTS T_PLUGINS)
    add_dependencies(${name} ${p})
  endforeach()
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  gtest_discover_tests(${name}
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
    TEST_PREFIX "${name}."
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60)
endfunction()

# add_project_bench(NAME SOURCES ... [LIBS ...] [PLUGINS ...])
#
# One Google Benchmark executable in build/bench; not run by the tests.
function(add_project_bench name)
  cmake_parse_arguments(B "" "" "SOURCES;LIBS;PLUGINS" ${ARGN})
  add_executable(${name} ${B_SOURCES})
  target_link_libraries(${name} PRIVATE benchmark::benchmark benchmark::benchmark_main ${B_LIBS})
  target_compile_definitions(${name} PRIVATE
    PLUGIN_DIR="${CMAKE_BINARY_DIR}/plugins"
    SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  foreach(p IN LISTS B_PLUGINS)
    add_dependencies(${name} ${p})
  endforeach()
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
endfunction()
