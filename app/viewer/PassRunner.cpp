#include "app/viewer/PassRunner.h"

#include <chrono>

PassRunner::~PassRunner() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

bool PassRunner::run(const Pass& pass, const std::function<void()>& betweenSlices) {
    if (!thread_.joinable()) thread_ = std::thread([this] { serve(); });
    context_.reset();
    std::unique_lock<std::mutex> lock(mutex_);
    pass_ = &pass;
    done_ = false;
    wake_.notify_all();
    while (!wake_.wait_for(lock, std::chrono::milliseconds(kSliceMs), [this] { return done_; })) {
        lock.unlock();
        betweenSlices();
        lock.lock();
    }
    pass_ = nullptr;
    return finished_;
}

void PassRunner::serve() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || (pass_ && !done_); });
        if (stopping_) return;
        const Pass& pass = *pass_;
        lock.unlock();
        const bool finished = pass(context_);
        lock.lock();
        finished_ = finished;
        done_ = true;
        wake_.notify_all();
    }
}
