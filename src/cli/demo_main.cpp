// vardo-encoder-demo: the command-line tool against a virtual encoder (all
// options fitted, layout 8, firmware 01.05A, with its bootstrap loader), for trying it without hardware and for tests that
// run it as a process. Options starting with --sim- shape the virtual bus and
// are taken off before the tool sees the command line:
//   --sim-encoders=N     N encoders (0-8; default 1, or those kept) on USB ports 1-1 ... 1-N, serials
//                        VE710-00000k; each one's loader appears on its own port
//   --sim-no-access      the encoders are present but may not be opened
//   --sim-refuse         every command is refused
//   --sim-silent         every command goes unanswered
//   --sim-press=K,K,...  keys (1-16) pressed 300 ms apart once self-test mode starts
//                        (default: every key of the layout)
//   --sim-virtual-clock  waits cost no time (time-outs, the factory reset)
//   --sim-state=FILE     the encoders are kept in FILE: read at start (made when
//                        missing, with --sim-encoders or one encoder), written after
//                        every change and at exit (sim/sim_state.h)
//   --sim-signal=SIG@COMMAND[#N]
//                        the process sends itself SIG (INT, TERM or HUP) as soon as an
//                        encoder receives COMMAND (GET_STATUS, ENTER_BSL, ...; COMMAND#N at its
//                        Nth arrival), once: a
//                        signal at a known point of an upgrade
//   --sim-in-loader=PORT[,PORT]
//                        the encoders on these ports (1-2, ...) start in their loader
//                        with their application erased, as a stopped upgrade leaves them
#include "cli/cli_main.h"
#include "cli/cli_values.h"
#include "cli/exit_codes.h"
#include "device/port_lock.h"
#include "platform/clock.h"
#include "sim/bus.h"
#include "sim/sim_state.h"
#include "sim/virtual_device.h"

#include <atomic>
#include <csignal>
#include <algorithm>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using namespace vardo;

struct DemoOptions {
    std::optional<int> encoders;
    std::string stateFile;
    std::string inLoader;
    bool noAccess = false;
    bool refuse = false;
    bool silent = false;
    bool virtualClock = false;
    std::optional<std::vector<int>> press;
    int signal = 0;
    int signalAtCommand = -1;
    std::size_t signalAtOccurrence = 1;
};

bool parseSignalOption(const std::string& value, DemoOptions& o)
{
    const auto at = value.find('@');
    if (at == std::string::npos)
        return false;
    const std::string name = value.substr(0, at);
    o.signal = name == "INT" ? SIGINT : name == "TERM" ? SIGTERM : name == "HUP" ? SIGHUP : 0;
    std::string command = value.substr(at + 1);
    // COMMAND#N: at its Nth arrival (the upgrade reads the status twice).
    if (const auto hash = command.find('#'); hash != std::string::npos) {
        const auto n = cli::parseNumber(command.substr(hash + 1), 99);
        if (!n || *n < 1)
            return false;
        o.signalAtOccurrence = static_cast<std::size_t>(*n);
        command.resize(hash);
    }
    for (int code = 1; code < 256 && command != "UNKNOWN"; ++code)
        if (command == sim::VirtualEncoder::commandName(static_cast<std::uint8_t>(code)))
            o.signalAtCommand = code;
    return o.signal != 0 && o.signalAtCommand >= 0;
}

bool parseDemoOption(const std::string& arg, DemoOptions& o)
{
    if (arg.rfind("--sim-encoders=", 0) == 0) {
        const auto n = cli::parseNumber(arg.substr(15), 8);
        if (!n)
            return false;
        o.encoders = *n;
    } else if (arg.rfind("--sim-state=", 0) == 0 && arg.size() > 12) {
        o.stateFile = arg.substr(12);
    } else if (arg.rfind("--sim-signal=", 0) == 0) {
        return parseSignalOption(arg.substr(13), o);
    } else if (arg.rfind("--sim-in-loader=", 0) == 0 && arg.size() > 16) {
        o.inLoader = arg.substr(16);
    } else if (arg == "--sim-no-access") {
        o.noAccess = true;
    } else if (arg == "--sim-refuse") {
        o.refuse = true;
    } else if (arg == "--sim-silent") {
        o.silent = true;
    } else if (arg == "--sim-virtual-clock") {
        o.virtualClock = true;
    } else if (arg.rfind("--sim-press=", 0) == 0) {
        std::vector<int> keys;
        std::string list = arg.substr(12) + ",";
        for (std::size_t start = 0, comma; (comma = list.find(',', start)) != std::string::npos;
             start = comma + 1) {
            const auto key = cli::parseNumber(list.substr(start, comma - start), 16);
            if (!key || *key < 1)
                return false;
            keys.push_back(*key);
        }
        o.press = keys;
    } else {
        return false;
    }
    return true;
}

sim::EncoderSettings demoSettings()
{
    sim::EncoderSettings s = sim::EncoderSettings::factory();
    s.optionsFitted = 7;
    s.keypadType = 8;
    return s;
}

} // namespace

int main(int argc, char** argv)
{
    DemoOptions demo;
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--sim-", 0) == 0) {
            if (!parseDemoOption(arg, demo)) {
                std::cerr << "vardo-encoder-demo: bad option " << arg << '\n';
                return 2;
            }
            continue;
        }
        args.push_back(arg);
    }

    platform::VirtualClock virtualClock;
    std::optional<platform::ScopedClock> clockInForce;
    if (demo.virtualClock)
        clockInForce.emplace(virtualClock);

    device::setPortLockFolderOverride(sim::portLockFolderFor(demo.stateFile));
    std::optional<sim::SimStateFile> stateFile;
    std::optional<sim::SimState> state;
    if (!demo.stateFile.empty()) {
        std::string error;
        if (!stateFile.emplace(demo.stateFile).load(state, error)) {
            std::cerr << "vardo-encoder-demo: " << error << '\n';
            return cli::kExitBadInputFile;
        }
    }
    // --sim-encoders wins over the number kept; encoders beyond those kept are new.
    const int count = demo.encoders.value_or(state ? static_cast<int>(state->encoders.size()) : 1);

    // Each encoder has both faces, so that `upgrade` finds its loader.
    std::vector<std::unique_ptr<sim::VirtualEncoderDevice>> encoders;
    for (int i = 1; i <= count; ++i) {
        sim::VirtualEncoderConfig config;
        config.port = "sim:1-" + std::to_string(i);
        config.serial = L"VE710-00000" + std::to_wstring(i);
        config.product = L"Vardo 710i Encoder";
        config.factorySettings = demoSettings();
        config.openable = !demo.noAccess;
        auto device = std::make_unique<sim::VirtualEncoderDevice>(sim::VirtualEncoderDeviceConfig{config});
        sim::VirtualEncoder* encoder = &device->encoder();
        encoder->setSettings(demoSettings());
        encoder->setPowerUpDefaults(demoSettings());
        if (state && static_cast<std::size_t>(i) <= state->encoders.size())
            sim::restoreEncoderState(*device, state->encoders[static_cast<std::size_t>(i - 1)]);
        if (demo.refuse)
            encoder->injectFault({sim::EncoderFault::Refuse, true});
        if (demo.silent)
            encoder->injectFault({sim::EncoderFault::Silence, true});
        std::vector<int> keys = demo.press.value_or(std::vector<int>{});
        if (!demo.press)
            for (int k = 1; k <= 16; ++k)
                keys.push_back(k);
        sim::pressKeysInSelfTest(*encoder, keys);
        if (demo.signal != 0) {
            // Sent to the process, as kill(1) would, from the thread that sent the command.
            encoder->addListener([encoder, &demo] {
                static std::atomic<bool> sent{false};
                const auto received = encoder->receivedCommands();
                const auto arrivals = std::count_if(received.begin(), received.end(), [&](const auto& c) {
                    return c.code == demo.signalAtCommand;
                });
                if (!received.empty() && received.back().code == demo.signalAtCommand
                    && static_cast<std::size_t>(arrivals) >= demo.signalAtOccurrence && !sent.exchange(true))
                    ::kill(::getpid(), demo.signal);
            });
        }
        encoders.push_back(std::move(device));
    }

    std::vector<sim::VirtualEncoderDevice*> devices;
    for (const auto& device : encoders)
        devices.push_back(device.get());
    if (std::string error; !demo.inLoader.empty() && !sim::strandOnPorts(devices, demo.inLoader, error)) {
        std::cerr << "vardo-encoder-demo: --sim-in-loader: " << error << '\n';
        return cli::kExitUsage;
    }
    if (stateFile) {
        std::string error;
        if (!stateFile->watch(devices, error)) {
            std::cerr << "vardo-encoder-demo: " << error << '\n';
            return cli::kExitFailed;
        }
    }

    int code = cli::processMain(args, "vardo-encoder-demo");
    if (stateFile) {
        std::string error;
        if (!stateFile->detach(error)) {
            std::cerr << "vardo-encoder-demo: " << error << '\n';
            code = code == cli::kExitOk ? cli::kExitFailed : code;
        }
    }
    encoders.clear();
    return code;
}
