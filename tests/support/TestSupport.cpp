// SPDX-License-Identifier: MIT
#include "tests/support/TestSupport.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace kavrin::test {

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/kavrin-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    // Folders a test made unreadable must become removable again.
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

bool Exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

void MakeFolders(const std::string& path) {
    std::filesystem::create_directories(path);
}

std::vector<std::string> ListFolder(const std::string& path) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(path.c_str())) {
        while (dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool RecordingObserver::IsRunning() {
    ++isRunningCalls;
    if (stopAfter_ >= 0 && isRunningCalls > stopAfter_) stopped_ = true;
    return !stopped_;
}

void RecordingObserver::BeginProgress(uint32_t steps) {
    events.push_back("begin:" + std::to_string(steps));
}
void RecordingObserver::StepProgress() {
    events.push_back("step");
}
void RecordingObserver::ResetProgress() {
    events.push_back("reset");
}
void RecordingObserver::SetLamps(LampPhase phase) {
    events.push_back("lamps:" + std::to_string(static_cast<int>(phase)));
}
void RecordingObserver::SetAnalysisLamp(bool on) {
    events.push_back(std::string("analysis:") + (on ? "1" : "0"));
}

int RecordingObserver::Count(const std::string& event) const {
    return static_cast<int>(std::count(events.begin(), events.end(), event));
}

ProgramResult RunProgram(const std::vector<std::string>& argv, const std::string& input,
                         const std::string& workingFolder) {
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) {
        throw std::runtime_error("pipe failed");
    }
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        if (!workingFolder.empty() && chdir(workingFolder.c_str()) != 0) _exit(127);
        std::vector<char*> args;
        for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    if (!input.empty()) {
        ssize_t ignored = write(in[1], input.data(), input.size());
        (void)ignored;
    }
    close(in[1]);

    ProgramResult result;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open = 2;
    char buffer[65536];
    while (open > 0) {
        if (poll(fds, 2, -1) < 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            } else {
                (i == 0 ? result.out : result.err).append(buffer, static_cast<size_t>(n));
            }
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

std::string Sha256(const std::string& bytes) {
    const std::string program = FindTool("sha256sum");
    if (program.empty()) throw std::runtime_error("sha256sum is not installed");
    ProgramResult result = RunProgram({program, "-b", "-"}, bytes);
    if (result.status != 0 || result.out.size() < 64) {
        throw std::runtime_error("sha256sum failed: " + result.err);
    }
    return result.out.substr(0, 64);
}

std::string FindTool(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::istringstream folders(path && *path ? path : "/usr/local/bin:/usr/bin:/bin");
    for (std::string folder; std::getline(folders, folder, ':');) {
        const std::string candidate = (folder.empty() ? "." : folder) + "/" + name;
        struct stat info {};
        if (stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
            access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return "";
}

bool InCi() {
    const char* value = std::getenv("CI");
    if (value == nullptr) return false;
    const std::string ci = value;
    return !ci.empty() && ci != "0" && ci != "false";
}

}  // namespace kavrin::test
