// SPDX-License-Identifier: MIT
// The batch run in-process, so that faults can be injected into the file layer: --verify catches
// an archive that was silently corrupted on its way to the disk, leftovers are cleared, and files
// are known by identity, not by the spelling of their paths. (Faults at every step, for both
// front ends, are in tests/jobs/FaultTableTest.cpp.)
#include "cli/Batch.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>

#include "cli/Commands.h"
#include "jobs/Destination.h"
#include "platform/FaultInjection.h"
#include "tests/support/BatchHarness.h"
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

using test::Batch;
using test::BatchRun;

BatchOptions Options(BatchCommand command = BatchCommand::Compress) {
    return test::BatchOptionsFor(command);
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
        EXPECT_EQ(run.status, kExitRetry);  // the bytes went wrong on the way, not in the file
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

    // A source that cannot be deleted is kept, said so, and the batch ends with status 1.
    WriteFile(dir / "take.wav", wav);
    run = RunWithFault(dir, dir / "out", [] { platform::InjectFault(FaultOp::Delete, 1, EACCES); });
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.errors.find("take.wav: can't delete the source: Permission denied"),
              std::string::npos)
        << run.errors;
    EXPECT_TRUE(ReadFile(dir / "take.wav") == wav);
}

// A failure says what the system said: no space, no inodes, no permission, not just "error";
// the exit status tells whether running again may help.
TEST_F(BatchTest, MessagesNameTheSystemsReason) {
    struct Case {
        FaultOp op;
        int error;
        const char* message;
        int status;
    } cases[] = {
        // The result's folder "x" is missing; its parent "out" exists.
        {FaultOp::MakeFolder, ENOSPC, "/out/x/take.kvn: No space left on device", kExitRetry},
        {FaultOp::MakeFolder, EDQUOT, "/out/x/take.kvn: Disk quota exceeded", kExitRetry},
        {FaultOp::MakeFolder, EACCES, "/out/x/take.kvn: Permission denied", kExitFailed},
        {FaultOp::Write, ENOSPC, "take.wav: write error: No space left on device", kExitRetry},
        {FaultOp::Read, EIO, "take.wav: read error: Input/output error", kExitRetry},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        TempDir dir;
        WriteFile(dir / "take.wav", Sound(0.2));
        test::MakeFolders(dir / "out");
        BatchOptions options = Options();
        options.outputFolder = dir / "out/x";
        platform::InjectFault(c.op, 1, c.error);
        BatchRun run = Batch({dir / "take.wav"}, options);
        platform::ClearFaults();
        EXPECT_EQ(run.status, c.status);
        EXPECT_NE(run.errors.find(c.message), std::string::npos) << run.errors;
    }
}

TEST_F(BatchTest, ClearsOldLeftoversBeforeWritingIntoAFolder) {
    TempDir dir;
    WriteFile(dir / "a.wav", "sound");
    WriteFile(dir / "b.wav", "sound");
    ASSERT_EQ(mkdir((dir / "out").c_str(), 0777), 0);
    const std::string leftover = TemporaryNameFor("a.kvn");
    WriteFile(dir / ("out/" + leftover), "left by a killed run");
    BatchOptions options = Options();
    options.outputFolder = dir / "out";
    options.jobs = 2;

    ASSERT_EQ(Batch({dir / "a.wav"}, options).status, 0);
    EXPECT_EQ(ListFolder(dir / "out"), (std::vector<std::string>{leftover, "a.kvn"}))
        << "a fresh temporary file may belong to a running job";

    options.leftoverAgeSeconds = -1;  // everything counts as old
    ASSERT_EQ(Batch({dir / "b.wav"}, options).status, 0);
    EXPECT_EQ(ListFolder(dir / "out"), (std::vector<std::string>{"a.kvn", "b.kvn"}));
}

// Two paths are one file when the files are one, whatever their spelling: "d/", "./d/" and a
// link to d all lead to the same folder. With -f and --delete-source, a batch that wrote two
// sources into one result would delete a source whose only copy had been overwritten.
TEST_F(BatchTest, FilesAreKnownByIdentityNotBySpelling) {
    const std::string wav = Sound(0.2);
    const std::string flac = "not a sound, but another file";
    struct Case {
        const char* what;
        BatchCommand command;
        std::vector<std::string> inputs;  // below the test folder, which holds d/ and l -> d
        std::vector<std::string> actions;
        std::vector<std::string> after;  // d/ afterwards
    } cases[] = {
        {"two spellings of one folder",
         BatchCommand::Compress,
         {"d/a.wav", "./d/a.flac"},
         {"compressed", "ERROR"},
         {"a.flac", "a.kvn"}},
        {"a folder reached through a link",
         BatchCommand::Compress,
         {"d/a.wav", "l/a.flac"},
         {"compressed", "ERROR"},
         {"a.flac", "a.kvn"}},
        {"two archives restoring to one name",
         BatchCommand::Expand,
         {"d/x.kvn", "l/x.wav.kvn"},
         {"expanded", "ERROR"},
         {"a.flac", "a.wav", "x.wav", "x.wav.kvn"}},
        {"a result that is another input",
         BatchCommand::Process,
         {"d/x.kvn", "l/x.wav"},
         {"ERROR", "ERROR"},
         {"a.flac", "a.wav", "x.kvn", "x.wav", "x.wav.kvn"}},
        // The same file named twice, or under a second name, is one input (and its second name
        // stays when its first is deleted); the second name gets a line saying so.
        {"one file under three names",
         BatchCommand::Compress,
         {"d/a.wav", "l/a.wav", "d/hard.wav"},
         {"compressed", "skipped"},
         {"a.flac", "a.kvn", "hard.wav"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        test::MakeFolders(dir / "d");
        ASSERT_EQ(symlink("d", (dir / "l").c_str()), 0);
        WriteFile(dir / "d/a.wav", wav);
        WriteFile(dir / "d/a.flac", flac);
        const std::string archive = test::Compress(wav, DeltaMode::None, "wav").output;
        if (c.command != BatchCommand::Compress) {
            WriteFile(dir / "d/x.kvn", archive);
            // x.wav too, from an empty type text.
            WriteFile(dir / "d/x.wav.kvn", test::Compress(wav, DeltaMode::None, "").output);
        }
        if (c.command == BatchCommand::Process) WriteFile(dir / "d/x.wav", wav);
        if (std::string(c.what) == "one file under three names") {
            ASSERT_EQ(link((dir / "d/a.wav").c_str(), (dir / "d/hard.wav").c_str()), 0);
        }
        BatchOptions options = Options(c.command);
        options.overwrite = OverwritePolicy::Force;
        options.deleteSource = true;
        std::vector<std::string> inputs;
        for (const std::string& input : c.inputs) inputs.push_back(dir.path() + "/" + input);
        BatchRun run = Batch(inputs, options);
        EXPECT_EQ(run.Actions(), c.actions) << run.errors;
        const bool failed = std::count(c.actions.begin(), c.actions.end(), "ERROR") > 0;
        EXPECT_EQ(run.status, failed ? 1 : 0);
        if (c.actions.back() == "skipped") {
            EXPECT_NE(run.errors.find("d/hard.wav: another name of "), std::string::npos)
                << run.errors;
        }
        EXPECT_EQ(ListFolder(dir / "d"), c.after);
        // Whatever was refused is whole, and every result holds what its source held.
        if (Exists(dir / "d/a.flac")) {
            EXPECT_EQ(ReadFile(dir / "d/a.flac"), flac);
        }
        if (Exists(dir / "d/x.wav")) {
            EXPECT_TRUE(ReadFile(dir / "d/x.wav") == wav);
        }
        if (Exists(dir / "d/a.kvn")) {
            EXPECT_TRUE(test::Expand(ReadFile(dir / "d/a.kvn")).output == wav);
        }
    }
}

// A link at the result's name is an existing result, even one that leads nowhere: -n skips it,
// without -f or -n it is refused, and -f replaces the link itself, never what it points to.
TEST_F(BatchTest, ALinkAtTheResultsNameIsAnExistingResult) {
    TempDir dir;
    WriteFile(dir / "a.wav", "sound");
    ASSERT_EQ(symlink("nowhere", (dir / "a.kvn").c_str()), 0);
    BatchOptions options = Options();
    options.overwrite = OverwritePolicy::NoClobber;
    EXPECT_EQ(Batch({dir / "a.wav"}, options).Actions(), std::vector<std::string>{"skipped"});
    options.overwrite = OverwritePolicy::Ask;
    EXPECT_EQ(Batch({dir / "a.wav"}, options).Actions(), std::vector<std::string>{"ERROR"});
    EXPECT_TRUE(platform::IsLink(dir / "a.kvn"));
    options.overwrite = OverwritePolicy::Force;
    EXPECT_EQ(Batch({dir / "a.wav"}, options).Actions(), std::vector<std::string>{"compressed"});
    EXPECT_FALSE(platform::IsLink(dir / "a.kvn"));
    EXPECT_FALSE(Exists(dir / "nowhere"));
}

TEST_F(BatchTest, NamesKeepTheirDotsAndNoArchiveOfAnotherFileIsReplacedSilently) {
    TempDir dir;
    const std::string kick = Sound(0.1), aiff = "an aiff sound", c4 = Sound(0.2), c5 = Sound(0.3);
    WriteFile(dir / "Piano.C4.mf.wav", c4);
    WriteFile(dir / "Piano.C5.mf.wav", c5);
    WriteFile(dir / "Kick.aiff", aiff);
    WriteFile(dir / "Kick.wav", kick);
    BatchOptions options = Options();
    options.overwrite = OverwritePolicy::Force;
    options.deleteSource = true;
    EXPECT_EQ(Batch({dir / "Piano.C4.mf.wav", dir / "Piano.C5.mf.wav", dir / "Kick.aiff"}, options)
                  .status,
              0);
    EXPECT_EQ(
        ListFolder(dir.path()),
        (std::vector<std::string>{"Kick.kvn", "Kick.wav", "Piano.C4.mf.kvn", "Piano.C5.mf.kvn"}));
    // -f does not replace Kick.kvn, which holds Kick.aiff; -n skips it; --replace-any does.
    BatchRun forced = Batch({dir / "Kick.wav"}, options);
    EXPECT_EQ(forced.status, 1);
    EXPECT_NE(forced.errors.find("holds another file, Kick.aiff (use --replace-any"),
              std::string::npos)
        << forced.errors;
    options.overwrite = OverwritePolicy::NoClobber;
    EXPECT_EQ(Batch({dir / "Kick.wav"}, options).Actions(), std::vector<std::string>{"skipped"});
    EXPECT_TRUE(Exists(dir / "Kick.wav"));
    options.overwrite = OverwritePolicy::Force;
    options.replaceAny = true;
    EXPECT_EQ(Batch({dir / "Kick.wav"}, options).status, 0);

    BatchRun expanded = Batch({dir.path()}, Options(BatchCommand::Expand));
    EXPECT_EQ(expanded.status, 0) << expanded.errors;
    EXPECT_EQ(ListFolder(dir.path()),
              (std::vector<std::string>{"Kick.kvn", "Kick.wav", "Piano.C4.mf.kvn",
                                        "Piano.C4.mf.wav", "Piano.C5.mf.kvn", "Piano.C5.mf.wav"}));
    EXPECT_TRUE(ReadFile(dir / "Kick.wav") == kick);
    EXPECT_TRUE(ReadFile(dir / "Piano.C4.mf.wav") == c4);
    EXPECT_TRUE(ReadFile(dir / "Piano.C5.mf.wav") == c5);
}

// A pipe on standard input is kept whole before the job starts: more than the temporary file
// may hold (here a limit the test sets) and a full temporary folder fail with the system's
// reason, before anything is written to standard output.
TEST_F(BatchTest, APipeOnStandardInputIsKeptWholeOrRefused) {
    TempDir dir;
    struct Case {
        const char* what;
        uint64_t limit;
        bool full;
        const char* message;
        int status;
    } cases[] = {
        {"a pipe holding more than the limit", 4096, false, "File too large", kExitFailed},
        {"a full temporary folder", 1 << 20, true, "-: can't keep standard input in ", kExitRetry},
        {"a pipe that fits", 1 << 20, false, "", kExitOk},
    };
    const std::string sound = Sound(0.05);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        platform::FileHandle readEnd, writeEnd;
        ASSERT_TRUE(platform::MakePipe(&readEnd, &writeEnd));
        ASSERT_TRUE(platform::WriteFull(writeEnd, sound.data(), sound.size()));
        platform::CloseFile(writeEnd);
        const std::string outPath = dir / "out.kvn";
        platform::FileHandle out = platform::CreateNewForWrite(outPath);
        BatchOptions options = Options();
        options.json = false;
        options.toStdout = true;
        options.standardInput = readEnd;
        options.standardOutput = out;
        options.spoolLimit = c.limit;
        if (c.full) platform::InjectFault(FaultOp::Write, 1, ENOSPC);
        BatchRun run = Batch({"-"}, options);
        platform::ClearFaults();
        platform::CloseFile(readEnd);
        platform::CloseFile(out);
        EXPECT_EQ(run.status, c.status) << run.errors;
        if (c.status == kExitOk) {
            EXPECT_TRUE(test::Expand(ReadFile(outPath)).output == sound);
        } else {
            EXPECT_NE(run.errors.find(c.message), std::string::npos) << run.errors;
            EXPECT_EQ(ReadFile(outPath), "");
        }
        ASSERT_EQ(unlink(outPath.c_str()), 0);
    }
}

// A folder walk takes what the command is for; files named one by one follow the command. -r
// keeps named files' folders below the base, so two Kick.wav of two folders do not clash, and
// shards of any count split the inputs with every file taken exactly once.
TEST_F(BatchTest, WalksTakeWhatTheCommandIsForAndShardsSplitTheInputs) {
    TempDir dir;
    test::MakeFolders(dir / "lib/a");
    test::MakeFolders(dir / "lib/b");
    const std::string kick = Sound(0.05);
    WriteFile(dir / "lib/a/Kick.wav", kick);
    WriteFile(dir / "lib/b/Kick.wav", kick);
    WriteFile(dir / "lib/old.kvn", test::Compress("old sound", DeltaMode::None, "wav").output);
    BatchOptions compress = Options();
    // Compressing the library twice: the second run skips what the first made.
    for (int run = 0; run < 2; ++run) {
        compress.overwrite = OverwritePolicy::NoClobber;
        BatchRun walked = Batch({dir / "lib"}, compress);
        EXPECT_EQ(walked.status, 0) << walked.errors;
        EXPECT_EQ(walked.Actions(),
                  (std::vector<std::string>(2, run == 0 ? "compressed" : "skipped")));
    }
    BatchOptions expand = Options(BatchCommand::Expand);
    expand.overwrite = OverwritePolicy::NoClobber;
    BatchRun expanded = Batch({dir / "lib"}, expand);
    EXPECT_EQ(expanded.Actions(), (std::vector<std::string>{"skipped", "skipped", "expanded"}))
        << expanded.errors;
    EXPECT_EQ(ReadFile(dir / "lib/old.wav"), "old sound");

    // Named files keep their folders below the base (the working folder, or --base).
    BatchOptions tree = Options();
    tree.outputFolder = dir / "out";
    tree.keepTree = true;
    tree.base = dir / "lib";
    EXPECT_EQ(Batch({dir / "lib/a/Kick.wav", dir / "lib/b/Kick.wav"}, tree).status, 0);
    EXPECT_EQ(ListFolder(dir / "out/a"), std::vector<std::string>{"Kick.kvn"});
    EXPECT_EQ(ListFolder(dir / "out/b"), std::vector<std::string>{"Kick.kvn"});
    tree.base = dir / "lib/a";
    BatchRun outside = Batch({dir / "lib/b/Kick.wav"}, tree);
    EXPECT_NE(outside.errors.find("not below the base folder"), std::string::npos);

    // Shards: 30 files, split 1, 2 and 7 ways.
    test::MakeFolders(dir / "many");
    std::vector<std::string> all;
    for (int i = 0; i < 30; ++i) {
        all.push_back("f" + std::to_string(i) + ".raw");
        WriteFile(dir / ("many/" + all.back()), "file " + std::to_string(i));
    }
    for (uint32_t count : {1u, 2u, 7u}) {
        std::vector<std::string> taken;
        for (uint32_t index = 1; index <= count; ++index) {
            BatchOptions shard = Options();
            shard.outputFolder = dir / ("shards" + std::to_string(count));
            shard.shardIndex = index;
            shard.shardCount = count;
            EXPECT_EQ(Batch({dir / "many"}, shard).status, 0);
        }
        taken = ListFolder(dir / ("shards" + std::to_string(count)));
        EXPECT_EQ(taken.size(), all.size()) << count << " shards";
    }
    // The share of a path never changes: machines of other versions agree on it.
    EXPECT_EQ(ShardOf("samples/Kick.wav", 1000003), 10675757342166441119ull % 1000003);
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
              (std::vector<std::string>{"LOOP.aiff", "take.2.raw", "take.kvn"}));
    for (const char* restored : {"out/LOOP.aiff", "out/take.2.raw"}) {
        EXPECT_TRUE(ReadFile(dir / restored) == wav) << restored;
    }
    EXPECT_NE(run.out.find("LOOP.KVN    "), std::string::npos);
    EXPECT_NE(run.out.find("expanded    16-bit"), std::string::npos) << run.out;
}

}  // namespace
}  // namespace kavrin::cli
