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
function(tl_add_tests name)
  file(GLOB tsrcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/*.cpp)
  if(NOT tsrcs)
    return()
  endif()
  add_executable(tl_${name}_tests ${tsrcs})
  target_link_libraries(tl_${name}_tests PRIVATE ${ARGN} GTest::gmock GTest::gtest GTest::gtest_main)
  gtest_discover_tests(tl_${name}_tests
    PROPERTIES LABELS ${name} TIMEOUT 120
    DISCOVERY_TIMEOUT 60)
endfunction()
