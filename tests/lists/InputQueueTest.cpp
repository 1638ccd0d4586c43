// SPDX-License-Identifier: MIT
#include "lists/InputQueue.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDropEvent>
#include <QMimeData>
#include <QUrl>
#include <cerrno>

#include "platform/FaultInjection.h"
#include "platform/File.h"
#include "tests/lists/QueueFixture.h"
#include "tests/support/WidgetTestSupport.h"

namespace kavrin {
namespace {

using Rows = std::vector<std::vector<std::string>>;
using test::WriteFile;

class InputQueueTest : public test::QueueFixture {
protected:
    // Selects exactly these rows, as the user would, so the selection signal runs.
    void Select(std::initializer_list<int> rows) {
        queueList.clearSelection();
        for (int row : rows) queueList.topLevelItem(row)->setSelected(true);
    }

    // A drop of `paths` on `list`, the way a file manager sends it: file URLs whose bytes are
    // percent-encoded. Returns whether the list took it.
    static bool Drop(CFileListCtrl& list, const std::vector<std::string>& paths,
                     Qt::DropActions actions = Qt::CopyAction | Qt::MoveAction) {
        QMimeData mime;
        QList<QUrl> urls;
        for (const std::string& path : paths) {
            QByteArray encoded = QByteArray::fromStdString(path).toPercentEncoding("/");
            urls << QUrl::fromEncoded("file://" + encoded);
        }
        mime.setUrls(urls);
        QDragEnterEvent enter(QPoint(10, 10), actions, &mime, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(list.viewport(), &enter);
        if (!enter.isAccepted()) return false;
        EXPECT_EQ(enter.dropAction(), Qt::CopyAction);  // never a move: the source stays
        QDropEvent drop(QPointF(10, 10), actions, &mime, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(list.viewport(), &drop);
        QCoreApplication::processEvents();
        return drop.isAccepted();
    }
};

TEST_F(InputQueueTest, RowsShowNameFolderTypeSizeRatioAndImage) {
    struct Case {
        std::string path;
        std::vector<std::string> row;  // Type, Size, Ratio, image
    } cases[] = {
        {MakeFile("take.wav", 1000000), {"wav", "976.6K", "100%", "0"}},
        {MakeFile("song.WAV", 1023), {"WAV", "1023", "100%", "0"}},
        {MakeFile("a.b.wav", 1024), {"wav", "1.0K", "100%", "0"}},
        {MakeFile("readme", 0), {"", "0", "100%", "0"}},
        {MakeFile("ends in a dot.", 1536), {"", "1.5K", "100%", "0"}},
        {MakeArchive("loop.KVN", "wav", 4000, 1000), {"wav", "1000", "25%", "1"}},
        {MakeArchive("empty.kvn", "raw", 0, 100), {"raw", "100", "", "1"}},
        {MakeArchive("ninety.kvn", "wav", 1000, 999), {"wav", "999", "99%", "1"}},  // truncated
        // A name ending in .kvn is an archive whatever dots come before.
        {MakeArchive("take.2.kvn", "aiff", 2000, 1000), {"aiff", "1000", "50%", "1"}},
        {MakeFile("take.kvn2", 3), {"kvn2", "3", "100%", "0"}},
        // Only the magic and part of the type text: listed, nothing known of type and ratio.
        {MakeBytes("short.kvn", std::string("KVN1\x05wa", 7)), {"", "7", "", "1"}},
        {MakeFile("\xff-latin1.wav", 1), {"wav", "1", "100%", "0"}},
        // Beyond 32 bits: the true size; an archive's ratio from its 64-bit header.
        {MakeFile("huge.wav", 4294967295ull), {"wav", "4194.304M", "100%", "0"}},
        {MakeFile("bigger.wav", 5000000000ull), {"wav", "4882.812M", "100%", "0"}},
        // (Its size cut to 32 bits would be the archive's own, and the ratio 100%.)
        {MakeArchive("bigger.kvn", "w64", (1ull << 32) + 1000000, 1000000),
         {"w64", "976.6K", "0%", "1"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        ASSERT_EQ(queue.AddToQueue(c.path), 1);
        std::vector<std::string> expected = {c.path.substr(dir.path().size() + 1), dir.path()};
        expected.insert(expected.end(), c.row.begin(), c.row.end());
        EXPECT_EQ(RowOf(queueList, 0), expected);
        EXPECT_EQ(queueList.RowPath(0), c.path);
    }
    EXPECT_EQ(prompt.shown, std::vector<std::string>{});
    EXPECT_EQ(queue.Queued(), static_cast<int>(std::size(cases)));
    EXPECT_EQ(queueList.ItemData(0), static_cast<int32_t>(std::size(cases)) - 1);
    // A relative path is taken against the working folder, so its row knows its folder.
    const std::string workingFolder = platform::MakeAbsolute(".");
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    EXPECT_EQ(queue.AddToQueue("take.wav"), 1);
    ASSERT_EQ(chdir(workingFolder.c_str()), 0);
    EXPECT_EQ(queueList.RowPath(0), dir / "take.wav");
    // A file of the root folder shows an empty Path.
    EXPECT_EQ(queueList.RowFolder(0), dir.path());
    queueList.InsertRowAtTop("/vmlinuz", kPlainFileImage, 99);
    EXPECT_EQ(queueList.RowFolder(0), "");
    EXPECT_EQ(queueList.RowFileName(0), "vmlinuz");
}

TEST_F(InputQueueTest, RefusedPathsShowTheirMessageAndAddNothing) {
    const std::string fifo = dir / "pipe.wav";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);  // opening it would block the window for good
    const std::string locked = MakeFile("locked.wav");
    int holder = open(locked.c_str(), O_RDONLY);
    ASSERT_EQ(flock(holder, LOCK_EX), 0);  // another program holds it open without sharing

    const std::string illegal = "\n\nReason: Illegal file attribute.";
    const std::string badFormat = "\n\nReason: Bad file format.";
    struct Case {
        std::string path;
        std::string message;
    } cases[] = {
        {MakeFile("three.kvn", 3),
         "Can't add this file to input queue:\n" + dir / "three.kvn" + badFormat},
        {MakeBytes("riff.KVN", "RIFF0000WAVE"),
         "Can't add this file to input queue:\n" + dir / "riff.KVN" + badFormat},
        {MakeFile(".hidden.wav"),
         "Can't add this file to input queue:\n" + dir / ".hidden.wav" + illegal},
        {fifo, "Can't add this file to input queue:\n" + fifo + illegal},
        {dir / "missing.wav",
         "Can't add this file to input queue:\n" + dir / "missing.wav" + illegal},
        {locked, "Can't open file:\n" + locked},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        prompt.shown.clear();
        EXPECT_EQ(queue.AddToQueue(c.path), 0);
        EXPECT_EQ(prompt.shown, std::vector<std::string>{c.message});
    }
    close(holder);
    // A read that fails inside an archive's header: the file cannot be read, whatever it holds.
    const std::string archive = MakeArchive("fine.kvn", "wav", 100, 50);
    prompt.shown.clear();
    platform::InjectFault(platform::FaultOp::Read, 1, EIO);
    EXPECT_EQ(queue.AddToQueue(archive), 0);
    platform::ClearFaults();
    EXPECT_EQ(prompt.shown, std::vector<std::string>{"Can't open file:\n" + archive});
    EXPECT_EQ(queueList.RowCount(), 0);
    EXPECT_EQ(queue.Queued(), 0);
    EXPECT_EQ(queue.NextQueueId(), 0);
    EXPECT_EQ(gauge.value(), 0);
}

TEST_F(InputQueueTest, FolderWalksAddWhatTheRulesAllow) {
    for (const char* folder : {"lib", "lib/.svn", "lib/sub", "lib/empty", "lib/.hidden"}) {
        ASSERT_EQ(mkdir((dir / folder).c_str(), 0777), 0);
    }
    for (const char* file : {"lib/a.wav", "lib/.hidden.wav", "lib/.svn/entries", "lib/sub/b.kvn",
                             "lib/sub/c.wav", "lib/.hidden/d.wav"}) {
        WriteFile(dir / file, "x");
    }
    ASSERT_EQ(mkfifo((dir / "lib/pipe").c_str(), 0600), 0);
    // A link to the walk's own parent: entered, it would never end.
    ASSERT_EQ(symlink("..", (dir / "lib/sub/up").c_str()), 0);

    EXPECT_EQ(queue.AddToQueue(dir / "lib"), 1);
    // A walk may go on in later turns of the event loop on a slow or busy machine.
    ASSERT_TRUE(test::WaitUntil([&] { return !queue.Walking(); }));
    // Entries in name order, each new row on top; the bad archive and the FIFO are refused
    // with their own messages and the walk goes on.
    EXPECT_EQ(Files(queueList), (std::vector<std::string>{"c.wav", "a.wav"}));
    EXPECT_EQ(queueList.RowFolder(0), dir / "lib/sub");
    EXPECT_EQ(prompt.shown, (std::vector<std::string>{
                                "Can't add this file to input queue:\n" + dir / "lib/pipe" +
                                    "\n\nReason: Illegal file attribute.",
                                "Can't add this file to input queue:\n" + dir / "lib/sub/b.kvn" +
                                    "\n\nReason: Bad file format."}));

    prompt.shown.clear();
    EXPECT_EQ(queue.AddToQueue(dir / "lib/empty"), 1);
    EXPECT_EQ(queue.AddToQueue(dir / "lib/empty/"), 1);
    EXPECT_EQ(prompt.shown, std::vector<std::string>{});
    // A hidden folder named by the user is refused as a whole, not walked.
    EXPECT_EQ(queue.AddToQueue(dir / "lib/.hidden"), 0);
    EXPECT_EQ(prompt.shown.size(), 1u);
    EXPECT_EQ(queueList.RowCount(), 2);
}

TEST_F(InputQueueTest, IdsKeepCountingAndTheGaugeDrains) {
    for (const char* name : {"1.wav", "2.wav", "3.wav", "4.wav"}) queue.AddToQueue(MakeFile(name));
    EXPECT_EQ(gauge.maximum(), 4);
    EXPECT_EQ(gauge.value(), 4);
    // Two jobs end: the dispatcher removes the bottom rows; the range stays.
    queue.RemoveQueueRow(3);
    queue.RemoveQueueRow(2);
    EXPECT_EQ(Files(queueList), (std::vector<std::string>{"4.wav", "3.wav"}));
    EXPECT_EQ(gauge.maximum(), 4);
    EXPECT_EQ(gauge.value(), 2);
    queue.RemoveQueueRow(7);  // no such row: nothing happens
    EXPECT_EQ(queue.Queued(), 2);
    queue.AddToQueue(MakeFile("5.wav"));
    EXPECT_EQ(gauge.maximum(), 3);
    EXPECT_EQ(gauge.value(), 3);

    // Deleting every row resets nothing: the tenth row ever added gets id 9.
    queueList.selectAll();
    queue.OnDeleteFiles();
    EXPECT_EQ(queue.Queued(), 0);
    EXPECT_EQ(gauge.value(), 0);
    for (int i = 6; i <= 10; ++i) queue.AddToQueue(MakeFile(std::to_string(i) + ".wav"));
    EXPECT_EQ(queueList.ItemData(0), 9);
    EXPECT_EQ(queueList.RowFileName(0), "10.wav");
    EXPECT_EQ(queueList.FindItemData(5), 4);
    EXPECT_EQ(queueList.FindItemData(3), -1);
}

TEST_F(InputQueueTest, DeleteSparesTheRowWhoseJobRuns) {
    for (const char* name : {"a.wav", "b.wav", "c.wav"}) queue.AddToQueue(MakeFile(name));
    // The dispatcher marks the bottom row (a.wav) as in progress.
    queueList.SetItemData(2, static_cast<int32_t>(queueList.ItemData(2) | InProgressBit));
    EXPECT_LT(queueList.ItemData(2), 0);

    struct Case {
        std::initializer_list<int> selected;
        bool deleteEnabled;
    } cases[] = {{{}, false}, {{2}, false}, {{0}, true}, {{0, 1}, true}, {{1, 2}, true}};
    for (const Case& c : cases) {
        Select(c.selected);
        EXPECT_EQ(deleteButton.isEnabled(), c.deleteEnabled) << c.selected.size();
    }

    Select({0, 1, 2});
    EXPECT_TRUE(deleteButton.isEnabled());
    queue.OnDeleteFiles();
    EXPECT_EQ(Files(queueList), std::vector<std::string>{"a.wav"});
    EXPECT_EQ(queueList.SelectedRows(), std::vector<int>{0});
    EXPECT_FALSE(deleteButton.isEnabled());
    EXPECT_EQ(queue.Queued(), 1);
    EXPECT_EQ(gauge.value(), 1);
    EXPECT_EQ(queue.NextQueueId(), 3);
    EXPECT_TRUE(test::Exists(dir / "b.wav"));  // deleting a row touches no file
}

TEST_F(InputQueueTest, AddFilesRemembersTheFilterAfterOkOnly) {
    std::vector<int> openedOn;
    std::optional<AddFilesChoice> answer =
        AddFilesChoice{11, {MakeFile("one.iti"), MakeFile("two.iti")}};
    queue.SetAddFilesChooser([&](int filterIndex) {
        openedOn.push_back(filterIndex);
        return answer;
    });

    queue.OnAddFiles();
    EXPECT_EQ(Files(queueList), (std::vector<std::string>{"two.iti", "one.iti"}));
    answer.reset();  // Cancel
    queue.OnAddFiles();
    answer = AddFilesChoice{3, {}};
    queue.OnAddFiles();
    queue.OnAddFiles();
    EXPECT_EQ(openedOn, (std::vector<int>{0, 11, 11, 3}));
    EXPECT_EQ(queue.FilterIndex(), 3);
    EXPECT_EQ(queueList.RowCount(), 2);
}

TEST_F(InputQueueTest, DroppedFilesAreQueuedInDropOrder) {
    const std::vector<std::string> paths = {MakeFile("first.wav"), MakeFile("\xff second.wav"),
                                            MakeFile("third.wav")};
    // While processing is on and idle, the first added row starts a job at once: it is then
    // the only row, at the bottom.
    std::vector<std::string> dispatchedWithBottom;
    queue.SetDispatchIfIdle(
        [&] { dispatchedWithBottom.push_back(queueList.RowFileName(queueList.RowCount() - 1)); });

    EXPECT_FALSE(Drop(queueList, paths, Qt::MoveAction));  // a move would lose the source
    EXPECT_FALSE(Drop(reportList, paths));                 // only the queue takes drops
    EXPECT_TRUE(Drop(queueList, paths));
    EXPECT_EQ(Files(queueList),
              (std::vector<std::string>{"third.wav", "\xff second.wav", "first.wav"}));
    EXPECT_EQ(queueList.RowPath(1), paths[1]);  // exact bytes, though not UTF-8
    EXPECT_EQ(queueList.ItemData(2), 0);
    EXPECT_EQ(dispatchedWithBottom,
              (std::vector<std::string>{"first.wav", "first.wav", "first.wav"}));
    EXPECT_EQ(prompt.shown, std::vector<std::string>{});
}

}  // namespace
}  // namespace kavrin
