# CPack pre-build script: signs the staged executables, when a certificate is given, before CPack packs them.
# CPack has installed the release into its staging folder by now; the ZIP and the MSI are both made from
# these files, so each carries the signed executables.
include(${CMAKE_CURRENT_LIST_DIR}/package_signing.cmake)

# A step that fails from here on must not leave the last run's archive and checksums looking finished.
file(REMOVE ${CPACK_PACKAGE_DIRECTORY}/SHA256SUMS ${CPACK_OUTPUT_FILE_PATH})

if(CPACK_ORVANE_SIGN_PKCS12)
  foreach(program OrvaneService.exe OrvaneSetup.exe)
    if(NOT EXISTS "${CPACK_TEMPORARY_DIRECTORY}/${program}")
      message(FATAL_ERROR "signing: ${program} is not in the staging folder ${CPACK_TEMPORARY_DIRECTORY}")
    endif()
    orvane_sign_file(${CPACK_TEMPORARY_DIRECTORY}/${program})
  endforeach()
endif()
