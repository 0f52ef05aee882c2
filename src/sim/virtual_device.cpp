#include "sim/virtual_device.h"

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
    encoder_->setEnterBslHandler([loader] { loader->plugIn(); });
    loader_->setRestartHandler(
        [encoder](const std::string& version) { encoder->restartApplication(version); });
}

VirtualEncoderDevice::~VirtualEncoderDevice()
{
    encoder_->setEnterBslHandler({});
    loader_->setRestartHandler({});
    encoder_.reset();
    loader_.reset();
}

} // namespace vardo::sim
