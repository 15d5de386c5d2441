# tl_add_layer(NAME DEPS...): a static library tl_NAME from NAME/*.cpp that links
# the layers below it.
function(tl_add_layer name)
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(srcs)
    add_library(tl_${name} STATIC ${srcs})
    target_include_directories(tl_${name} PUBLIC ${PROJECT_SOURCE_DIR})
    target_link_libraries(tl_${name} PUBLIC ${ARGN} Threads::Threads)
  else()
    add_library(tl_${name} INTERFACE)
    target_include_directories(tl_${name} INTERFACE ${PROJECT_SOURCE_DIR})
    target_link_libraries(tl_${name} INTERFACE ${ARGN} Threads::Threads)
  endif()
endfunction()

# tl_add_tests(NAME LIBS...): NAME/tests/*.cpp into one GoogleTest program
# tl_NAME_tests whose cases carry the CTest label NAME.
#
# Every case gets a timeout of TL_TEST_TIMEOUT seconds (30 by default), so a hung
# test fails fast; a discovered test's own TIMEOUT property outranks
# `ctest --timeout`. A case that legitimately needs longer goes into a suite whose
# name ends in "LongRunning" and gets TL_LONG_TEST_TIMEOUT (300 by default).
set(TL_TEST_TIMEOUT 30 CACHE STRING "Timeout of each test case, in seconds")
set(TL_LONG_TEST_TIMEOUT 300 CACHE STRING "Timeout of each *LongRunning test case, in seconds")

function(tl_add_tests name)
  if(NOT TL_BUILD_TESTS)
    return()
  endif()
  file(GLOB tsrcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/*.cpp)
  if(NOT tsrcs)
    return()
  endif()
  add_executable(tl_${name}_tests ${tsrcs})
  target_link_libraries(tl_${name}_tests PRIVATE ${ARGN} GTest::gmock GTest::gtest GTest::gtest_main)
  gtest_discover_tests(tl_${name}_tests
    TEST_FILTER "-*LongRunning.*"
    PROPERTIES LABELS ${name} TIMEOUT ${TL_TEST_TIMEOUT}
    DISCOVERY_TIMEOUT 60)
  gtest_discover_tests(tl_${name}_tests
    TEST_FILTER "*LongRunning.*"
    TEST_LIST tl_${name}_long_tests
    PROPERTIES LABELS ${name} TIMEOUT ${TL_LONG_TEST_TIMEOUT}
    DISCOVERY_TIMEOUT 60)
endfunction()
