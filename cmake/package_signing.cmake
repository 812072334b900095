# Authenticode signing for the CPack scripts: one osslsigncode call per file, the password read from its file.

# The password is handed over only as its file's path (-readpass), never as an argument or a variable:
# a command line is visible to every local user in the process list and ends up in build logs.
# SHA-256 because SHA-1 Authenticode signatures have been deprecated since 2016; the description is the
# product name, which Windows shows in the UAC prompt as the program's name.
function(orvane_sign_file file)
  if(NOT EXISTS "${CPACK_ORVANE_SIGN_PKCS12}")
    message(FATAL_ERROR "signing: ORVANE_SIGN_PKCS12 names no file: ${CPACK_ORVANE_SIGN_PKCS12}")
  endif()
  if(CPACK_ORVANE_SIGN_PASSWORD_FILE AND NOT EXISTS "${CPACK_ORVANE_SIGN_PASSWORD_FILE}")
    message(FATAL_ERROR "signing: ORVANE_SIGN_PASSWORD_FILE names no file: ${CPACK_ORVANE_SIGN_PASSWORD_FILE}")
  endif()
  if(NOT CPACK_ORVANE_OSSLSIGNCODE)
    message(FATAL_ERROR "signing: osslsigncode was not found (Debian package osslsigncode)")
  endif()
  set(arguments sign -pkcs12 ${CPACK_ORVANE_SIGN_PKCS12} -h sha256 -n ${CPACK_ORVANE_PRODUCT_NAME})
  if(CPACK_ORVANE_SIGN_PASSWORD_FILE)
    list(APPEND arguments -readpass ${CPACK_ORVANE_SIGN_PASSWORD_FILE})
  endif()
  if(CPACK_ORVANE_SIGN_TIMESTAMP_URL)
    list(APPEND arguments -ts ${CPACK_ORVANE_SIGN_TIMESTAMP_URL})
  endif()
  # osslsigncode refuses to write over its input, so it signs into a neighbour that then replaces it.
  set(signed "${file}.signed")
  file(REMOVE "${signed}")
  execute_process(COMMAND ${CPACK_ORVANE_OSSLSIGNCODE} ${arguments} -in ${file} -out ${signed}
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT result EQUAL 0 OR NOT EXISTS "${signed}")
    file(REMOVE "${signed}")
    message(FATAL_ERROR "signing ${file} failed (osslsigncode exit ${result}); check the certificate "
                        "ORVANE_SIGN_PKCS12 (${CPACK_ORVANE_SIGN_PKCS12}) and the password in "
                        "ORVANE_SIGN_PASSWORD_FILE:\n${output}")
  endif()
  file(RENAME "${signed}" "${file}")
  message(STATUS "signed ${file}")
endfunction()
