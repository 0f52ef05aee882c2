#include "sim/virtual_device.h"

#include "platform/clock.h"
#include "sim/bus.h"

#include <algorithm>
#include <memory>

namespace vardo::sim {

VirtualEncoderDevice::VirtualEncoderDevice(VirtualEncoderDeviceConfig config)
{
    VirtualLoaderConfig loaderConfig;
    loaderConfig.path = config.encoder.port + ":bsl";
    loaderConfig.timing = config.loaderTiming;
    loader_ = std::make_unique<VirtualLoader>(loaderConfig);
    loader_->loadImage(makeEncoderFirmware(config.firmwareVersion));

    config.encoder.firmwareVersion = loader_->flashFirmwareVersion().value_or("??????");
    encoder_ = std::make_unique<VirtualEncoder>(config.encoder);

    VirtualLoader* loader = loader_.get();
    VirtualEncoder* encoder = encoder_.get();
    encoder_->setEnterBslHandler([loader] { loader->enterFromApplication(); });
    loader_->setRestartHandler(
        [encoder](const std::string& version) { encoder->restartApplication(version); });
}

void VirtualEncoderDevice::plugIn()
{
    const auto vector = loader_->read(kResetVector, 2);
    if (vector.size() == 2 && vector[0] == 0xFF && vector[1] == 0xFF) {
        encoder_->startInLoader();
        loader_->plugIn();
    }
    else
        encoder_->restartApplication(loader_->flashFirmwareVersion().value_or("??????"));
}

void VirtualEncoderDevice::unplug()
{
    if (encoder_->mode() != EncoderMode::Unplugged)
        encoder_->unplug();
    if (loader_->onBus())
        loader_->unplug();
}

VirtualEncoderDevice::~VirtualEncoderDevice()
{
    encoder_->setEnterBslHandler({});
    loader_->setRestartHandler({});
    encoder_.reset();
    loader_.reset();
}

void strandInLoader(VirtualEncoderDevice& device)
{
    device.unplug();
    device.loader().eraseFlash();
    // No reset vector: it powers up in its loader.
    device.plugIn();
}

bool strandOnPorts(const std::vector<VirtualEncoderDevice*>& devices, std::string_view ports, std::string& error)
{
    std::vector<VirtualEncoderDevice*> chosen;
    const std::string list = std::string(ports) + ",";
    for (std::size_t start = 0, comma; (comma = list.find(',', start)) != std::string::npos; start = comma + 1) {
        const std::string port = list.substr(start, comma - start);
        const auto it = std::find_if(devices.begin(), devices.end(),
                                     [&](VirtualEncoderDevice* d) { return d->encoder().usbPort() == port; });
        if (it == devices.end()) {
            error = "no virtual encoder on port '" + port + "'";
            return false;
        }
        chosen.push_back(*it);
    }
    for (auto* device : chosen)
        strandInLoader(*device);
    return true;
}

void pressKeysInSelfTest(VirtualEncoder& encoder, std::vector<int> keys, std::uint32_t spacingMs)
{
    auto started = std::make_shared<bool>(false);
    encoder.addListener([&encoder, keys, started, spacingMs] {
        if (!encoder.selfTestMode()) {
            *started = false;
            return;
        }
        if (*started)
            return;
        *started = true;
        const std::uint64_t now = platform::clock().nowMs();
        for (std::size_t i = 0; i < keys.size(); ++i) {
            const int index = keys[i] - 1;
            Bus::instance().schedule(now + spacingMs * (i + 1), [&encoder, index] { encoder.pressKey(index); });
        }
    });
}

} // namespace vardo::sim
