#pragma once
// One process per encoder: a lock per USB port (per device path where the
// port is unknown), shared by every user and process on the machine, held for
// each operation of several steps (save, factory reset, a configuration
// applied, a table loaded, the self test, an upgrade through its restarts).
// Being by port, it outlives the encoder's re-enumerations. Qt-free.
//
// The lock files are vardo-encoder-<port>.lock in /run/lock when it may be
// written, else in $XDG_RUNTIME_DIR, else in /tmp; made 0666 so that every
// user's runs lock the same file. The holder writes its process ID and
// command line into the file, so that whoever is refused can be told who.
#include <functional>
#include <optional>
#include <string>

#include "platform/atomic_file.h"

namespace vardo::device {

class Encoder;

enum class PortLockState {
    Held,      // ours until the object goes
    Free,      // nothing to lock (no encoder, or locks switched off): go on
    Busy,      // another process (or another window of ours) holds it
    OddFile,   // the lock file is a folder, link, pipe, device or hard-linked file, may
               // not be opened, or cannot be made: an operation that went on would lock nothing
};

// Who holds a lock, as its file says; pid 0 when it says nothing readable.
struct PortLockHolder {
    long pid = 0;
    std::string command;
};

class PortLock {
public:
    // Locks nothing; state Free.
    PortLock() = default;
    // Tries once, never waits: the lock of port, or of path when port is "".
    PortLock(const std::string& port, const std::string& path);
    // The lock of the encoder's port; Free for a null encoder.
    [[nodiscard]] static PortLock forEncoder(Encoder* encoder);
    ~PortLock();
    PortLock(PortLock&& other) noexcept;
    PortLock& operator=(PortLock&& other) noexcept;
    PortLock(const PortLock&) = delete;
    PortLock& operator=(const PortLock&) = delete;

    PortLockState state() const { return state_; }
    // Held or Free: the operation may go on.
    bool mayGoOn() const { return state_ == PortLockState::Held || state_ == PortLockState::Free; }
    // The port (or path) locked.
    const std::string& name() const { return name_; }
    const std::string& file() const { return file_; }
    // When Busy: who holds it.
    const PortLockHolder& holder() const { return holder_; }
    // For the operator when the operation may not go on (naming the port and
    // the holder, or the odd file); "" otherwise.
    std::string problem() const;

private:
    void release();

    int fd_ = -1;
    PortLockState state_ = PortLockState::Free;
    platform::LockState fileState_ = platform::LockState::Unlocked;
    std::string name_;
    bool byPort_ = false;
    std::string file_;
    std::string cannotMake_;  // OddFile: why the lock file cannot be made ("" when it is odd)
    PortLockHolder holder_;
};

// For a window's operation of several steps on encoder: its lock (Free for a
// null encoder), or nullopt after refused(why) when it may not go on.
[[nodiscard]] std::optional<PortLock> lockForOperation(Encoder* encoder,
                                                       const std::function<void(const std::string&)>& refused);

// The folder the lock files are in (see above), without a trailing slash.
std::string portLockFolder();

// Moves the lock files (tests: a private folder; demo programs: beside the
// state file that their encoders share). nullopt restores the system's
// folder; "" switches port locks off (encoders private to this process).
void setPortLockFolderOverride(std::optional<std::string> folder);

} // namespace vardo::device
