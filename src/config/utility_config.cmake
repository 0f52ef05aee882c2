# The utility's configuration file on top of the INI store. Included at the end
# of this folder's CMakeLists.txt, after vardo_inifile exists.
add_library(vardo_config STATIC
  ${CMAKE_CURRENT_LIST_DIR}/config_path.cpp
  ${CMAKE_CURRENT_LIST_DIR}/utility_config.cpp)
target_include_directories(vardo_config PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(vardo_config PUBLIC vardo_inifile vardo_link vardo_codetable vardo_platform)
set_target_properties(vardo_config PROPERTIES AUTOMOC OFF AUTOUIC OFF AUTORCC OFF)
