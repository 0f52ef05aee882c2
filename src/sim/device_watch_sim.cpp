// The device watch over the virtual bus: every arrival and removal, heard on
// the thread that changed the bus.
#include "device/device_watch.h"

#include "sim/bus.h"

#include <mutex>

namespace vardo::device {

namespace {

class BusWatch final : public DeviceWatch {
public:
    explicit BusWatch(Handler handler) : state_(std::make_shared<State>())
    {
        state_->handler = std::move(handler);
        listener_ = sim::Bus::instance().addListener([state = state_](const sim::BusEvent&) {
            std::lock_guard lock(state->mutex);
            if (state->handler)
                state->handler();
        });
    }

    ~BusWatch() override
    {
        sim::Bus::instance().removeListener(listener_);
        // Waits for a handler still running on another thread.
        std::lock_guard lock(state_->mutex);
        state_->handler = nullptr;
    }

private:
    struct State {
        std::mutex mutex;
        Handler handler;
    };
    std::shared_ptr<State> state_;
    int listener_ = 0;
};

} // namespace

std::unique_ptr<DeviceWatch> DeviceWatch::start(Handler handler)
{
    return std::make_unique<BusWatch>(std::move(handler));
}

} // namespace vardo::device
