// SPDX-License-Identifier: MIT
// A window for the dispatcher without Qt: a queue and a report as plain rows, scripted
// answers, a real worker, and the test thread playing the window's event loop (it delivers each
// posted outcome to the dispatcher).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "jobs/Dispatcher.h"
#include "jobs/Worker.h"
#include "tests/support/ScriptedPrompt.h"

namespace kavrin::test {

struct ReportRow {
    std::string file, folder, action;
    DeltaMode mode;
    uint64_t oldSize, newSize;
};

// The worker's side of the window: progress is ignored, outcomes are queued for the test
// thread to deliver, as the window's event loop would.
class QueuedSink : public WorkerSink {
public:
    void BeginProgress(uint32_t) override {}
    void StepProgress() override {
        if (onStep) onStep();
    }
    void ResetProgress() override {}
    void SetLamps(LampPhase) override {}
    void SetAnalysisLamp(bool) override {}
    void PostJobFinished(const JobEnd& end) override {
        std::lock_guard<std::mutex> lock(mutex_);
        posted_.push_back(end);
        changed_.notify_all();
    }
    // Waits until an outcome has been posted and takes it.
    std::optional<JobEnd> Take(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!changed_.wait_for(lock, limit, [&] { return !posted_.empty(); })) return {};
        JobEnd end = posted_.front();
        posted_.pop_front();
        return end;
    }
    std::function<void()> onStep;

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<JobEnd> posted_;
};

// The window, as far as the dispatcher sees it.
class FakeWindow : public DispatchHost, public ScriptedPrompt {
public:
    struct Row {
        std::string file, folder;
        uint32_t data;
    };
    int QueueRowCount() override { return static_cast<int>(rows.size()); }
    std::string RowFile(int row) override { return rows.at(row).file; }
    std::string RowFolder(int row) override { return rows.at(row).folder; }
    uint32_t RowData(int row) override { return rows.at(row).data; }
    void SetRowData(int row, uint32_t data) override { rows.at(row).data = data; }
    int FindRowByData(uint32_t data) override {
        for (size_t i = 0; i < rows.size(); ++i) {
            if (rows[i].data == data) return static_cast<int>(i);
        }
        return -1;
    }
    void RemoveQueueRow(int row) override { rows.erase(rows.begin() + row); }
    void UpdateDeleteButton() override {}
    void RedrawQueue() override {}
    void AddReportRow(int row, const std::string& action, DeltaMode mode, uint64_t oldSize,
                      uint64_t newSize) override {
        report.push_back({rows.at(row).file, rows.at(row).folder, action, mode, oldSize, newSize});
        log.push_back("report:" + action);
    }
    void UpdateRunButtons() override {}
    DispatchOptions Options() override { return options; }
    void FocusDestinationEdit() override { log.push_back("focus"); }
    void RestoreIfMinimised() override {}
    void SetWaitCursor(bool) override {}
    void ShowError(const std::string& text) override {
        ScriptedPrompt::ShowError(text);
        log.push_back("message");
    }

    std::vector<Row> rows;  // index 0 is the top row
    std::vector<ReportRow> report;
    std::vector<std::string> log;
    DispatchOptions options;
};

// The window's side of job control, wired as the window wires it.
class DispatchHarness {
public:
    DispatchHarness();
    ~DispatchHarness();

    // AddToQueue as the queue does it: a new row on top, and a start request when processing
    // is on and no job runs.
    void Add(const std::string& path);
    // Delivers the next outcome the worker posts; false when none came within the limit.
    bool Deliver();
    // Delivers outcomes until no job is in flight; false if one never came.
    bool DeliverAll();
    // "file action" for each report row, oldest first.
    std::vector<std::string> Actions() const;

    JobRecord record;
    EngineContextPtr engine;
    std::atomic<int32_t> deleteSource{0};
    QueuedSink sink;
    FakeWindow window;
    WorkerBinding binding;
    Dispatcher dispatcher{record, window, window};
    uint32_t nextId = 0;
};

}  // namespace kavrin::test
