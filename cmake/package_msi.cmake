# CPack post-build script: builds OrvaneService-<version>-x64.msi with wixl into CPACK_PACKAGE_DIRECTORY (the
# ZIP's final folder), from the programs CPack staged for the ZIP, so the MSI carries exactly the copies the ZIP
# holds (signed ones included). Only CPACK_* variables reach a CPack script; CMakeLists.txt passes ours as
# CPACK_ORVANE_*. Scripts listed after this one find the MSI at ${CPACK_PACKAGE_DIRECTORY}/${CPACK_ORVANE_MSI_NAME}.
# The package's tables are read back and the build fails where they break a rule below: what Windows would do
# with them, Wine cannot show.
include(${CMAKE_CURRENT_LIST_DIR}/package_signing.cmake)

foreach(tool WIXL MSIBUILD MSIINFO)
  if(NOT CPACK_ORVANE_${tool})
    message(FATAL_ERROR "package_msi: ${tool} not found (Debian packages wixl and msitools; scripts/install-deps.sh installs them)")
  endif()
endforeach()

# CPACK_TEMPORARY_DIRECTORY is the ZIP's staging folder, the package's top-level folder with its files.
set(staged ${CPACK_TEMPORARY_DIRECTORY})
if(NOT EXISTS ${staged}/OrvaneService.exe OR NOT EXISTS ${staged}/OrvaneSetup.exe)
  message(FATAL_ERROR "package_msi: no staged OrvaneService.exe and OrvaneSetup.exe in ${staged}")
endif()
if(NOT EXISTS "${CPACK_ORVANE_ACTIONS_DLL}")
  message(FATAL_ERROR "package_msi: the custom actions' DLL is missing: ${CPACK_ORVANE_ACTIONS_DLL}")
endif()

# The custom actions' DLL goes only into the package's Binary table, not into the ZIP: a copy beside the staging
# folder, signed like the programs when a certificate is given, named relative to it for wixl.
set(actions_dir ${CPACK_TOPLEVEL_DIRECTORY}/msi-binary)
file(REMOVE_RECURSE ${actions_dir})
file(COPY ${CPACK_ORVANE_ACTIONS_DLL} DESTINATION ${actions_dir})
get_filename_component(actions_name ${CPACK_ORVANE_ACTIONS_DLL} NAME)
if(CPACK_ORVANE_SIGN_PKCS12)
  orvane_sign_file(${actions_dir}/${actions_name})
endif()
file(RELATIVE_PATH actions_relative ${staged} ${actions_dir}/${actions_name})

# A ProductCode of its own per version, drawn from the version rather than at random: a rebuild of one version
# is the same product (Windows Installer then refuses it over the installed one with 1638 instead of installing
# a second copy beside it), and the package builds the same way twice.
string(UUID product_code NAMESPACE ${CPACK_ORVANE_UPGRADE_CODE} NAME "OrvaneService ${CPACK_ORVANE_VERSION}" TYPE SHA1
       UPPER)
set(msi ${CPACK_PACKAGE_DIRECTORY}/${CPACK_ORVANE_MSI_NAME})
file(REMOVE ${msi})
# wixl reads File/@Source and Binary/@SourceFile relative to its working directory and takes no absolute path there.
execute_process(
  COMMAND ${CPACK_ORVANE_WIXL} -a x64 -D Version=${CPACK_ORVANE_VERSION} -D ProductCode=${product_code}
          -D UpgradeCode=${CPACK_ORVANE_UPGRADE_CODE} -D ActionsDll=${actions_relative}
          -o ${msi} ${CPACK_ORVANE_SOURCE_DIR}/installer/OrvaneService.wxs
  WORKING_DIRECTORY ${staged}
  RESULT_VARIABLE result
  OUTPUT_VARIABLE output
  ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "package_msi: wixl failed (${result}):\n${output}")
endif()

# The custom action types as Windows Installer defines them, which wixl 0.101 does not all write: it ignores
# Execute="rollback" and writes those actions as immediate ones, and it adds 2048 to the type-51 actions, which
# Windows documents as 51 alone. 1: a DLL from the Binary table; +1024 in the script (deferred); +2048 as SYSTEM,
# not impersonated; +256 only on rollback; +64 its result ignored. 51: sets a property (CustomActionData).
set(deferred_type 3073)
set(rollback_type 3393)
# 19: ends the install with an error message (its Target), wixl writes no such action.
set(action_types RefuseWithoutRollback=19 InspectRegistration=1 InspectRemoval=1 StopService=${deferred_type}
                 RegisterService=${deferred_type}
                 UnregisterService=${deferred_type} StopServiceRollback=${rollback_type}
                 RegisterServiceRollback=${rollback_type} UnregisterServiceRollback=${rollback_type})
foreach(action StopServiceRollback StopService RegisterServiceRollback RegisterService UnregisterServiceRollback
               UnregisterService)
  list(APPEND action_types Set${action}Data=51)
endforeach()

# Both programs carry a version resource of four parts, the project's version and 0, in US English. wixl leaves
# File.Version empty, which would make them unversioned files, replaced or kept by hashes and dates rather than
# by "versioned files win"; a versioned file has no MsiFileHash row.
set(file_version ${CPACK_ORVANE_VERSION}.0)
set(file_language 1033)
set(programs OrvaneService.exe OrvaneSetup.exe)

set(queries)
foreach(pair IN LISTS action_types)
  string(REPLACE "=" ";" pair ${pair})
  list(GET pair 0 action)
  list(GET pair 1 type)
  list(APPEND queries -q "UPDATE `CustomAction` SET `Type` = ${type} WHERE `Action` = '${action}'")
endforeach()
foreach(program IN LISTS programs)
  list(APPEND queries
       -q "UPDATE `File` SET `Version` = '${file_version}', `Language` = '${file_language}' WHERE `File` = '${program}'"
       -q "DELETE FROM `MsiFileHash` WHERE `File_` = '${program}'")
endforeach()
# ORVANEDIR decides where a per-machine package installs, so it joins the secure properties, the only public ones
# Windows Installer hands from the command line to its installing service when a managed install was not started
# by an administrator. wixl has no Property/@Secure.
set(secure_properties "ORVANEDIR;WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED")
# An error action has no source; wixl wrote the property that action would have set.
list(APPEND queries -q "UPDATE `CustomAction` SET `Source` = '' WHERE `Action` = 'RefuseWithoutRollback'")
# (A quoted argument, as a list element would be cut at its semicolons.)
execute_process(
  COMMAND ${CPACK_ORVANE_MSIBUILD} ${msi} ${queries} -q
          "UPDATE `Property` SET `Value` = '${secure_properties}' WHERE `Property` = 'SecureCustomProperties'"
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "package_msi: msibuild failed (${result}):\n${output}")
endif()

# The rows of one table, a list of rows whose fields are separated by "|" (no field of ours holds one).
function(orvane_msi_rows table out)
  execute_process(COMMAND ${CPACK_ORVANE_MSIINFO} export ${msi} ${table} RESULT_VARIABLE result OUTPUT_VARIABLE text)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "package_msi: msiinfo cannot export ${table} from ${msi}")
  endif()
  string(REPLACE "\r" "" text "${text}")
  string(REPLACE ";" "\\;" text "${text}")
  string(REPLACE "\t" "|" text "${text}")
  string(REPLACE "\n" ";" rows "${text}")
  # Column names, column types, and the table's name with its keys.
  list(REMOVE_AT rows 0 1 2)
  list(FILTER rows EXCLUDE REGEX "^$")
  set(${out} "${rows}" PARENT_SCOPE)
endfunction()

# The package for the tests only (CMake option ORVANE_TEST_FAILS_AFTER_REGISTRATION): one more deferred action as
# SYSTEM from a test DLL in the Binary table, right after RegisterService and under its condition, that fails on
# purpose. The release package never has it.
if(CPACK_ORVANE_FAILURE_DLL)
  orvane_msi_rows(InstallExecuteSequence sequence)
  set(register_condition)
  foreach(row IN LISTS sequence)
    if(row MATCHES "^RegisterService\\|([^|]*)\\|")
      set(register_condition "${CMAKE_MATCH_1}")
    endif()
  endforeach()
  # Importing a table replaces it whole: both DLLs, each from a folder named after the table.
  set(import_dir ${CPACK_TOPLEVEL_DIRECTORY}/msi-import)
  file(REMOVE_RECURSE ${import_dir})
  file(MAKE_DIRECTORY ${import_dir}/Binary)
  file(COPY ${actions_dir}/${actions_name} ${CPACK_ORVANE_FAILURE_DLL} DESTINATION ${import_dir}/Binary)
  get_filename_component(failure_name ${CPACK_ORVANE_FAILURE_DLL} NAME)
  file(WRITE ${import_dir}/Binary.idt
       "Name\tData\ns72\tv0\nBinary\tName\nOrvaneSetupActions\t${actions_name}\nOrvaneTestFailure\t${failure_name}\n")
  execute_process(
    COMMAND ${CPACK_ORVANE_MSIBUILD} ${msi} -i ${import_dir}/Binary.idt -q
            "INSERT INTO `CustomAction` (`Action`, `Type`, `Source`, `Target`) VALUES ('FailAfterRegistration', ${deferred_type}, 'OrvaneTestFailure', 'FailAfterRegistration')"
            -q
            "INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) VALUES ('FailAfterRegistration', '${register_condition}', 4030)"
    WORKING_DIRECTORY ${import_dir} RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT result EQUAL 0 OR NOT register_condition)
    message(FATAL_ERROR "package_msi: adding the failing action failed (${result}, condition '${register_condition}'):\n${output}")
  endif()
  list(APPEND action_types FailAfterRegistration=${deferred_type})
endif()

set(broken)
orvane_msi_rows(CustomAction actions)
orvane_msi_rows(InstallExecuteSequence sequence)
orvane_msi_rows(Binary binaries)
foreach(row IN LISTS sequence)
  string(REPLACE "|" ";" fields "${row}")
  list(GET fields 0 action)
  list(GET fields -1 number)
  set(sequence_of_${action} ${number})
endforeach()

# Rule 1: nothing the package runs is a file someone else could replace, and nothing shows a window. A DLL from the
# Binary table (1) runs from Windows Installer's own copy; an action that runs an installed file (16), a program in
# a directory (32) or a path or script in a property (48), and every program (2), script (5, 6) or nested package
# (7), is refused. Setting a property, a directory or an error message (19, 35, 51) runs nothing.
foreach(row IN LISTS actions)
  string(REPLACE "|" ";" fields "${row}")
  list(GET fields 0 action)
  list(GET fields 1 type)
  list(GET fields 2 source)
  math(EXPR kind "${type} & 7")
  math(EXPR origin "${type} & 48")
  set(type_of_${action} ${type})
  if(NOT kind EQUAL 1 AND NOT kind EQUAL 3)
    list(APPEND broken "${action} (type ${type}) runs a program, a script or a package")
  elseif(kind EQUAL 1 AND (NOT origin EQUAL 0 OR NOT binaries MATCHES "(^|;)${source}\\|"))
    list(APPEND broken "${action} (type ${type}) runs a DLL that is not in the Binary table")
  endif()
endforeach()
foreach(pair IN LISTS action_types)
  string(REPLACE "=" ";" pair ${pair})
  list(GET pair 0 action)
  list(GET pair 1 type)
  if(NOT "${type_of_${action}}" STREQUAL "${type}")
    list(APPEND broken "${action} has type '${type_of_${action}}', not ${type}")
  endif()
endforeach()

# Rule 2: Windows Installer runs a rollback action only for a failure after it, so each one (XRollback, undoing X)
# is sequenced before the action it undoes, and every action that changes the system in the script has one. An
# An exception must be named here with its reason. FailAfterRegistration, only in the package for the tests, changes
# nothing: it fails on purpose so that a test sees the rollback of what came before it.
set(rollback_exceptions FailAfterRegistration)
foreach(row IN LISTS actions)
  string(REPLACE "|" ";" fields "${row}")
  list(GET fields 0 action)
  list(GET fields 1 type)
  math(EXPR in_script "${type} & 1024")
  math(EXPR on_rollback "${type} & 256")
  if(NOT in_script OR action IN_LIST rollback_exceptions)
    continue()
  endif()
  if(on_rollback)
    string(REGEX REPLACE "Rollback$" "" undone ${action})
  else()
    set(undone ${action})
    set(action ${action}Rollback)
  endif()
  if(NOT DEFINED sequence_of_${action} OR NOT DEFINED sequence_of_${undone})
    list(APPEND broken "${undone} and ${action} are not both in InstallExecuteSequence")
  elseif(NOT sequence_of_${action} LESS sequence_of_${undone})
    list(APPEND broken "${action} (${sequence_of_${action}}) is not sequenced before ${undone} (${sequence_of_${undone}})")
  endif()
endforeach()

# Rule 3: the programs are versioned files.
orvane_msi_rows(File files)
orvane_msi_rows(MsiFileHash hashes)
foreach(program IN LISTS programs)
  if(NOT files MATCHES "(^|;)${program}\\|[^;]*\\|${file_version}\\|${file_language}\\|")
    list(APPEND broken "${program} has no File.Version ${file_version} and Language ${file_language}")
  endif()
  if(hashes MATCHES "(^|;)${program}\\|")
    list(APPEND broken "${program} is versioned and has an MsiFileHash row")
  endif()
endforeach()

# Rule 4: the package stops the service itself, so Restart Manager never does: the graceful StopService before
# StopServices and before any file changes, on install and on removal of the service program, and Restart Manager
# turned off for the package. No ServiceControl row stops OrvaneService by its name.
orvane_msi_rows(ServiceControl controls)
orvane_msi_rows(Property properties)
foreach(row IN LISTS controls)
  string(REPLACE "|" ";" fields "${row}")
  list(GET fields 1 name)
  list(GET fields 2 event)
  math(EXPR stops "${event} & 34")
  if(name STREQUAL "OrvaneService" AND NOT stops EQUAL 0)
    list(APPEND broken "a ServiceControl row stops OrvaneService by its name (event ${event})")
  endif()
endforeach()
foreach(standard StopServices RemoveFiles InstallFiles)
  if(NOT DEFINED sequence_of_StopService OR NOT sequence_of_StopService LESS "${sequence_of_${standard}}")
    list(APPEND broken "StopService is not sequenced before ${standard}")
  endif()
endforeach()
if(NOT sequence MATCHES "(^|;)StopService\\|[^|;]*[$]ServiceProgram=2 OR [(][$]ServiceProgram=3")
  list(APPEND broken "StopService does not run on both install and removal of the service program")
endif()
if(NOT properties MATCHES "(^|;)MSIRESTARTMANAGERCONTROL\\|Disable(;|$)")
  list(APPEND broken "MSIRESTARTMANAGERCONTROL is not Disable")
endif()
if(NOT properties MATCHES "(^|;)SecureCustomProperties\\|${secure_properties}(;|$)")
  list(APPEND broken "SecureCustomProperties is not ${secure_properties}")
endif()

# Rule 5: the package refuses to run without rollback, on which every rule above rests: an error action (19) the
# very next action after InstallValidate, before InstallInitialize, on the condition RollbackDisabled alone.
set(after_validate)
foreach(row IN LISTS sequence)
  string(REPLACE "|" ";" fields "${row}")
  list(GET fields -1 number)
  if(number GREATER "${sequence_of_InstallValidate}" AND number LESS_EQUAL "${sequence_of_RefuseWithoutRollback}")
    list(GET fields 0 action)
    list(APPEND after_validate ${action})
  endif()
endforeach()
if(NOT after_validate STREQUAL "RefuseWithoutRollback" OR NOT sequence_of_RefuseWithoutRollback LESS "${sequence_of_InstallInitialize}")
  list(APPEND broken "RefuseWithoutRollback is not the next action after InstallValidate, before InstallInitialize")
endif()
if(NOT sequence MATCHES "(^|;)RefuseWithoutRollback\\|RollbackDisabled\\|")
  list(APPEND broken "RefuseWithoutRollback is not conditioned on RollbackDisabled alone")
endif()

# Rule 6: the rollback undoes only what was done, and the removal knows its program without the file. The stop's
# undo only where the service ran; the deletion and its undo name the program as the registration spells it, which
# the look on removal reads before RemoveFiles.
if(NOT sequence MATCHES "(^|;)StopServiceRollback\\|[^|;]* AND OrvaneServiceRunning\\|")
  list(APPEND broken "StopServiceRollback is not conditioned on OrvaneServiceRunning")
endif()
foreach(action UnregisterService UnregisterServiceRollback)
  if(NOT actions MATCHES "(^|;)Set${action}Data\\|[0-9]+\\|${action}\\|\\[OrvaneServiceProgram\\]\\|")
    list(APPEND broken "${action} is not given [OrvaneServiceProgram]")
  endif()
endforeach()
if(NOT sequence MATCHES "(^|;)InspectRemoval\\|[$]ServiceProgram=2\\|" OR NOT sequence_of_InspectRemoval LESS "${sequence_of_SetUnregisterServiceData}")
  list(APPEND broken "InspectRemoval does not run on removal before the deletion's data is set")
endif()

# Rule 7: packaging conventions. No "Change" in Apps & features (the package has no interface), and no system
# restore point (the package's own rollback undoes a failed step).
foreach(setting ARPNOMODIFY=1 MSIFASTINSTALL=1)
  string(REPLACE "=" "\\|" pattern ${setting})
  if(NOT properties MATCHES "(^|;)${pattern}(;|$)")
    list(APPEND broken "the property ${setting} is missing")
  endif()
endforeach()

list(REMOVE_DUPLICATES broken)
if(broken)
  list(JOIN broken "\n  " broken)
  message(FATAL_ERROR "package_msi: ${msi} breaks the package's rules:\n  ${broken}")
endif()
message(STATUS "package_msi: ${msi} generated (ProductVersion ${CPACK_ORVANE_VERSION}, ProductCode {${product_code}})")
