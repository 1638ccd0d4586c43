// SPDX-License-Identifier: MIT
// kvn killed with SIGKILL at several moments of a job: no file may appear under the final name
// unless it is complete, and an older file it was to replace stays whole until then.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "jobs/Destination.h"
#include "tests/support/EngineHarness.h"
#include "tools/SampleSound.h"

namespace kavrin {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::Exists;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

constexpr const char* kOlder = "older result";

pid_t StartKvn(const std::string& folder, const std::vector<std::string>& args) {
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(folder.c_str()) != 0) _exit(127);
        if (!freopen("/dev/null", "w", stdout) || !freopen("/dev/null", "w", stderr)) _exit(127);
        std::vector<char*> argv = {const_cast<char*>(KVN_PATH)};
        for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execv(KVN_PATH, argv.data());
        _exit(127);
    }
    return pid;
}

int Wait(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

// Runs `args` in a fresh copy of the files, killing kvn after `delay` (never, if negative);
// returns what is wrong, or "".
std::string KillAt(Clock::duration delay, const std::string& input, bool expand,
                   const std::string& original) {
    TempDir dir;
    const std::string source = expand ? "take.kvn" : "take.wav";
    const std::string result = expand ? "out/take.wav" : "out/take.kvn";
    WriteFile(dir / source, input);
    test::MakeFolders(dir / "out");
    WriteFile(dir / result, kOlder);
    std::vector<std::string> args = {
        expand ? "expand" : "compress", "--no-progress", "-f", "-o", "out", source};
    if (!expand) args.insert(args.end() - 1, {"-m", "16"});
    pid_t pid = StartKvn(dir.path(), args);
    const bool killed = delay >= Clock::duration::zero();
    if (killed) {
        std::this_thread::sleep_for(delay);
        kill(pid, SIGKILL);
    }
    const int status = Wait(pid);
    // A run that was not killed must have done its job, or the kill points prove nothing.
    if (!killed && !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
        return "kvn failed without being killed";
    }
    std::string shown = ReadFile(dir / result);
    if (shown == kOlder) return killed ? "" : "the result never appeared";
    bool complete = expand ? shown == original : test::Expand(shown).output == original;
    return complete ? "" : "a partial result under the final name";
}

void RunKillPoints(const std::string& original, int points) {
    const std::string archive = test::Compress(original, DeltaMode::Bits16, "wav").output;
    for (bool expand : {false, true}) {
        const std::string& input = expand ? archive : original;
        auto start = Clock::now();
        ASSERT_EQ(KillAt(-1s, input, expand, original), "");
        const auto whole = Clock::now() - start;
        for (int i = 0; i <= points; ++i) {
            auto delay = whole * i / points;
            EXPECT_EQ(KillAt(delay, input, expand, original), "")
                << (expand ? "expand" : "compress") << " killed after "
                << std::chrono::duration_cast<std::chrono::milliseconds>(delay).count() << " ms";
        }
    }
}

samples::SoundSpec Seconds(double seconds) {
    samples::SoundSpec spec;
    spec.seconds = seconds;
    return spec;
}

TEST(CrashTest, KilledJobsLeaveNoPartialResult) {
    RunKillPoints(samples::MakeWav(Seconds(30)), 6);  // about 5 MB
}

// A larger file with more kill points; labelled "long", so CI does not run it.
TEST(CrashTestLong, KilledJobsLeaveNoPartialResultOnALargeFile) {
    RunKillPoints(samples::MakeWav(Seconds(360)), 20);  // about 63 MB
}

}  // namespace
}  // namespace kavrin
