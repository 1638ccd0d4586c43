// SPDX-License-Identifier: MIT
#include "tests/support/DispatchHarness.h"

#include <stdexcept>

#include "jobs/Naming.h"

namespace kavrin::test {

DispatchHarness::DispatchHarness() {
    binding = {&record, &engine, &deleteSource, &sink};
    if (!StartWorker(binding, window)) throw std::runtime_error("the worker did not start");
}

DispatchHarness::~DispatchHarness() {
    StopWorker(record);
}

void DispatchHarness::Add(const std::string& path) {
    std::string name, folder;
    SplitPath(path, &name, &folder);
    window.rows.insert(window.rows.begin(), {name, folder, nextId++});
    if (dispatcher.Running() && record.State() == JobState::Idle) {
        dispatcher.OnJobFinished({}, false);
    }
}

bool DispatchHarness::Deliver() {
    std::optional<JobEnd> end = sink.Take();
    if (!end) return false;
    dispatcher.OnJobFinished(*end, true);
    return true;
}

bool DispatchHarness::DeliverAll() {
    while (dispatcher.JobInFlight()) {
        if (!Deliver()) return false;
    }
    return true;
}

std::vector<std::string> DispatchHarness::Actions() const {
    std::vector<std::string> actions;
    for (const ReportRow& row : window.report) actions.push_back(row.file + " " + row.action);
    return actions;
}

}  // namespace kavrin::test
