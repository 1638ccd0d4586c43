// SPDX-License-Identifier: MIT
// One window per user and display: a second start of the real program hands its files to the
// running window and ends; a socket left by a window that ended without removing it does not
// keep a new window from listening; folders others may enter are never used.
#include "app/InstanceChannel.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QProcess>
#include <cstring>
#include <filesystem>

#include "tests/support/TestSupport.h"
#include "tests/support/WidgetTestSupport.h"

namespace kavrin {
namespace {

// Leaves a socket file at `path` that nobody listens on, as a killed window does.
void LeaveStaleSocket(const std::string& path) {
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof(address.sun_path));
    std::memcpy(address.sun_path, path.c_str(), path.size());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    close(fd);
    ASSERT_TRUE(std::filesystem::is_socket(path));
}

TEST(InstanceChannelTest, ASecondStartHandsItsFilesToTheWindowAndEnds) {
    test::TempDir dir;
    const std::string runtime = dir / "runtime";
    ASSERT_EQ(mkdir(runtime.c_str(), 0700), 0);
    LeaveStaleSocket(CInstanceChannel::SocketPath(runtime));

    CInstanceChannel window(runtime);
    ASSERT_EQ(window.HandOverOrListen({}), CInstanceChannel::Start::Listening) << window.Problem();
    std::vector<std::vector<std::string>> received;
    window.OnFiles([&](std::vector<std::string> files) { received.push_back(std::move(files)); });

    // The real program, started from another folder with names relative to it.
    ASSERT_EQ(mkdir((dir / "work").c_str(), 0700), 0);
    QProcess second;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), QString::fromStdString(runtime));
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    second.setProcessEnvironment(environment);
    second.setWorkingDirectory(QString::fromStdString(dir / "work"));
    second.start(QStringLiteral(KAVRIN_PATH),
                 {QStringLiteral("c.wav"), QStringLiteral("b folder"), QStringLiteral("/x/a.wav")});
    // The window answers from its event loop, so the test keeps it turning while it waits.
    ASSERT_TRUE(test::WaitUntil([&] { return second.state() == QProcess::NotRunning; }));
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0);
    ASSERT_TRUE(test::WaitUntil([&] { return !received.empty(); }));
    EXPECT_EQ(received, (std::vector<std::vector<std::string>>{
                            {dir / "work/c.wav", dir / "work/b folder", "/x/a.wav"}}));
}

TEST(InstanceChannelTest, UsesOnlyAFolderOfTheUsersOwnThatNobodyElseMayEnter) {
    test::TempDir dir;
    const struct {
        const char* name;
        mode_t mode;
        bool used;
    } folders[] = {{"private", 0700, true}, {"shared", 0770, false}, {"open", 0777, false}};
    for (const auto& folder : folders) {
        const std::string path = dir / folder.name;
        ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
        ASSERT_EQ(chmod(path.c_str(), folder.mode), 0);
        CInstanceChannel channel(path);
        const CInstanceChannel::Start start = channel.HandOverOrListen({});
        EXPECT_EQ(start == CInstanceChannel::Start::Listening, folder.used) << folder.name;
        EXPECT_EQ(channel.Problem().empty(), folder.used) << folder.name;
    }
    ASSERT_EQ(symlink((dir / "private").c_str(), (dir / "link").c_str()), 0);
    EXPECT_FALSE(CInstanceChannel::IsPrivateFolder(dir / "link"));
}

}  // namespace
}  // namespace kavrin
