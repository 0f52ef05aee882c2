// The device watch over the virtual bus: its arrivals and removals, heard on
// the thread that changed the bus.
#include "loader/hotplug.h"

#include "sim/bus.h"
#include "sim/hotplug_sim.h"

#include <atomic>

#include <memory>
#include <mutex>

namespace vardo::loader {

namespace {

struct Watch {
    std::mutex mutex;
    bool active = true;
    DeviceChangeHandler handler;
    int listener = 0;
};

std::mutex g_mutex;
std::shared_ptr<Watch> g_watch;
std::atomic<bool> g_refused{false};

} // namespace

bool startDeviceWatch(DeviceChangeHandler handler)
{
    stopDeviceWatch();
    if (g_refused)
        return false;
    auto w = std::make_shared<Watch>();
    w->handler = std::move(handler);
    w->listener = sim::Bus::instance().addListener([w](const sim::BusEvent& e) {
        std::lock_guard lock(w->mutex);
        if (w->active)
            w->handler({e.device.vendorId, e.device.productId, e.kind == sim::BusEventKind::Arrival});
    });
    std::lock_guard lock(g_mutex);
    g_watch = std::move(w);
    return true;
}

void stopDeviceWatch()
{
    std::shared_ptr<Watch> w;
    {
        std::lock_guard lock(g_mutex);
        w = std::move(g_watch);
    }
    if (!w)
        return;
    sim::Bus::instance().removeListener(w->listener);
    std::lock_guard lock(w->mutex);  // waits for a handler still running elsewhere
    w->active = false;
}

} // namespace vardo::loader

namespace vardo::sim {
void setDeviceWatchRefused(bool refused) { vardo::loader::g_refused = refused; }
} // namespace vardo::sim
