// SPDX-License-Identifier: MIT
// The dispatcher with a real worker and real files, and a fake window: a queue and a report
// as plain rows, scripted answers, and the test thread playing the window's event loop.
#include "jobs/Dispatcher.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <thread>

#include "engine/format/ArchiveFormat.h"
#include "jobs/Naming.h"
#include "jobs/Worker.h"
#include "platform/FaultInjection.h"
#include "tests/support/DispatchHarness.h"
#include "tests/support/EngineHarness.h"
#include "tools/SampleSound.h"

namespace kavrin {
namespace {

using namespace std::chrono_literals;
using test::Exists;
using test::ListFolder;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

class DispatcherTest : public ::testing::Test {
protected:
    void Add(const std::string& path) { harness_.Add(path); }
    bool Deliver() { return harness_.Deliver(); }
    void DeliverAll() { ASSERT_TRUE(harness_.DeliverAll()) << "the job never finished"; }
    std::vector<std::string> Actions() const { return harness_.Actions(); }

    test::DispatchHarness harness_;
    JobRecord& record_ = harness_.record;
    EngineContextPtr& engine_ = harness_.engine;
    test::QueuedSink& sink_ = harness_.sink;
    test::FakeWindow& window_ = harness_.window;
    Dispatcher& dispatcher_ = harness_.dispatcher;
    uint32_t& nextId_ = harness_.nextId;
    TempDir dir_;
};

std::string Sound(double seconds, uint32_t channels = 2) {
    samples::SoundSpec spec;
    spec.seconds = seconds;
    spec.channels = channels;
    return samples::MakeWav(spec);
}

TEST_F(DispatcherTest, ProcessesTheQueueOldestFirstAndStaysOn) {
    // Start with an empty queue: processing is on, nothing runs; a file added starts at once.
    dispatcher_.OnStart();
    EXPECT_TRUE(dispatcher_.Running());
    EXPECT_FALSE(dispatcher_.JobInFlight());
    WriteFile(dir_ / "first.wav", Sound(0.5));
    Add(dir_ / "first.wav");
    EXPECT_TRUE(dispatcher_.JobInFlight());
    EXPECT_EQ(window_.rows[0].data, InProgressBit | 0);
    DeliverAll();
    EXPECT_TRUE(window_.rows.empty());
    EXPECT_TRUE(dispatcher_.Running());  // an empty queue does not switch processing off

    // Three rows queued while off, the last on top, are processed in the order queued.
    dispatcher_.OnStop();
    for (const char* name : {"b.wav", "c.wav", "a.wav"}) {
        WriteFile(dir_ / name, Sound(0.3));
        Add(dir_ / name);
    }
    dispatcher_.OnStart();
    DeliverAll();
    EXPECT_EQ(Actions(), (std::vector<std::string>{"first.wav compressed", "b.wav compressed",
                                                   "c.wav compressed", "a.wav compressed"}));
}

TEST_F(DispatcherTest, NamesDestinationsAndRoundTrips) {
    WriteFile(dir_ / "take.wav", Sound(0.4));
    WriteFile(dir_ / "a.b.wav", Sound(0.3, 1));
    WriteFile(dir_ / "readme", "plain text, no dot");
    dispatcher_.OnStart();
    for (const char* name : {"take.wav", "a.b.wav", "readme"}) Add(dir_ / name);
    DeliverAll();
    EXPECT_EQ(ListFolder(dir_.path()),
              (std::vector<std::string>{"a.b.kvn", "a.b.wav", "readme", "readme.kvn", "take.kvn",
                                        "take.wav"}));
    // Stored type texts: the text after the last dot, or an empty one.
    EXPECT_EQ(ReadFile(dir_ / "take.kvn").substr(4, 4), "\x03wav");
    EXPECT_EQ(ReadFile(dir_ / "a.b.kvn").substr(4, 4), "\x03wav");
    EXPECT_EQ(ReadFile(dir_ / "readme.kvn")[4], '\0');

    // Back again into a defined folder three levels below one that exists (created level by
    // level), given without its trailing '/'; TAKE.KVN in capitals expands like take.kvn.
    ASSERT_EQ(rename((dir_ / "take.kvn").c_str(), (dir_ / "TAKE.KVN").c_str()), 0);
    window_.options.sameDir = false;
    window_.options.destDir = dir_ / "out/x/y";
    for (const char* name : {"TAKE.KVN", "a.b.kvn", "readme.kvn"}) Add(dir_ / name);
    DeliverAll();
    EXPECT_EQ(ListFolder(dir_ / "out/x/y"),
              (std::vector<std::string>{"TAKE.wav", "a.b.wav", "readme"}));
    EXPECT_TRUE(ReadFile(dir_ / "out/x/y/a.b.wav") == ReadFile(dir_ / "a.b.wav"));
    EXPECT_EQ(ReadFile(dir_ / "out/x/y/readme"), "plain text, no dot");

    // A name ending in .kvn is an archive whatever dots come before: take.2.kvn restores as
    // take.2 plus its stored type.
    ASSERT_EQ(rename((dir_ / "TAKE.KVN").c_str(), (dir_ / "take.2.kvn").c_str()), 0);
    window_.options.destDir = dir_ / "two/";
    Add(dir_ / "take.2.kvn");
    DeliverAll();
    EXPECT_EQ(ListFolder(dir_ / "two"), std::vector<std::string>{"take.2.wav"});
    EXPECT_TRUE(window_.shown.empty());
}

TEST_F(DispatcherTest, ReportsWhatEachJobDid) {
    const std::string wav = Sound(1.0, 1);
    WriteFile(dir_ / "mono.wav", wav);
    dispatcher_.OnStart();
    Add(dir_ / "mono.wav");
    DeliverAll();
    ASSERT_EQ(window_.report.size(), 1u);
    const test::ReportRow compressed = window_.report[0];
    EXPECT_EQ(compressed.action, "compressed");
    EXPECT_EQ(compressed.folder, dir_.path());
    EXPECT_EQ(compressed.mode, DeltaMode::Bits16);  // Auto's choice, not Auto
    EXPECT_EQ(compressed.oldSize, wav.size());
    EXPECT_EQ(compressed.newSize, test::PayloadOf(ReadFile(dir_ / "mono.kvn")).size());

    ASSERT_EQ(unlink((dir_ / "mono.wav").c_str()), 0);
    Add(dir_ / "mono.kvn");
    DeliverAll();
    const test::ReportRow expanded = window_.report[1];
    EXPECT_EQ(expanded.action, "expanded");
    EXPECT_EQ(expanded.mode, DeltaMode::Bits16);  // the stored mode
    EXPECT_EQ(expanded.oldSize, compressed.newSize);
    EXPECT_EQ(expanded.newSize, wav.size());
}

TEST_F(DispatcherTest, TheQuestionNamesTheFileAnExistingArchiveHolds) {
    // Kick.kvn holds Kick.aiff: compressing Kick.wav over it would lose that file.
    WriteFile(dir_ / "Kick.kvn", test::Compress("an aiff", DeltaMode::None, "aiff").output);
    WriteFile(dir_ / "Kick.wav", Sound(0.2));
    window_.answers = {Prompt::Answer::No};
    Add(dir_ / "Kick.wav");
    dispatcher_.OnStart();
    DeliverAll();
    ASSERT_EQ(window_.asked.size(), 1u);
    EXPECT_EQ(window_.asked[0], "File already exists\n" + (dir_ / "Kick.kvn") +
                                    "\nIt holds another file: Kick.aiff\nOverwrite?");
    EXPECT_EQ(test::PayloadOf(ReadFile(dir_ / "Kick.kvn")),
              test::PayloadOf(test::Compress("an aiff", DeltaMode::None, "aiff").output));
}

TEST_F(DispatcherTest, OverwriteQuestionAndEmptyDestination) {
    for (const char* name : {"a.wav", "b.wav", "c.wav"}) {
        WriteFile(dir_ / name, Sound(0.2));
        WriteFile(dir_ / (std::string(name, 1) + ".kvn"), "older");
    }
    // Yes replaces, No drops the row and goes on, Cancel keeps the row and stops.
    window_.answers = {Prompt::Answer::Yes, Prompt::Answer::No, Prompt::Answer::Cancel};
    for (const char* name : {"a.wav", "b.wav", "c.wav"}) Add(dir_ / name);
    dispatcher_.OnStart();
    DeliverAll();
    EXPECT_EQ(window_.asked.size(), 3u);
    EXPECT_EQ(window_.asked[0], "File already exists\n" + (dir_ / "a.kvn") + "\nOverwrite?");
    EXPECT_EQ(Actions(),
              (std::vector<std::string>{"a.wav compressed", "b.wav ERROR", "c.wav ERROR"}));
    EXPECT_FALSE(dispatcher_.Running());
    ASSERT_EQ(window_.rows.size(), 1u);
    EXPECT_EQ(window_.rows[0].file, "c.wav");
    EXPECT_EQ(ReadFile(dir_ / "a.kvn").substr(0, 4), "KVN1");
    EXPECT_EQ(ReadFile(dir_ / "b.kvn"), "older");
    EXPECT_EQ(ReadFile(dir_ / "c.kvn"), "older");

    // An empty defined folder: the message, the focus, an ERROR row, the row kept, stopped.
    window_.options.sameDir = false;
    window_.options.destDir = "";
    window_.log.clear();
    dispatcher_.OnStart();
    EXPECT_EQ(window_.shown.back(), "Illegal destination directory");
    EXPECT_EQ(window_.log, (std::vector<std::string>{"message", "focus", "report:ERROR"}));
    EXPECT_FALSE(dispatcher_.Running());
    EXPECT_EQ(window_.rows.size(), 1u);
    EXPECT_EQ(record_.sourceFile, platform::kInvalidFile);
}

// Whatever stands at the destination's name is asked about, also what cannot be opened: a file
// another program holds locked, a FIFO, a link that leads nowhere. The result replaces it by a
// rename, which neither a lock nor the link's missing target prevents.
TEST_F(DispatcherTest, EveryExistingDestinationIsAskedAbout) {
    const std::string wav = Sound(0.2);
    for (const char* name : {"locked.wav", "fifo.wav", "link.wav", "kept.wav"}) {
        WriteFile(dir_ / name, wav);
    }
    WriteFile(dir_ / "locked.kvn", "older");
    const int holder = open((dir_ / "locked.kvn").c_str(), O_RDONLY);
    ASSERT_EQ(flock(holder, LOCK_EX), 0);
    ASSERT_EQ(mkfifo((dir_ / "fifo.kvn").c_str(), 0600), 0);
    ASSERT_EQ(symlink("nowhere", (dir_ / "link.kvn").c_str()), 0);
    ASSERT_EQ(symlink("nowhere", (dir_ / "kept.kvn").c_str()), 0);
    window_.answers = {Prompt::Answer::Yes, Prompt::Answer::Yes, Prompt::Answer::Yes,
                       Prompt::Answer::No};
    for (const char* name : {"locked.wav", "fifo.wav", "link.wav", "kept.wav"}) Add(dir_ / name);
    dispatcher_.OnStart();
    DeliverAll();
    close(holder);
    EXPECT_EQ(window_.asked.size(), 4u);
    EXPECT_EQ(Actions(), (std::vector<std::string>{"locked.wav compressed", "fifo.wav compressed",
                                                   "link.wav compressed", "kept.wav ERROR"}));
    for (const char* made : {"locked.kvn", "fifo.kvn", "link.kvn"}) {
        EXPECT_TRUE(test::Expand(ReadFile(dir_ / made)).output == wav) << made;
    }
    EXPECT_TRUE(platform::IsLink(dir_ / "kept.kvn"));
}

// A source that was to be deleted and could not be is named in a message after its report row.
TEST_F(DispatcherTest, ASourceThatCannotBeDeletedIsNamed) {
    WriteFile(dir_ / "a.wav", Sound(0.2));
    harness_.deleteSource = 1;
    Add(dir_ / "a.wav");
    platform::InjectFault(platform::FaultOp::Delete, 1, EACCES);
    dispatcher_.OnStart();
    DeliverAll();
    platform::ClearFaults();
    EXPECT_EQ(window_.log, (std::vector<std::string>{"report:compressed", "message"}));
    EXPECT_EQ(window_.shown,
              std::vector<std::string>{"Can't delete source file\n" + (dir_ / "a.wav")});
    EXPECT_EQ(ListFolder(dir_.path()), (std::vector<std::string>{"a.kvn", "a.wav"}));
}

TEST_F(DispatcherTest, RefusedPreparationsReportAndGoOn) {
    WriteFile(dir_ / "fake.kvn", "RIFF, not an archive");
    WriteFile(dir_ / "evil.kvn", EncodeArchiveHeader("../../x", 1, 0));
    WriteFile(dir_ / "short.kvn", "KVN1\x09wa");
    WriteFile(dir_ / "good.wav", Sound(0.2));
    for (const char* name : {"missing.wav", "fake.kvn", "evil.kvn", "short.kvn", "good.wav"}) {
        window_.rows.insert(window_.rows.begin(), {name, dir_.path(), nextId_++});
    }
    dispatcher_.OnStart();
    DeliverAll();
    EXPECT_EQ(Actions(),
              (std::vector<std::string>{"missing.wav ERROR", "fake.kvn ERROR", "evil.kvn ERROR",
                                        "short.kvn ERROR", "good.wav compressed"}));
    ASSERT_EQ(window_.shown.size(), 4u);
    EXPECT_EQ(window_.shown[0], "Can't open source file");
    EXPECT_EQ(window_.shown[1], "Bad file format");
    EXPECT_EQ(window_.shown[2], "Bad file format");
    EXPECT_EQ(window_.shown[3], "Bad file format");
    EXPECT_TRUE(window_.rows.empty());
    EXPECT_TRUE(dispatcher_.Running());
    EXPECT_FALSE(Exists(dir_ / "x"));
}

TEST_F(DispatcherTest, AFailedJobReportsThenTellsThenGoesOn) {
    std::string damaged = test::Compress(Sound(1.0), DeltaMode::Bits32, "wav").output;
    damaged[damaged.size() / 2] ^= 0x20;
    WriteFile(dir_ / "damaged.kvn", damaged);
    WriteFile(dir_ / "next.wav", Sound(0.2));
    Add(dir_ / "damaged.kvn");
    Add(dir_ / "next.wav");
    dispatcher_.OnStart();
    DeliverAll();
    EXPECT_EQ(window_.log,
              (std::vector<std::string>{"report:error", "message", "report:compressed"}));
    EXPECT_EQ(window_.shown, std::vector<std::string>{"Cat't perform operation"});
    EXPECT_TRUE(window_.rows.empty());
    EXPECT_EQ(ListFolder(dir_.path()),
              (std::vector<std::string>{"damaged.kvn", "next.kvn", "next.wav"}));
}

TEST_F(DispatcherTest, StopCancelsAndStartTakesTheRowAgain) {
    WriteFile(dir_ / "long.raw", samples::MakeNoise(10 * kChunkSize, 5));
    Add(dir_ / "long.raw");
    sink_.onStep = [&] { dispatcher_.OnStop(); };  // Stop while the job runs
    dispatcher_.OnStart();
    DeliverAll();
    sink_.onStep = nullptr;
    EXPECT_EQ(Actions(), std::vector<std::string>{"long.raw canceled"});
    EXPECT_EQ(window_.report[0].oldSize, kNoSize);
    ASSERT_EQ(window_.rows.size(), 1u);
    EXPECT_EQ(window_.rows[0].data, 0u);  // back in the queue, unmarked
    EXPECT_FALSE(dispatcher_.Running());
    EXPECT_EQ(ListFolder(dir_.path()), std::vector<std::string>{"long.raw"});

    dispatcher_.OnStart();
    DeliverAll();
    EXPECT_EQ(Actions().back(), "long.raw compressed");
    EXPECT_TRUE(window_.rows.empty());
}

TEST_F(DispatcherTest, StartAgainBeforeTheStoppedJobReported) {
    WriteFile(dir_ / "long.raw", samples::MakeNoise(10 * kChunkSize, 6));
    WriteFile(dir_ / "other.wav", Sound(0.2));
    Add(dir_ / "long.raw");
    // A job that gets as far as a chunk before Stop waits there until Stop has landed, so it
    // cannot end first. (Stop may also come before the worker wakes: that job never runs.)
    std::atomic<bool> stopped{false};
    sink_.onStep = [&] {
        while (!stopped) std::this_thread::yield();
    };
    dispatcher_.OnStart();
    dispatcher_.OnStop();
    stopped = true;
    // Start again (and a row added) while the worker still owns the record: nothing is
    // prepared and the record is not rewritten.
    dispatcher_.OnStart();
    Add(dir_ / "other.wav");
    EXPECT_EQ(record_.sourcePath, dir_ / "long.raw");
    EXPECT_EQ(record_.activeTag, InProgressBit | 0);
    // The stopped job's outcome then carries processing on, from the same row.
    DeliverAll();
    EXPECT_EQ(Actions(), (std::vector<std::string>{"long.raw canceled", "long.raw compressed",
                                                   "other.wav compressed"}));
}

TEST_F(DispatcherTest, StopAfterTheWorkerPostedDone) {
    WriteFile(dir_ / "a.wav", Sound(0.2));
    WriteFile(dir_ / "b.wav", Sound(0.2));
    Add(dir_ / "a.wav");
    Add(dir_ / "b.wav");
    dispatcher_.OnStart();
    std::optional<JobEnd> end = sink_.Take();  // posted, not yet handled
    ASSERT_TRUE(end);
    dispatcher_.OnStop();
    dispatcher_.OnJobFinished(*end, true);
    // Still recognised as Done: reported and removed; processing stays off.
    EXPECT_EQ(Actions(), std::vector<std::string>{"a.wav compressed"});
    ASSERT_EQ(window_.rows.size(), 1u);
    EXPECT_EQ(window_.rows[0].file, "b.wav");
    EXPECT_FALSE(dispatcher_.JobInFlight());
}

TEST_F(DispatcherTest, CloseDuringAJobEndsPromptlyAndReportsNothing) {
    WriteFile(dir_ / "long.raw", samples::MakeNoise(10 * kChunkSize, 7));
    // The job's first chunk waits for the close, so the close surely meets the job running;
    // the job then stops at its next chunk.
    std::atomic<int> steps{0};
    std::atomic<bool> held{false};
    sink_.onStep = [&] {
        if (++steps > 1) return;
        held = true;
        while (record_.State() == JobState::Running) std::this_thread::sleep_for(1ms);
    };
    Add(dir_ / "long.raw");
    dispatcher_.OnStart();
    while (!held) std::this_thread::sleep_for(1ms);
    StopWorker(record_);
    EXPECT_EQ(steps, 1);
    EXPECT_FALSE(sink_.Take(0ms).has_value());  // joined: nothing more can come
    dispatcher_.OnJobFinished({}, false);       // ignored at Shutdown
    EXPECT_TRUE(window_.report.empty());
    EXPECT_EQ(ListFolder(dir_.path()), std::vector<std::string>{"long.raw"});
}

}  // namespace
}  // namespace kavrin
