# The encoder's application face and the scripted device for frame-level tests.
target_sources(vardo_sim PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/virtual_encoder.cpp
  ${CMAKE_CURRENT_LIST_DIR}/scripted_device.cpp)
