# CPack post-build script: rewrites the ZIP so that it is the same bytes on every build of a commit, signs
# the MSI when there is one and a certificate is given, and writes SHA256SUMS over the release files.
# It runs after CPack has made its packages in the staging folder and before CPack copies them back into
# the package folder (the build folder), and after the script that builds the MSI there.
include(${CMAKE_CURRENT_LIST_DIR}/package_signing.cmake)

# The time every ZIP entry carries: SOURCE_DATE_EPOCH when the builder sets it, else the time of the commit
# the sources are checked out at, else 1980-01-01 00:00:00 UTC, the earliest time a ZIP entry can hold.
# Only a work tree whose top is the source folder counts: sources copied without .git into some other
# repository must not take that repository's time.
function(orvane_release_time out_epoch out_origin)
  if(DEFINED ENV{SOURCE_DATE_EPOCH})
    if(NOT "$ENV{SOURCE_DATE_EPOCH}" MATCHES "^[0-9]+$")
      message(FATAL_ERROR "SOURCE_DATE_EPOCH is not a number of seconds: $ENV{SOURCE_DATE_EPOCH}")
    endif()
    set(${out_epoch} $ENV{SOURCE_DATE_EPOCH} PARENT_SCOPE)
    set(${out_origin} "SOURCE_DATE_EPOCH" PARENT_SCOPE)
    return()
  endif()
  execute_process(COMMAND git -C ${CPACK_ORVANE_SOURCE_DIR} rev-parse --show-toplevel
                  RESULT_VARIABLE result OUTPUT_VARIABLE top OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(result EQUAL 0)
    file(REAL_PATH "${top}" top)
    file(REAL_PATH "${CPACK_ORVANE_SOURCE_DIR}" source)
    if(top STREQUAL source)
      execute_process(COMMAND git -C ${source} log -1 --format=%ct
                      RESULT_VARIABLE result OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
      if(result EQUAL 0 AND epoch MATCHES "^[0-9]+$")
        set(${out_epoch} ${epoch} PARENT_SCOPE)
        set(${out_origin} "the commit's time" PARENT_SCOPE)
        return()
      endif()
    endif()
  endif()
  set(${out_epoch} 315532800 PARENT_SCOPE)
  set(${out_origin} "no commit found: the constant 1980-01-01" PARENT_SCOPE)
endfunction()

# CPack's ZIP records each staged file's access and status-change times and its owner's ids besides the
# modification time, and its entries in the order the file system lists them; the status-change time
# cannot be set at all. So the same entries are packed again with zip -X (no owner ids or extra times),
# sorted, each with the release time, in UTC since a ZIP entry's time is a local time without a zone.
function(orvane_repack_zip zip epoch)
  if(NOT CPACK_ORVANE_ZIP)
    message(FATAL_ERROR "packaging: zip was not found (Debian package zip)")
  endif()
  execute_process(COMMAND ${CMAKE_COMMAND} -E tar tf ${zip} RESULT_VARIABLE result OUTPUT_VARIABLE listing)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "packaging: cannot list ${zip}")
  endif()
  string(REPLACE "\n" ";" entries "${listing}")
  list(FILTER entries EXCLUDE REGEX "(^$|/$)")
  list(SORT entries)
  set(staged "")
  foreach(entry IN LISTS entries)
    list(APPEND staged ${CPACK_TOPLEVEL_DIRECTORY}/${entry})
  endforeach()
  execute_process(COMMAND touch -d @${epoch} ${staged} RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "packaging: cannot set the entries' times")
  endif()
  file(REMOVE ${zip})
  execute_process(COMMAND ${CMAKE_COMMAND} -E env TZ=UTC0 ${CPACK_ORVANE_ZIP} -X -D -q ${zip} ${entries}
                  WORKING_DIRECTORY ${CPACK_TOPLEVEL_DIRECTORY} RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "packaging: zip failed (${result}) for ${zip}")
  endif()
endfunction()

set(zip ${CPACK_PACKAGE_FILES})
list(FILTER zip INCLUDE REGEX "\\.zip$")
list(LENGTH zip zip_count)
if(NOT zip_count EQUAL 1)
  message(FATAL_ERROR "packaging: expected one ZIP from CPack, got: ${CPACK_PACKAGE_FILES}")
endif()
orvane_release_time(epoch origin)
orvane_repack_zip(${zip} ${epoch})
message(STATUS "ZIP entries sorted, dated ${epoch} (${origin})")

set(release ${zip})
set(msi ${CPACK_PACKAGE_DIRECTORY}/${CPACK_ORVANE_MSI_NAME})
if(EXISTS ${msi})
  if(CPACK_ORVANE_SIGN_PKCS12)
    orvane_sign_file(${msi})
  endif()
  list(APPEND release ${msi})
endif()

# The sha256sum format, named by plain file name: the ZIP still lies in the staging folder, but CPack
# copies it beside this file next.
set(sums "")
foreach(path IN LISTS release)
  file(SHA256 ${path} hash)
  get_filename_component(name ${path} NAME)
  string(APPEND sums "${hash}  ${name}\n")
endforeach()
file(WRITE ${CPACK_PACKAGE_DIRECTORY}/SHA256SUMS "${sums}")
message(STATUS "wrote ${CPACK_PACKAGE_DIRECTORY}/SHA256SUMS")
