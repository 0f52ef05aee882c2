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

# vardo_public_headers(TARGET FOLDER)
# TARGET's headers are the ones in the current source folder, included as
# "FOLDER/name.h". Each target exports a folder of its own (a link named FOLDER
# under build/include/TARGET), never the whole source tree: a library reaches
# only the headers of what it links, so an include cannot run upwards.
function(vardo_public_headers target folder)
  set(root ${PROJECT_BINARY_DIR}/include/${target})
  file(MAKE_DIRECTORY ${root})
  if(NOT EXISTS ${root}/${folder})
    file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR} ${root}/${folder} SYMBOLIC)
  endif()
  target_include_directories(${target} PUBLIC ${root})
endfunction()
