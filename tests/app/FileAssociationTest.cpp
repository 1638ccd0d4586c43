#include "app/FileAssociation.h"

#include <gtest/gtest.h>

#include "tests/support/TestSupport.h"

namespace kavrin {
namespace {

using test::Exists;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

XdgFolders Folders(const TempDir& dir) {
    return {dir / "data", dir / "config", {dir / "system"}};
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(FileAssociationTest, WritesTypeEntryAndDefaultAndRewritesThemAtEveryStart) {
    TempDir dir;
    XdgFolders folders = Folders(dir);
    test::MakeFolders(dir / "config");
    WriteFile(
        dir / "config/mimeapps.list",
        "[Default Applications]\ntext/plain=editor.desktop\napplication/x-kavrin=old.desktop\n"
        "[Added Associations]\nimage/png=viewer.desktop;\n");

    RegisterFileType("/opt/kavrin/bin/kavrin", folders, false);
    const std::string package = ReadFile(dir / "data/mime/packages/kavrin.xml");
    EXPECT_TRUE(Contains(package, "<mime-type type=\"application/x-kavrin\">"));
    EXPECT_TRUE(Contains(package, "<comment>Kavrin Document</comment>"));
    EXPECT_TRUE(Contains(package, "value=\"KVN1\""));
    EXPECT_TRUE(Contains(package, "<glob pattern=\"*.kvn\"/>"));
    const std::string entry = ReadFile(dir / "data/applications/kavrin.desktop");
    EXPECT_TRUE(Contains(entry, "\nExec=/opt/kavrin/bin/kavrin %f\n"));
    EXPECT_TRUE(Contains(entry, "\nMimeType=application/x-kavrin;\n"));
    EXPECT_EQ(ReadFile(dir / "config/mimeapps.list"),
              "[Default Applications]\ntext/plain=editor.desktop\n"
              "application/x-kavrin=kavrin.desktop\n"
              "[Added Associations]\nimage/png=viewer.desktop;\n");

    // The program moved: the next start points the entry at its new place; nothing doubles.
    RegisterFileType("/home/me/My Apps/kavrin", folders, false);
    EXPECT_TRUE(Contains(ReadFile(dir / "data/applications/kavrin.desktop"),
                         "\nExec=\"/home/me/My Apps/kavrin\" %f\n"));
    const std::string list = ReadFile(dir / "config/mimeapps.list");
    EXPECT_EQ(list.find("application/x-kavrin="), list.rfind("application/x-kavrin="));
    EXPECT_EQ(test::ListFolder(dir / "data/applications"),
              std::vector<std::string>{"kavrin.desktop"});
}

TEST(FileAssociationTest, LeavesAnExtensionAnotherTypeOwns) {
    for (bool compiled : {false, true}) {
        TempDir dir;
        XdgFolders folders = Folders(dir);
        if (compiled) {
            test::MakeFolders(dir / "system/mime");
            WriteFile(dir / "system/mime/globs2", "# comment\n50:audio/x-other:*.KVN\n");
        } else {
            test::MakeFolders(dir / "data/mime/packages");
            WriteFile(dir / "data/mime/packages/other.xml",
                      "<mime-info><mime-type type='audio/x-other'><glob pattern=\"*.kvn\"/>"
                      "</mime-type></mime-info>");
        }
        EXPECT_TRUE(ExtensionClaimedByAnotherType(folders));
        RegisterFileType("/usr/bin/kavrin", folders, false);
        const std::string package = ReadFile(dir / "data/mime/packages/kavrin.xml");
        EXPECT_FALSE(Contains(package, "*.kvn")) << compiled;
        EXPECT_TRUE(Contains(package, "Kavrin Document"));
        EXPECT_TRUE(Exists(dir / "data/applications/kavrin.desktop"));
        EXPECT_TRUE(Exists(dir / "config/mimeapps.list"));
    }
    // Its own glob, compiled from an earlier start, is no other type's claim.
    TempDir dir;
    test::MakeFolders(dir / "data/mime");
    WriteFile(dir / "data/mime/globs2", "50:application/x-kavrin:*.kvn\n");
    EXPECT_FALSE(ExtensionClaimedByAnotherType(Folders(dir)));
}

TEST(FileAssociationTest, FailsSilently) {
    TempDir dir;
    WriteFile(dir / "data", "a file where a folder should be");
    RegisterFileType("/usr/bin/kavrin", Folders(dir), false);
    EXPECT_FALSE(Exists(dir / "config/mimeapps.list"));
    EXPECT_EQ(QuoteExecArgument("/usr/bin/kavrin"), "/usr/bin/kavrin");
    EXPECT_EQ(QuoteExecArgument("/a b/$x\"%"), "\"/a b/\\$x\\\"%%\"");
}

}  // namespace
}  // namespace kavrin
