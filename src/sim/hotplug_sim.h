#pragma once
// Test control of the device watch over the virtual bus.
namespace vardo::sim {
// While true, starting a device watch fails (as when the system refuses it).
void setDeviceWatchRefused(bool refused);
} // namespace vardo::sim
