#pragma once
// The virtual USB bus behind the hidapi-compatible functions of hidapi_sim.cpp.
// Virtual devices attach HID interfaces here; the program finds and opens them
// through the ordinary hidapi calls. Qt-free; safe from any thread.
#include <cstddef>
#include <cstdint>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vardo::sim {

// One HID interface of a virtual device, as the host sees it.
class HidEndpoint {
public:
    virtual ~HidEndpoint() = default;
    // Host to device: one output report, data[0] the report ID.
    // Returns the number of bytes taken, or -1 when the device is gone.
    virtual int write(const std::uint8_t* data, std::size_t length) = 0;
    // Device to host: copies the next input report that is due at the
    // current clock time. Returns its length, 0 when none is due, -1 when gone.
    virtual int read(std::uint8_t* data, std::size_t length) = 0;
    // Clock time (ms) at which the next queued report becomes due, if any;
    // lets a blocking read sleep exactly as long as needed.
    virtual std::optional<std::uint64_t> nextReportDue() = 0;
    // The host closed its handle.
    virtual void closed() {}
};

struct DeviceInfo {
    std::string path;          // unique on the bus, e.g. "sim:1-1:1.1"
    // The USB port the device is plugged into ("1-1", "1-1.3"); an encoder and
    // the loader it becomes share it. Empty: taken from a "sim:<port>:..." path.
    std::string port;
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    int interfaceNumber = -1;
    std::wstring manufacturer;
    std::wstring product;
    std::wstring serial;
    bool openable = true;      // false: present but permission denied
};

enum class BusEventKind { Arrival, Removal };
struct BusEvent {
    BusEventKind kind;
    DeviceInfo device;
};

class Bus {
public:
    static Bus& instance();

    // Attaches an interface; listeners hear an Arrival.
    void attach(const DeviceInfo& info, std::shared_ptr<HidEndpoint> endpoint);
    // Removes the interface with that path (open handles to it go stale);
    // listeners hear a Removal. False when no such path.
    bool detach(const std::string& path);
    // Removes every interface without telling listeners, clears listeners and
    // counters: a clean bus for the next test.
    void reset();

    // Interfaces matching vid/pid (0 matches any), in order of their paths.
    std::vector<DeviceInfo> enumerate(std::uint16_t vendorId, std::uint16_t productId) const;
    // The endpoint at path, or null when absent or not openable.
    // attachId (optional) receives the number of this attachment: a device
    // that leaves and comes back gets a new one, so old handles go stale.
    std::shared_ptr<HidEndpoint> open(const std::string& path, DeviceInfo* info = nullptr,
                                      std::uint64_t* attachId = nullptr) const;
    bool present(const std::string& path) const;
    // The USB port of the interface at path; "" when no such path is attached.
    std::string portOf(const std::string& path) const;
    // True while the attachment that open() returned is still on the bus.
    bool alive(const std::string& path, std::uint64_t attachId) const;

    using Listener = std::function<void(const BusEvent&)>;
    // Listeners run on the thread that attached or detached the device.
    int addListener(Listener listener);
    void removeListener(int id);

    // A device tells blocked readers that a report was queued without a due time
    // known in advance (a key press from another thread).
    void notifyReport();
    // Waits up to ms on the real clock for notifyReport (used only when the
    // real clock is in force).
    void waitForReport(std::uint32_t ms);
    // Counter bumped by every notifyReport. Take it before looking for a report,
    // then waitForReportUntil(generation, ...) cannot miss a report queued between.
    std::uint64_t reportGeneration();
    // Waits on the real clock until the clock reads atMs (RealClock's milliseconds
    // of the steady clock) or until notifyReport moved past generation.
    void waitForReportUntil(std::uint64_t generation, std::uint64_t atMs);

    // Timed device events (a re-enumeration after a reset, say). An action runs
    // once the clock has reached dueMs, on whichever thread next calls runDue():
    // the hidapi functions do on entry and while a read waits, so with the
    // virtual clock an action happens exactly when a sleep moves time past it.
    int schedule(std::uint64_t dueMs, std::function<void()> action);
    void cancel(int id);
    // Runs every action that is due, earliest first, outside the bus lock.
    // Returns only once the due actions that other threads took are done as
    // well, so that what a caller sees next (an enumeration, say) is the bus
    // after them: a device that restarts is there, not half attached.
    void runDue();
    std::optional<std::uint64_t> nextScheduledDue() const;

    // hid_init / hid_exit bookkeeping, for tests of the library's life cycle.
    void noteInit();
    void noteExit();
    int initCount() const;
    int exitCount() const;
    bool initialised() const;

private:
    Bus() = default;
    struct Entry {
        DeviceInfo info;
        std::shared_ptr<HidEndpoint> endpoint;
        std::uint64_t attachId = 0;
    };
    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
    std::vector<std::pair<int, Listener>> listeners_;
    int nextListener_ = 1;
    std::uint64_t nextAttachId_ = 1;
    int inits_ = 0;
    int exits_ = 0;
    bool initialised_ = false;
    struct Waiter;
    std::shared_ptr<Waiter> waiter_;
    std::shared_ptr<Waiter> waiter();
    struct Scheduled {
        int id;
        std::uint64_t dueMs;
        std::function<void()> action;
    };
    std::vector<Scheduled> scheduled_;
    int nextScheduled_ = 1;
    int actionsRunning_ = 0;   // taken from scheduled_, not yet finished
    std::condition_variable actionsDone_;
};

} // namespace vardo::sim
