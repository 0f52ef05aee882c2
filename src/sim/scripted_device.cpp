#include "sim/scripted_device.h"

#include "link/frame.h"
#include "platform/clock.h"

#include <algorithm>
#include <cstring>

namespace vardo::sim {

namespace {
Report toReport(const link::frame::Report& r) { return Report(r.begin(), r.end()); }
} // namespace

Report makeReplyReport(std::uint8_t code, std::span<const std::uint8_t> data, std::uint8_t status)
{
    return toReport(link::frame::encodeReply(code, data, status));
}

Report makeAckReport() { return toReport(link::frame::encodeAck()); }

Report makeRefusalReport(std::uint8_t code) { return toReport(link::frame::encodeRefusal(code)); }

DeviceInfo ScriptedDevice::encoderInterface(std::string path, int interfaceNumber)
{
    DeviceInfo info;
    info.path = std::move(path);
    info.vendorId = 0x2047;
    info.productId = 0x0902;
    info.interfaceNumber = interfaceNumber;
    info.manufacturer = L"Vardo Interface";
    info.product = L"Vardo 710 Encoder";
    info.serial = L"SCRIPTED";
    return info;
}

std::shared_ptr<ScriptedDevice> ScriptedDevice::create(DeviceInfo info)
{
    return std::shared_ptr<ScriptedDevice>(new ScriptedDevice(std::move(info)));
}

void ScriptedDevice::attach()
{
    Bus::instance().attach(info_, shared_from_this());
}

bool ScriptedDevice::detach()
{
    return Bus::instance().detach(info_.path);
}

void ScriptedDevice::queueLocked(Report report, std::uint64_t dueMs)
{
    // Keep the queue in due order; equal times keep their queuing order.
    auto at = std::upper_bound(pending_.begin(), pending_.end(), dueMs,
                               [](std::uint64_t due, const Pending& p) { return due < p.dueMs; });
    pending_.insert(at, Pending{dueMs, std::move(report)});
}

void ScriptedDevice::queueReport(Report report, std::uint32_t afterMs)
{
    {
        std::lock_guard lock(mutex_);
        queueLocked(std::move(report), platform::clock().nowMs() + afterMs);
    }
    Bus::instance().notifyReport();
}

void ScriptedDevice::scriptReply(std::vector<TimedReport> reports)
{
    std::lock_guard lock(mutex_);
    scripts_.push_back(std::move(reports));
}

void ScriptedDevice::answerEveryWrite(std::function<Report(const Report&)> reply,
                                      std::uint32_t replyAfterMs)
{
    std::lock_guard lock(mutex_);
    everyWrite_ = std::move(reply);
    everyWriteAfterMs_ = replyAfterMs;
}

std::vector<Report> ScriptedDevice::writes() const
{
    std::lock_guard lock(mutex_);
    return writes_;
}

std::size_t ScriptedDevice::pendingReports() const
{
    std::lock_guard lock(mutex_);
    return pending_.size();
}

int ScriptedDevice::closedCount() const
{
    std::lock_guard lock(mutex_);
    return closed_;
}

void ScriptedDevice::setWriteFails(bool fails)
{
    std::lock_guard lock(mutex_);
    writeFails_ = fails;
}

void ScriptedDevice::setReadFails(bool fails)
{
    std::lock_guard lock(mutex_);
    readFails_ = fails;
}

int ScriptedDevice::write(const std::uint8_t* data, std::size_t length)
{
    {
        std::lock_guard lock(mutex_);
        if (writeFails_)
            return -1;
        writes_.emplace_back(data, data + length);
        const std::uint64_t now = platform::clock().nowMs();
        if (!scripts_.empty()) {
            for (auto& timed : scripts_.front())
                queueLocked(std::move(timed.report), now + timed.afterMs);
            scripts_.pop_front();
        } else if (everyWrite_) {
            queueLocked(everyWrite_(writes_.back()), now + everyWriteAfterMs_);
        }
    }
    Bus::instance().notifyReport();
    return static_cast<int>(length);
}

int ScriptedDevice::read(std::uint8_t* data, std::size_t length)
{
    std::lock_guard lock(mutex_);
    if (readFails_)
        return -1;
    if (pending_.empty() || pending_.front().dueMs > platform::clock().nowMs())
        return 0;
    const Report report = std::move(pending_.front().report);
    pending_.pop_front();
    const std::size_t n = std::min(length, report.size());
    if (n)  // an empty report has no bytes to copy (and may have no buffer)
        std::memcpy(data, report.data(), n);
    return static_cast<int>(n);
}

std::optional<std::uint64_t> ScriptedDevice::nextReportDue()
{
    std::lock_guard lock(mutex_);
    if (pending_.empty())
        return std::nullopt;
    return pending_.front().dueMs;
}

void ScriptedDevice::closed()
{
    std::lock_guard lock(mutex_);
    ++closed_;
}

} // namespace vardo::sim
