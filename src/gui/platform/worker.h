#pragma once
// One thread beside a window for the exchanges that block: closures queued
// here run one after another, off the event loop, and each one's result comes
// back to the window's thread as a queued call. A window stays drawn and
// answering while an encoder takes its time (or never answers).
#include <QObject>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <type_traits>
#include <utility>

namespace vardo::platform {

class Worker : public QObject {
    Q_OBJECT
public:
    // Results are delivered on the thread that made the worker (a window's).
    explicit Worker(QObject* owner = nullptr);
    // Waits for the closure in progress; those not started yet are dropped.
    ~Worker() override;
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    // work() on the worker thread, then done(its result) on the window's thread.
    // Called on the window's thread. work must not touch widgets.
    template <typename Work, typename Done>
    void run(Work work, Done done)
    {
        using R = std::invoke_result_t<Work&>;
        if constexpr (std::is_void_v<R>) {
            post(std::move(work), std::move(done));
        } else {
            auto result = std::make_shared<std::optional<R>>();
            post([work = std::move(work), result]() mutable { result->emplace(work()); },
                 [done = std::move(done), result]() mutable { done(std::move(**result)); });
        }
    }

private:
    void post(std::function<void()> work, std::function<void()> done);
    void loop();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> queue_;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace vardo::platform
