# Helpers shared by every folder's CMakeLists.

# vardo_add_test(NAME test_x SOURCES a.cpp b.cpp LIBS vardo_y [GUI])
# One GoogleTest executable registered with ctest. GUI tests run on the
# offscreen platform; their main() must set QT_QPA_PLATFORM before the
# QApplication exists (use tests/support/gui_test_main.cpp).
function(vardo_add_test)
  cmake_parse_arguments(T "GUI" "NAME" "SOURCES;LIBS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock Threads::Threads)
  if(T_GUI)
    target_sources(${T_NAME} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support/gui_test_main.cpp)
    target_link_libraries(${T_NAME} PRIVATE Qt6::Widgets Qt6::Test)
    set(env "QT_QPA_PLATFORM=offscreen")
  else()
    target_link_libraries(${T_NAME} PRIVATE GTest::gtest_main)
    set(env "")
  endif()
  target_include_directories(${T_NAME} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  gtest_discover_tests(${T_NAME} PROPERTIES ENVIRONMENT "${env}" DISCOVERY_TIMEOUT 60)
endfunction()
