// vardo-usb-gadget: the virtual encoder (the same model the demo runs) as a
// real USB device, made by the kernel's gadget framework, so that the
// production programs reach it through the kernel's USB and HID stacks.
// Each encoder gets a USB device controller of its own (dummy_udc.0 for
// port 1-1, dummy_udc.1 for 2-1, ...). The model's interfaces arriving on and
// leaving its virtual bus bind and unbind the gadget: ENTER_BSL brings the
// loader 2047:0200 onto the same port, starting the RAM loader re-enumerates,
// the final reset brings the encoder back with the firmware in its flash.
//
//   vardo-usb-gadget [--encoders N] [--control DIR] [--loader-texts DIR] [--press K,K,...]
//                    [--attach-ms MS]
//
// --control DIR makes the FIFO DIR/ctl; each line written to it is one
// command, answered in DIR/reply (replaced whole):
//   press I K        key K (1-16) of encoder I pressed once, on its keyboard interface
//   unplug I | plug I
//   strand I         encoder I waits in its loader, the application erased
//   hold I           encoder I's next return as an encoder stays off the cable
//                    (a restart that is never plugged back in)
//   state I          settings in force and kept, firmware version, face on the bus
//   commands I       names of the commands received since the last look
//   flash I VERSION  the whole main flash compared with that firmware image
//   loader I         the loader's mass erases and brown-out resets
// --loader-texts DIR writes the RAM loader and password texts the model
// accepts (RAM_BSL.Text, password.Text). Runs as root, in the test guest.
#include "platform/clock.h"
#include "sim/bus.h"
#include "sim/encoder_images.h"
#include "sim/gadget/configfs_gadget.h"
#include "sim/virtual_device.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace vardo;
using namespace vardo::sim;
using Report = std::vector<std::uint8_t>;

volatile std::sig_atomic_t stopRequested = 0;

std::uint64_t nowMs()
{
    return platform::clock().nowMs();
}

std::uint64_t startMs = 0;

void log(const std::string& line)
{
    std::printf("[%7llu] %s\n", static_cast<unsigned long long>(nowMs() - startMs), line.c_str());
}

// A report as hex, its zero tail left out.
std::string hex(const std::uint8_t* data, std::size_t length)
{
    while (length > 1 && data[length - 1] == 0)
        --length;
    std::string out;
    char b[4];
    for (std::size_t i = 0; i < length; ++i) {
        std::snprintf(b, sizeof b, "%02X ", data[i]);
        out += b;
    }
    return out;
}

std::string narrow(const std::wstring& w)
{
    std::string s;
    for (wchar_t c : w)
        s += static_cast<char>(c);
    return s;
}

enum class Face { Off, Encoder, Loader };

struct Port {
    std::string simPort;   // "sim:1-1", the model's name of it
    std::string hostPort;  // "1-1", where the host sees it
    std::unique_ptr<VirtualEncoderDevice> device;
    std::unique_ptr<gadget::ConfigfsGadget> gadget;
    Face face = Face::Off;
    std::shared_ptr<HidEndpoint> endpoint;
    std::deque<Report> toHost;
    std::deque<Report> keysToHost;
    std::size_t strokesSeen = 0;
    int pendingJoin = 0;   // the bus's timer of an arrival still on its way
    bool holdEncoder = false;
};

// How long a device takes from appearing on the model's bus to pulling up on
// the cable (a chip's USB module starting); the kernel adds its own enumeration.
std::uint32_t attachDelayMs = 300;

// Writes what the host may take now; keeps the rest for later.
void pump(int fd, std::deque<Report>& queue, const std::string& what)
{
    while (fd >= 0 && !queue.empty()) {
        const Report& r = queue.front();
        if (::write(fd, r.data(), r.size()) != static_cast<ssize_t>(r.size()))
            return;
        if (!what.empty())
            log(what + " " + hex(r.data(), r.size()));
        queue.pop_front();
    }
}

// Before a departure: the reports already answered (ENTER_BSL's reply) reach the host.
void flush(Port& p, std::uint32_t withinMs)
{
    const std::uint64_t until = nowMs() + withinMs;
    while (!p.toHost.empty() && nowMs() < until) {
        pump(p.gadget->commandFd(), p.toHost, p.hostPort + " dev<");
        pollfd pfd{p.gadget->commandFd(), POLLOUT, 0};
        ::poll(&pfd, 1, 5);
    }
    p.toHost.clear();
}

void leave(Port& p)
{
    if (p.face == Face::Off)
        return;
    flush(p, 300);
    p.gadget->unbind();
    p.endpoint.reset();
    p.keysToHost.clear();
    log(p.hostPort + " left the bus");
    p.face = Face::Off;
}

void join(Port& p, Face face, const std::string& path)
{
    leave(p);
    if (face == Face::Encoder && p.holdEncoder) {
        p.holdEncoder = false;
        log(p.hostPort + " held off the bus");
        return;
    }
    DeviceInfo info;
    p.endpoint = Bus::instance().open(path, &info);
    if (!p.endpoint)
        return;
    gadget::UsbIdentity id{info.vendorId, info.productId, narrow(info.manufacturer),
                           narrow(info.product), narrow(info.serial)};
    std::string why;
    if (!p.gadget->bind(id, face == Face::Encoder, why)) {
        log(p.hostPort + " cannot bind: " + why);
        p.endpoint.reset();
        return;
    }
    p.face = face;
    p.strokesSeen = p.device->encoder().keyStrokes().size();
    char ids[32];
    std::snprintf(ids, sizeof ids, "%04x:%04x", info.vendorId, info.productId);
    log(p.hostPort + " bound as " + ids + (face == Face::Loader ? " (loader)" : " (encoder)"));
}

// The model's bus events, in order: interface 1 is the encoder's arrival,
// ":bsl" the loader's; the keyboard interface comes and goes with them.
void onBusEvent(std::vector<Port>& ports, const BusEvent& e)
{
    for (Port& p : ports) {
        if (e.device.path.rfind(p.simPort + ":", 0) != 0)
            continue;
        const std::string tail = e.device.path.substr(p.simPort.size() + 1);
        const Face face = tail == "1.1" ? Face::Encoder : tail == "bsl" ? Face::Loader : Face::Off;
        if (face == Face::Off)
            return;
        if (p.pendingJoin) {
            Bus::instance().cancel(p.pendingJoin);
            p.pendingJoin = 0;
        }
        if (e.kind == BusEventKind::Arrival) {
            const std::string path = e.device.path;
            Port* port = &p;
            p.pendingJoin = Bus::instance().schedule(nowMs() + attachDelayMs, [port, face, path] {
                port->pendingJoin = 0;
                join(*port, face, path);
            });
        } else if (p.face == face) {
            leave(p);
        }
    }
}

std::string flashReport(Port& p, const std::string& version)
{
    std::vector<std::uint8_t> want(kFlashEnd + 1 - kFlashStart, 0xFF);
    for (const ImageSection& s : makeEncoderFirmware(version))
        for (std::size_t i = 0; i < s.bytes.size(); ++i)
            if (s.address + i >= kFlashStart && s.address + i <= kFlashEnd)
                want[s.address + i - kFlashStart] = s.bytes[i];
    const auto got = p.device->loader().read(kFlashStart, want.size());
    std::size_t differ = 0, first = want.size();
    for (std::size_t i = 0; i < want.size(); ++i)
        if (i >= got.size() || got[i] != want[i]) {
            ++differ;
            first = std::min(first, i);
        }
    std::ostringstream out;
    if (differ == 0)
        out << "flash matches " << version << " (" << want.size() << " bytes)";
    else
        out << "flash differs in " << differ << " bytes, first at 0x" << std::hex << kFlashStart + first;
    return out.str();
}

std::string control(std::vector<Port>& ports, const std::string& line)
{
    std::istringstream in(line);
    std::string verb, arg;
    std::size_t index = 0;
    in >> verb >> index >> arg;
    if (index < 1 || index > ports.size())
        return "error: no encoder " + std::to_string(index);
    Port& p = ports[index - 1];
    VirtualEncoder& e = p.device->encoder();
    std::ostringstream out;
    if (verb == "press") {
        const std::size_t before = e.keyStrokes().size();
        e.pressKey(std::atoi(arg.c_str()) - 1);
        const auto strokes = e.keyStrokes();
        if (strokes.size() == before)
            return "error: no key typed";
        out << "usage " << int(strokes.back().usage) << " modifier " << int(strokes.back().modifier);
    } else if (verb == "unplug") {
        p.device->unplug();
        out << "unplugged";
    } else if (verb == "plug") {
        p.device->plugIn();
        out << "plugged";
    } else if (verb == "strand") {
        strandInLoader(*p.device);
        out << "stranded in its loader";
    } else if (verb == "hold") {
        p.holdEncoder = true;
        out << "held";
    } else if (verb == "state") {
        const EncoderSettings now = e.settings(), kept = e.powerUpDefaults();
        out << "version=" << e.firmwareVersion() << " brightness=" << int(now.ledBrightness)
            << " colour=" << int(now.ledColour) << " buzzer=" << int(now.buzzer)
            << " period=" << int(now.buzzerPeriod) << " layout=" << int(now.keypadType)
            << " kept-brightness=" << int(kept.ledBrightness) << " kept-layout=" << int(kept.keypadType)
            << " table=" << hex(e.activeCodeTable().data(), kEncoderTableBytes)
            << " face=" << (p.face == Face::Encoder ? "encoder" : p.face == Face::Loader ? "loader" : "off");
    } else if (verb == "commands") {
        for (const ReceivedCommand& c : e.receivedCommands())
            out << VirtualEncoder::commandName(c.code) << ' ';
        e.clearReceivedCommands();
    } else if (verb == "flash") {
        out << flashReport(p, arg);
    } else if (verb == "loader") {
        out << "mass-erases=" << p.device->loader().massErases()
            << " resets=" << p.device->loader().brownOutResets();
    } else {
        return "error: unknown command " + verb;
    }
    return out.str();
}

void reply(const std::string& dir, const std::string& text)
{
    {
        std::ofstream f(dir + "/reply.tmp");
        f << text << '\n';
    }
    std::rename((dir + "/reply.tmp").c_str(), (dir + "/reply").c_str());
}

bool writeFile(const std::string& path, const std::string& text)
{
    std::ofstream f(path, std::ios::binary);
    f << text;
    return static_cast<bool>(f);
}

EncoderSettings allOptionsLayout8()
{
    EncoderSettings s = EncoderSettings::factory();
    s.optionsFitted = 7;
    s.keypadType = 8;
    return s;
}

int usage()
{
    std::cerr << "usage: vardo-usb-gadget [--encoders N] [--control DIR] [--loader-texts DIR]"
                 " [--press K,K,...] [--attach-ms MS]\n";
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    int count = 1;
    std::string controlDir, textsDir;
    std::vector<int> keys;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (i + 1 >= argc)
            return usage();
        const std::string v = argv[++i];
        if (a == "--encoders")
            count = std::atoi(v.c_str());
        else if (a == "--control")
            controlDir = v;
        else if (a == "--attach-ms")
            attachDelayMs = static_cast<std::uint32_t>(std::atoi(v.c_str()));
        else if (a == "--loader-texts")
            textsDir = v;
        else if (a == "--press") {
            std::istringstream list(v);
            for (std::string k; std::getline(list, k, ',');)
                keys.push_back(std::atoi(k.c_str()));
        } else
            return usage();
    }
    if (count < 1 || count > 2)
        return usage();  // four HID functions in all: two encoders of two interfaces
    if (keys.empty())
        for (int k = 1; k <= 16; ++k)
            keys.push_back(k);
    startMs = nowMs();
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::signal(SIGTERM, [](int) { stopRequested = 1; });
    std::signal(SIGINT, [](int) { stopRequested = 1; });

    if (!textsDir.empty()) {
        const auto vectors = encoderVectorTable();
        if (!writeFile(textsDir + "/password.Text",
                       toTiTxt({{kVectorTable, {vectors.begin(), vectors.end()}}}, TrailingBlank::Always))
            || !writeFile(textsDir + "/RAM_BSL.Text", toTiTxt(makeRamLoader(), TrailingBlank::ShortLines))) {
            std::cerr << "cannot write the loader texts into " << textsDir << "\n";
            return 1;
        }
    }
    int controlFd = -1;
    if (!controlDir.empty()) {
        const std::string fifo = controlDir + "/ctl";
        ::unlink(fifo.c_str());
        // Read and write: the FIFO never reads as ended between two writers.
        if (::mkfifo(fifo.c_str(), 0600) != 0
            || (controlFd = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC)) < 0) {
            std::cerr << fifo << ": " << std::strerror(errno) << "\n";
            return 1;
        }
    }

    std::vector<Port> ports(static_cast<std::size_t>(count));
    std::mutex eventsMutex;
    std::vector<BusEvent> events;
    Bus::instance().addListener([&](const BusEvent& e) {
        std::lock_guard lock(eventsMutex);
        events.push_back(e);
    });
    for (int i = 0; i < count; ++i) {
        Port& p = ports[static_cast<std::size_t>(i)];
        p.hostPort = std::to_string(i + 1) + "-1";
        p.simPort = "sim:" + p.hostPort;
        p.gadget = std::make_unique<gadget::ConfigfsGadget>("vardo" + std::to_string(i + 1),
                                                            "dummy_udc." + std::to_string(i), "/tmp");
        std::string why;
        if (!p.gadget->create(why)) {
            std::cerr << "cannot make the gadget: " << why << "\n";
            return 1;
        }
        VirtualEncoderConfig config;
        config.port = p.simPort;
        config.serial = L"VE710-00000" + std::to_wstring(i + 1);
        config.product = L"Vardo 710i Encoder";
        config.factorySettings = allOptionsLayout8();
        p.device = std::make_unique<VirtualEncoderDevice>(VirtualEncoderDeviceConfig{config});
        pressKeysInSelfTest(p.device->encoder(), keys);
    }
    log("ready: " + std::to_string(count) + " encoder(s)");

    std::string controlLine;
    while (!stopRequested) {
        Bus::instance().runDue();
        std::vector<BusEvent> now;
        {
            std::lock_guard lock(eventsMutex);
            now.swap(events);
        }
        for (const BusEvent& e : now)
            onBusEvent(ports, e);

        // Reports the model has made due go out; the keys typed become boot
        // keyboard reports, a press and its release.
        std::uint64_t wake = nowMs() + 50;
        std::vector<pollfd> fds;
        for (Port& p : ports) {
            if (p.face == Face::Off)
                continue;
            Report r(64, 0);
            for (int n; (n = p.endpoint->read(r.data(), r.size())) > 0; r.assign(64, 0))
                p.toHost.push_back(r);
            pump(p.gadget->commandFd(), p.toHost, p.hostPort + " dev<");
            const auto strokes = p.device->encoder().keyStrokes();
            for (; p.strokesSeen < strokes.size(); ++p.strokesSeen) {
                const KeyStroke& k = strokes[p.strokesSeen];
                p.keysToHost.push_back({k.modifier, 0, k.usage, 0, 0, 0, 0, 0});
                p.keysToHost.push_back(Report(8, 0));
            }
            pump(p.gadget->keyboardFd(), p.keysToHost, p.hostPort + " key<");
            if (!p.toHost.empty() || !p.keysToHost.empty())
                wake = std::min(wake, nowMs() + 5);
            if (auto due = p.endpoint->nextReportDue())
                wake = std::min(wake, *due);
            fds.push_back({p.gadget->commandFd(), POLLIN, 0});
            if (p.gadget->keyboardFd() >= 0)
                fds.push_back({p.gadget->keyboardFd(), POLLIN, 0});
        }
        if (auto due = Bus::instance().nextScheduledDue())
            wake = std::min(wake, *due);
        if (controlFd >= 0)
            fds.push_back({controlFd, POLLIN, 0});
        const std::uint64_t t = nowMs();
        ::poll(fds.data(), fds.size(), wake > t ? static_cast<int>(wake - t) : 0);

        for (const pollfd& f : fds) {
            if (!(f.revents & POLLIN))
                continue;
            if (f.fd == controlFd) {
                char buf[256];
                const ssize_t n = ::read(controlFd, buf, sizeof buf);
                for (ssize_t i = 0; i < n; ++i) {
                    if (buf[i] != '\n') {
                        controlLine += buf[i];
                        continue;
                    }
                    const std::string answer = control(ports, controlLine);
                    log("control: " + controlLine + " -> " + answer);
                    reply(controlDir, answer);
                    controlLine.clear();
                }
                continue;
            }
            for (Port& p : ports) {
                if (p.face == Face::Off)
                    continue;
                std::uint8_t buf[64] = {};
                if (f.fd == p.gadget->keyboardFd()) {
                    (void)::read(f.fd, buf, sizeof buf);  // the host's LED state
                } else if (f.fd == p.gadget->commandFd()) {
                    const ssize_t n = ::read(f.fd, buf, sizeof buf);
                    if (n > 0) {
                        // The host's report as it came off the wire; a short one says so.
                        log(p.hostPort + " host> " + hex(buf, static_cast<std::size_t>(n))
                            + (n == 64 ? "" : "(" + std::to_string(n) + " bytes)"));
                        p.endpoint->write(buf, static_cast<std::size_t>(n));
                    }
                }
            }
        }
    }
    for (Port& p : ports)
        leave(p);
    ports.clear();
    log("stopped");
    return 0;
}
