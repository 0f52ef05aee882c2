# The encoder's loader face, the device watch over the bus, and the device
# that joins both faces.
target_sources(vardo_sim PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/encoder_images.cpp
  ${CMAKE_CURRENT_LIST_DIR}/virtual_loader.cpp
  ${CMAKE_CURRENT_LIST_DIR}/virtual_device.cpp
  ${CMAKE_CURRENT_LIST_DIR}/hotplug_sim.cpp)
