// kvn end to end: real files in a temporary folder, asserting output and exit status.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "engine/ArchiveFormat.h"
#include "jobs/FormatSize.h"
#include "tests/support/EngineHarness.h"
#include "tools/SampleSound.h"

namespace kavrin {
namespace {

using test::Exists;
using test::ListFolder;
using test::ProgramResult;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

ProgramResult Kvn(std::vector<std::string> args, const std::string& folder = "") {
    args.insert(args.begin(), KVN_PATH);
    return test::RunProgram(args, "", folder);
}

std::string SoundWav(double seconds = 1.0) {
    samples::SoundSpec spec;
    spec.seconds = seconds;
    return samples::MakeWav(spec);
}

// The whitespace-separated fields of each line.
std::vector<std::vector<std::string>> Lines(const std::string& text) {
    std::vector<std::vector<std::string>> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::vector<std::string> fields;
        for (std::string word; words >> word;) fields.push_back(word);
        lines.push_back(fields);
    }
    return lines;
}

using Fields = std::vector<std::string>;

TEST(KvnTest, CompressesExpandsAndReports) {
    TempDir dir;
    const std::string wav = SoundWav();
    WriteFile(dir / "take.wav", wav);

    ProgramResult compressed = Kvn({"compress", "-m", "16", "take.wav"}, dir.path());
    EXPECT_EQ(compressed.status, 0) << compressed.err;
    EXPECT_EQ(compressed.err, "");
    const std::string payload = test::PayloadOf(ReadFile(dir / "take.kvn"));
    EXPECT_EQ(Lines(compressed.out),
              (std::vector<Fields>{{"compressed", "16-bit", FormatSize(wav.size()),
                                    FormatSize(payload.size()),
                                    FormatRatio(payload.size(), wav.size()), "take.wav"}}));

    ProgramResult info = Kvn({"info", "take.kvn"}, dir.path());
    EXPECT_EQ(info.status, 0);
    const uint64_t archiveSize = payload.size() + 17;
    EXPECT_EQ(Lines(info.out)[1],
              (Fields{"wav", "16-bit", FormatSize(wav.size()), FormatSize(archiveSize),
                      FormatRatio(archiveSize, wav.size()), "take.kvn"}));

    // Expansion into a folder that does not exist yet, two levels deep.
    ProgramResult expanded = Kvn({"expand", "-o", "out/deep", "take.kvn"}, dir.path());
    EXPECT_EQ(expanded.status, 0) << expanded.err;
    EXPECT_EQ(Lines(expanded.out)[0][0], "expanded");
    EXPECT_TRUE(ReadFile(dir / "out/deep/take.wav") == wav);

    ProgramResult tested = Kvn({"test", "take.kvn"}, dir.path());
    EXPECT_EQ(tested.status, 0);
    EXPECT_EQ(tested.out, "OK      take.kvn\n");
    EXPECT_EQ(ListFolder(dir.path()), (std::vector<std::string>{"out", "take.kvn", "take.wav"}));
}

TEST(KvnTest, NeverOverwritesWithoutForce) {
    TempDir dir;
    WriteFile(dir / "a.wav", SoundWav(0.2));
    WriteFile(dir / "a.kvn", "precious");
    ProgramResult refused = Kvn({"compress", "a.wav"}, dir.path());
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("File already exists"), std::string::npos) << refused.err;
    EXPECT_EQ(Lines(refused.out), (std::vector<Fields>{{"ERROR", "a.wav"}}));
    EXPECT_EQ(ReadFile(dir / "a.kvn"), "precious");

    ProgramResult forced = Kvn({"compress", "-f", "a.wav"}, dir.path());
    EXPECT_EQ(forced.status, 0) << forced.err;
    EXPECT_EQ(ReadFile(dir / "a.kvn").substr(0, 4), "KVN1");
    EXPECT_EQ(ListFolder(dir.path()), (std::vector<std::string>{"a.kvn", "a.wav"}));
}

TEST(KvnTest, RefusesBadInputWithClearMessages) {
    TempDir dir;
    WriteFile(dir / "fake.kvn", "RIFF....");
    ASSERT_EQ(mkfifo((dir / "pipe.wav").c_str(), 0600), 0);
    // An archive whose type text would climb out of the folder.
    WriteFile(dir / "evil.kvn", EncodeArchiveHeader("/../../escape", 1, 0) +
                                    test::PayloadOf(test::Compress("", DeltaMode::None).output));
    // An archive that would restore over itself.
    WriteFile(dir / "self.kvn", test::Compress("data", DeltaMode::None, "kvn").output);
    const std::string self = ReadFile(dir / "self.kvn");
    // A damaged archive.
    std::string damaged = test::Compress(SoundWav(0.5), DeltaMode::Bits16).output;
    damaged[damaged.size() / 2] ^= 0x40;
    WriteFile(dir / "damaged.kvn", damaged);

    struct Case {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"expand", "fake.kvn"}, "fake.kvn: Bad file format"},
        {{"expand", "evil.kvn"}, "evil.kvn: Bad file format (unsafe type text)"},
        {{"expand", "-f", "self.kvn"}, "it is the source itself"},
        {{"expand", "damaged.kvn"}, "damaged stream"},
        {{"compress", "pipe.wav"}, "Illegal file attribute"},
        {{"compress", "missing.wav"}, "missing.wav: no such file"},
        {{"info", "fake.kvn"}, "Bad file format"},
        {{"test", "damaged.kvn"}, ""},
    };
    for (const Case& c : cases) {
        ProgramResult result = Kvn(c.args, dir.path());
        EXPECT_EQ(result.status, 1) << c.args[1];
        EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
    }
    EXPECT_EQ(
        ListFolder(dir.path()),
        (std::vector<std::string>{"damaged.kvn", "evil.kvn", "fake.kvn", "pipe.wav", "self.kvn"}));
    EXPECT_EQ(ReadFile(dir / "self.kvn"), self);
    EXPECT_NE(Kvn({"test", "damaged.kvn"}, dir.path()).out.find("FAILED  damaged.kvn: damaged"),
              std::string::npos);
}

TEST(KvnTest, UsageErrorsAndHelp) {
    EXPECT_EQ(Kvn({}).status, 2);
    EXPECT_EQ(Kvn({"compress"}).status, 2);
    EXPECT_EQ(Kvn({"compress", "-m", "12", "x"}).status, 2);
    EXPECT_EQ(Kvn({"frobnicate"}).status, 2);
    ProgramResult help = Kvn({"compress", "--help"});
    EXPECT_EQ(help.status, 0);
    for (const char* option : {"--mode", "--output", "--force", "--no-progress"}) {
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
    }
    EXPECT_EQ(Kvn({"--version"}).status, 0);
}

TEST(KvnTest, CtrlCCancelsAndLeavesNoPartialFile) {
    TempDir dir;
    WriteFile(dir / "big.raw", samples::MakeNoise(24 << 20, 8));
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.path().c_str()) != 0) _exit(127);
        freopen("/dev/null", "w", stdout);
        execl(KVN_PATH, KVN_PATH, "compress", "-m", "none", "big.raw", static_cast<char*>(nullptr));
        _exit(127);
    }
    // Wait until the job has started writing (its hidden temporary file exists).
    for (int i = 0; i < 500 && ListFolder(dir.path()).size() < 2; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    kill(pid, SIGINT);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 130);
    EXPECT_EQ(ListFolder(dir.path()), std::vector<std::string>{"big.raw"});
}

}  // namespace
}  // namespace kavrin
