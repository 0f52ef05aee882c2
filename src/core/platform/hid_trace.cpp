#include "platform/hid_trace.h"


#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace vardo::platform {

namespace {

std::atomic<int> g_state{-1};  // -1 not decided yet, 0 off, 1 on

} // namespace

void enableHidTrace(bool on) { g_state = on ? 1 : 0; }

bool hidTraceEnabled()
{
    int s = g_state.load();
    if (s < 0) {
        const char* v = std::getenv("VARDO_TRACE");
        s = v && std::strcmp(v, "0") != 0 && *v ? 1 : 0;
        int expected = -1;
        g_state.compare_exchange_strong(expected, s);
        s = g_state.load();
    }
    return s == 1;
}

void traceHidReport(const char* who, bool out, const std::uint8_t* data, long count)
{
    if (!hidTraceEnabled())
        return;
    // Wall-clock milliseconds, so a trace lines up with the kernel's USB log.
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
    char head[96];
    std::snprintf(head, sizeof head, "[%lld.%03lld] %s %s", static_cast<long long>(ms / 1000),
                  static_cast<long long>(ms % 1000), who, out ? "out" : "in ");
    std::string line = head;
    if (count < 0 || !data) {
        line += " failed (" + std::to_string(count) + ")";
    } else {
        char hex[4];
        for (long i = 0; i < count; ++i) {
            std::snprintf(hex, sizeof hex, " %02X", data[i]);
            line += hex;
        }
    }
    line += '\n';
    static std::mutex m;
    std::lock_guard lock(m);
    std::fputs(line.c_str(), stderr);
}

} // namespace vardo::platform
