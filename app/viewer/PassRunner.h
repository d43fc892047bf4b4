// PassRunner: runs render passes on a thread of its own, so that the main
// thread keeps handling window events while a pass is in flight and can stop
// it. The pass itself still spreads its tiles over the task scheduler.
#pragma once

#include <tbb/task_group.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

class PassRunner {
public:
    // A pass given the context that stops it; false when it was stopped.
    using Pass = std::function<bool(tbb::task_group_context&)>;
    // Longest wait between two calls of the caller's event handling.
    static constexpr int kSliceMs = 10;

    PassRunner() = default;
    PassRunner(const PassRunner&) = delete;
    PassRunner& operator=(const PassRunner&) = delete;
    ~PassRunner();

    // Runs the pass and returns when it has ended, calling betweenSlices on
    // this thread at least every kSliceMs meanwhile. betweenSlices may call
    // cancel. False when the pass was stopped.
    bool run(const Pass& pass, const std::function<void()>& betweenSlices);
    // Stops the running pass at its next tile; only while run is waiting.
    void cancel() { context_.cancel_group_execution(); }

private:
    void serve();

    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    const Pass* pass_ = nullptr;  // set while a pass waits or runs
    bool done_ = false;
    bool finished_ = false;
    bool stopping_ = false;
    tbb::task_group_context context_;
};
