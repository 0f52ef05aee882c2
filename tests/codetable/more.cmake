# The code table editors: the Qt-free model and the windows against the virtual encoder.
vardo_add_test(NAME test_code_table_editor_model
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_code_table_editor_model.cpp
  LIBS vardo_codetable_editor)
vardo_add_test(NAME test_code_table_editor
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_code_table_editor.cpp
  LIBS vardo_codetable_ui vardo_link vardo_sim GUI)
