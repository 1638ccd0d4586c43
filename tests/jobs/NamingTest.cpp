#include "jobs/Naming.h"

#include <gtest/gtest.h>

namespace kavrin {
namespace {

TEST(NamingTest, ExtensionsAndArchiveTests) {
    EXPECT_EQ(FindExtension("a.b.wav"), 1u);
    EXPECT_EQ(FindExtension("readme"), 6u);
    EXPECT_EQ(FindExtension(""), 0u);

    // The dispatcher looks at the end of the full path.
    for (const char* path :
         {"/in/take.kvn", "/in/TAKE.KVN", "/in/take.2.kvn", "/x/.kVn", "a.kvn"}) {
        EXPECT_TRUE(IsArchivePath(path)) << path;
    }
    for (const char* path : {".kvn", "/in/take.kvnx", "/in/takekvn", "/in/take.kv", ""}) {
        EXPECT_FALSE(IsArchivePath(path)) << path;
    }
    // The queue looks at the text from the name's first dot.
    EXPECT_TRUE(HasArchiveExtension("loop.KVN"));
    EXPECT_FALSE(HasArchiveExtension("take.2.kvn"));
    EXPECT_FALSE(HasArchiveExtension("take.kvn2"));
    EXPECT_FALSE(HasArchiveExtension("kvn"));
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

TEST(NamingTest, ResultNamesRoundTrip) {
    struct Case {
        const char *source, *archive, *type;
    } cases[] = {
        {"take.wav", "take.kvn", "wav"}, {"a.b.wav", "a.kvn", "b.wav"},
        {"readme", "readme.kvn", ""},    {"dot.", "dot.kvn", ""},
        {"song.WAV", "song.kvn", "WAV"},
    };
    for (const Case& c : cases) {
        std::string archive, type, restored;
        ASSERT_TRUE(NameForCompression(c.source, &archive, &type));
        EXPECT_EQ(archive, c.archive);
        EXPECT_EQ(type, c.type);
        ASSERT_TRUE(NameForExpansion(archive, type, &restored));
        // readme comes back as "readme." (a dot and an empty type text).
        EXPECT_EQ(restored, type.empty() ? archive.substr(0, archive.size() - 3) : c.source);
    }
    std::string restored;
    ASSERT_TRUE(NameForExpansion("take.2.kvn", "aiff", &restored));
    EXPECT_EQ(restored, "take.aiff");
    ASSERT_TRUE(NameForExpansion("TAKE.KVN", "wav", &restored));
    EXPECT_EQ(restored, "TAKE.wav");

    std::string archive, type;
    EXPECT_FALSE(NameForCompression("x." + std::string(256, 'e'), &archive, &type));
    EXPECT_TRUE(NameForCompression("x." + std::string(255, 'e'), &archive, &type));
}

TEST(NamingTest, RefusesTypeTextsThatLeaveTheFolder) {
    std::string restored = "untouched";
    for (std::string_view type : {std::string_view("../../etc/passwd"), std::string_view("a/b"),
                                  std::string_view("wav\0x", 5), std::string_view("/")}) {
        EXPECT_FALSE(NameForExpansion("take.kvn", type, &restored)) << type;
    }
    // An archive named ".kvn" restores to "." plus its type: "." and ".." are refused.
    EXPECT_FALSE(NameForExpansion(".kvn", "", &restored));
    EXPECT_FALSE(NameForExpansion(".kvn", ".", &restored));
    EXPECT_EQ(restored, "untouched");
    EXPECT_TRUE(NameForExpansion(".kvn", "hidden.wav", &restored));
    EXPECT_EQ(restored, ".hidden.wav");
}

}  // namespace
}  // namespace kavrin
