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

std::unique_ptr<device::Encoder> openEncoderOnPort(const std::string& port)
{
    const std::string path = findOnPort(static_cast<std::uint16_t>(link::kEncoderVendorId),
                                        static_cast<std::uint16_t>(link::kEncoderProductId),
                                        link::kEncoderInterface, port);
    return path.empty() ? nullptr : device::Encoder::open(path);
}

PortUpgradeResult finish(PortUpgradeResult result, PortUpgradeOutcome outcome,
                         device::Result failed = device::Result::Ok)
{
    result.outcome = outcome;
    result.result = failed;
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
    std::unique_ptr<device::Encoder> encoder = job.port.empty() ? nullptr : openEncoderOnPort(job.port);
    if (!encoder)
        return finish(result, PortUpgradeOutcome::NoEncoder, device::Result::NoDevice);

    // Without the settings the write-back would put zeros into the new
    // firmware, so nothing starts without them and their backup.
    RestoreValues values;
    PortUpgradeOutcome stopped = PortUpgradeOutcome::Upgraded;
    const auto preparation = encoder->prepareUpgrade(values, [&](device::Result statusRead) {
        if (statusRead != device::Result::Ok)
            stopped = PortUpgradeOutcome::StatusFailed;
        else if (!job.backup || !job.backup(values, result.backupPath))
            stopped = PortUpgradeOutcome::BackupFailed;
        return stopped == PortUpgradeOutcome::Upgraded;
    });
    encoder.reset();
    if (preparation.stopped || stopped != PortUpgradeOutcome::Upgraded)
        return finish(result, stopped == PortUpgradeOutcome::Upgraded ? PortUpgradeOutcome::StatusFailed : stopped,
                      preparation.statusRead);

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
        return finish(result, PortUpgradeOutcome::NotBack, device::Result::NoDevice);
    device::Result failed = device::Result::Ok;
    if (!writeBackSettings(encoder.get(), values, job.report, &failed))
        return finish(result, PortUpgradeOutcome::WriteBackFailed, failed);
    return finish(result, PortUpgradeOutcome::Upgraded);
}

} // namespace vardo::firmware
