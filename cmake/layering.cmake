# Dependencies run one way: filters -> framework -> contract and platform;
# host -> contract and platform; filterhost and the Python module -> host.
# Configuring fails when a target links across that line. Header folders
# enforce the same at compile time (each library exports only its own).
function(filterkit_forbid_link target)
  if(NOT TARGET ${target})
    return()
  endif()
  get_target_property(links ${target} LINK_LIBRARIES)
  get_target_property(interface ${target} INTERFACE_LINK_LIBRARIES)
  foreach(forbidden IN LISTS ARGN)
    foreach(link IN LISTS links interface)
      if(link MATCHES "(^|[:,])${forbidden}(>|$)")
        message(FATAL_ERROR "${target} must not link ${forbidden}: it would cross the layering")
      endif()
    endforeach()
  endforeach()
endfunction()

filterkit_forbid_link(platform filter_framework host)
filterkit_forbid_link(filter_framework host)
filterkit_forbid_link(host filter_framework)
filterkit_forbid_link(filterhost filter_framework)
