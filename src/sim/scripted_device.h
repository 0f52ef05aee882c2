#pragma once
// A HID interface that plays raw 64-byte input reports written by a test and
// records every output report, for checks at the level of single frames.
// Also the encoder's reply reports (link/frame.h) as the bus carries them.
#include "sim/bus.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

namespace vardo::sim {

using Report = std::vector<std::uint8_t>;

inline constexpr std::size_t kSimReportSize = 64;

// A reply frame as the encoder sends it (link::frame::encodeReply); data may
// hold at most 54 bytes.
Report makeReplyReport(std::uint8_t code, std::span<const std::uint8_t> data = {},
                       std::uint8_t status = 0x00);
// An interim report that restarts the host's time-out (byte 2 = 0x06).
Report makeAckReport();
// The encoder's refusal of a command (byte 2 = 0x0F).
Report makeRefusalReport(std::uint8_t code);

struct TimedReport {
    std::uint32_t afterMs = 0;   // delay from the moment the script starts
    Report report;
};

class ScriptedDevice final : public HidEndpoint,
                             public std::enable_shared_from_this<ScriptedDevice> {
public:
    // An interface of the encoder's identity (VID 0x2047, PID 0x0902).
    static DeviceInfo encoderInterface(std::string path = "sim:9-1:1.1", int interfaceNumber = 1);
    static std::shared_ptr<ScriptedDevice> create(DeviceInfo info = encoderInterface());

    const DeviceInfo& info() const { return info_; }
    // Puts the interface on / takes it off Bus::instance().
    void attach();
    bool detach();

    // Queues a report that becomes readable afterMs from now.
    void queueReport(Report report, std::uint32_t afterMs = 0);
    // Queues a script that the next write without a script of its own starts:
    // its reports become readable relative to the moment of that write.
    void scriptReply(std::vector<TimedReport> reports);
    // Each write answers with reply(write) at replyAfterMs, for long runs.
    void answerEveryWrite(std::function<Report(const Report&)> reply, std::uint32_t replyAfterMs);

    // Every output report received, in order.
    std::vector<Report> writes() const;
    std::size_t pendingReports() const;
    int closedCount() const;

    // Makes write or read report a failure (-1), as a device gone bad would.
    void setWriteFails(bool fails);
    void setReadFails(bool fails);

    int write(const std::uint8_t* data, std::size_t length) override;
    int read(std::uint8_t* data, std::size_t length) override;
    std::optional<std::uint64_t> nextReportDue() override;
    void closed() override;

private:
    explicit ScriptedDevice(DeviceInfo info) : info_(std::move(info)) {}
    void queueLocked(Report report, std::uint64_t dueMs);

    struct Pending {
        std::uint64_t dueMs;
        Report report;
    };
    DeviceInfo info_;
    mutable std::mutex mutex_;
    std::deque<Pending> pending_;
    std::deque<std::vector<TimedReport>> scripts_;
    std::function<Report(const Report&)> everyWrite_;
    std::uint32_t everyWriteAfterMs_ = 0;
    std::vector<Report> writes_;
    int closed_ = 0;
    bool writeFails_ = false;
    bool readFails_ = false;
};

} // namespace vardo::sim
