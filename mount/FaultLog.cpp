// SPDX-License-Identifier: MIT
#include "mount/FaultLog.h"

#include <cerrno>

namespace kavrin {

void FaultLog::Once(const std::string& key, const std::string& line) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!logged_.insert(key).second) return;
    }
    if (sink_) sink_(line);
}

std::string FaultLog::Key(const char* what, const std::string& path,
                          const platform::FileVersion& v) {
    return std::string(what) + " " + path + " " + std::to_string(v.changedSeconds) + "." +
           std::to_string(v.changedNanos);
}

int FaultLog::OpenFailed(const std::string& path, const platform::FileVersion& v,
                         const Status& failure) {
    if (failure.kind() == FailureKind::Stopped) return EINTR;
    if (failure.IsDamage()) {
        Once(Key("index", path, v),
             path + ": can't be read (" + failure.message() + "); opening it gives EIO");
        return EIO;
    }
    const int error = failure.systemError() != 0 ? failure.systemError() : EIO;
    Once(Key("busy", path, v) + std::to_string(error),
         path + ": can't be opened now (" + failure.message() + "); the next open tries again");
    return error;
}

}  // namespace kavrin
