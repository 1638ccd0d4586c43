// SPDX-License-Identifier: MIT
// The window running jobs: Start and Stop through the real buttons, the worker's updates
// queued to the window's thread, and closing while a job runs.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QProgressBar>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "app/ArchiverDlg.h"
#include "app/WindowSink.h"
#include "lists/FileListCtrl.h"
#include "tests/support/ScriptedPrompt.h"
#include "tests/support/TestSupport.h"
#include "tests/support/WidgetTestSupport.h"
#include "tools/SampleSound.h"

namespace kavrin {
namespace {

using test::WaitUntil;

using test::ListFolder;
using test::TempDir;
using test::WriteFile;

QRgb Colour(QWidget* lamp) {
    return static_cast<QLabel*>(lamp)->pixmap().toImage().pixel(4, 4);
}

const QRgb kGrey = qRgb(192, 192, 192);
const QRgb kGreen = qRgb(0, 255, 0);
const QRgb kYellow = qRgb(255, 255, 0);

class JobControlTest : public ::testing::Test {
protected:
    JobControlTest() {
        seams_.workerStep = [this] { HoldAtFirstStep(); };
        window_ = std::make_unique<CArchiverDlg>(&prompt_, nullptr, seams_);
    }
    // On the worker: the job's first progress step waits until the window no longer wants the
    // job (Stop, close), so the test meets it running however fast the machine is. Counts the
    // steps: a job that stops at its next chunk takes no step after that one.
    void HoldAtFirstStep() {
        if (++steps_ > 1 || !hold_) return;
        held_ = true;
        while (window_->Job().State() == JobState::Running) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    QAbstractButton* Button(int id) {
        return static_cast<QAbstractButton*>(window_->GetDlgItem(id));
    }
    CFileListCtrl& QueueList() {
        return *static_cast<CFileListCtrl*>(window_->GetDlgItem(IDC_QUEUE_LIST));
    }
    CFileListCtrl& ReportList() {
        return *static_cast<CFileListCtrl*>(window_->GetDlgItem(IDC_REPORT_LIST));
    }
    std::string Action(int row) { return ReportList().RowText(row, 2); }

    test::ScriptedPrompt prompt_;
    WindowSeams seams_;
    std::atomic<bool> hold_{false}, held_{false};
    std::atomic<int> steps_{0};
    std::unique_ptr<CArchiverDlg> window_;
    TempDir dir_;
};

TEST_F(JobControlTest, StopCancelsTheRunningJobAndKeepsItsRow) {
    WriteFile(dir_ / "long.raw", samples::MakeNoise(8 * kChunkSize, 3));
    window_->AddToQueue(dir_ / "long.raw");
    hold_ = true;
    Button(IDC_START)->click();
    ASSERT_TRUE(WaitUntil([&] { return held_.load(); }));
    Button(IDC_STOP)->click();
    ASSERT_TRUE(WaitUntil([&] { return ReportList().RowCount() == 1; }));
    EXPECT_EQ(Action(0), "canceled");
    EXPECT_EQ(steps_, 1);  // not one more chunk
    ASSERT_EQ(QueueList().RowCount(), 1);
    EXPECT_EQ(QueueList().ItemData(0), 0);  // back in the queue, unmarked
    EXPECT_FALSE(window_->Dispatch().Running());
    EXPECT_TRUE(Button(IDC_START)->isEnabled());
    EXPECT_EQ(ListFolder(dir_.path()), std::vector<std::string>{"long.raw"});
}

TEST_F(JobControlTest, ClosingDuringAJobStopsAtTheNextChunkAndLeavesNothingPartial) {
    WriteFile(dir_ / "long.raw", samples::MakeNoise(8 * kChunkSize, 4));
    window_->AddToQueue(dir_ / "long.raw");
    window_->show();
    hold_ = true;
    Button(IDC_START)->click();
    ASSERT_TRUE(WaitUntil([&] { return held_.load(); }));
    window_->close();
    EXPECT_FALSE(window_->Job().workerThread.joinable());
    EXPECT_EQ(steps_, 1);
    QApplication::processEvents();
    EXPECT_EQ(ReportList().RowCount(), 0);  // nothing is reported after a close
    EXPECT_EQ(ListFolder(dir_.path()), std::vector<std::string>{"long.raw"});
}

TEST_F(JobControlTest, AMinimisedWindowComesBackWhenTheQueueRunsEmpty) {
    WriteFile(dir_ / "a.raw", "tiny");
    window_->AddToQueue(dir_ / "a.raw");
    window_->showMinimized();
    ASSERT_TRUE(WaitUntil([&] { return window_->isMinimized(); }));
    Button(IDC_START)->click();
    ASSERT_TRUE(WaitUntil([&] { return ReportList().RowCount() == 1; }));
    EXPECT_FALSE(window_->isMinimized());
}

// Answers the overwrite question after looking at the window as the user sees it then.
class LookingPrompt : public test::ScriptedPrompt {
public:
    Answer AskYesNoCancel(const std::string& text) override {
        if (look) look();
        return ScriptedPrompt::AskYesNoCancel(text);
    }
    std::function<void()> look;
};

TEST(JobControlQuestionTest, OverTheQuestionTheArrowShowsAndTheGaugeShowsTheQueue) {
    TempDir dir;
    WriteFile(dir / "take.raw", "new bytes");
    WriteFile(dir / "take.kvn", "an older result");
    LookingPrompt prompt;
    prompt.answers = {Prompt::Answer::No};
    CArchiverDlg window(&prompt);
    window.show();
    auto* gauge = static_cast<QProgressBar*>(window.GetDlgItem(IDC_QUEUE_GAUGE));
    QWidget* edit = window.GetDlgItem(IDC_DEST_DIR);
    const Qt::CursorShape editCursor = edit->cursor().shape();
    // The gauge's filled part is drawn in shades of the highlight colour, a blue.
    auto filled = [&] {
        const QImage image = gauge->grab().toImage();
        int count = 0;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const QColor c = image.pixelColor(x, y);
                count += c.blue() - c.red() > 40;
            }
        }
        return count;
    };
    const int empty = filled();
    bool looked = false;
    prompt.look = [&] {
        looked = true;
        // The box is a window of its own: no cursor is forced on the whole program, so the
        // box shows the arrow; the main window and its controls show the wait cursor.
        EXPECT_EQ(QApplication::overrideCursor(), nullptr);
        EXPECT_EQ(window.cursor().shape(), Qt::WaitCursor);
        EXPECT_EQ(edit->cursor().shape(), Qt::WaitCursor);
        // The row that started this job is counted, and the gauge is drawn so.
        EXPECT_EQ(gauge->value(), 1);
        EXPECT_EQ(gauge->maximum(), 1);
        EXPECT_TRUE(gauge->updatesEnabled());
        EXPECT_GT(filled(), empty + 100) << empty;
    };
    // Processing is on, so queuing the row starts its job at once, which asks.
    static_cast<QAbstractButton*>(window.GetDlgItem(IDC_START))->click();
    window.AddToQueue(dir / "take.raw");
    EXPECT_TRUE(looked);
    EXPECT_EQ(prompt.asked.size(), 1u);
    // Answered: every cursor is back.
    EXPECT_EQ(window.cursor().shape(), Qt::ArrowCursor);
    EXPECT_EQ(edit->cursor().shape(), editCursor);
}

// Records the progress bar and the lamps at the moment the job-finished event arrives.
class FinishProbe : public QWidget {
public:
    bool event(QEvent* event) override {
        if (event->type() != JobFinishedEvent::kType) return QWidget::event(event);
        seen = true;
        progressAtFinish = progress.value();
        transferAtFinish = Colour(&transfer);
        return true;
    }
    QProgressBar progress{this};
    QLabel analysis{this}, transfer{this}, coding{this};
    bool seen = false;
    int progressAtFinish = -1;
    QRgb transferAtFinish = 0;
};

TEST(WindowSinkTest, QueuesEveryUpdateToTheWindowInOrder) {
    FinishProbe probe;
    std::array<QPixmap, 3> lamps = MakeLampBitmaps();
    CWindowSink sink(probe, probe.progress, probe.analysis, probe.transfer, probe.coding, lamps);
    // From another thread, as the worker calls it; nothing happens until the window's thread
    // takes its events.
    std::thread worker([&] {
        sink.SetAnalysisLamp(true);
        sink.BeginProgress(7);
        for (int i = 0; i < 3; ++i) sink.StepProgress();
        sink.SetLamps(LampPhase::Transfer);
    });
    worker.join();
    EXPECT_EQ(probe.progress.maximum(), 100);  // a new bar's range: nothing applied yet
    QApplication::processEvents();
    EXPECT_EQ(probe.progress.maximum(), 7);
    EXPECT_EQ(probe.progress.value(), 3);
    EXPECT_EQ(Colour(&probe.analysis), kYellow);
    EXPECT_EQ(Colour(&probe.transfer), kGreen);
    EXPECT_EQ(Colour(&probe.coding), kGrey);

    std::thread finisher([&] {
        sink.SetLamps(LampPhase::Coding);
        sink.SetLamps(LampPhase::Off);
        sink.ResetProgress();
        JobEnd end;
        end.outcome.result = JobResult::Done;
        end.outcome.mode = DeltaMode::Bits16;
        sink.PostJobFinished(end);
    });
    finisher.join();
    QApplication::processEvents();
    ASSERT_TRUE(probe.seen);
    EXPECT_EQ(probe.progressAtFinish, 0);
    EXPECT_EQ(probe.transferAtFinish, kGrey);
}

}  // namespace
}  // namespace kavrin
