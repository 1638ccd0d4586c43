// SPDX-License-Identifier: MIT
// The golden archives of tests/golden against their table, expected.txt: a good archive
// restores to bytes of the recorded SHA-256, and those bytes compressed with the recorded mode
// give the archive back byte for byte; a bad archive gives exactly its error. All of it on one
// thread and on several. A round trip cannot see an encoder that changed the format; these can.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "engine/format/ArchiveFormat.h"
#include "jobs/Naming.h"
#include "tests/support/EngineHarness.h"

namespace kavrin {
namespace {

const std::string kFolder = KAVRIN_GOLDEN_DIR;

struct Expected {
    // Good archives: the compression mode, as kvn -m names it, or "foreign" for a payload
    // another tool wrote, which restores but is not what this encoder makes.
    std::string mode;
    std::string sha256;  // good archives: of the restored bytes
    std::string error;   // bad archives: the exact error
};

// One line per archive: "NAME MODE SHA-256", "NAME foreign SHA-256" or "NAME error TEXT"; '#'
// begins a comment.
std::map<std::string, Expected> ReadTable() {
    std::map<std::string, Expected> table;
    std::ifstream in(kFolder + "/expected.txt");
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        std::string name, kind;
        Expected expected;
        fields >> name >> kind;
        if (kind == "error") {
            std::getline(fields >> std::ws, expected.error);
        } else {
            expected.mode = kind;
            fields >> expected.sha256;
        }
        table[name] = expected;
    }
    return table;
}

DeltaMode ModeNamed(const std::string& name) {
    static const std::map<std::string, DeltaMode> kModes = {
        {"auto", DeltaMode::Auto}, {"none", DeltaMode::None}, {"8", DeltaMode::Bits8},
        {"16", DeltaMode::Bits16}, {"24", DeltaMode::Bits24}, {"32", DeltaMode::Bits32}};
    return kModes.at(name);
}

// What expanding the archive file `name` gives: "" and the restored bytes, or the error. The
// stored type text is checked as every front end checks it before the job runs.
std::string Expand(const std::string& name, const std::string& archive, uint32_t threads,
                   std::string* restored) {
    ArchiveHeader header;
    std::string restoredName;
    if (ParseArchiveHeader(reinterpret_cast<const uint8_t*>(archive.data()), archive.size(),
                           &header) == HeaderStatus::Ok &&
        !NameForExpansion(name, header.typeText, &restoredName)) {
        return "bad file format (unsafe type text)";
    }
    test::JobRun run = test::ExpandOn(threads, archive);
    if (run.outcome.result != JobResult::Done) return run.outcome.status.message();
    *restored = run.output;
    return "";
}

TEST(GoldenArchiveTest, EachArchiveGivesWhatItsLineSays) {
    const std::map<std::string, Expected> table = ReadTable();
    ASSERT_FALSE(table.empty());
    // Every archive has its line and every line its archive.
    std::set<std::string> archives;
    for (const std::string& name : test::ListFolder(kFolder)) {
        if (name.size() <= 4 || name.substr(name.size() - 4) != ".kvn") continue;
        archives.insert(name);
        EXPECT_EQ(table.count(name), 1u) << name << " has no line";
    }
    for (const auto& [name, expected] : table) {
        EXPECT_EQ(archives.count(name), 1u) << name << " is in the table but not in the folder";
    }

    for (const auto& [name, expected] : table) {
        if (!archives.count(name)) continue;
        const std::string archive = test::ReadFile(kFolder + "/" + name);
        for (uint32_t threads : {1u, 3u}) {
            SCOPED_TRACE(name + " on " + std::to_string(threads) + " threads");
            std::string restored;
            const std::string error = Expand(name, archive, threads, &restored);
            if (!expected.error.empty()) {
                EXPECT_EQ(error, expected.error);
                continue;
            }
            ASSERT_EQ(error, "");
            EXPECT_EQ(test::Sha256(restored), expected.sha256);
            ArchiveHeader header;
            ParseArchiveHeader(reinterpret_cast<const uint8_t*>(archive.data()), archive.size(),
                               &header);
            // These archives were named by the first-dot rule (one dot, the rest of the source's
            // name in the type text): they restore under the name that rule gave, also when a
            // user renames them as people do. Only an empty type text loses its trailing dot.
            const std::string base = name.substr(0, name.find('.'));
            for (const std::string& spelling : {base + ".kvn", base + ".KVN", base + " (2).kvn"}) {
                std::string restoredName;
                ASSERT_TRUE(NameForExpansion(spelling, header.typeText, &restoredName));
                const std::string stem = spelling.substr(0, spelling.size() - 4);
                EXPECT_EQ(restoredName,
                          header.typeText.empty() ? stem : stem + "." + header.typeText);
            }
            if (expected.mode == "foreign") continue;
            const test::JobRun again =
                test::CompressOn(threads, restored, ModeNamed(expected.mode), header.typeText);
            EXPECT_EQ(again.outcome.result, JobResult::Done);
            EXPECT_TRUE(again.output == archive) << "the encoder no longer writes this archive";
        }
    }
}

}  // namespace
}  // namespace kavrin
