// SPDX-License-Identifier: MIT
#include "jobs/Naming.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace kavrin {
namespace {

TEST(NamingTest, ExtensionsAndArchiveTests) {
    EXPECT_EQ(TypeTextOf("a.b.wav"), "wav");
    EXPECT_EQ(TypeTextOf("readme"), "");
    EXPECT_EQ(TypeTextOf("take."), "");
    EXPECT_EQ(TypeTextOf(".hidden"), "hidden");

    // One rule for every front end: the name ends in ".kvn", in any case.
    for (const char* path :
         {"/in/take.kvn", "/in/TAKE.KVN", "/in/take.2.kvn", "/x/.kVn", "a.kvn", "loop.KvN"}) {
        EXPECT_TRUE(IsArchivePath(path)) << path;
    }
    for (const char* path :
         {"/in/take.kvnx", "/in/takekvn", "/in/take.kv", "", "/a.kvn/b", "kvn"}) {
        EXPECT_FALSE(IsArchivePath(path)) << path;
    }
}

TEST(NamingTest, SplitsAndJoinsPaths) {
    std::string name, folder;
    SplitPath("/in/sub/take.wav", &name, &folder);
    EXPECT_EQ(name, "take.wav");
    EXPECT_EQ(folder, "/in/sub");
    SplitPath("/take.wav", &name, &folder);  // the root folder shows an empty Path
    EXPECT_EQ(folder, "");
    EXPECT_EQ(JoinPath(folder, name), "/take.wav");
    SplitPath("bare", &name, &folder);
    EXPECT_EQ(name, "bare");
    EXPECT_EQ(folder, "");
    SplitPath("", &name, &folder);
    EXPECT_EQ(name, "");
}

TEST(NamingTest, DestinationFolders) {
    EXPECT_EQ(DestinationFolder(true, "/in", "/out"), "/in/");
    EXPECT_EQ(DestinationFolder(true, "", "/out"), "/");  // a file of the root folder
    EXPECT_EQ(DestinationFolder(false, "/in", "/out"), "/out/");
    EXPECT_EQ(DestinationFolder(false, "/in", "/out/"), "/out/");
    EXPECT_EQ(DestinationFolder(false, "/in", ""), "");  // "Illegal destination directory"
}

TEST(NamingTest, NamesKeepTheirDotsAndRoundTrip) {
    struct Case {
        const char *source, *archive, *type;
    } cases[] = {
        {"readme", "readme.kvn", ""},
        {"take.wav", "take.kvn", "wav"},
        {"Vox.take1.wav", "Vox.take1.kvn", "wav"},
        {"Piano.C4.mf.wav", "Piano.C4.mf.kvn", "wav"},
        {"a.b.c.d.e.wav", "a.b.c.d.e.kvn", "wav"},
        {"take.", "take..kvn", ""},  // a trailing dot stays with the name
        {"a..", "a...kvn", ""},
        {".hidden.wav", ".hidden.kvn", "wav"},
        {".wav", ".kvn", "wav"},
        {"song.WAV", "song.kvn", "WAV"},
    };
    for (const Case& c : cases) {
        std::string archive, type, restored;
        ASSERT_TRUE(NameForCompression(c.source, &archive, &type)) << c.source;
        EXPECT_EQ(archive, c.archive);
        EXPECT_EQ(type, c.type);
        ASSERT_TRUE(NameForExpansion(archive, type, &restored));
        EXPECT_EQ(restored, c.source);
        // The mount finds the archive again from the restored name.
        std::vector<std::string> stems = ArchiveStemsFor(restored);
        EXPECT_NE(std::find(stems.begin(), stems.end(), archive.substr(0, archive.size() - 4)),
                  stems.end())
            << c.source;
    }

    // Archives named by the first-dot rule have one dot: they restore as they always did, also
    // when a user changes the letter case or the text before the dot.
    struct Old {
        const char *archive, *type, *restored;
    } old[] = {
        {"take.kvn", "01.wav", "take.01.wav"},
        {"TAKE.KVN", "wav", "TAKE.wav"},
        {"take (copy).kvn", "b.wav", "take (copy).b.wav"},
        {"x.kvn", "", "x"},
        {"take.2.kvn", "aiff", "take.2.aiff"},  // renamed with a dot of its own: kept
        {"packed.bin", "wav", "packed.wav"},    // expanded by force under another name
    };
    for (const Old& o : old) {
        std::string restored;
        ASSERT_TRUE(NameForExpansion(o.archive, o.type, &restored)) << o.archive;
        EXPECT_EQ(restored, o.restored);
        std::vector<std::string> stems = ArchiveStemsFor(restored);
        if (IsArchiveName(o.archive)) {
            EXPECT_NE(std::find(stems.begin(), stems.end(),
                                std::string(o.archive).substr(0, std::strlen(o.archive) - 4)),
                      stems.end())
                << o.archive;
        }
    }

    std::string archive, type;
    EXPECT_FALSE(NameForCompression("x." + std::string(256, 'e'), &archive, &type));
    EXPECT_TRUE(NameForCompression("x." + std::string(255, 'e'), &archive, &type));
    EXPECT_TRUE(NameForCompression("x." + std::string(300, 'e') + ".wav", &archive, &type));
}

TEST(NamingTest, RefusesTypeTextsThatLeaveTheFolder) {
    std::string restored = "untouched";
    for (std::string_view type : {std::string_view("../../etc/passwd"), std::string_view("a/b"),
                                  std::string_view("wav\0x", 5), std::string_view("/")}) {
        EXPECT_FALSE(NameForExpansion("take.kvn", type, &restored)) << type;
    }
    // An archive named ".kvn" restores to its type text after a dot; "..kvn" to "." alone.
    EXPECT_FALSE(NameForExpansion(".kvn", "", &restored));
    EXPECT_FALSE(NameForExpansion(".kvn", ".", &restored));
    EXPECT_FALSE(NameForExpansion("..kvn", "", &restored));
    EXPECT_FALSE(NameForExpansion("...kvn", "", &restored));
    EXPECT_EQ(restored, "untouched");
    EXPECT_TRUE(NameForExpansion(".kvn", "hidden.wav", &restored));
    EXPECT_EQ(restored, ".hidden.wav");
}

}  // namespace
}  // namespace kavrin
