# brivane_folder_library(NAME LINKS...)
# Builds the folder's sources (every *.cpp that is not a *_test.cpp) into the
# static library brivane_NAME, and every *_test.cpp into one test executable
# (OWN_TEST_MAIN: the tests define main themselves)
# brivane_NAME_tests registered with CTest. Sources are globbed so that adding
# a file needs no edit here.
function(brivane_folder_library name)
  cmake_parse_arguments(ARG "OWN_TEST_MAIN" "" "LINKS;TEST_LINKS;TEST_LABELS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  if(tests)
    list(REMOVE_ITEM srcs ${tests})
  endif()
  add_library(brivane_${name} STATIC ${srcs})
  target_include_directories(brivane_${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(brivane_${name} PUBLIC ${ARG_LINKS})
  if(BRIVANE_TESTS AND tests)
    add_executable(brivane_${name}_tests ${tests})
    if(ARG_OWN_TEST_MAIN)
      # The folder's tests bring their own main (for example one that creates a QApplication).
      target_link_libraries(brivane_${name}_tests PRIVATE brivane_${name} ${ARG_TEST_LINKS} GTest::gmock GTest::gtest)
    else()
      target_link_libraries(brivane_${name}_tests PRIVATE brivane_${name} ${ARG_TEST_LINKS} GTest::gmock GTest::gtest_main)
    endif()
    gtest_discover_tests(brivane_${name}_tests DISCOVERY_MODE PRE_TEST
      PROPERTIES LABELS "${name};${ARG_TEST_LABELS}"
      ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
  endif()
endfunction()
