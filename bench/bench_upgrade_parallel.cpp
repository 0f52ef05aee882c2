// `upgrade --all` of 1, 4 and 8 virtual encoders on the modelled USB and flash
// timing (fixed waits taken out, skip_long_waits_clock.h): each loader has
// its own interrupt pipe, so eight should take little longer than one.
#include "skip_long_waits_clock.h"

#include "cli/cli.h"
#include "platform/user_folder.h"
#include "sim/bus.h"
#include "sim/virtual_device.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

void BM_UpgradeAllInParallel(benchmark::State& state)
{
    const int encoders = static_cast<int>(state.range(0));
    vardo::bench::SkipLongWaitsClock clock;
    vardo::platform::ScopedClock scoped(clock);
    char folder[] = "/tmp/vardo-bench-XXXXXX";
    if (!::mkdtemp(folder)) {
        state.SkipWithError("no temporary folder");
        return;
    }
    vardo::platform::setUserDataFolderOverride(folder);
    const std::string image = std::string(VARDO_FIRMWARE_SAMPLES_DIR) + "/encoder_firmware_01.06A.txt";
    double totalMs = 0;
    for (auto _ : state) {
        vardo::sim::Bus::instance().reset();
        std::vector<std::unique_ptr<vardo::sim::VirtualEncoderDevice>> bench;
        for (int i = 1; i <= encoders; ++i) {
            vardo::sim::VirtualEncoderDeviceConfig config;
            config.encoder.port = "sim:1-" + std::to_string(i);
            config.encoder.serial = L"VE710-00000" + std::to_wstring(i);
            bench.push_back(std::make_unique<vardo::sim::VirtualEncoderDevice>(config));
        }
        std::ostringstream out, err;
        vardo::cli::Console console(out, err);
        const auto start = std::chrono::steady_clock::now();
        const int code = vardo::cli::runCli({"upgrade", "--all", "--yes", image}, console);
        const auto stop = std::chrono::steady_clock::now();
        if (code != 0) {
            state.SkipWithError(("upgrade --all failed: " + err.str()).c_str());
            break;
        }
        const double seconds = std::chrono::duration<double>(stop - start).count();
        state.SetIterationTime(seconds);
        totalMs += seconds * 1000;
    }
    if (state.iterations() > 0)
        state.counters["wall_ms"] = totalMs / static_cast<double>(state.iterations());
    vardo::sim::Bus::instance().reset();
    vardo::platform::setUserDataFolderOverride("");
    std::filesystem::remove_all(folder);
}

} // namespace

BENCHMARK(BM_UpgradeAllInParallel)
    ->Arg(1)->Arg(4)->Arg(8)
    ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

BENCHMARK_MAIN();
