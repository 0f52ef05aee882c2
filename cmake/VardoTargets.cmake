# Helpers shared by every folder's CMakeLists.

# vardo_add_test(NAME test_x SOURCES a.cpp b.cpp LIBS vardo_y [GUI | QT] [LABELS l] [TIMEOUT s])
# One GoogleTest executable registered with ctest, usually one a test folder:
# fewer programs to link. GUI tests run on the offscreen platform with the
# main() of tests/support/gui_test_main.cpp (QT_QPA_PLATFORM set before the
# QApplication exists). The GoogleTest and Qt headers come precompiled; QT
# names a test without windows that links Qt (and so is compiled as Qt asks).
function(vardo_add_test)
  cmake_parse_arguments(T "GUI;QT" "NAME;LABELS;TIMEOUT" "SOURCES;LIBS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock Threads::Threads)
  # No test declares a Q_OBJECT class: moc has nothing to do in them. Each
  # is position independent as Qt asks, so one precompiled header fits all.
  set_target_properties(${T_NAME} PROPERTIES AUTOMOC OFF AUTOUIC OFF AUTORCC OFF
                                              POSITION_INDEPENDENT_CODE ON)
  set(props "")
  if(T_GUI)
    target_link_libraries(${T_NAME} PRIVATE vardo_gui_test_main Qt6::Widgets Qt6::Test)
    target_precompile_headers(${T_NAME} REUSE_FROM vardo_gui_test_main)
    list(APPEND props ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
  elseif(T_QT)
    target_link_libraries(${T_NAME} PRIVATE GTest::gtest_main)
    target_precompile_headers(${T_NAME} REUSE_FROM vardo_gui_test_main)
  else()
    target_link_libraries(${T_NAME} PRIVATE GTest::gtest_main)
    target_precompile_headers(${T_NAME} REUSE_FROM vardo_test_headers)
  endif()
  target_include_directories(${T_NAME} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  if(T_LABELS)
    list(APPEND props LABELS ${T_LABELS})
  endif()
  if(T_TIMEOUT)
    list(APPEND props TIMEOUT ${T_TIMEOUT})
  endif()
  gtest_discover_tests(${T_NAME} PROPERTIES ${props} DISCOVERY_TIMEOUT 60)
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
