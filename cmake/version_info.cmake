# Windows version resources: product "Orvane" and the project's version in every executable we ship,
# so that Explorer's properties and inventory tools can tell what is installed.
# An optional third argument, DLL, marks a library instead of a program.
function(orvane_add_version_info target description)
  set(ORVANE_VERSION_TARGET ${target})
  if(ARGV2 STREQUAL "DLL")
    set(ORVANE_VERSION_FILE_TYPE VFT_DLL)
    set(ORVANE_VERSION_SUFFIX .dll)
  else()
    set(ORVANE_VERSION_FILE_TYPE VFT_APP)
    set(ORVANE_VERSION_SUFFIX .exe)
  endif()
  set(ORVANE_VERSION_DESCRIPTION ${description})
  set(resource ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version_info.rc.in ${resource} @ONLY)
  target_sources(${target} PRIVATE ${resource})
endfunction()
