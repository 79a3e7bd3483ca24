# Installs the build into a scratch prefix and runs the installed quillon, which must find its
# desktop module under lib/quillon by itself.
# Expects BUILD_DIR, PREFIX and LIBDIR.
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE rc OUTPUT_QUIET ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${err}")
endif()
if(NOT EXISTS "${PREFIX}/${LIBDIR}/quillon/libquillon-desktop.so")
  message(FATAL_ERROR "the module was not installed into ${LIBDIR}/quillon")
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" -E env --unset=QUILLON_DESKTOP_MODULE
                        "${PREFIX}/bin/quillon" --push-test ftp://example.com/x
                OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
file(REMOVE_RECURSE "${PREFIX}")
if(NOT rc EQUAL 0 OR NOT out STREQUAL "That is not a web address.\n")
  message(FATAL_ERROR "installed quillon --push-test: status ${rc}, output '${out}', errors '${err}'")
endif()
