#pragma once
// The virtual encoder's loader face: an MSP430F5xx-like USB bootstrap loader
// on the virtual bus (VID 0x2047, PID 0x0200) speaking the USB loader's
// framing (loader/loader_protocol.h). The loader in flash knows only RX
// password, RX data block fast and load PC (7 for the rest); the RAM loader it
// starts (load PC 0x2504 of the image it recognises) knows all, after it has
// re-enumerated. Locked (4) until a password is accepted; a wrong one
// mass-erases (5). Fast writes are never answered; flash takes whole words.
// Flash of 512-byte segments that programs by clearing bits, CRC over memory
// and the forced brown-out restart.
// Its USB and flash timing is modelled on the platform clock. Thread-safe; Qt-free.
#include "sim/encoder_images.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vardo::sim {

// Modelled times, after the MSP430F5xx data sheet and a full-speed interrupt pipe.
struct LoaderTiming {
    std::uint32_t reportUs = 1000;         // one 64-byte report each way per millisecond
    std::uint32_t segmentEraseUs = 23000;
    std::uint32_t massEraseUs = 23000;
    std::uint32_t flashWordUs = 64;        // per 16-bit word programmed
    std::uint32_t crcByteUs = 1;
    std::uint32_t loaderEntryMs = 0;          // off the bus from ENTER_BSL until the ROM loader enumerates
    std::uint32_t ramLoaderStartMs = 1000;    // off the bus while the RAM loader enumerates
    std::uint32_t applicationStartMs = 2000;  // off the bus after the brown-out reset
};

enum class LoaderMode {
    Off,          // not on the bus as a loader (never plugged, unplugged, or the application runs)
    RomLoader,    // the loader in the chip's flash (three commands)
    RamLoader,    // the uploaded RAM loader runs
    Restarting,   // off the bus between a start and the next enumeration
    Application,  // the application runs (handed to the restart handler)
};

struct LoaderFaults {
    int unplugAfterPackets = -1;       // off the bus when packet N+1 (counted from setFaults) arrives
    bool refusePasswords = false;      // every password is refused (and mass-erases)
    std::optional<Version4> ramLoaderVersion;   // the started RAM loader reports this instead
    std::optional<std::uint32_t> stuckCell;     // this flash byte keeps its erased value
    int failCrcRequest = -1;           // the N-th CRC request from now (1-based) is lost (no answer); -1 none
    bool failAllCrcRequests = false;
    bool failErases = false;           // each segment erase is answered with FLASH_FAIL_BIT, nothing erased
    int refuseWritesAfterPackets = -1; // from packet N+1 (counted from setFaults) the USB write fails,
                                       // while the loader stays on the bus; -1 never
    // A restart into a programmed application comes back as this instead:
    // RomLoader (the application does not start), Off (nothing comes back).
    std::optional<LoaderMode> restartsAs;
};

struct LoaderCommandRecord {
    std::uint64_t atMs = 0;     // platform clock, when it arrived
    std::uint8_t command = 0;
    std::uint32_t address = 0;
    std::uint32_t length = 0;   // data bytes, or the length parameter
    std::uint8_t status = 0;    // as answered (commands without a reply: 0)
};

struct VirtualLoaderConfig {
    std::string path = "sim:1-1:bsl";
    std::wstring product = L"USB BSL";
    LoaderTiming timing{};
    bool plugIn = false;        // attach as the ROM loader at construction
};

class VirtualLoader {
public:
    explicit VirtualLoader(VirtualLoaderConfig config = {});
    ~VirtualLoader();  // leaves the bus
    VirtualLoader(const VirtualLoader&) = delete;
    VirtualLoader& operator=(const VirtualLoader&) = delete;

    std::string path() const;

    // The chip enters its ROM loader (locked) and enumerates.
    void plugIn();
    // The same from the running application (ENTER_BSL): it enumerates after timing.loaderEntryMs.
    void enterFromApplication();
    // Off the bus at once; handles still open go stale.
    void unplug();
    bool onBus() const;
    LoaderMode mode() const;
    bool unlocked() const;
    // The version of the loader in force (the flash-resident one does not tell it over USB).
    Version4 reportedVersion() const;

    // Runs, with no lock held, when a brown-out reset starts a programmed
    // application (reset vector not 0xFFFF), with the version its flash carries
    // ("??????" without a version record). Without it the loader just stays off the bus.
    void setRestartHandler(std::function<void(const std::string& firmwareVersion)> handler);

    // Runs, with no lock held, when the loader enters or leaves the bus or its
    // flash changes (a mass erase at once, segment erases and writes at most
    // every second of the clock and at the next other command): for a record
    // kept of the device.
    void setChangeHandler(std::function<void()> handler);

    // ---- memory (test set-up and inspection; no timing) --------------------
    void eraseFlash();
    // Writes bytes as they are (flash included), e.g. a released firmware.
    void loadImage(const Image& image);
    std::vector<std::uint8_t> read(std::uint32_t address, std::size_t length) const;
    std::optional<std::string> flashFirmwareVersion() const;

    // ---- what happened ------------------------------------------------------
    std::vector<LoaderCommandRecord> commands() const;
    void clearCommands();
    int packetsReceived() const;    // since the last enumeration
    int massErases() const;
    int brownOutResets() const;
    // Modelled busy time of the pipe and the chip (transfers, erase, program, CRC).
    std::uint64_t wireTimeUs() const;
    void resetWireTime();

    // ---- faults ---------------------------------------------------------------
    void setFaults(const LoaderFaults& faults);
    LoaderFaults faults() const;
    void setTiming(const LoaderTiming& timing);

    struct Core;

private:
    std::shared_ptr<Core> core_;
};

} // namespace vardo::sim
