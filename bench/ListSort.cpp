// SPDX-License-Identifier: MIT
// kavrin-bench-list-sort: times a header click on a queue of 5,000 rows, for each column,
// median of several sorts, on the offscreen platform.
#include <QApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "jobs/FormatSize.h"
#include "lists/FileListCtrl.h"

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    const int rows = argc > 1 ? std::atoi(argv[1]) : 5000;
    kavrin::CFileListCtrl list(kavrin::ListKind::Queue);
    static constexpr kavrin::ListColumn kColumns[] = {
        {"File", 7}, {"Path", 13}, {"Type", 3}, {"Size", 4}, {"Ratio", 3}};
    list.resize(700, 300);
    list.InsertColumns(kColumns);
    std::mt19937 random(7);
    for (int i = 0; i < rows; ++i) {
        const std::string name = "take" + std::to_string(random() % 100000) + ".wav";
        list.InsertRowAtTop("/library/folder" + std::to_string(random() % 50) + "/" + name, 0, i);
        list.SetRowText(0, 2, "wav");
        list.SetRowText(0, 3, kavrin::FormatSize(random() % 200000000));
        list.SetRowText(0, 4, std::to_string(random() % 101) + "%");
    }
    std::printf("%d rows\n", rows);
    for (int column = 0; column < 5; ++column) {
        std::vector<double> times;
        for (int round = 0; round < 7; ++round) {
            list.OnColumnClick((column + 1) % 5);  // start from another order each time
            auto start = std::chrono::steady_clock::now();
            list.OnColumnClick(column);
            times.push_back(
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                    .count());
        }
        std::sort(times.begin(), times.end());
        std::printf("  sort by column %d: %.1f ms (median of %zu)\n", column,
                    times[times.size() / 2], times.size());
    }
    return 0;
}
