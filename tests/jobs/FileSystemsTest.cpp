// SPDX-License-Identifier: MIT
// File systems and odd paths: results land on file systems without hard links or a rename that
// refuses to replace (FAT and exFAT, on images this test makes and mounts), keeping every promise
// of the commit; the same road on the usual file system through a seam; and a --base named
// through a symbolic link.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "jobs/Destination.h"
#include "jobs/Leftovers.h"
#include "platform/FaultInjection.h"
#include "tests/support/EngineHarness.h"
#include "tests/support/FrontEnds.h"
#include "tests/support/TestSupport.h"
#include "tools/SampleSound.h"

namespace kavrin {
namespace {

using test::Exists;
using test::FrontEnd;
using test::ListFolder;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

std::string Sound() {
    samples::SoundSpec spec;
    spec.seconds = 0.3;
    return samples::MakeWav(spec);
}

void Commit(const std::string& path, const std::string& bytes, Disposition disposition,
            bool expectDone) {
    DestinationFile destination;
    ASSERT_TRUE(CreateDestinationFile(path, disposition, platform::kInvalidFile, &destination));
    ASSERT_TRUE(platform::WriteFull(destination.file, bytes.data(), bytes.size()));
    EXPECT_EQ(CommitDestination(destination, disposition, true), expectDone) << path;
}

// The promises of a commit where neither hard links nor RENAME_NOREPLACE exist: the result
// lands whole, a file that appears at its name meanwhile is never replaced, and a failure
// leaves neither the temporary file nor a claim on the name.
void ExpectCommitPromises(const std::string& folder) {
    Commit(folder + "/a.kvn", "archive", Disposition::CreateNew, true);
    EXPECT_EQ(ReadFile(folder + "/a.kvn"), "archive");
    EXPECT_EQ(ListFolder(folder), std::vector<std::string>{"a.kvn"});

    // A file that appears at the name while the result is written.
    DestinationFile destination;
    ASSERT_TRUE(CreateDestinationFile(folder + "/b.kvn", Disposition::CreateNew,
                                      platform::kInvalidFile, &destination));
    WriteFile(folder + "/b.kvn", "theirs");
    EXPECT_FALSE(CommitDestination(destination, Disposition::CreateNew, true));
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(ReadFile(folder + "/b.kvn"), "theirs");

    // ... or at the very moment the name is claimed: the claim is no longer ours.
    platform::InjectAction(platform::FaultOp::Rename, 2, [&] {
        ASSERT_EQ(unlink((folder + "/c.kvn").c_str()), 0);
        WriteFile(folder + "/c.kvn", "theirs");
    });
    Commit(folder + "/c.kvn", "archive", Disposition::CreateNew, false);
    EXPECT_EQ(ReadFile(folder + "/c.kvn"), "theirs");

    // A rename that fails after the claim takes the claim back.
    platform::InjectFault(platform::FaultOp::Rename, 2, EIO);
    Commit(folder + "/d.kvn", "archive", Disposition::CreateNew, false);
    platform::ClearFaults();
    EXPECT_EQ(ListFolder(folder), (std::vector<std::string>{"a.kvn", "b.kvn", "c.kvn"}));

    // A result the user agreed to replace is replaced.
    Commit(folder + "/b.kvn", "archive", Disposition::CreateAlways, true);
    EXPECT_EQ(ReadFile(folder + "/b.kvn"), "archive");
    EXPECT_EQ(ListFolder(folder), (std::vector<std::string>{"a.kvn", "b.kvn", "c.kvn"}));
}

// Where a job ends on such a file system: kvn compresses into a folder it makes there with the
// source deleted, the window expands the archive back from there.
void ExpectJobsLand(const std::string& folder, const std::string& work) {
    const std::string sound = Sound();
    WriteFile(work + "/take.wav", sound);
    cli::BatchOptions options = test::BatchOptionsFor(cli::BatchCommand::Compress);
    options.outputFolder = folder + "/new";
    options.deleteSource = true;
    options.verify = true;
    const test::BatchRun batch = test::Batch({work + "/take.wav"}, options);
    EXPECT_EQ(batch.status, 0) << batch.errors;
    EXPECT_EQ(batch.errors, "");
    EXPECT_FALSE(Exists(work + "/take.wav"));
    EXPECT_EQ(ListFolder(folder + "/new"), std::vector<std::string>{"take.kvn"});

    const test::FrontEndRun run =
        RunOneFile(FrontEnd::Window, folder + "/new/take.kvn", false, work + "/back");
    EXPECT_EQ(run.action, "expanded") << run.messages;
    EXPECT_EQ(ReadFile(work + "/back/take.wav"), sound);
}

class FileSystemsTest : public testing::Test {
protected:
    void TearDown() override {
        platform::SimulateNoHardLinks(false);
        platform::ClearFaults();
    }
};

TEST_F(FileSystemsTest, WithoutHardLinksEveryPromiseHoldsOnTheUsualFileSystem) {
    TempDir dir;
    test::MakeFolders(dir / "fs");
    platform::SimulateNoHardLinks(true);
    ExpectCommitPromises(dir / "fs");
    ExpectJobsLand(dir / "fs", dir.path());
}

// A program of a system folder, where the tests' PATH may not reach.
std::string FindSystemTool(const std::string& name) {
    std::string found = test::FindTool(name);
    for (const char* folder : {"/usr/sbin/", "/sbin/"}) {
        if (found.empty() && access((folder + name).c_str(), X_OK) == 0) found = folder + name;
    }
    return found;
}

// A FAT or exFAT image of the test's own, mounted through FUSE (exFAT as root through a loop
// device, which its program then wants).
class MountedImage {
public:
    MountedImage(const TempDir& dir, bool exfat) : mountPoint_(dir / "mp") {
        const std::string image = dir / "image";
        const std::string format = FindSystemTool(exfat ? "mkfs.exfat" : "mkfs.vfat");
        const std::string mounter = FindSystemTool(exfat ? "mount.exfat-fuse" : "fusefat");
        if (format.empty() || mounter.empty()) {
            why_ = std::string(exfat ? "mkfs.exfat or mount.exfat-fuse" : "mkfs.vfat or fusefat") +
                   " is not installed (scripts/setup.sh)";
            return;
        }
        if (truncate(image.c_str(), 0) != 0) WriteFile(image, "");
        if (truncate(image.c_str(), 32 << 20) != 0) {
            why_ = "no room for an image";
            return;
        }
        test::ProgramResult made = test::RunProgram({format, image});
        if (made.status != 0) {
            why_ = "the image could not be formatted: " + made.err;
            return;
        }
        test::MakeFolders(mountPoint_);
        std::string device = image;
        if (exfat && geteuid() == 0) {
            test::ProgramResult loop =
                test::RunProgram({FindSystemTool("losetup"), "-f", "--show", image});
            if (loop.status != 0) {
                why_ = "no loop device: " + loop.err;
                return;
            }
            loop_ = device = loop.out.substr(0, loop.out.find('\n'));
        }
        test::ProgramResult mount =
            exfat ? test::RunProgram({mounter, device, mountPoint_})
                  : test::RunProgram({mounter, "-o", "rw+", device, mountPoint_});
        struct stat folder {
        }, mounted{};
        mounted_ = mount.status == 0 && stat(dir.path().c_str(), &folder) == 0 &&
                   stat(mountPoint_.c_str(), &mounted) == 0 && folder.st_dev != mounted.st_dev;
        if (!mounted_) why_ = "the image could not be mounted: " + mount.out + mount.err;
    }
    ~MountedImage() {
        if (mounted_) {
            const std::vector<std::vector<std::string>> unmounts = {
                {FindSystemTool("fusermount"), "-u", mountPoint_},
                {FindSystemTool("fusermount3"), "-u", mountPoint_},
                {FindSystemTool("umount"), mountPoint_}};
            for (const auto& unmount : unmounts) {
                if (!unmount[0].empty() && test::RunProgram(unmount).status == 0) break;
            }
        }
        if (!loop_.empty()) test::RunProgram({FindSystemTool("losetup"), "-d", loop_});
    }
    bool mounted() const { return mounted_; }
    const std::string& why() const { return why_; }
    const std::string& path() const { return mountPoint_; }

private:
    std::string mountPoint_;
    std::string loop_;
    std::string why_;
    bool mounted_ = false;
};

TEST_F(FileSystemsTest, ResultsLandOnFatAndExfat) {
    for (bool exfat : {false, true}) {
        SCOPED_TRACE(exfat ? "exFAT" : "FAT");
        TempDir dir;
        MountedImage image(dir, exfat);
        if (!image.mounted()) {
            if (test::InCi()) FAIL() << image.why();
            GTEST_SKIP() << image.why();
        }
        test::MakeFolders(image.path() + "/fs");
        ExpectCommitPromises(image.path() + "/fs");
        ExpectJobsLand(image.path(), dir.path());

        // A killed run's leftover there is cleared, by its change time as the system shows it.
        const std::string leftover = image.path() + "/" + TemporaryNameFor("x.kvn");
        WriteFile(leftover, "partial");
        struct stat st {};
        ASSERT_EQ(stat(leftover.c_str(), &st), 0);
        EXPECT_EQ(RemoveLeftovers(image.path(), st.st_ctim.tv_sec + 2 * kLeftoverAgeSeconds,
                                  kLeftoverAgeSeconds),
                  1);
    }
}

TEST_F(FileSystemsTest, ABaseNamedThroughASymbolicLinkFindsItsFiles) {
    TempDir dir;
    test::MakeFolders(dir / "lib/a");
    test::MakeFolders(dir / "other");
    WriteFile(dir / "lib/a/Kick.wav", Sound());
    WriteFile(dir / "other/Snare.wav", Sound());
    ASSERT_EQ(symlink("lib", (dir / "L").c_str()), 0);
    cli::BatchOptions options = test::BatchOptionsFor(cli::BatchCommand::Compress);
    options.keepTree = true;
    // The base through the link, the file by its own path; then the other way round.
    const std::pair<std::string, std::string> cases[] = {{dir / "L", dir / "lib/a/Kick.wav"},
                                                         {dir / "lib", dir / "L/a/Kick.wav"},
                                                         {dir / "L/", dir / "L/a/Kick.wav"}};
    int n = 0;
    for (const auto& [base, file] : cases) {
        SCOPED_TRACE(base + " " + file);
        options.base = base;
        options.outputFolder = dir / ("out" + std::to_string(++n));
        const test::BatchRun run = test::Batch({file}, options);
        EXPECT_EQ(run.status, 0) << run.errors;
        EXPECT_TRUE(Exists(options.outputFolder + "/a/Kick.kvn")) << run.errors;
    }
    // A file that no folder of the base holds has no path to keep.
    options.base = dir / "L";
    const test::BatchRun run = test::Batch({dir / "other/Snare.wav"}, options);
    EXPECT_NE(run.status, 0);
    EXPECT_NE(run.errors.find("not below the base folder"), std::string::npos) << run.errors;
}

}  // namespace
}  // namespace kavrin
