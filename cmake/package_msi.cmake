# CPack post-build script: builds OrvaneService-<version>-x64.msi with wixl into CPACK_PACKAGE_DIRECTORY (the
# ZIP's final folder), from the programs CPack staged for the ZIP, so the MSI carries exactly the copies the ZIP
# holds (signed ones included). Only CPACK_* variables reach a CPack script; CMakeLists.txt passes ours as
# CPACK_ORVANE_*. Scripts listed after this one find the MSI at ${CPACK_PACKAGE_DIRECTORY}/${CPACK_ORVANE_MSI_NAME}.

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

# A ProductCode of its own per version, drawn from the version rather than at random: a rebuild of one version
# is the same product (Windows Installer then refuses it over the installed one with 1638 instead of installing
# a second copy beside it), and the package builds the same way twice.
string(UUID product_code NAMESPACE ${CPACK_ORVANE_UPGRADE_CODE} NAME "OrvaneService ${CPACK_ORVANE_VERSION}" TYPE SHA1
       UPPER)
set(msi ${CPACK_PACKAGE_DIRECTORY}/${CPACK_ORVANE_MSI_NAME})
file(REMOVE ${msi})
# wixl reads File/@Source relative to its working directory and takes no absolute path there.
execute_process(
  COMMAND ${CPACK_ORVANE_WIXL} -a x64 -D Version=${CPACK_ORVANE_VERSION} -D ProductCode=${product_code}
          -D UpgradeCode=${CPACK_ORVANE_UPGRADE_CODE} -o ${msi} ${CPACK_ORVANE_SOURCE_DIR}/installer/OrvaneService.wxs
  WORKING_DIRECTORY ${staged}
  RESULT_VARIABLE result
  OUTPUT_VARIABLE output
  ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "package_msi: wixl failed (${result}):\n${output}")
endif()

# Two things wixl 0.101 cannot say, set in the tables directly:
# - It ignores Execute="rollback" and writes the rollback actions as immediate ones, run at once as the sequence
#   is walked. Their type as Windows Installer defines it: 18 (program from an installed file) + 64 (exit code
#   ignored) + 256 (rollback) + 1024 (in the script) + 2048 (as SYSTEM, not impersonated).
# - It has no Property/@Secure. ORVANEDIR decides where a per-machine package installs, so it joins the secure
#   properties, the only public ones Windows Installer hands from the command line to its installing service
#   when a managed install was not started by an administrator.
execute_process(
  COMMAND ${CPACK_ORVANE_MSIBUILD} ${msi} -q
          "UPDATE `CustomAction` SET `Type` = 3410 WHERE `Action` = 'RegisterServiceRollback' OR `Action` = 'UnregisterServiceRollback'"
          -q "UPDATE `Property` SET `Value` = 'ORVANEDIR;WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED' WHERE `Property` = 'SecureCustomProperties'"
  RESULT_VARIABLE result
  OUTPUT_VARIABLE output
  ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "package_msi: msibuild failed (${result}):\n${output}")
endif()

# Read the actions back: the registration must run deferred as SYSTEM with its exit code checked (3090), the
# rollbacks as above. A different wixl that writes other types fails the build here, not on an administrator's machine.
execute_process(COMMAND ${CPACK_ORVANE_MSIINFO} export ${msi} CustomAction RESULT_VARIABLE result OUTPUT_VARIABLE actions)
string(REGEX MATCHALL "(Un)?[Rr]egisterService(Rollback)?\t[0-9]+" types "${actions}")
list(SORT types)
set(wanted "RegisterService\t3090;RegisterServiceRollback\t3410;UnregisterService\t3090;UnregisterServiceRollback\t3410")
if(NOT result EQUAL 0 OR NOT types STREQUAL wanted)
  message(FATAL_ERROR "package_msi: custom action types in ${msi}: '${types}', want '${wanted}'")
endif()
execute_process(COMMAND ${CPACK_ORVANE_MSIINFO} export ${msi} Property RESULT_VARIABLE result OUTPUT_VARIABLE properties)
if(NOT result EQUAL 0 OR NOT properties MATCHES "\nSecureCustomProperties\tORVANEDIR;WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED\r?\n")
  message(FATAL_ERROR "package_msi: ORVANEDIR is not among the secure properties of ${msi}:\n${properties}")
endif()

message(STATUS "package_msi: ${msi} generated (ProductVersion ${CPACK_ORVANE_VERSION}, ProductCode {${product_code}})")
