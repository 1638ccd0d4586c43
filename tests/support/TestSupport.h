// SPDX-License-Identifier: MIT
// Helpers shared by the tests: temporary folders, whole-file reads and writes, an observer
// that records what the engine tells it, running a program with its output captured, and
// finding the programs a test compares with.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/EngineObserver.h"

namespace kavrin::test {

// A fresh folder under $TMPDIR, removed with everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

void WriteFile(const std::string& path, const std::string& bytes);
std::string ReadFile(const std::string& path);
bool Exists(const std::string& path);
// Creates a folder and its missing parents.
void MakeFolders(const std::string& path);
// The names in a folder (without "." and ".."), sorted.
std::vector<std::string> ListFolder(const std::string& path);

// Records every observer call as a short word ("begin:5", "step", "reset", "lamps:1",
// "analysis:1") and answers IsRunning true until `stopAfter` IsRunning calls have been made.
class RecordingObserver : public EngineObserver {
public:
    explicit RecordingObserver(int stopAfter = -1) : stopAfter_(stopAfter) {}
    bool IsRunning() override;
    void BeginProgress(uint32_t steps) override;
    void StepProgress() override;
    void ResetProgress() override;
    void SetLamps(LampPhase phase) override;
    void SetAnalysisLamp(bool on) override;

    void Stop() { stopped_ = true; }
    int Count(const std::string& event) const;
    std::vector<std::string> events;
    int isRunningCalls = 0;

private:
    int stopAfter_;
    std::atomic<bool> stopped_{false};
};

// Runs `argv` (argv[0] a path) with stdin from `input`, capturing stdout and stderr.
struct ProgramResult {
    int status = -1;  // exit status, or 128 + signal number
    std::string out;
    std::string err;
};
ProgramResult RunProgram(const std::vector<std::string>& argv, const std::string& input = "",
                         const std::string& workingFolder = "");

// The SHA-256 of `bytes` in lower-case hex, as sha256sum prints it (throws when that program is
// missing; coreutils always has it).
std::string Sha256(const std::string& bytes);

// The program `name` as the shell would find it on PATH, or "" when it is not installed.
std::string FindTool(const std::string& name);
// True when the tests run in CI (the variable CI set, and not to "0" or "false").
bool InCi();

}  // namespace kavrin::test

// In a test body: declares `variable` as the path of the program `name`. When the program is
// not installed, the test ends there: it fails in CI (scripts/setup.sh installs every program a
// test uses, so a missing one is a broken set-up) and is skipped with a message elsewhere.
#define KAVRIN_REQUIRE_TOOL(variable, name)                                                     \
    const std::string variable = ::kavrin::test::FindTool(name);                                \
    if (variable.empty()) {                                                                     \
        if (::kavrin::test::InCi()) FAIL() << (name) << " is not installed (scripts/setup.sh)"; \
        GTEST_SKIP() << (name) << " is not installed; scripts/setup.sh installs it";            \
    }
