# The keypad code table editors: a Qt-free model and the three windows.
add_library(vardo_codetable_editor STATIC
  ${CMAKE_CURRENT_LIST_DIR}/code_table_editor_model.cpp)
target_include_directories(vardo_codetable_editor PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(vardo_codetable_editor PUBLIC vardo_codetable)

add_library(vardo_codetable_ui STATIC
  ${CMAKE_CURRENT_LIST_DIR}/code_table_editor.cpp
  ${CMAKE_CURRENT_LIST_DIR}/code_table_editor.h
  ${CMAKE_CURRENT_LIST_DIR}/code_table_editor_window.cpp
  ${CMAKE_CURRENT_LIST_DIR}/code_table_editor_window.h)
target_link_libraries(vardo_codetable_ui PUBLIC vardo_codetable_editor vardo_link vardo_platform Qt6::Widgets)
