# brivane_folder_library(NAME LINKS...)
# Builds the folder's sources (every *.cpp that is not a *_test.cpp) into the
# static library brivane_NAME, and every *_test.cpp into one test executable
# (QT_TEST_MAIN: with the shared main that creates a QApplication,
# tests/support/qt_test_main.cpp)
# brivane_NAME_tests registered with CTest. Sources are globbed so that adding
# a file needs no edit here.
# brivane_discover_tests(TARGET [LABELS l...] [ENVIRONMENT VAR=value...]
#                        [FIXTURES_REQUIRED f...])
# gtest_discover_tests for TARGET with list-valued test properties.
# gtest_discover_tests itself splits a list passed in PROPERTIES into
# separate words (LABELS "a;b" would set the label "a" and a property "b"),
# so the properties are set by a script that CTest runs after the
# discovered tests have been added.
function(brivane_discover_tests target)
  cmake_parse_arguments(ARG "" "" "LABELS;ENVIRONMENT;FIXTURES_REQUIRED" ${ARGN})
  gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST TEST_LIST ${target}_TESTS)
  set(props "")
  foreach(prop LABELS ENVIRONMENT FIXTURES_REQUIRED)
    if(ARG_${prop})
      string(APPEND props " ${prop} [==[${ARG_${prop}}]==]")
    endif()
  endforeach()
  set(script ${CMAKE_CURRENT_BINARY_DIR}/${target}_properties.cmake)
  file(WRITE ${script}
    "foreach(t IN LISTS ${target}_TESTS)\n  set_tests_properties(\"\${t}\" PROPERTIES${props})\nendforeach()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${script})
endfunction()

function(brivane_folder_library name)
  cmake_parse_arguments(ARG "QT_TEST_MAIN" "" "LINKS;TEST_LINKS;TEST_LABELS" ${ARGN})
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
    if(ARG_QT_TEST_MAIN)
      # Widget tests: the shared main creates the application object.
      target_link_libraries(brivane_${name}_tests PRIVATE brivane_${name} ${ARG_TEST_LINKS} brivane_qt_test_main
        GTest::gmock GTest::gtest)
    else()
      target_link_libraries(brivane_${name}_tests PRIVATE brivane_${name} ${ARG_TEST_LINKS} GTest::gmock GTest::gtest_main)
    endif()
    brivane_discover_tests(brivane_${name}_tests
      LABELS ${name} ${ARG_TEST_LABELS}
      ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
  endif()
endfunction()
