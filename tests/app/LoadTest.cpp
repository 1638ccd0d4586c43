// SPDX-License-Identifier: MIT
// Ten thousand small files dropped on the queue as one folder and processed, with Stop and
// Start pressed at random moments: every file is compressed exactly once, the report agrees
// with the files on disk. The longest stall of the window's event loop is printed; its goal is
// checked by bench/stall.sh, on a quiet machine, not here.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QMimeData>
#include <QTimer>
#include <QUrl>
#include <map>
#include <random>

#include "app/ArchiverDlg.h"
#include "jobs/Destination.h"
#include "lists/FileListCtrl.h"
#include "tests/support/ScriptedPrompt.h"
#include "tests/support/TestSupport.h"
#include "tests/support/WidgetTestSupport.h"
#include "tools/SampleSound.h"

namespace kavrin {
namespace {

// The longest time between two ticks of a 10 ms timer: how long the event loop was stuck.
class StallMeter {
public:
    StallMeter() {
        QObject::connect(&timer_, &QTimer::timeout,
                         [this] { longest_ = std::max(longest_, clock_.restart()); });
        timer_.start(10);
        clock_.start();
    }
    qint64 Longest() const { return longest_; }
    void Reset() {
        longest_ = 0;
        clock_.restart();
    }

private:
    QTimer timer_;
    QElapsedTimer clock_;
    qint64 longest_ = 0;
};

TEST(LoadTest, TenThousandFilesWithStopAndStartAtRandom) {
    const int kFiles =
        std::getenv("KAVRIN_LOAD_FILES") ? std::atoi(std::getenv("KAVRIN_LOAD_FILES")) : 10000;
    test::TempDir dir;
    const std::string folder = dir / "library";
    test::MakeFolders(folder);
    for (int i = 0; i < kFiles; ++i) {
        test::WriteFile(folder + "/s" + std::to_string(i) + ".raw",
                        samples::MakeNoise(64 + i % 512, static_cast<uint32_t>(i)));
    }

    test::ScriptedPrompt prompt;
    CArchiverDlg window(&prompt);
    auto* queue = static_cast<CFileListCtrl*>(window.GetDlgItem(IDC_QUEUE_LIST));
    auto* report = static_cast<CFileListCtrl*>(window.GetDlgItem(IDC_REPORT_LIST));
    auto* start = static_cast<QAbstractButton*>(window.GetDlgItem(IDC_START));
    auto* stop = static_cast<QAbstractButton*>(window.GetDlgItem(IDC_STOP));
    static_cast<QComboBox*>(window.GetDlgItem(IDC_OPTIMIZE))->setCurrentIndex(1);  // no filter
    window.show();
    StallMeter stalls;

    // The folder arrives as a drop on the queue.
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(QString::fromStdString(folder))});
    QDragEnterEvent enter(QPoint(20, 20), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(queue->viewport(), &enter);
    ASSERT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(20, 20), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(queue->viewport(), &drop);
    ASSERT_TRUE(drop.isAccepted());
    QElapsedTimer clock;
    clock.start();
    test::WaitUntil([&] { return queue->RowCount() >= kFiles || !prompt.shown.empty(); });
    ASSERT_EQ(queue->RowCount(), kFiles) << (prompt.shown.empty() ? "" : prompt.shown[0]);
    const qint64 stallWhileAdding = stalls.Longest();
    std::printf("added %d rows in %lld ms, longest stall %lld ms\n", kFiles,
                static_cast<long long>(clock.elapsed()), static_cast<long long>(stallWhileAdding));

    // Processing, with Stop and Start pressed at random moments.
    stalls.Reset();
    clock.restart();
    std::mt19937 random(12345);
    start->click();
    int toggles = 0;
    while (queue->RowCount() > 0 || window.Dispatch().JobInFlight()) {
        QApplication::processEvents(QEventLoop::AllEvents, 5);
        if (random() % 400 == 0) {
            stop->click();
            ++toggles;
        }
        if (!window.Dispatch().Running() && random() % 20 == 0) start->click();
    }
    const qint64 stallWhileProcessing = stalls.Longest();
    std::printf("processed in %lld ms with %d stops, longest stall %lld ms\n",
                static_cast<long long>(clock.elapsed()), toggles,
                static_cast<long long>(stallWhileProcessing));
    ASSERT_EQ(queue->RowCount(), 0);
    EXPECT_TRUE(prompt.shown.empty());

    // Every file compressed exactly once, as the report says and the disk shows.
    std::map<std::string, int> compressed;
    int canceled = 0;
    for (int row = 0; row < report->RowCount(); ++row) {
        const std::string action = report->RowText(row, 2);
        if (action == "compressed") ++compressed[report->RowFileName(row)];
        if (action == "canceled") ++canceled;
        EXPECT_TRUE(action == "compressed" || action == "canceled") << action;
    }
    EXPECT_EQ(static_cast<int>(compressed.size()), kFiles);
    for (const auto& [name, count] : compressed) EXPECT_EQ(count, 1) << name;
    EXPECT_LE(canceled, toggles);
    const std::vector<std::string> names = test::ListFolder(folder);
    EXPECT_EQ(static_cast<int>(names.size()), 2 * kFiles);
    for (const std::string& name : names) EXPECT_FALSE(IsTemporaryName(name)) << name;

    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("peak memory %ld MiB\n", usage.ru_maxrss / 1024);
}

}  // namespace
}  // namespace kavrin
