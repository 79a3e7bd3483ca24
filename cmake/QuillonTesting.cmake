find_package(GTest REQUIRED)
include(GoogleTest)

# quillon_add_test(<name> SOURCES <files...> [LIBS <targets...>])
# Builds one GoogleTest executable and registers its cases with CTest. Every test
# finds the built executable and the fixtures through quillon_testsupport.
function(quillon_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;PROPERTIES" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE quillon_core quillon_testsupport GTest::gtest_main
                        quillon_warnings ${ARG_LIBS})
  if(ARG_PROPERTIES)
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES ${ARG_PROPERTIES})
  else()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60)
  endif()
endfunction()
