// The commands for a bench of encoders: list, of the whole bus, and --all,
// which runs one command on every attached encoder, port by port.
#include "cli/cli_output.h"
#include "cli/cli_session.h"
#include "cli/exit_codes.h"
#include "link/encoder_commands.h"
#include "link/hid_transport.h"

#include <ostream>

namespace vardo::cli {

namespace {

// The model and firmware an encoder reports; left empty when it cannot be
// opened or does not answer, so a list never stops at one bad encoder.
void readModelAndFirmware(BusDevice& device)
{
    hid_device* handle = hid_open_path(device.path.c_str());
    if (!handle)
        return;
    hid_set_nonblocking(handle, 1);
    link::DeviceStatus status;
    std::array<std::uint8_t, link::kCodeTableBytes> table{};
    if (link::readDeviceStatus(handle, status, table) == 0) {
        device.model = modelName(status.optionsFitted);
        device.firmware = status.firmwareVersion;
    }
    hid_close(handle);
}

} // namespace

int Session::cmdList()
{
    if (int c = checkLine({"json"}, 1, "'list' takes no arguments"))
        return c;
    auto encoders = listEncoders();
    for (auto& d : encoders)
        readModelAndFirmware(d);
    const auto loaders = listLoaders();
    if (opt_.json)
        printBusJson(con_.out, encoders, loaders);
    else
        printBusText(con_.out, encoders, loaders);
    if (encoders.empty() && loaders.empty())
        con_.err << "No encoder or loader found.\n";
    return kExitOk;
}

} // namespace vardo::cli
