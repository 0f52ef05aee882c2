#pragma once
// Which encoder an upgrade may take when none is named. The first on the bus
// is right while no encoder waits in its loader; with one waiting and any other
// device attached, "the first" loader after ENTER_BSL could be the wrong one,
// so such an upgrade refuses and names the ports. Qt-free.
#include <string>
#include <vector>

namespace vardo::firmware {

// The devices attached now, by USB port (their path where it is unknown).
struct AttachedDevices {
    std::vector<std::string> encoders;  // command interfaces in application mode
    std::vector<std::string> loaders;   // encoders waiting in their loader
};

[[nodiscard]] AttachedDevices attachedDevices();

// "" when an upgrade that names no device may go on; else why not, naming
// every device attached.
[[nodiscard]] std::string unnamedUpgradeRefusal(const AttachedDevices& attached);

// What recovers the encoder waiting in its loader on port (or at path):
// "PROGRAM upgrade --device PORT IMAGE.txt".
[[nodiscard]] std::string recoveryCommand(const std::string& program, const std::string& port);
// The same as advice: "The encoder on PORT waits in its loader: recover it with 'COMMAND'."
[[nodiscard]] std::string recoveryAdvice(const std::string& program, const std::string& port);

} // namespace vardo::firmware
