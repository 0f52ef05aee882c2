#include "platform/worker.h"

#include <QMetaObject>

namespace vardo::platform {

Worker::Worker(QObject* owner) : QObject(owner), thread_([this] { loop(); }) {}

Worker::~Worker()
{
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
        queue_.clear();
    }
    wake_.notify_one();
    thread_.join();
}

void Worker::post(std::function<void()> work, std::function<void()> done)
{
    {
        const std::lock_guard lock(mutex_);
        queue_.push_back([this, work = std::move(work), done = std::move(done)]() mutable {
            work();
            // Delivered through this object: nothing arrives once it has gone.
            QMetaObject::invokeMethod(this, std::move(done), Qt::QueuedConnection);
        });
    }
    wake_.notify_one();
}

void Worker::loop()
{
    for (;;) {
        std::function<void()> next;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (stopping_)
                return;
            next = std::move(queue_.front());
            queue_.pop_front();
        }
        next();
    }
}

} // namespace vardo::platform
