// SPDX-License-Identifier: MIT
// What the library says about faults: one line per fault of one version of one archive,
// however many opens and reads meet it, and the errno an open fails with for each kind of
// failure (engine/Status.h): damage in the archive gives EIO, a stop EINTR, what the machine
// lacked its own errno.
//
// Any thread; the mutex is a leaf.
#pragma once

#include <functional>
#include <mutex>
#include <set>
#include <string>

#include "engine/Status.h"
#include "platform/SharedFile.h"

namespace kavrin {

class FaultLog {
public:
    explicit FaultLog(std::function<void(const std::string&)> sink) : sink_(std::move(sink)) {}

    // Writes `line` unless a line went out under `key` before.
    void Once(const std::string& key, const std::string& line);
    // A key for the fault `what` of version `v` of the archive at `path`.
    static std::string Key(const char* what, const std::string& path,
                           const platform::FileVersion& v);

    // Says why the archive at `path` could not be opened (nothing for a stop) and returns the
    // errno the open fails with.
    int OpenFailed(const std::string& path, const platform::FileVersion& v, const Status& failure);

private:
    std::function<void(const std::string&)> sink_;
    std::mutex mutex_;
    std::set<std::string> logged_;
};

}  // namespace kavrin
