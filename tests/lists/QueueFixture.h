// SPDX-License-Identifier: MIT
// A queue and a report on their own widgets, with scripted messages and files in a temporary
// folder: what the list tests share.
#pragma once

#include <gtest/gtest.h>

#include <QProgressBar>
#include <QToolButton>
#include <string>
#include <vector>

#include "lists/FileListCtrl.h"
#include "lists/InputQueue.h"
#include "lists/ReportList.h"
#include "lists/RowImages.h"
#include "tests/support/ScriptedPrompt.h"
#include "tests/support/TestSupport.h"

namespace kavrin::test {

class QueueFixture : public ::testing::Test {
protected:
    QueueFixture() {
        queueList.resize(600, 240);
        reportList.resize(620, 160);
        queue.InitQueueColumns(&images);
        report.InitReportColumns(&images);
    }

    // A row's column texts, then its image index as text.
    static std::vector<std::string> RowOf(const CFileListCtrl& list, int row) {
        std::vector<std::string> texts;
        for (int column = 0; column < list.columnCount(); ++column) {
            texts.push_back(list.RowText(row, column));
        }
        texts.push_back(std::to_string(list.RowImage(row)));
        return texts;
    }

    // The File column of every row, top first.
    static std::vector<std::string> Files(const CFileListCtrl& list) {
        std::vector<std::string> names;
        for (int row = 0; row < list.RowCount(); ++row) names.push_back(list.RowFileName(row));
        return names;
    }

    // Writes `bytes` into the file `name` of the temporary folder and returns its path.
    std::string MakeBytes(const std::string& name, const std::string& bytes);
    // Writes a file of `size` bytes (sparse when large) and returns its path.
    std::string MakeFile(const std::string& name, uint64_t size = 10);
    // Writes an archive: a header with `type` and `sourceSize`, padded to `size` bytes.
    std::string MakeArchive(const std::string& name, const std::string& type, uint64_t sourceSize,
                            uint64_t size);

    TempDir dir;
    ScriptedPrompt prompt;
    CImageList images = CImageList::MakeRowImages();
    CFileListCtrl queueList{ListKind::Queue};
    CFileListCtrl reportList{ListKind::Report};
    QProgressBar gauge;
    QToolButton deleteButton;
    QToolButton clearButton;
    CInputQueue queue{queueList, gauge, deleteButton, prompt};
    CReportList report{reportList, queueList, clearButton};
};

}  // namespace kavrin::test
