# `filterhost serve`: the web server, its child jobs and the page, whose
# files are compiled into the executable as byte arrays.
find_package(PkgConfig REQUIRED)
pkg_check_modules(CPP_HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
find_package(nlohmann_json CONFIG REQUIRED)
find_package(Threads REQUIRED)

set(serve_dir ${CMAKE_CURRENT_LIST_DIR})
file(GLOB serve_web_files CONFIGURE_DEPENDS ${serve_dir}/web/*.html ${serve_dir}/web/*.js
     ${serve_dir}/web/*.css)
list(SORT serve_web_files)
string(REPLACE ";" "|" serve_web_list "${serve_web_files}")
set(serve_assets_cpp ${CMAKE_CURRENT_BINARY_DIR}/web_assets.cpp)
add_custom_command(
  OUTPUT ${serve_assets_cpp}
  COMMAND ${CMAKE_COMMAND} "-DOUTPUT=${serve_assets_cpp}" "-DFILES=${serve_web_list}"
          -P ${serve_dir}/embed_web.cmake
  DEPENDS ${serve_web_files} ${serve_dir}/embed_web.cmake
  COMMENT "Embedding the serve page"
  VERBATIM)

target_sources(filterhost PRIVATE
  ${serve_dir}/child_process.cpp ${serve_dir}/events.cpp ${serve_dir}/parameters.cpp
  ${serve_dir}/run_queue.cpp ${serve_dir}/serve_command.cpp ${serve_dir}/server.cpp
  ${serve_dir}/session.cpp ${serve_dir}/worker.cpp ${serve_assets_cpp})
target_include_directories(filterhost PRIVATE ${serve_dir} ${CMAKE_CURRENT_LIST_DIR}/..)
target_link_libraries(filterhost PRIVATE PkgConfig::CPP_HTTPLIB nlohmann_json::nlohmann_json
                      Threads::Threads)
