#pragma once
// Virtual encoders that outlive the program: their settings, power-up
// defaults, flash and whether they wait in their loader, kept in a small text
// file that the demo programs read at start and replace (atomically) after
// every change and at exit. A run of the command-line demo, the next one and
// the demo window then all see the same encoders. Qt-free.
//
// The file, one "key=value" a line, '#' starts a comment:
//   vardo-sim-state=1
//   encoders=N
//   [encoder K]                      K = 1 ... N, in order
//   mode=application|loader|unplugged
//   settings=B C Z O P L             brightness colour buzzer options period layout (decimal)
//   tables=HEX64 HEX64 HEX64         the customised tables of layouts 2, 5 and 8
//   defaults=... / defaultTables=... the same for the power-up defaults
//   flash=image VERSION|erased|data  the built-in image of VERSION, all erased,
//   flashdata=ADDR HEX...            or these rows (hex address, up to 64 bytes
//                                    of hex each) on an erased flash
#include "sim/virtual_device.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vardo::sim {

inline constexpr std::size_t kFlashBytes = kFlashEnd - kFlashStart + 1;

// What one encoder keeps between runs.
struct EncoderState {
    EncoderMode mode = EncoderMode::Application;  // Application, BootLoader or Unplugged
    EncoderSettings settings;
    EncoderSettings defaults;
    std::vector<std::uint8_t> flash = std::vector<std::uint8_t>(kFlashBytes, 0xFF);  // kFlashStart on
    bool operator==(const EncoderState&) const = default;
};

struct SimState {
    std::vector<EncoderState> encoders;
};

// The text of a state, and back. parseSimState refuses anything it would not
// write itself (unknown keys, missing lines, values out of range), with the
// line in error.
std::string formatSimState(const SimState& state);
[[nodiscard]] std::optional<SimState> parseSimState(std::string_view text, std::string& error);

// The state of a device now, and a device (freshly made) put into a state:
// flash, defaults, then powered the way the state says, then its settings.
EncoderState captureEncoderState(VirtualEncoderDevice& device);
void restoreEncoderState(VirtualEncoderDevice& device, const EncoderState& state);

// The state file of one program run.
// Where the demo programs keep the port locks of the encoders kept in
// statePath: the folder statePath + ".locks" (made here), so that runs sharing
// those encoders lock each other out while runs of other state files do not.
// "" for no state file: the encoders are the run's own, nothing to lock against.
std::string portLockFolderFor(const std::string& statePath);

class SimStateFile {
public:
    explicit SimStateFile(std::string path) : path_(std::move(path)) {}
    ~SimStateFile();
    SimStateFile(const SimStateFile&) = delete;
    SimStateFile& operator=(const SimStateFile&) = delete;

    // Reads the file. A missing file is no error: the state is then empty
    // (nullopt). False with error set when it cannot be read or is malformed.
    [[nodiscard]] bool load(std::optional<SimState>& state, std::string& error);
    // Writes the state of these devices now and after every change they make,
    // until detach(). The devices must outlive that.
    [[nodiscard]] bool watch(const std::vector<VirtualEncoderDevice*>& devices, std::string& error);
    // Writes once more (at exit) and stops listening.
    [[nodiscard]] bool detach(std::string& error);

    const std::string& path() const { return path_; }

private:
    bool writeNow(std::string& error);

    std::string path_;
    std::mutex mutex_;
    std::vector<VirtualEncoderDevice*> devices_;
    std::vector<int> listeners_;
    std::string written_;
    bool watching_ = false;
    bool again_ = false;  // a change came in while this thread was writing
    // Each encoder's state as last written, and its lines.
    std::vector<std::optional<std::pair<EncoderState, std::string>>> sections_;
};

} // namespace vardo::sim
