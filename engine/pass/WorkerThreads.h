// SPDX-License-Identifier: MIT
// The worker threads of one parallel pass: started together, and stopped and joined together
// before the pass returns, so that no thread outlives the job that started it.
//
// Used by the job's thread only. The workers wait on the pass's own condition variable and
// leave their loop once the pass's abort flag is set.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace kavrin {

class WorkerThreads {
public:
    WorkerThreads() = default;
    WorkerThreads(const WorkerThreads&) = delete;
    WorkerThreads& operator=(const WorkerThreads&) = delete;

    // Starts up to `count` threads running `body`: fewer when the system has no more threads
    // to give. Returns how many run.
    template <class Body>
    size_t Start(uint32_t count, Body body) {
        for (uint32_t i = 0; i < count; ++i) {
            try {
                threads_.emplace_back(body);
            } catch (const std::system_error&) {
                break;  // go on with the workers there are
            }
        }
        return threads_.size();
    }

    // Sets `abort` under `mutex`, wakes every thread waiting on `wake` and joins them all.
    void StopAndJoin(std::mutex& mutex, std::atomic<bool>& abort, std::condition_variable& wake) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            abort = true;
        }
        wake.notify_all();
        for (std::thread& thread : threads_) thread.join();
        threads_.clear();
    }

private:
    std::vector<std::thread> threads_;
};

}  // namespace kavrin
