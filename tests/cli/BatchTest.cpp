// The batch run in-process, so that faults can be injected into the file layer: a failure at
// any step never costs the source and never leaves a result or a temporary file behind, and
// --verify catches an archive that was silently corrupted on its way to the disk.
#include "cli/Batch.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>
#include <functional>

#include "platform/FaultInjection.h"
#include "tests/support/EngineHarness.h"
#include "tools/SampleSound.h"

namespace kavrin::cli {
namespace {

using platform::FaultOp;
using test::Exists;
using test::ListFolder;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

// Records what a batch prints; there is never a terminal to ask on.
class RecordingConsole : public Console {
public:
    void Out(const std::string& text) override { out += text; }
    void Error(const std::string& text) override { errors += text + "\n"; }
    bool CanAsk() override { return false; }
    OverwriteAnswer AskOverwrite(const std::string&) override { return OverwriteAnswer::Cancel; }
    bool ShowsProgress() override { return false; }
    void Progress(const std::string&) override {}

    std::string out;
    std::string errors;
};

struct BatchRun {
    int status = -1;
    std::string out;
    std::string errors;
};

BatchRun Batch(const std::vector<std::string>& inputs, const BatchOptions& options) {
    RecordingConsole console;
    BatchRun run;
    run.status = RunBatch(inputs, options, console);
    run.out = console.out;
    run.errors = console.errors;
    return run;
}

BatchOptions Options(BatchCommand command = BatchCommand::Compress) {
    BatchOptions options;
    options.command = command;
    options.mode = DeltaMode::None;  // no Auto trial: the reads are the main pass's alone
    options.json = true;
    return options;
}

std::string Sound(double seconds) {
    samples::SoundSpec spec;
    spec.seconds = seconds;
    return samples::MakeWav(spec);
}

// Compresses `dir`/take.wav with --verify and --delete-source while `arm` has armed a fault.
BatchRun RunWithFault(const TempDir& dir, const std::string& outputFolder,
                      const std::function<void()>& arm) {
    BatchOptions options = Options();
    options.verify = true;
    options.deleteSource = true;
    options.outputFolder = outputFolder;
    arm();
    BatchRun run = Batch({dir / "take.wav"}, options);
    platform::ClearFaults();
    return run;
}

class BatchTest : public testing::Test {
protected:
    void TearDown() override { platform::ClearFaults(); }
};

TEST_F(BatchTest, AFailureAtAnyStepKeepsTheSourceAndLeavesNothing) {
    const std::string wav = Sound(3.0);  // three chunks
    struct Case {
        const char* what;
        FaultOp op;
        int nth;
        int error;
        const char* action;
    } cases[] = {
        {"reading the source", FaultOp::Read, 2, EIO, "\"error\""},
        {"writing the header", FaultOp::Write, 1, ENOSPC, "\"error\""},
        {"writing the payload", FaultOp::Write, 3, ENOSPC, "\"error\""},
        {"syncing the result", FaultOp::Sync, 1, EIO, "\"error\""},
        {"renaming the result", FaultOp::Rename, 1, EIO, "\"error\""},
        {"syncing its folder", FaultOp::Sync, 2, EIO, "\"error\""},
        {"creating the result", FaultOp::Create, 1, EACCES, "\"ERROR\""},
        {"creating its folder", FaultOp::MakeFolder, 2, EACCES, "\"ERROR\""},  // "out" of out/new
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        WriteFile(dir / "take.wav", wav);
        BatchRun run = RunWithFault(dir, dir / "out/new",
                                    [&] { platform::InjectFault(c.op, c.nth, c.error); });
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.out.find(std::string("\"action\":") + c.action), std::string::npos)
            << run.out;
        EXPECT_NE(run.errors, "");
        EXPECT_TRUE(ReadFile(dir / "take.wav") == wav) << "the source must survive";
        EXPECT_EQ(ListFolder(dir / "out/new"), std::vector<std::string>{});
    }
}

TEST_F(BatchTest, VerifyCatchesSilentCorruption) {
    const std::string wav = Sound(0.5);  // one chunk: read 1 is the whole source
    struct Case {
        const char* what;
        FaultOp op;
        int nth;
        std::string message;
    } cases[] = {
        // A bit flipped in the payload on its way to the disk (write 1 is the header): the
        // archive decodes to garbage or not at all, whichever the decoder notices first.
        {"archive corrupted when written", FaultOp::Write, 2, "verification failed: the archive d"},
        // A bit flipped as the source was read: a sound archive of the wrong bytes.
        {"source corrupted when read", FaultOp::Read, 1,
         "verification failed: the archive differs from the source at byte " +
             std::to_string(wav.size() / 2)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        WriteFile(dir / "take.wav", wav);
        BatchRun run = RunWithFault(dir, "", [&] { platform::InjectCorruption(c.op, c.nth); });
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.errors.find(c.message), std::string::npos) << run.errors;
        EXPECT_NE(run.errors.find("; the archive was deleted"), std::string::npos);
        EXPECT_EQ(ListFolder(dir.path()), std::vector<std::string>{"take.wav"});
        EXPECT_TRUE(ReadFile(dir / "take.wav") == wav);
    }

    // Without a fault the archive is verified, and only then the source goes.
    TempDir dir;
    WriteFile(dir / "take.wav", wav);
    BatchRun run = RunWithFault(dir, "", [] {});
    EXPECT_EQ(run.status, 0) << run.errors;
    EXPECT_NE(run.out.find("\"verified\":true,\"source_deleted\":true"), std::string::npos);
    EXPECT_EQ(ListFolder(dir.path()), std::vector<std::string>{"take.kvn"});
    EXPECT_TRUE(test::Expand(ReadFile(dir / "take.kvn")).output == wav);
}

TEST_F(BatchTest, ClearsOldLeftoversBeforeWritingIntoAFolder) {
    TempDir dir;
    WriteFile(dir / "a.wav", "sound");
    WriteFile(dir / "b.wav", "sound");
    ASSERT_EQ(mkdir((dir / "out").c_str(), 0777), 0);
    WriteFile(dir / "out/.kvn-q1w2e3-a.kvn", "left by a killed run");
    BatchOptions options = Options();
    options.outputFolder = dir / "out";
    options.jobs = 2;

    ASSERT_EQ(Batch({dir / "a.wav"}, options).status, 0);
    EXPECT_EQ(ListFolder(dir / "out"), (std::vector<std::string>{".kvn-q1w2e3-a.kvn", "a.kvn"}))
        << "a fresh temporary file may belong to a running job";

    options.leftoverAgeSeconds = -1;  // everything counts as old
    ASSERT_EQ(Batch({dir / "b.wav"}, options).status, 0);
    EXPECT_EQ(ListFolder(dir / "out"), (std::vector<std::string>{"a.kvn", "b.kvn"}));
}

TEST_F(BatchTest, ProcessChoosesTheDirectionPerFile) {
    TempDir dir;
    const std::string wav = Sound(0.2);
    WriteFile(dir / "take.wav", wav);
    WriteFile(dir / "LOOP.KVN", test::Compress(wav, DeltaMode::Bits16, "aiff").output);
    WriteFile(dir / "take.2.kvn", test::Compress(wav, DeltaMode::None, "raw").output);
    BatchOptions options = Options(BatchCommand::Process);
    options.outputFolder = dir / "out";
    options.jobs = 3;
    options.json = false;
    BatchRun run = Batch({dir.path()}, options);
    EXPECT_EQ(run.status, 0) << run.errors;
    EXPECT_EQ(ListFolder(dir / "out"),
              (std::vector<std::string>{"LOOP.aiff", "take.kvn", "take.raw"}));
    for (const char* restored : {"out/LOOP.aiff", "out/take.raw"}) {
        EXPECT_TRUE(ReadFile(dir / restored) == wav) << restored;
    }
    EXPECT_NE(run.out.find("LOOP.KVN    "), std::string::npos);
    EXPECT_NE(run.out.find("expanded    16-bit"), std::string::npos) << run.out;
}

}  // namespace
}  // namespace kavrin::cli
