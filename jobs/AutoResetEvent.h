// SPDX-License-Identifier: MIT
// An auto-reset event: Set wakes one waiter (or the next one to wait), and each wake-up
// consumes the signal. The worker sleeps on one without a time limit; nothing polls.
// Any thread may call Set; Wait is for one thread.
#pragma once

#include <condition_variable>
#include <mutex>

namespace kavrin {

class AutoResetEvent {
public:
    void Set() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            signalled_ = true;
        }
        wake_.notify_one();
    }

    // Blocks until the event is signalled, then resets it.
    void Wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [this] { return signalled_; });
        signalled_ = false;
    }

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    bool signalled_ = false;
};

}  // namespace kavrin
