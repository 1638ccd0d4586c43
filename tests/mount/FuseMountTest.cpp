// SPDX-License-Identifier: MIT
// kvn mount through a real FUSE mount, with real programs as its clients: cmp, find, sox and
// fluidsynth read sound files and banks from it; crafted archives, archives that change or go,
// and a damaged block meet it; and it unmounts on kvn umount and on SIGTERM.
//
// Every mount a test makes is served by a `kvn mount -f` child and is unmounted when the test
// ends, passed or failed (kvn umount, then fusermount3 -u -z, then the child is killed). Waits
// are bounded and poll for conditions.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "engine/format/ArchiveFormat.h"
#include "mount/ArchiveLibrary.h"
#include "mount/FuseMount.h"
#include "tests/support/EngineHarness.h"

namespace kavrin {
namespace {

using test::ReadFile;
using test::RunProgram;
using test::TempDir;
using test::WriteFile;

const std::string kKvn = KVN_PATH;

// What a test needs from the machine; empty when it is all there.
std::string Missing(std::initializer_list<const char*> paths) {
    std::string missing;
    for (const char* path : paths) {
        if (access(path, F_OK) != 0) missing += std::string(missing.empty() ? "" : ", ") + path;
    }
    return missing;
}

// Fails in CI, skips with a message elsewhere.
#define REQUIRE_MACHINE(...)                                                                     \
    do {                                                                                         \
        const std::string missing = Missing({"/dev/fuse", "/usr/bin/fusermount3", __VA_ARGS__}); \
        if (!missing.empty()) {                                                                  \
            if (test::InCi()) FAIL() << "missing (scripts/setup.sh installs it): " << missing;   \
            GTEST_SKIP() << "missing (scripts/setup.sh installs it): " << missing;               \
        }                                                                                        \
    } while (0)

bool IsMounted(const std::string& point) {
    std::ifstream info("/proc/self/mountinfo");
    std::string line;
    while (std::getline(info, line)) {
        std::istringstream fields(line);
        std::string id, parent, device, root, where;
        fields >> id >> parent >> device >> root >> where;
        if (where == point) return true;
    }
    return false;
}

template <class Condition>
bool WaitFor(Condition condition, int seconds = 60) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// A `kvn mount -f` child serving `folder` at `point`, unmounted and ended however the test
// ends.
class Mount {
public:
    // `runner`: a program kvn runs under (an emulator), none when empty.
    Mount(const std::string& folder, const std::string& point, const std::string& cache,
          const std::string& log, std::vector<std::string> extra = {}, rlim_t fileLimit = 0,
          std::vector<std::string> runner = {})
        : point_(point), log_(log) {
        std::vector<std::string> argv = runner;
        argv.insert(argv.end(), {kKvn, "mount", "-f"});
        argv.insert(argv.end(), extra.begin(), extra.end());
        argv.push_back(folder);
        argv.push_back(point);
        child_ = fork();
        if (child_ == 0) {
            setenv("XDG_CACHE_HOME", cache.c_str(), 1);
            if (fileLimit != 0) {
                rlimit limit{fileLimit, fileLimit};
                setrlimit(RLIMIT_NOFILE, &limit);
            }
            const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(out, 1);
            dup2(out, 2);
            std::vector<char*> args;
            for (std::string& arg : argv) args.push_back(arg.data());
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
        mounted_ = WaitFor([&] { return IsMounted(point_) || Exited(); });
        mounted_ = mounted_ && IsMounted(point_);
    }
    ~Mount() {
        if (IsMounted(point_)) RunProgram({kKvn, "umount", point_});
        if (!WaitFor([&] { return Exited(); }, 30)) {
            RunProgram({"/usr/bin/fusermount3", "-u", "-z", point_});
            kill(child_, SIGKILL);
            WaitFor([&] { return Exited(); }, 30);
        }
        if (IsMounted(point_)) RunProgram({"/usr/bin/fusermount3", "-u", "-z", point_});
    }
    bool mounted() const { return mounted_; }
    // Ends the child with `signal`, with 0 through kvn umount, with -1 by a lazy unmount
    // (files may be open); its exit status.
    int End(int signal = 0) {
        if (signal > 0) {
            kill(child_, signal);
        } else if (signal < 0) {
            EXPECT_EQ(RunProgram({"/usr/bin/fusermount3", "-u", "-z", point_}).status, 0);
        } else {
            EXPECT_EQ(RunProgram({kKvn, "umount", point_}).status, 0);
        }
        EXPECT_TRUE(WaitFor([&] { return Exited(); }));
        return status_;
    }
    std::string Log() const { return ReadFile(log_); }

private:
    bool Exited() {
        if (exited_) return true;
        int status = 0;
        if (waitpid(child_, &status, WNOHANG) != child_) return false;
        exited_ = true;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return true;
    }

    std::string point_, log_;
    pid_t child_ = -1;
    bool mounted_ = false;
    bool exited_ = false;
    int status_ = -1;
};

void Copy(const std::string& from, const std::string& to) {
    WriteFile(to, ReadFile(from));
}

// A short General MIDI piece: a piano melody, strings and drums, so that several instruments
// and drum samples of the bank are read.
std::string MidiPiece() {
    std::string track;
    auto event = [&](uint32_t delta, std::initializer_list<int> bytes) {
        std::string vlq(1, static_cast<char>(delta & 0x7F));
        while (delta >>= 7) vlq.insert(vlq.begin(), static_cast<char>(0x80 | (delta & 0x7F)));
        track += vlq;
        for (int b : bytes) track += static_cast<char>(b);
    };
    event(0, {0xC0, 0});   // piano
    event(0, {0xC1, 48});  // strings
    event(0, {0xC2, 56});  // trumpet
    const int melody[] = {60, 64, 67, 72, 71, 67, 64, 62};
    for (int i = 0; i < 8; ++i) {
        event(i == 0 ? 0 : 0, {0x90, melody[i], 100});
        event(0, {0x99, i % 2 ? 38 : 36, 110});
        if (i % 4 == 0) event(0, {0x91, melody[i] - 12, 80});
        if (i % 4 == 2) event(0, {0x92, melody[i] + 7, 90});
        event(48, {0x80, melody[i], 0});
        event(0, {0x89, i % 2 ? 38 : 36, 0});
        if (i % 4 == 0) event(0, {0x81, melody[i] - 12, 0});
        if (i % 4 == 2) event(0, {0x82, melody[i] + 7, 0});
    }
    event(96, {0xFF, 0x2F, 0x00});
    const auto be32 = [](uint32_t v) {
        return std::string{static_cast<char>(v >> 24), static_cast<char>(v >> 16),
                           static_cast<char>(v >> 8), static_cast<char>(v)};
    };
    return std::string("MThd") + be32(6) + std::string("\0\0\0\1\0\x60", 6) + "MTrk" +
           be32(static_cast<uint32_t>(track.size())) + track;
}

std::string Listing(const std::string& folder) {
    return RunProgram({"/usr/bin/sh", "-c",
                       "cd '" + folder + "' && find . -printf '%y %p %s\\n' | grep -v '^d' | sort"})
        .out;
}

TEST(FuseMountTest, RealProgramsReadSoundsAndBanksThroughTheMount) {
    REQUIRE_MACHINE("/usr/bin/fluidsynth", "/usr/bin/sox", "/usr/share/sounds/sf2/TimGM6mb.sf2",
                    "/usr/share/midi/freepats/Tone_000", "/usr/share/sounds/alsa/Noise.wav");
    TempDir dir;
    test::MakeFolders(dir / "src/alsa");
    test::MakeFolders(dir / "src/banks");
    for (const char* name : {"Front_Center.wav", "Noise.wav", "Rear_Right.wav"}) {
        Copy(std::string("/usr/share/sounds/alsa/") + name,
             dir / ("src/alsa/" + std::string(name)));
    }
    Copy("/usr/share/sounds/sf2/TimGM6mb.sf2", dir / "src/banks/TimGM6mb.sf2");
    for (const char* kind : {"Tone_000", "Drum_000"}) {
        const std::string from = std::string("/usr/share/midi/freepats/") + kind;
        test::MakeFolders(dir / ("src/freepats/" + std::string(kind)));
        int copied = 0;
        for (const std::string& name : test::ListFolder(from)) {
            if (name.size() < 4 || name.compare(name.size() - 4, 4, ".pat") != 0) continue;
            Copy(from + "/" + name, dir / ("src/freepats/" + std::string(kind) + "/" + name));
            if (++copied == 8) break;
        }
    }
    const test::ProgramResult packed =
        RunProgram({kKvn, "process", "-q", "--no-progress", "-r", "-o", dir / "arc", dir / "src"});
    ASSERT_EQ(packed.status, 0) << packed.err;
    WriteFile(dir / "src/readme.txt", "passed through unchanged\n");  // not an archive
    WriteFile(dir / "arc/readme.txt", "passed through unchanged\n");
    test::MakeFolders(dir / "mp");
    Mount mount(dir / "arc", dir / "mp", dir / "cache", dir / "mount.log");
    ASSERT_TRUE(mount.mounted()) << mount.Log();

    // find sees the restored names and sizes, cmp the restored bytes.
    EXPECT_EQ(Listing(dir / "mp"), Listing(dir / "src"));
    const std::string files =
        RunProgram({"/usr/bin/sh", "-c", "cd '" + dir / "src" + "' && find . -type f"}).out;
    std::istringstream each(files);
    int compared = 0;
    for (std::string file; std::getline(each, file); ++compared) {
        EXPECT_EQ(RunProgram({"/usr/bin/cmp", dir / ("src/" + file), dir / ("mp/" + file)}).status,
                  0)
            << file;
    }
    EXPECT_GE(compared, 20);
    EXPECT_EQ(RunProgram({"/usr/bin/du", "-b", dir / "mp/banks/TimGM6mb.sf2"}).out,
              "5969788\t" + dir / "mp/banks/TimGM6mb.sf2" + "\n");

    // sox reads a WAV from the mount as from the original.
    const auto samples = [&](const std::string& wav) {
        return RunProgram({"/usr/bin/sox", wav, "-t", "raw", "-"});
    };
    const test::ProgramResult viaMount = samples(dir / "mp/alsa/Front_Center.wav");
    EXPECT_EQ(viaMount.status, 0) << viaMount.err;
    EXPECT_GT(viaMount.out.size(), 100000u);
    EXPECT_TRUE(viaMount.out == samples(dir / "src/alsa/Front_Center.wav").out);

    // fluidsynth renders the same piece from the bank in the mount as from the original.
    WriteFile(dir / "piece.mid", MidiPiece());
    const auto render = [&](const std::string& bank, const std::string& wav) {
        return RunProgram({"/usr/bin/fluidsynth", "-n", "-i", "-q", "-r", "44100", "-T", "wav",
                           "-F", wav, bank, dir / "piece.mid"});
    };
    const test::ProgramResult rendered = render(dir / "mp/banks/TimGM6mb.sf2", dir / "mount.wav");
    EXPECT_EQ(rendered.status, 0) << rendered.err;
    EXPECT_EQ(render(dir / "src/banks/TimGM6mb.sf2", dir / "original.wav").status, 0);
    const std::string wav = ReadFile(dir / "mount.wav");
    EXPECT_GT(wav.size(), 200000u);
    EXPECT_TRUE(wav == ReadFile(dir / "original.wav"));

    // Read-only: writes, creations, renames and deletions give EROFS.
    const std::string bank = dir / "mp/banks/TimGM6mb.sf2";
    errno = 0;
    EXPECT_LT(open(bank.c_str(), O_WRONLY), 0);
    EXPECT_EQ(errno, EROFS);
    EXPECT_LT(open((dir / "mp/new.wav").c_str(), O_WRONLY | O_CREAT, 0644), 0);
    EXPECT_EQ(errno, EROFS);
    EXPECT_NE(rename(bank.c_str(), (dir / "mp/banks/x.sf2").c_str()), 0);
    EXPECT_EQ(errno, EROFS);
    EXPECT_NE(unlink(bank.c_str()), 0);
    EXPECT_EQ(errno, EROFS);
    EXPECT_NE(mkdir((dir / "mp/new").c_str(), 0755), 0);
    EXPECT_EQ(errno, EROFS);

    EXPECT_EQ(RunProgram({kKvn, "umount", dir / "src"}).status, 1);  // not a kvn mount
    // A mount over the folder, or inside it, would read itself: refused.
    EXPECT_EQ(RunProgram({kKvn, "mount", dir / "src", dir / "src"}).status, 1);
    EXPECT_EQ(RunProgram({kKvn, "mount", dir / "src", dir / "src/alsa"}).status, 1);
    EXPECT_EQ(RunProgram({kKvn, "mount", dir / "src/alsa", dir / "src"}).status, 1);
    EXPECT_EQ(mount.End(), 0);
    EXPECT_FALSE(IsMounted(dir / "mp"));
    EXPECT_EQ(mount.Log(), "");

    // In the background: kvn mount returns once the mount is in place.
    struct Unmounted {
        std::string point;
        ~Unmounted() {
            if (IsMounted(point)) RunProgram({"/usr/bin/fusermount3", "-u", "-z", point});
        }
    } guard{dir / "mp"};
    ASSERT_EQ(RunProgram({kKvn, "mount", dir / "arc", dir / "mp"}).status, 0);
    EXPECT_TRUE(IsMounted(dir / "mp"));
    EXPECT_TRUE(ReadFile(dir / "mp/alsa/Noise.wav") == ReadFile(dir / "src/alsa/Noise.wav"));
    EXPECT_EQ(RunProgram({kKvn, "umount", dir / "mp"}).status, 0);
    EXPECT_FALSE(IsMounted(dir / "mp"));
}

// The bytes a view file gives: the whole file, or the errno of the first failed read.
std::string ReadView(const std::string& path, int* error) {
    *error = 0;
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) {
        *error = errno;
        return "";
    }
    std::string bytes;
    char buffer[65536];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0) {
            *error = errno;
            break;
        }
        if (got == 0) break;
        bytes.append(buffer, static_cast<size_t>(got));
    }
    close(fd);
    return bytes;
}

TEST(FuseMountTest, NamesCollisionsAndHostileArchives) {
    REQUIRE_MACHINE(CORPUS_DIR);
    TempDir dir;
    const std::string in = dir / "in";
    test::MakeFolders(in + "/corpus");
    const std::string sound = test::Sound(1, 16, 1);
    const std::string payload =
        test::PayloadOf(test::CompressOn(1, sound, DeltaMode::Bits16).output);
    const auto archive = [&](const std::string& type) {
        return EncodeArchiveHeader(type, 3, static_cast<uint32_t>(sound.size())) + payload;
    };
    WriteFile(in + "/a.kvn", archive("wav"));  // its restored name is taken by a real file
    WriteFile(in + "/a.wav", "a real file");
    WriteFile(in + "/b.kvn", archive("wav"));  // two archives restoring to one name
    WriteFile(in + "/b.KVN", archive("wav"));
    WriteFile(in + "/c.kvn", archive("../x"));                 // an unsafe type text
    WriteFile(in + "/g.kvn", archive(std::string(255, 'x')));  // too long a name
    WriteFile(in + "/d.kvn", "no magic here");
    WriteFile(in + "/e.KVN", archive("wav"));
    WriteFile(in + "/f.2.kvn", archive("wav"));  // names keep their dots
    // Restored names that would be taken for archives' names keep their own, one rule for
    // every spelling; so does a header cut inside its reserved field.
    WriteFile(in + "/h.kvn", archive("KVN"));
    WriteFile(in + "/i.kvn", archive("kvn"));
    WriteFile(in + "/j.kvn", archive("2.kvn"));
    WriteFile(in + "/r.kvn", archive("wav").substr(0, 17 - 2));
    // A damaged archive whose header gives 0 bytes: listed so, never opened as an empty file.
    WriteFile(in + "/z.kvn", EncodeArchiveHeader("wav", 3, 0) + payload);
    // Bytes after the payload: damaged as well.
    WriteFile(in + "/t.kvn", archive("wav") + "more");
    for (const std::string& name : test::ListFolder(CORPUS_DIR "/expand")) {
        Copy(CORPUS_DIR "/expand/" + name, in + "/corpus/" + name);
    }
    const std::string before = Listing(in);
    // What kvn expand makes of the corpus: a view file that reads must read the same.
    RunProgram(
        {kKvn, "expand", "-q", "--no-progress", "-f", "-o", dir / "expanded", in + "/corpus"});
    test::MakeFolders(dir / "mp");
    Mount mount(in, dir / "mp", dir / "cache", dir / "mount.log");
    ASSERT_TRUE(mount.mounted()) << mount.Log();

    EXPECT_EQ(test::ListFolder(dir / "mp"),
              (std::vector<std::string>{"a.kvn", "a.wav", "b.KVN", "b.kvn", "c.kvn", "corpus",
                                        "d.kvn", "e.wav", "f.2.wav", "g.kvn", "h.kvn", "i.kvn",
                                        "j.kvn", "r.kvn", "t.wav", "z.wav"}));
    int error = 0;
    EXPECT_TRUE(ReadView(dir / "mp/a.kvn", &error) == archive("wav"));
    EXPECT_EQ(ReadView(dir / "mp/a.wav", &error), "a real file");
    EXPECT_TRUE(ReadView(dir / "mp/b.KVN", &error) == archive("wav"));
    EXPECT_TRUE(ReadView(dir / "mp/c.kvn", &error) == archive("../x"));
    EXPECT_TRUE(ReadView(dir / "mp/e.wav", &error) == sound);
    EXPECT_TRUE(ReadView(dir / "mp/f.2.wav", &error) == sound);
    for (const char* name : {"h.kvn", "i.kvn", "j.kvn", "r.kvn"}) {
        EXPECT_TRUE(ReadView(dir / ("mp/" + std::string(name)), &error) ==
                    ReadFile(in + "/" + name))
            << name;
    }
    for (const char* name : {"z.wav", "t.wav"}) {
        EXPECT_EQ(ReadView(dir / ("mp/" + std::string(name)), &error), "") << name;
        EXPECT_EQ(error, EIO) << name;
    }
    struct stat st {};
    EXPECT_NE(stat((dir / "mp/e.KVN").c_str(), &st), 0);

    // Every file the corpus shows reads as kvn expand restores it, or gives EIO; none brings
    // the mount down.
    int failed = 0, good = 0;
    for (const std::string& name : test::ListFolder(dir / "mp/corpus")) {
        SCOPED_TRACE(name);
        const std::string bytes = ReadView(dir / ("mp/corpus/" + name), &error);
        if (error != 0) {
            EXPECT_EQ(error, EIO);
            ++failed;
        } else if (test::Exists(dir / ("expanded/" + name))) {
            EXPECT_TRUE(bytes == ReadFile(dir / ("expanded/" + name)));
            ++good;
        } else {
            ASSERT_TRUE(test::Exists(in + "/corpus/" + name));  // shown as itself
            EXPECT_TRUE(bytes == ReadFile(in + "/corpus/" + name));
        }
    }
    EXPECT_GE(good, 8);
    EXPECT_GE(failed, 3);
    EXPECT_TRUE(ReadView(dir / "mp/e.wav", &error) == sound);
    EXPECT_TRUE(ReadView(dir / "mp/f.2.wav", &error) == sound);
    EXPECT_EQ(Listing(in), before);  // nothing written into the folder
    EXPECT_EQ(mount.End(), 0);
    EXPECT_NE(mount.Log().find("opening it gives EIO"), std::string::npos);
}

TEST(FuseMountTest, ChangedRemovedAndDamagedArchivesGiveNoStaleBytes) {
    REQUIRE_MACHINE("/usr/bin/cmp");
    TempDir dir;
    const std::string in = dir / "in";
    test::MakeFolders(in);
    const std::string first = test::Sound(2, 16, 30, 1);
    const std::string second = test::Sound(2, 16, 25, 2);
    const std::string archive = test::CompressOn(2, first, DeltaMode::Bits16).output;
    WriteFile(in + "/s.kvn", archive);
    WriteFile(in + "/rot.kvn", archive);
    // Indexed ahead, once.
    const auto indexAhead = [&] {
        const std::string cache = "XDG_CACHE_HOME=" + dir / "cache";
        return RunProgram({"/usr/bin/env", cache, kKvn, "mount", "--index", in}).out;
    };
    EXPECT_EQ(indexAhead().rfind("2 archives to index: 2 indexed now, 0 already indexed", 0), 0u);
    EXPECT_EQ(indexAhead().rfind("2 archives to index: 0 indexed now, 2 already indexed", 0), 0u);
    // A block that rots on disk under an index that still matches the archive's version.
    LibraryOptions options;
    options.indexFolder = dir / "cache/kavrin";
    uint64_t badFrom = 0;
    {
        ArchiveLibrary library(options);
        int error = 0;
        auto good = library.Open(in + "/s.kvn", &error);
        ASSERT_TRUE(good && good->Index());
        ArchiveIndex planted = *good->Index();
        std::string rotten = archive;
        const IndexedSpan& span = planted.spans[3];
        rotten[planted.headerLength + (span.startBit + span.endBit) / 16] ^= 0x08;
        WriteFile(in + "/rot.kvn", rotten);
        ASSERT_TRUE(platform::VersionAt(in + "/rot.kvn", &planted.version));
        ASSERT_TRUE(IndexStore(options.indexFolder).Save(planted));
        badFrom = span.restoredOffset;
    }
    test::MakeFolders(dir / "mp");
    Mount mount(in, dir / "mp", dir / "cache", dir / "mount.log", {"-o", "cache=2M"});
    ASSERT_TRUE(mount.mounted()) << mount.Log();

    std::string bytes(4096, '\0');
    const auto at = [&](int fd, uint64_t offset) {
        errno = 0;
        const ssize_t got = pread(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset));
        return got < 0 ? -errno : static_cast<int>(got);
    };
    // The kept index is believed only until the rotten block fails through it: built again,
    // it finds the damage, and the archive fails as a whole, open or opened anew.
    const int rot = open((dir / "mp/rot.raw").c_str(), O_RDONLY);
    ASSERT_GE(rot, 0);
    EXPECT_EQ(at(rot, 0), 4096);
    EXPECT_TRUE(bytes == first.substr(0, 4096));
    EXPECT_EQ(at(rot, badFrom + 100), -EIO);
    EXPECT_EQ(at(rot, first.size() - 5000), -EIO);  // far from the damage
    close(rot);
    errno = 0;
    EXPECT_LT(open((dir / "mp/rot.raw").c_str(), O_RDONLY), 0);
    EXPECT_EQ(errno, EIO);

    // Replaced while open: the open file gives EIO, a new open the new file.
    const int old = open((dir / "mp/s.raw").c_str(), O_RDONLY);
    ASSERT_GE(old, 0);
    EXPECT_EQ(at(old, 1000000), 4096);
    WriteFile(in + "/new.tmp", test::CompressOn(2, second, DeltaMode::Bits16).output);
    ASSERT_EQ(rename((in + "/new.tmp").c_str(), (in + "/s.kvn").c_str()), 0);
    EXPECT_EQ(at(old, 1000000), -EIO);
    EXPECT_EQ(at(old, 0), -EIO);
    close(old);
    struct stat st {};
    ASSERT_EQ(stat((dir / "mp/s.raw").c_str(), &st), 0);
    EXPECT_EQ(static_cast<size_t>(st.st_size), second.size());
    EXPECT_EQ(RunProgram({"/usr/bin/cmp", "-s", dir / "mp/s.raw", "/dev/stdin"}, second).status, 0);

    // Removed while open: EIO, and the name is gone.
    const int gone = open((dir / "mp/s.raw").c_str(), O_RDONLY);
    ASSERT_GE(gone, 0);
    ASSERT_EQ(unlink((in + "/s.kvn").c_str()), 0);
    EXPECT_EQ(at(gone, 0), -EIO);
    close(gone);
    EXPECT_NE(stat((dir / "mp/s.raw").c_str(), &st), 0);
    EXPECT_EQ(errno, ENOENT);

    // SIGTERM unmounts cleanly.
    EXPECT_EQ(mount.End(SIGTERM), 0);
    EXPECT_FALSE(IsMounted(dir / "mp"));
    EXPECT_NE(mount.Log().find("can't be read"), std::string::npos);
}

// With descriptors short in the mount (ulimit -n 64), opens beyond them fail with EMFILE, never
// ENOENT, and nothing is remembered: once the files are closed, every one opens and reads right.
TEST(FuseMountTest, OpensBeyondTheDescriptorsFailWithEmfileAndAreTriedAgain) {
    REQUIRE_MACHINE("/usr/bin/cmp");
    TempDir dir;
    test::MakeFolders(dir / "in");
    std::vector<std::string> sources;
    const auto name = [](int i, const char* type) { return "s" + std::to_string(i) + type; };
    for (int i = 0; i < 120; ++i) {
        sources.push_back(test::Sound(1, 16, 0.05, i + 1));
        WriteFile(dir / ("in/" + name(i, ".kvn")),
                  test::CompressOn(1, sources.back(), DeltaMode::Bits16, "wav").output);
    }
    test::MakeFolders(dir / "mp");
    Mount mount(dir / "in", dir / "mp", dir / "cache", dir / "mount.log", {}, 64);
    ASSERT_TRUE(mount.mounted()) << mount.Log();
    std::vector<int> opened;
    int refused = 0;
    for (int i = 0; i < 120; ++i) {
        const int fd = open((dir / ("mp/" + name(i, ".wav"))).c_str(), O_RDONLY);
        if (fd >= 0) {
            opened.push_back(fd);
            continue;
        }
        EXPECT_EQ(errno, EMFILE) << name(i, ".wav");
        ++refused;
    }
    EXPECT_GT(refused, 0);
    for (int fd : opened) close(fd);
    // The mount closes its side as the releases arrive.
    for (int i = 0; i < 120; ++i) {
        int error = 0;
        EXPECT_TRUE(WaitFor([&] {
            return ReadView(dir / ("mp/" + name(i, ".wav")), &error) == sources[i];
        })) << name(i, ".wav")
            << ": " << error;
    }
    EXPECT_EQ(mount.End(), 0);
}

// Unmounted or stopped with reads and read-ahead in flight, the mount ends cleanly, under
// qemu-user too: there, threads cancelled at the end crashed it (SIGSEGV) one time in two.
TEST(FuseMountTest, EndsCleanlyWithReadsInFlight) {
    REQUIRE_MACHINE("/usr/bin/qemu-x86_64");
    TempDir dir;
    test::MakeFolders(dir / "in");
    for (int i = 0; i < 2; ++i) {
        WriteFile(dir / ("in/s" + std::to_string(i) + ".kvn"),
                  test::CompressOn(2, test::Sound(2, 16, 30, i + 1), DeltaMode::Bits16).output);
    }
    test::MakeFolders(dir / "mp");
    std::vector<std::vector<std::string>> runners = {{}};
    // The sanitizers' runtimes do not run under the emulator: their builds end natively alone.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    runners.push_back({"/usr/bin/qemu-x86_64", "-cpu", "qemu64"});
#endif
    for (const std::vector<std::string>& runner : runners) {
        for (int end : {-1, SIGTERM, -1, SIGTERM}) {
            SCOPED_TRACE((runner.empty() ? "native, " : "qemu64, ") + std::to_string(end));
            Mount mount(dir / "in", dir / "mp", dir / "cache", dir / "mount.log", {"-T", "2"}, 0,
                        runner);
            ASSERT_TRUE(mount.mounted()) << mount.Log();
            // Readers in order, so that read-ahead runs.
            std::atomic<int> reading{0};
            std::vector<std::thread> readers;
            for (int r = 0; r < 3; ++r) {
                readers.emplace_back([&, r] {
                    const int fd =
                        open((dir / ("mp/s" + std::to_string(r % 2) + ".raw")).c_str(), O_RDONLY);
                    if (fd < 0) return;
                    // The whole file once: the mount ends when the last file of it closes.
                    char buffer[65536];
                    bool counted = false;
                    while (read(fd, buffer, sizeof buffer) > 0) {
                        if (!counted) ++reading;
                        counted = true;
                    }
                    if (!counted) ++reading;
                    close(fd);
                });
            }
            EXPECT_TRUE(WaitFor([&] { return reading.load() == 3; }));
            EXPECT_EQ(mount.End(end), 0) << mount.Log();
            for (std::thread& reader : readers) reader.join();
        }
    }
}

TEST(FuseMountTest, AFailedMountAddsOnlyTheMissingPiece) {
    // fusermount3 gives its own reason (an -o allow_other that /etc/fuse.conf does not allow):
    // nothing is added that would send the user elsewhere.
    EXPECT_EQ(MountFailureHint(true, false, true), "");
    EXPECT_EQ(MountFailureHint(true, true, false), "");
    EXPECT_NE(MountFailureHint(false, false, true).find("/dev/fuse"), std::string::npos);
    EXPECT_NE(MountFailureHint(true, false, false).find("fusermount3"), std::string::npos);
}

}  // namespace
}  // namespace kavrin
