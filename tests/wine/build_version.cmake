# Builds the windows sources at another version into a folder of its own and runs its package target, as an
# administrator's build of that version would. Run with cmake -P and SOURCE, BINARY, TOOLCHAIN, BUILD_TYPE, VERSION,
# and TEST_FAILURE=ON for the package for the tests that fails right after its registration.
if(NOT TEST_FAILURE)
  set(TEST_FAILURE OFF)
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE} -B ${BINARY} -G "Unix Makefiles" -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN}
                        -DCMAKE_BUILD_TYPE=${BUILD_TYPE} -DORVANE_VERSION=${VERSION} -DORVANE_LINT=OFF
                        -DORVANE_TEST_FAILS_AFTER_REGISTRATION=${TEST_FAILURE}
                OUTPUT_FILE ${BINARY}-configure.log ERROR_FILE ${BINARY}-configure.log RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "configuring version ${VERSION} failed (${result}); see ${BINARY}-configure.log")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BINARY} --target package -j 2 OUTPUT_FILE ${BINARY}-build.log
                ERROR_FILE ${BINARY}-build.log RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "building version ${VERSION} failed (${result}); see ${BINARY}-build.log")
endif()
message(STATUS "built version ${VERSION} in ${BINARY}")
