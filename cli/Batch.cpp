// SPDX-License-Identifier: MIT
#include "cli/Batch.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "cli/BatchJob.h"
#include "cli/BatchReport.h"
#include "cli/Commands.h"
#include "cli/Display.h"
#include "cli/Interrupt.h"
#include "cli/Translate.h"
#include "platform/Processors.h"

namespace kavrin::cli {
namespace {

using Clock = std::chrono::steady_clock;

// Standard output failed: what the batch reports or streams is lost, so it stops as for Ctrl-C.
std::atomic<bool> g_outputLost{false};
// Standard output's reader closed the pipe: the batch ends quietly with kExitPipeClosed.
std::atomic<bool> g_pipeClosed{false};

bool StillWanted() {
    return !Interrupted() && !g_outputLost.load();
}

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The workers and what they share with the main thread. Items are handed over through `ready_`
// and come back through `finished_`, both under `mutex_`.
class WorkerPool {
public:
    WorkerPool(std::vector<BatchItem>& items, const JobSettings& settings)
        : items_(items), settings_(settings), finished_(items.size(), false) {}

    ~WorkerPool() { Stop(); }

    // Starts up to `count` workers, each with its own engine using `threadsPerFile` threads.
    // Returns how many started.
    size_t Start(size_t count, unsigned threadsPerFile) {
        for (size_t i = 0; i < count; ++i) {
            EngineContextPtr engine = CreateEngineContext();
            if (!engine) break;
            SetEngineThreads(*engine, threadsPerFile);
            try {
                threads_.emplace_back(&WorkerPool::Work, this, engine.get());
            } catch (const std::system_error&) {
                break;  // out of threads: run with the workers there are
            }
            engines_.push_back(std::move(engine));
        }
        return threads_.size();
    }

    void Submit(size_t index) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ready_.push_back(index);
            ++inFlight_;
        }
        workAvailable_.notify_one();
    }

    // An item whose outcome the main thread settled itself.
    void MarkFinished(size_t index) {
        std::lock_guard<std::mutex> lock(mutex_);
        finished_[index] = true;
    }

    size_t InFlight() {
        std::lock_guard<std::mutex> lock(mutex_);
        return inFlight_;
    }

    // Waits until a job ends or `timeout` passes.
    void WaitForNews(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        news_.wait_for(lock, timeout, [&] { return newsFlag_; });
        newsFlag_ = false;
    }

    bool IsFinished(size_t index) {
        std::lock_guard<std::mutex> lock(mutex_);
        return finished_[index];
    }

    uint64_t FilesDone() {
        std::lock_guard<std::mutex> lock(mutex_);
        return filesDone_;
    }

    std::atomic<uint64_t>& BytesDone() { return bytesDone_; }

    void Stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            closing_ = true;
        }
        workAvailable_.notify_all();
        for (std::thread& thread : threads_) thread.join();
        threads_.clear();
    }

private:
    void Work(EngineContext* engine) {
        for (;;) {
            size_t index = 0;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                workAvailable_.wait(lock, [&] { return closing_ || !ready_.empty(); });
                if (ready_.empty()) return;
                index = ready_.front();
                ready_.pop_front();
            }
            RunPreparedItem(items_[index], *engine, settings_, bytesDone_);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                finished_[index] = true;
                --inFlight_;
                ++filesDone_;
                newsFlag_ = true;
            }
            news_.notify_all();
        }
    }

    std::vector<BatchItem>& items_;
    const JobSettings settings_;
    std::vector<EngineContextPtr> engines_;
    std::vector<std::thread> threads_;

    std::mutex mutex_;
    std::condition_variable workAvailable_;
    std::condition_variable news_;
    std::deque<size_t> ready_;
    std::vector<bool> finished_;
    size_t inFlight_ = 0;
    uint64_t filesDone_ = 0;
    bool newsFlag_ = false;
    bool closing_ = false;
    std::atomic<uint64_t> bytesDone_{0};
};

// Prints the report in input order and keeps the progress line fresh.
class Reporter {
public:
    Reporter(const BatchOptions& options, Console& console, std::vector<BatchItem>& items,
             WorkerPool& pool, Clock::time_point start)
        : options_(options), console_(console), items_(items), pool_(pool), start_(start) {
        for (const BatchItem& item : items) bytesTotal_ += item.size;
        showProgress_ = options.progress && !options.quiet && console.ShowsProgress();
    }

    void Header() {
        if (options_.json && options_.jsonProgress) JsonProgressNow(0);
        if (options_.json || options_.quiet) return;
        Out(TableHeader(layout_ = LayoutFor(items_)));
    }

    // Prints every finished item that is next in input order; then the progress line.
    void Pump(uint64_t settledHere) {
        while (next_ < items_.size() && pool_.IsFinished(next_)) {
            const BatchItem& item = items_[next_++];
            for (const Said& message : item.outcome.messages) console_.Error(message.local);
            if (item.outcome.outputLost) g_outputLost = true;
            if (item.outcome.pipeClosed) g_pipeClosed = true;
            // -q leaves out the table, not the JSON a script asked for.
            if (options_.json) {
                Out(JsonLine(item));
            } else if (!options_.quiet) {
                Out(TableLine(layout_, item));
            }
            totals_.Add(item.outcome);
            problem_ = problem_ || item.outcome.problem;
            permanent_ = permanent_ || (item.outcome.problem && !item.outcome.transient);
        }
        if (options_.json && options_.jsonProgress) JsonProgressNow(settledHere);
        if (!showProgress_) return;
        Clock::time_point now = Clock::now();
        if (now - lastDraw_ < kProgressRefresh) return;
        lastDraw_ = now;
        // The file shown is the first one not yet reported: the oldest still being worked on.
        const std::string current = next_ < items_.size() ? Printable(items_[next_].shownPath) : "";
        console_.Progress(ProgressLine(pool_.FilesDone() + settledHere, items_.size(),
                                       pool_.BytesDone().load(), bytesTotal_, SecondsSince(start_),
                                       current, console_.ProgressColumns()));
    }

    bool AllPrinted() const { return next_ == items_.size(); }

    int Finish() {
        if (showProgress_) console_.Progress("");
        totals_.seconds = SecondsSince(start_);
        int status = Interrupted() ? InterruptedStatus()
                     : permanent_  ? kExitFailed
                     : problem_    ? kExitRetry
                                   : kExitOk;
        if (options_.json) {
            Out(JsonTotals(totals_, status));
        } else if (!options_.quiet) {
            Out(TotalsLine(totals_));
        }
        if (g_outputLost && status == kExitOk) status = kExitFailed;
        if (g_pipeClosed && !Interrupted()) status = kExitPipeClosed;
        return status;
    }

private:
    // A progress object when it says something new, at most every kJsonProgressRefresh.
    void JsonProgressNow(uint64_t settledHere) {
        const Clock::time_point now = Clock::now();
        if (jsonShown_ && now - lastJson_ < kJsonProgressRefresh) return;
        const uint64_t files = pool_.FilesDone() + settledHere;
        const uint64_t bytes = pool_.BytesDone().load();
        if (jsonShown_ && files == jsonFiles_ && bytes == jsonBytes_) return;
        jsonShown_ = true;
        lastJson_ = now;
        jsonFiles_ = files;
        jsonBytes_ = bytes;
        const std::string current = next_ < items_.size() ? ShownName(items_[next_]) : "";
        Out(JsonProgress(files, items_.size(), bytes, bytesTotal_, current));
    }

    // Writes to the report; the first failure stops the batch and says why, once.
    void Out(const std::string& text) {
        if (reportLost_) return;
        if (console_.Out(text)) return;
        const int error = errno;
        reportLost_ = true;
        g_outputLost = true;
        if (error == EPIPE) {
            g_pipeClosed = true;
            return;
        }
        errno = error;
        console_.Error(Format(Tr("can't write the report: %s; stopping"), {std::strerror(errno)}));
    }

    const BatchOptions& options_;
    Console& console_;
    std::vector<BatchItem>& items_;
    WorkerPool& pool_;
    Clock::time_point start_;
    ReportLayout layout_;
    BatchTotals totals_;
    size_t next_ = 0;
    uint64_t bytesTotal_ = 0;
    bool showProgress_ = false;
    bool problem_ = false;
    bool permanent_ = false;  // a problem running again would not mend
    bool reportLost_ = false;
    Clock::time_point lastDraw_{};
    bool jsonShown_ = false;
    Clock::time_point lastJson_{};
    uint64_t jsonFiles_ = 0;
    uint64_t jsonBytes_ = 0;
};

}  // namespace

unsigned DefaultJobs() {
    return platform::UsableProcessors();
}

int RunBatch(const std::vector<std::string>& inputs, const BatchOptions& given, Console& console) {
    const Clock::time_point start = Clock::now();
    BatchOptions options = given;
    // Standard output carries the results: the report would be mixed into them.
    if (options.toStdout) options.quiet = true;
    g_outputLost = false;
    g_pipeClosed = false;
    PlanOptions plan;
    plan.command = options.command;
    plan.outputFolder = options.outputFolder;
    plan.keepTree = options.keepTree;
    plan.overwrite = options.overwrite;
    plan.leftoverAgeSeconds = options.leftoverAgeSeconds;
    plan.toStdout = options.toStdout;
    plan.typeText = options.hasTypeText ? &options.typeText : nullptr;
    plan.replaceAny = options.replaceAny;
    plan.base = options.base;
    plan.shardIndex = options.shardIndex;
    plan.shardCount = options.shardCount;
    plan.standardInput = options.standardInput;
    plan.standardOutput = options.standardOutput;
    plan.spoolLimit = options.spoolLimit;
    std::vector<BatchItem> items = CollectItems(inputs, plan);
    // An archive holds one file: archives of several files one after another on standard output
    // would restore as the first alone, so they are refused before anything is read.
    if (options.toStdout && options.command == BatchCommand::Compress && items.size() > 1) {
        console.Error(Format(Tr("-c compresses one file, but %s files were named: an archive "
                                "holds one file"),
                             {std::to_string(items.size())}));
        return kExitUsage;
    }
    Planner planner(plan, console);
    planner.TakeInputs(&items);
    // Standard output is a file too: nothing is written when it is one of the inputs.
    const std::vector<std::string> onOutput = planner.InputsOnStandardOutput(items);
    for (const std::string& shown : onOutput) {
        console.Error(Format(Tr("%s: is also standard output; nothing was done"), {shown}));
    }
    if (!onOutput.empty()) return kExitFailed;

    JobSettings settings;
    settings.mode = options.mode;
    settings.verify = options.verify;
    settings.deleteSource = options.deleteSource;
    settings.stillWanted = StillWanted;
    WorkerPool pool(items, settings);
    // Results streamed to standard output follow one another: one file at a time.
    const unsigned jobs = options.toStdout ? 1u : std::max(options.jobs, 1u);
    size_t wanted = std::min<size_t>(jobs, std::max<size_t>(items.size(), 1));
    // The cores are shared: N files at once get cores / N threads each, so one large file
    // uses every core and a folder of many files does not start cores x cores threads.
    const unsigned threadsPerFile =
        options.threads != 0 ? options.threads
                             : std::max<unsigned>(1, DefaultJobs() / static_cast<unsigned>(wanted));
    size_t workers = pool.Start(wanted, threadsPerFile);
    if (workers == 0) {
        console.Error(Tr("No memory"));
        return kExitRetry;
    }

    Reporter reporter(options, console, items, pool, start);
    reporter.Header();
    uint64_t settledHere = 0;  // items the main thread finished itself
    for (size_t i = 0; i < items.size(); ++i) {
        while (pool.InFlight() >= workers) {
            pool.WaitForNews(kProgressRefresh);
            reporter.Pump(settledHere);
        }
        // What has finished is reported first: a report that can no longer be written stops
        // the batch before another file starts. After Ctrl-C, the answer Cancel or a failed
        // standard output, the rest is reported canceled, never started.
        reporter.Pump(settledHere);
        if (StillWanted() && !planner.Cancelled() && planner.Prepare(items[i])) {
            pool.Submit(i);
        } else {
            ++settledHere;
            pool.MarkFinished(i);
        }
        reporter.Pump(settledHere);
    }
    while (!reporter.AllPrinted()) {
        pool.WaitForNews(kProgressRefresh);
        reporter.Pump(settledHere);
    }
    pool.Stop();
    return reporter.Finish();
}

}  // namespace kavrin::cli
