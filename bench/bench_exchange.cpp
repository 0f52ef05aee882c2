// GET_STATUS round trips against the virtual encoder set to answer 1 ms after
// a command. On the real clock: how long after the reply is due does the
// exchange return? On the virtual clock: the CPU cost of one exchange.
#include "link/encoder_commands.h"
#include "link/hid_transport.h"
#include "platform/clock.h"
#include "sim/bus.h"
#include "sim/virtual_encoder.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <vector>

using namespace vardo;
using Steady = std::chrono::steady_clock;

namespace {

hid_device* openEncoder()
{
    char manufacturer[48];
    char product[48];
    return ScanForUSBDevice_a(link::kEncoderVendorId, link::kEncoderProductId, manufacturer,
                              product);
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    const auto k = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1));
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
    return v[k];
}

// The encoder's clock counts whole milliseconds of the steady clock, so a
// command written just after a millisecond boundary has its reply due exactly
// 1 ms after that boundary. The time from the due moment to the return of the
// exchange is the link's overhead (waking, reading and checking the reply).
void BM_GetStatusOverheadRealClock(benchmark::State& state)
{
    platform::setClock(nullptr);
    sim::Bus::instance().reset();
    sim::VirtualEncoderConfig config;
    config.replyDelayMs = 1;
    sim::VirtualEncoder encoder(config);
    hid_device* device = openEncoder();
    if (!device) {
        state.SkipWithError("virtual encoder not found");
        return;
    }
    std::array<std::uint8_t, 64> reply{};
    std::vector<double> overheadUs;
    overheadUs.reserve(4096);
    bool failed = false;
    for (auto _ : state) {
        const auto boundary = std::chrono::ceil<std::chrono::milliseconds>(Steady::now());
        while (Steady::now() < boundary) {
        }
        std::uint32_t length = 0;
        const auto r = USBEncoderSendAndReceive_a(device, link::GET_STATUS, nullptr, 0,
                                                  reply.data(), 64, &length, 5000);
        const auto end = Steady::now();
        failed |= r != 0 || length != 20;
        const std::chrono::duration<double> elapsed = end - boundary;
        state.SetIterationTime(elapsed.count());
        overheadUs.push_back(elapsed.count() * 1e6 - 1000.0);
    }
    if (failed)
        state.SkipWithError("an exchange failed");
    state.counters["median_overhead_us"] = percentile(overheadUs, 0.5);
    state.counters["p90_overhead_us"] = percentile(overheadUs, 0.9);
    state.counters["max_overhead_us"] = percentile(overheadUs, 1.0);
    hid_close(device);
    sim::Bus::instance().reset();
}
BENCHMARK(BM_GetStatusOverheadRealClock)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(1000)
    ->Repetitions(5)
    ->ComputeStatistics("max", [](const std::vector<double>& v) {
        return *std::max_element(v.begin(), v.end());
    })
    ->ReportAggregatesOnly(true);

// Everything but the waiting: frame, drain, write, reply computed by the
// encoder, poll, check and unpack, with time standing still.
void BM_ReadDeviceStatusVirtualClock(benchmark::State& state)
{
    platform::VirtualClock clock;
    platform::ScopedClock scoped(clock);
    sim::Bus::instance().reset();
    sim::VirtualEncoder encoder;
    hid_device* device = openEncoder();
    if (!device) {
        state.SkipWithError("virtual encoder not found");
        return;
    }
    link::DeviceStatus status;

    for (auto _ : state) {
        if (link::readDeviceStatus(device, status) != link::Result::Ok) {
            state.SkipWithError("status read failed");
            break;
        }
        benchmark::DoNotOptimize(status.codeTable);
    }
    state.SetItemsProcessed(state.iterations());
    hid_close(device);
    sim::Bus::instance().reset();
}
BENCHMARK(BM_ReadDeviceStatusVirtualClock)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
