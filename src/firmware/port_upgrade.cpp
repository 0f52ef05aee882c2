#include "firmware/port_upgrade.h"

#include "link/hid_transport.h"
#include "link/usb_port.h"
#include "loader/loader_session.h"
#include "platform/clock.h"

#include <hidapi.h>

namespace vardo::firmware {

namespace {

constexpr std::uint16_t kLoaderProductId = 0x0200;
constexpr std::uint32_t kPollMs = 250;

hid_device* openEncoderOnPort(const std::string& port)
{
    const std::string path = findOnPort(static_cast<std::uint16_t>(link::kEncoderVendorId),
                                        static_cast<std::uint16_t>(link::kEncoderProductId),
                                        link::kEncoderInterface, port);
    hid_device* handle = path.empty() ? nullptr : hid_open_path(path.c_str());
    if (handle)
        hid_set_nonblocking(handle, 1);
    return handle;
}

// A status that came whole but too short for its layout has no exchange
// failure of its own: it counts as an invalid reply.
std::int32_t failedExchange()
{
    const std::int32_t r = link::lastExchangeResult();
    return r == link::kOk ? link::kErrBadFrame : r;
}

PortUpgradeResult finish(PortUpgradeResult result, PortUpgradeOutcome outcome, std::int32_t linkResult = 0)
{
    result.outcome = outcome;
    result.linkResult = linkResult;
    return result;
}

} // namespace

const char* portUpgradeOutcomeName(PortUpgradeOutcome outcome)
{
    switch (outcome) {
    case PortUpgradeOutcome::Upgraded:
        return "upgraded";
    case PortUpgradeOutcome::NoEncoder:
        return "no encoder";
    case PortUpgradeOutcome::StatusFailed:
        return "status not read";
    case PortUpgradeOutcome::BackupFailed:
        return "backup not written";
    case PortUpgradeOutcome::NoLoader:
        return "no loader";
    case PortUpgradeOutcome::UpgradeFailed:
        return "upgrade failed";
    case PortUpgradeOutcome::NotBack:
        return "not back";
    case PortUpgradeOutcome::WriteBackFailed:
        return "write-back failed";
    }
    return "unknown";
}

std::string findOnPort(std::uint16_t vendorId, std::uint16_t productId, int interfaceNumber,
                       const std::string& port)
{
    std::string found;
    hid_device_info* devices = hid_enumerate(vendorId, productId);
    for (hid_device_info* d = devices; d && found.empty(); d = d->next) {
        if (d->path && (interfaceNumber < 0 || d->interface_number == interfaceNumber)
            && link::usbPortOf(d->path) == port)
            found = d->path;
    }
    hid_free_enumeration(devices);
    return found;
}

PortUpgradeResult upgradeOnPort(const FirmwareImage& image, const PortUpgradeJob& job)
{
    PortUpgradeResult result;
    hid_device* encoder = job.port.empty() ? nullptr : openEncoderOnPort(job.port);
    if (!encoder)
        return finish(result, PortUpgradeOutcome::NoEncoder, link::kErrNoDevice);

    // Without the settings the write-back would put zeros into the new
    // firmware, so nothing starts without them and their backup.
    link::DeviceStatus status;
    RestoreValues values;
    if (link::readDeviceStatus(encoder, status, values.keyCodeArray) != 0) {
        hid_close(encoder);
        return finish(result, PortUpgradeOutcome::StatusFailed, failedExchange());
    }
    values.ledBrightness = status.ledBrightness;
    values.buzzer = status.buzzer;
    values.buzzerPeriod = status.buzzerPeriod;
    values.keypadType = status.keypadType;
    values.options = status.optionsFitted;
    if (!job.backup || !job.backup(status, values.keyCodeArray, result.backupPath)) {
        hid_close(encoder);
        return finish(result, PortUpgradeOutcome::BackupFailed);
    }
    // The encoder restarts into its loader; an unanswered command is expected.
    link::sendCommand(encoder, link::ENTER_BSL);
    hid_close(encoder);

    const auto loaderOnPort = [&] {
        return !findOnPort(static_cast<std::uint16_t>(link::kEncoderVendorId), kLoaderProductId, -1, job.port)
                    .empty();
    };
    for (std::uint32_t waited = 0; !loaderOnPort() && waited < kLoaderAppearWaitMs; waited += kPollMs)
        platform::sleepMs(kPollMs);
    if (!loaderOnPort())
        return finish(result, PortUpgradeOutcome::NoLoader);

    {
        // A session of its own: the calls of this thread reach this port's loader only.
        loader::Session session;
        loader::SessionScope scope(session);
        UpgradeSequence sequence(job.progress);
        sequence.myPort = job.port;
        sequence.setLoaderTexts(job.texts);
        if (!sequence.run(image))
            return finish(result, PortUpgradeOutcome::UpgradeFailed);
    }

    // The restart wait, then a while longer: on a busy bench the new
    // application may enumerate late, and a write-back that gives up too
    // early leaves an upgraded encoder with factory settings.
    platform::sleepMs(kRestartWaitMs);
    encoder = openEncoderOnPort(job.port);
    for (std::uint32_t waited = 0; !encoder && waited < kLoaderAppearWaitMs; waited += kPollMs) {
        platform::sleepMs(kPollMs);
        encoder = openEncoderOnPort(job.port);
    }
    if (!encoder)
        return finish(result, PortUpgradeOutcome::NotBack, link::kErrNoDevice);
    const bool written = writeBackSettings(encoder, values);
    const std::int32_t linkResult = written ? link::kOk : failedExchange();
    hid_close(encoder);
    return written ? finish(result, PortUpgradeOutcome::Upgraded)
                   : finish(result, PortUpgradeOutcome::WriteBackFailed, linkResult);
}

} // namespace vardo::firmware
