// SPDX-License-Identifier: MIT
// Temporary files: the clean-up of killed runs' leftovers takes only names that are provably
// ours, and a result is private to its owner until it is one, then takes its source's mode;
// folders kvn -r -o makes take their source folders' modes. Through both front ends, under
// several umasks.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "jobs/Destination.h"
#include "jobs/Leftovers.h"
#include "platform/FaultInjection.h"
#include "tests/support/FrontEnds.h"
#include "tests/support/TestSupport.h"
#include "tools/SampleSound.h"

namespace kavrin {
namespace {

using test::FrontEnd;
using test::ListFolder;
using test::TempDir;
using test::WriteFile;

struct stat StatOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st;
}

uint32_t ModeOf(const std::string& path) {
    return StatOf(path).st_mode & 07777;
}

TEST(TemporariesTest, TheCleanUpTakesOnlyWhatIsProvablyOurs) {
    TempDir dir;
    const std::string ours = TemporaryNameFor("take.kvn");
    const std::string oursLong = TemporaryNameFor(std::string(300, 'x') + ".kvn");
    EXPECT_LE(oursLong.size(), 255u);
    EXPECT_TRUE(IsTemporaryName(ours));
    EXPECT_TRUE(IsTemporaryName(oursLong));
    std::string forged = ours;
    forged[13] = forged[13] == 'a' ? 'b' : 'a';  // a check letter
    // Users' own names that the old clean-up took, and near misses of ours.
    const std::vector<std::string> theirs = {".kvn-backup-notes.txt", ".kvn-config-mine.wav",
                                             ".kvn-abcdef-Kick.kvn",  forged,
                                             ".kvn~abcdefghzzzz~x",   ours + "~"};
    for (const std::string& name : theirs) {
        EXPECT_FALSE(IsTemporaryName(name)) << name;
        WriteFile(dir / name, "a user's file");
    }
    WriteFile(dir / ours, "partial");
    WriteFile(dir / oursLong, "partial");
    // An old modification time does not make a file old: a result being written carries its
    // source's time.
    const timespec ancient[2] = {{0, 0}, {0, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, (dir / ours).c_str(), ancient, 0), 0);
    const std::string folder = TemporaryNameFor("folder"), link = TemporaryNameFor("link");
    ASSERT_EQ(mkdir((dir / folder).c_str(), 0777), 0);
    ASSERT_EQ(symlink(ours.c_str(), (dir / link).c_str()), 0);
    // A file of ours that its writer still holds locked is being written.
    const std::string busy = TemporaryNameFor("busy.kvn");
    WriteFile(dir / busy, "being written");
    int writer = open((dir / busy).c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    ASSERT_EQ(flock(writer, LOCK_EX), 0);
    // Another user's file of our form, where this test may make one.
    std::vector<std::string> kept = theirs;
    kept.insert(kept.end(), {folder, link, busy});
    if (geteuid() == 0) {
        const std::string other = TemporaryNameFor("other.kvn");
        WriteFile(dir / other, "another user's");
        ASSERT_EQ(lchown((dir / other).c_str(), 65534, 65534), 0);
        kept.push_back(other);
    }
    std::sort(kept.begin(), kept.end());

    // The ages come from the files' own change times: no clock.
    int64_t oldest = INT64_MAX, newest = 0;
    for (const std::string& name : ListFolder(dir.path())) {
        const int64_t changed = StatOf(dir / name).st_ctim.tv_sec;
        oldest = std::min(oldest, changed);
        newest = std::max(newest, changed);
    }
    const std::vector<std::string> all = ListFolder(dir.path());
    EXPECT_EQ(RemoveLeftovers(dir.path(), oldest + kLeftoverAgeSeconds, kLeftoverAgeSeconds), 0);
    const int64_t later = newest + 2 * kLeftoverAgeSeconds;
    EXPECT_EQ(RemoveLeftovers(dir.path(), later, kLeftoverAgeSeconds, platform::CurrentUser() + 1),
              0)
        << "another user's leftovers are not ours";
    EXPECT_EQ(ListFolder(dir.path()), all);

    EXPECT_EQ(RemoveLeftovers(dir.path(), later, kLeftoverAgeSeconds), 2);
    EXPECT_EQ(ListFolder(dir.path()), kept);
    close(writer);  // its writer was killed
    EXPECT_EQ(RemoveLeftovers(dir.path(), later, kLeftoverAgeSeconds), 1);
    EXPECT_FALSE(test::Exists(dir / busy));
    EXPECT_EQ(RemoveLeftovers(dir / "missing", later, 0), 0);
}

// Sets the umask for the life of the object.
class Umask {
public:
    explicit Umask(mode_t mask) : saved_(umask(mask)) {}
    ~Umask() { umask(saved_); }

private:
    mode_t saved_;
};

TEST(TemporariesTest, AResultIsPrivateUntilItTakesItsSourcesMode) {
    samples::SoundSpec spec;
    spec.seconds = 0.3;
    const std::string sound = samples::MakeWav(spec);
    for (mode_t mask : {0000, 0022, 0077}) {
        Umask umaskNow(mask);
        for (FrontEnd frontEnd : {FrontEnd::Window, FrontEnd::Kvn}) {
            SCOPED_TRACE(std::string(test::NameOf(frontEnd)) + ", umask " + std::to_string(mask));
            TempDir dir;
            WriteFile(dir / "take.wav", sound);
            ASSERT_EQ(chmod((dir / "take.wav").c_str(), 0640), 0);
            test::MakeFolders(dir / "out");
            // What another user could open while the result is written.
            std::vector<std::string> seen;
            platform::InjectAction(platform::FaultOp::Write, 1, [&] {
                for (const std::string& name : ListFolder(dir / "out")) {
                    seen.push_back(name + " " + std::to_string(ModeOf(dir / "out/" + name)));
                }
            });
            const test::FrontEndRun run =
                RunOneFile(frontEnd, dir / "take.wav", false, dir / "out");
            platform::ClearFaults();
            ASSERT_EQ(run.action, "compressed") << run.messages;
            ASSERT_EQ(seen.size(), 1u);
            EXPECT_TRUE(IsTemporaryName(seen[0].substr(0, seen[0].find(' ')))) << seen[0];
            EXPECT_EQ(seen[0].substr(seen[0].find(' ') + 1), std::to_string(0600)) << seen[0];
            EXPECT_EQ(ModeOf(dir / "out/take.kvn"), 0640u);
        }

        // kvn -r -o: the folders it makes below the output folder are its source's folders.
        TempDir dir;
        test::MakeFolders(dir / "lib/a/b");
        WriteFile(dir / "lib/a/b/x.wav", sound);
        ASSERT_EQ(chmod((dir / "lib/a/b/x.wav").c_str(), 0604), 0);
        ASSERT_EQ(chmod((dir / "lib/a").c_str(), 0750), 0);
        ASSERT_EQ(chmod((dir / "lib/a/b").c_str(), 0705), 0);
        cli::BatchOptions options = test::BatchOptionsFor(cli::BatchCommand::Compress);
        options.keepTree = true;
        options.outputFolder = dir / "new/out";
        const test::BatchRun batch = test::Batch({dir / "lib"}, options);
        ASSERT_EQ(batch.status, 0) << batch.errors;
        EXPECT_EQ(ModeOf(dir / "new/out/a"), 0750u);
        EXPECT_EQ(ModeOf(dir / "new/out/a/b"), 0705u);
        EXPECT_EQ(ModeOf(dir / "new/out/a/b/x.kvn"), 0604u);
        // The output folder itself, and what holds it, are the user's to name: made as mkdir
        // makes them.
        EXPECT_EQ(ModeOf(dir / "new/out"), 0777u & ~mask);
        EXPECT_EQ(ModeOf(dir / "new"), 0777u & ~mask);
    }
}

}  // namespace
}  // namespace kavrin
