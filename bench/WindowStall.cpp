// SPDX-License-Identifier: MIT
// kavrin-bench-window-stall: how long the window's event loop is stuck at worst while a folder
// of small files is dropped on the queue and while they are compressed, with Stop and Start
// pressed at random moments (the scenario of tests/app/LoadTest.cpp). The longest gap between
// two ticks of a 10 ms timer is reported against the goal (100 ms), on the offscreen platform.
//
//   kavrin-bench-window-stall [FILES]     (default 10000)
//
// Prints "adding: N ms" and "processing: N ms" (the longest stall of each phase). Exit status 0
// when both meet the goal, 1 when one does not, 2 when the run itself went wrong.
#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QMimeData>
#include <QSettings>
#include <QTimer>
#include <QUrl>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "app/ArchiverDlg.h"
#include "jobs/Prompt.h"
#include "lists/FileListCtrl.h"
#include "tools/SampleSound.h"

namespace {

constexpr qint64 kGoalMs = 100;

// Counts messages instead of showing them: a modal box would stop the run.
class CountingPrompt : public kavrin::Prompt {
public:
    void ShowError(const std::string& text) override {
        std::fprintf(stderr, "message: %s\n", text.c_str());
        ++messages;
    }
    Answer AskYesNoCancel(const std::string&) override { return Answer::Yes; }
    int messages = 0;
};

// The longest time between two ticks of a 10 ms timer.
class StallMeter {
public:
    StallMeter() {
        QObject::connect(&timer_, &QTimer::timeout,
                         [this] { longest_ = std::max(longest_, clock_.restart()); });
        timer_.start(10);
        clock_.start();
    }
    qint64 Take() {
        const qint64 longest = std::max(longest_, clock_.elapsed());
        longest_ = 0;
        clock_.restart();
        return longest;
    }

private:
    QTimer timer_;
    QElapsedTimer clock_;
    qint64 longest_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    using namespace kavrin;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    const int files = argc > 1 ? std::atoi(argv[1]) : 10000;
    const char* base = std::getenv("TMPDIR");
    std::string scratch = std::string(base && *base ? base : "/tmp") + "/kavrin-stall-XXXXXX";
    if (mkdtemp(scratch.data()) == nullptr) return 2;
    // The window's settings go to the scratch folder, never the user's own.
    setenv("XDG_CONFIG_HOME", (scratch + "/config").c_str(), 1);
    setenv("XDG_DATA_HOME", (scratch + "/data").c_str(), 1);
    const std::string folder = scratch + "/library";
    std::filesystem::create_directories(folder);
    for (int i = 0; i < files; ++i) {
        const std::string bytes = samples::MakeNoise(64 + i % 512, static_cast<uint32_t>(i));
        std::ofstream(folder + "/s" + std::to_string(i) + ".raw", std::ios::binary) << bytes;
    }

    int status = 2;
    {
        QApplication application(argc, argv);
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                           QString::fromStdString(scratch + "/config"));
        CountingPrompt prompt;
        CArchiverDlg window(&prompt);
        auto* queue = static_cast<CFileListCtrl*>(window.GetDlgItem(IDC_QUEUE_LIST));
        auto* start = static_cast<QAbstractButton*>(window.GetDlgItem(IDC_START));
        auto* stop = static_cast<QAbstractButton*>(window.GetDlgItem(IDC_STOP));
        static_cast<QComboBox*>(window.GetDlgItem(IDC_OPTIMIZE))->setCurrentIndex(1);
        window.show();
        StallMeter stalls;

        QMimeData mime;
        mime.setUrls({QUrl::fromLocalFile(QString::fromStdString(folder))});
        QDragEnterEvent enter(QPoint(20, 20), Qt::CopyAction, &mime, Qt::LeftButton,
                              Qt::NoModifier);
        QApplication::sendEvent(queue->viewport(), &enter);
        QDropEvent drop(QPointF(20, 20), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(queue->viewport(), &drop);
        while (queue->RowCount() < files && prompt.messages == 0) {
            QApplication::processEvents(QEventLoop::AllEvents, 5);
        }
        const qint64 adding = stalls.Take();

        std::mt19937 random(12345);
        start->click();
        while (queue->RowCount() > 0 || window.Dispatch().JobInFlight()) {
            QApplication::processEvents(QEventLoop::AllEvents, 5);
            if (random() % 400 == 0) stop->click();
            if (!window.Dispatch().Running() && random() % 20 == 0) start->click();
        }
        const qint64 processing = stalls.Take();

        std::printf("%d files\n", files);
        std::printf("adding: %lld ms\nprocessing: %lld ms\ngoal: %lld ms\n",
                    static_cast<long long>(adding), static_cast<long long>(processing),
                    static_cast<long long>(kGoalMs));
        if (prompt.messages == 0) status = adding <= kGoalMs && processing <= kGoalMs ? 0 : 1;
    }
    std::error_code ignored;
    std::filesystem::remove_all(scratch, ignored);
    return status;
}
