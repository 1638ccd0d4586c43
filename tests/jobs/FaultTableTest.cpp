// Nothing lost, whatever fails: a compression and an expansion through the dispatcher and the
// worker, with "Delete Source" on and an older result the user agreed to replace, are run with
// a fault at every read, write, sync, rename, folder creation and file creation in turn.
#include <gtest/gtest.h>

#include <cerrno>
#include <functional>

#include "jobs/Destination.h"
#include "platform/FaultInjection.h"
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

struct JobRun {
    std::string action;                                // the report row's action
    std::string problem;                               // empty when every promise held
    int calls[static_cast<int>(FaultOp::Count)] = {};  // calls of each kind after Start
};

// One job with `arm` run just before Start. With `older`, the destination folder exists and
// holds an older result the user agrees to replace; without, the folder is missing.
JobRun RunJob(bool expand, bool older, const std::string& original, const std::string& archive,
              const std::function<void()>& arm) {
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
    {
        test::DispatchHarness harness;
        harness.deleteSource = 1;
        harness.window.options.sameDir = false;
        harness.window.options.destDir = dir / "out/deep";
        harness.Add(source);
        platform::ClearFaults();
        arm();
        harness.dispatcher.OnStart();
        if (!harness.DeliverAll()) run.problem = "the job never reported";
        for (int op = 0; op < static_cast<int>(FaultOp::Count); ++op) {
            run.calls[op] = platform::FaultCallCount(static_cast<FaultOp>(op));
        }
        platform::ClearFaults();
        if (!harness.window.report.empty()) run.action = harness.window.report.back().action;
    }

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
    spec.seconds = 6;  // about five chunks
    const std::string original = samples::MakeWav(spec);
    const std::string archive = test::Compress(original, DeltaMode::Bits32, "wav").output;

    int rows = 0;
    for (bool expand : {false, true}) {
        for (bool older : {false, true}) {
            // A clean run counts the calls of each kind, so the table reaches every one.
            JobRun clean = RunJob(expand, older, original, archive, [] {});
            ASSERT_EQ(clean.problem, "");
            ASSERT_EQ(clean.action, expand ? "expanded" : "compressed");
            for (const Fault& fault : kFaults) {
                const int count = clean.calls[static_cast<int>(fault.op)];
                for (int k = 1; k <= count + 1; ++k) {
                    JobRun run = RunJob(expand, older, original, archive, [&] {
                        platform::InjectFault(fault.op, k, fault.error, fault.shortRead);
                    });
                    ++rows;
                    std::string where = std::string(expand ? "expansion" : "compression") +
                                        (older ? " over an older result, " : ", ") + fault.name +
                                        " at call " + std::to_string(k) + ": ";
                    EXPECT_EQ(run.problem, "") << where << run.action;
                    if (fault.mustFail && k <= count) {
                        EXPECT_NE(run.action, clean.action) << where << "the fault went unnoticed";
                    }
                }
            }
        }
    }
    std::printf("fault table: %d runs\n", rows);
}

}  // namespace
}  // namespace kavrin
