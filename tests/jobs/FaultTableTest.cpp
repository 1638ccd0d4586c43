// SPDX-License-Identifier: MIT
// Nothing lost, whatever fails, through both front ends of the one job pipeline: a compression
// and an expansion, with the source to be deleted and an older result the user agreed to
// replace, run through the window (dispatcher and worker) and through kvn's batch, with a fault
// at every read, write, sync, rename, folder creation and file creation in turn; and a source
// that another program writes to while it is compressed.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <functional>

#include "jobs/Destination.h"
#include "platform/FaultInjection.h"
#include "tests/support/BatchHarness.h"
#include "tests/support/DispatchHarness.h"
#include "tests/support/EngineHarness.h"
#include "tools/SampleSound.h"

namespace kavrin {
namespace {

using platform::FaultOp;
using test::Exists;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

constexpr const char* kOlder = "an older result the user agreed to replace";

struct Fault {
    FaultOp op;
    const char* name;
    int error;
    bool shortRead;
    bool mustFail;  // a fault here can never go unnoticed
};

const Fault kFaults[] = {
    {FaultOp::Read, "read EIO", EIO, false, true},
    {FaultOp::Read, "short read", 0, true, true},
    {FaultOp::Write, "write ENOSPC", ENOSPC, false, true},
    {FaultOp::Sync, "sync EIO", EIO, false, true},
    {FaultOp::Rename, "rename EACCES", EACCES, false, true},
    {FaultOp::Create, "create EACCES", EACCES, false, true},
    // Folder creation walks up from the file's folder and keeps trying, so a failure where a
    // level was missing anyway changes nothing.
    {FaultOp::MakeFolder, "mkdir EACCES", EACCES, false, false},
};

// Hidden temporary files anywhere below `folder`.
int CountTemporaryFiles(const std::string& folder) {
    int count = 0;
    for (const std::string& name : test::ListFolder(folder)) {
        if (IsTemporaryName(name)) ++count;
        count += CountTemporaryFiles(folder + "/" + name);
    }
    return count;
}

enum class FrontEnd { Window, Kvn };

const char* NameOf(FrontEnd frontEnd) {
    return frontEnd == FrontEnd::Window ? "window" : "kvn";
}

struct JobRun {
    std::string action;                                // the report's action
    std::string problem;                               // empty when every promise held
    int calls[static_cast<int>(FaultOp::Count)] = {};  // calls of each kind after the start
};

// Runs one job through `frontEnd` with `arm` run just before it starts, the source to be
// deleted and results going to out/deep. Returns the report's action.
std::string RunThrough(FrontEnd frontEnd, const std::string& source, bool expand,
                       const std::string& destinationFolder, const std::function<void()>& arm,
                       JobRun* run) {
    auto count = [&] {
        for (int op = 0; op < static_cast<int>(FaultOp::Count); ++op) {
            run->calls[op] = platform::FaultCallCount(static_cast<FaultOp>(op));
        }
        platform::ClearFaults();
    };
    if (frontEnd == FrontEnd::Kvn) {
        cli::BatchOptions options =
            test::BatchOptionsFor(expand ? cli::BatchCommand::Expand : cli::BatchCommand::Compress);
        options.mode = DeltaMode::Auto;
        options.overwrite = cli::OverwritePolicy::Force;  // the older result may go
        options.deleteSource = true;
        options.outputFolder = destinationFolder;
        platform::ClearFaults();
        arm();
        test::BatchRun batch = test::Batch({source}, options);
        count();
        std::vector<std::string> actions = batch.Actions();
        return actions.size() == 1 ? actions[0] : "";
    }
    test::DispatchHarness harness;
    harness.deleteSource = 1;
    harness.window.options.sameDir = false;
    harness.window.options.destDir = destinationFolder;
    harness.Add(source);
    platform::ClearFaults();
    arm();
    harness.dispatcher.OnStart();
    if (!harness.DeliverAll()) run->problem = "the job never reported";
    count();
    return harness.window.report.empty() ? "" : harness.window.report.back().action;
}

// One job with `arm` run just before it starts. With `older`, the destination folder exists
// and holds an older result the user agrees to replace; without, the folder is missing.
JobRun RunJob(FrontEnd frontEnd, bool expand, bool older, const std::string& original,
              const std::string& archive, const std::function<void()>& arm) {
    TempDir dir;
    const std::string source = expand ? dir / "take.kvn" : dir / "take.wav";
    const std::string sourceBytes = expand ? archive : original;
    const std::string destination = dir / (expand ? "out/deep/take.wav" : "out/deep/take.kvn");
    WriteFile(source, sourceBytes);
    if (older) {
        test::MakeFolders(dir / "out/deep");
        WriteFile(destination, kOlder);
    }

    JobRun run;
    run.action = RunThrough(frontEnd, source, expand, dir / "out/deep", arm, &run);
    auto problem = [&](const std::string& what) {
        if (run.problem.empty()) run.problem = what;
    };
    if (CountTemporaryFiles(dir.path()) != 0) problem("a temporary file remains");
    if (run.action == "compressed" || run.action == "expanded") {
        if (Exists(source)) problem("the source of a done job was not deleted");
        std::string result = Exists(destination) ? ReadFile(destination) : "";
        bool complete = expand ? result == original : test::Expand(result).output == original;
        if (!complete) problem("the result is not complete");
    } else {
        if (!Exists(source) || ReadFile(source) != sourceBytes) problem("the source was harmed");
        if (older ? !Exists(destination) || ReadFile(destination) != kOlder : Exists(destination)) {
            problem(older ? "the older result did not survive" : "a result appeared");
        }
    }
    return run;
}

TEST(FaultTableTest, NoFaultLosesAFileOrLeavesAPartialOne) {
    samples::SoundSpec spec;
    spec.seconds = 3;  // about three chunks
    const std::string original = samples::MakeWav(spec);
    const std::string archive = test::Compress(original, DeltaMode::Bits32, "wav").output;

    int rows = 0;
    for (FrontEnd frontEnd : {FrontEnd::Window, FrontEnd::Kvn}) {
        for (bool expand : {false, true}) {
            for (bool older : {false, true}) {
                // A clean run counts the calls of each kind, so the table reaches every one.
                JobRun clean = RunJob(frontEnd, expand, older, original, archive, [] {});
                ASSERT_EQ(clean.problem, "") << NameOf(frontEnd);
                ASSERT_EQ(clean.action, expand ? "expanded" : "compressed") << NameOf(frontEnd);
                for (const Fault& fault : kFaults) {
                    const int count = clean.calls[static_cast<int>(fault.op)];
                    for (int k = 1; k <= count + 1; ++k) {
                        JobRun run = RunJob(frontEnd, expand, older, original, archive, [&] {
                            platform::InjectFault(fault.op, k, fault.error, fault.shortRead);
                        });
                        ++rows;
                        std::string where = std::string(NameOf(frontEnd)) + ", " +
                                            (expand ? "expansion" : "compression") +
                                            (older ? " over an older result, " : ", ") +
                                            fault.name + " at call " + std::to_string(k) + ": ";
                        EXPECT_EQ(run.problem, "") << where << run.action;
                        if (fault.mustFail && k <= count) {
                            EXPECT_NE(run.action, clean.action)
                                << where << "the fault went unnoticed";
                        }
                    }
                }
            }
        }
    }
    std::printf("fault table: %d runs\n", rows);
}

// Another program appends to the source, or writes it again in place, while it is compressed:
// the archive would hold the old contents, so the job fails, nothing is kept, and the source
// (with its new contents) stays although it was to be deleted.
TEST(FaultTableTest, ASourceThatChangesWhileItIsCompressedFailsAndStays) {
    samples::SoundSpec spec;
    spec.seconds = 3;
    const std::string original = samples::MakeWav(spec);
    for (FrontEnd frontEnd : {FrontEnd::Window, FrontEnd::Kvn}) {
        for (bool append : {true, false}) {
            SCOPED_TRACE(std::string(NameOf(frontEnd)) + (append ? ", appended" : ", rewritten"));
            TempDir dir;
            const std::string source = dir / "take.wav";
            WriteFile(source, original);
            // An old modification time, so that a write in place shows however soon it comes.
            const timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
            ASSERT_EQ(utimensat(AT_FDCWD, source.c_str(), old, 0), 0);
            JobRun run;
            run.action = RunThrough(
                frontEnd, source, false, dir / "out",
                [&] { platform::InjectSourceChange(3, append); }, &run);
            EXPECT_EQ(run.action, "error");
            EXPECT_EQ(ReadFile(source), append ? original + "appended" : original);
            EXPECT_EQ(test::ListFolder(dir / "out"), std::vector<std::string>{});
        }
    }
}

}  // namespace
}  // namespace kavrin
