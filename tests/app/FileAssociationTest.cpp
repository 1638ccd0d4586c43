// SPDX-License-Identifier: MIT
#include "app/FileAssociation.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "res/Resources.h"
#include "tests/support/TestSupport.h"

namespace kavrin {
namespace {

using test::Exists;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

XdgFolders Folders(const TempDir& dir) {
    return {dir / "data", dir / "config", {dir / "system"}, {dir / "etc"}, {}};
}

// The files as the package installs them, from the program's own resources.
DesktopFiles Files() {
    return {res::DesktopEntryFile().toStdString(), res::MimePackageFile().toStdString(),
            res::ApplicationIconFile().toStdString(), res::DocumentIconFile().toStdString()};
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// An executable stand-in for the program.
void MakeProgram(const std::string& path) {
    test::MakeFolders(path.substr(0, path.rfind('/')));
    WriteFile(path, "#!/bin/sh\n");
    ASSERT_EQ(chmod(path.c_str(), 0755), 0);
}

TEST(FileAssociationTest, AProgramOutsideThePackageRegistersItselfAtEveryStart) {
    TempDir dir;
    XdgFolders folders = Folders(dir);
    EXPECT_EQ(RegisterFileType("/opt/kavrin/bin/kavrin", Files(), folders, false),
              Registration::PerUser);
    const std::string package = ReadFile(dir / "data/mime/packages/kavrin.xml");
    EXPECT_EQ(package, Files().mimePackage);
    EXPECT_TRUE(Contains(package, "<icon name=\"application-x-kavrin\"/>"));
    EXPECT_TRUE(Contains(package, "<glob pattern=\"*.kvn\"/>"));
    const std::string entry = ReadFile(dir / "data/applications/kavrin.desktop");
    EXPECT_TRUE(Contains(entry, "\nTryExec=/opt/kavrin/bin/kavrin\n"));
    EXPECT_TRUE(Contains(entry, "\nExec=/opt/kavrin/bin/kavrin %F\n"));
    EXPECT_TRUE(Contains(entry, "\nMimeType=application/x-kavrin;\n"));
    EXPECT_EQ(ReadFile(dir / "data/icons/hicolor/scalable/apps/kavrin.svg"),
              Files().applicationIcon);
    EXPECT_EQ(ReadFile(dir / "data/icons/hicolor/scalable/mimetypes/application-x-kavrin.svg"),
              Files().documentIcon);
    EXPECT_EQ(ReadFile(dir / "config/mimeapps.list"),
              "[Default Applications]\napplication/x-kavrin=kavrin.desktop\n");

    // The program moved: the next start points the entry at its new place; nothing doubles.
    RegisterFileType("/home/me/My Apps/kavrin", Files(), folders, false);
    const std::string moved = ReadFile(dir / "data/applications/kavrin.desktop");
    EXPECT_TRUE(Contains(moved, "\nTryExec=/home/me/My Apps/kavrin\n"));
    EXPECT_TRUE(Contains(moved, "\nExec=\"/home/me/My Apps/kavrin\" %F\n"));
    EXPECT_EQ(ReadFile(dir / "config/mimeapps.list"),
              "[Default Applications]\napplication/x-kavrin=kavrin.desktop\n");
    EXPECT_EQ(test::ListFolder(dir / "data/applications"),
              std::vector<std::string>{"kavrin.desktop"});
}

TEST(FileAssociationTest, TheUsersChoiceOfDefaultStays) {
    struct Case {
        std::string list;  // under the test folder
        std::string text;
        bool written;  // whether Kavrin becomes the default in config/mimeapps.list
    };
    const std::string other =
        "[Default Applications]\ntext/plain=editor.desktop\napplication/x-kavrin=other.desktop;\n"
        "[Added Associations]\nimage/png=viewer.desktop;\n";
    for (const Case& c : {
             Case{"config/mimeapps.list", other, false},
             Case{"config/kde-mimeapps.list", other, false},
             Case{"data/applications/mimeapps.list", other, false},
             Case{"etc/mimeapps.list", other, false},
             Case{"config/mimeapps.list",
                  "[Default Applications]\napplication/x-kavrin=kavrin.desktop\n", false},
             Case{"config/mimeapps.list", "[Added Associations]\nimage/png=viewer.desktop;\n",
                  true},
         }) {
        SCOPED_TRACE(c.list);
        TempDir dir;
        XdgFolders folders = Folders(dir);
        folders.desktops = {"kde"};
        test::MakeFolders(dir / c.list.substr(0, c.list.rfind('/')));
        WriteFile(dir / c.list, c.text);
        RegisterFileType("/opt/kavrin/bin/kavrin", Files(), folders, false);
        // The list holding the choice is left as it was, byte for byte.
        EXPECT_EQ(ReadFile(dir / c.list), c.written && c.list == "config/mimeapps.list"
                                              ? c.text +
                                                    "[Default Applications]\n"
                                                    "application/x-kavrin=kavrin.desktop\n"
                                              : c.text);
        EXPECT_EQ(DefaultHandler(folders),
                  c.text == other ? "other.desktop" : std::string(kDesktopFile));
    }
}

TEST(FileAssociationTest, TheInstalledProgramLeavesThePackagesFilesToServe) {
    TempDir dir;
    XdgFolders folders = Folders(dir);
    MakeProgram(dir / "bin/kavrin");
    ASSERT_EQ(symlink((dir / "bin").c_str(), (dir / "alias").c_str()), 0);
    // The package's files, whose entry names the program by name as the package's does.
    test::MakeFolders(dir / "system/applications");
    test::MakeFolders(dir / "system/mime/packages");
    WriteFile(dir / "system/applications/kavrin.desktop", Files().desktopEntry);
    WriteFile(dir / "system/mime/packages/kavrin.xml", Files().mimePackage);
    const std::string path = std::getenv("PATH");
    setenv("PATH", (dir / "bin:" + path).c_str(), 1);

    // The program is known by its file, whatever the spelling of its path.
    EXPECT_TRUE(IsInstalledProgram(dir / "alias/kavrin", folders));
    EXPECT_EQ(RegisterFileType(dir / "alias/kavrin", Files(), folders, false),
              Registration::Installed);
    EXPECT_FALSE(Exists(dir / "data"));
    EXPECT_FALSE(Exists(dir / "config"));

    // What an earlier start registered per user goes when it would hide the package's entry:
    // for this very program (an entry without TryExec, as older versions wrote), or for a
    // program that is gone. An entry for another Kavrin that exists stays, with its files.
    MakeProgram(dir / "elsewhere/kavrin");
    struct Case {
        std::string entry;
        bool removed;
    };
    for (const Case& c : {Case{"Exec=" + dir / "bin/kavrin %f\n", true},
                          Case{"TryExec=" + dir / "gone/kavrin\nExec=x %f\n", true},
                          Case{"TryExec=" + dir / "elsewhere/kavrin\nExec=x %f\n", false}}) {
        SCOPED_TRACE(c.entry);
        const std::vector<std::string> perUser = {
            dir / "data/applications/kavrin.desktop", dir / "data/mime/packages/kavrin.xml",
            dir / "data/icons/hicolor/scalable/apps/kavrin.svg",
            dir / "data/icons/hicolor/scalable/mimetypes/application-x-kavrin.svg"};
        for (const std::string& file : perUser) {
            test::MakeFolders(file.substr(0, file.rfind('/')));
            WriteFile(file, "[Desktop Entry]\nType=Application\nName=Kavrin\n" + c.entry);
        }
        RegisterFileType(dir / "bin/kavrin", Files(), folders, false);
        for (const std::string& file : perUser) EXPECT_EQ(Exists(file), !c.removed) << file;
    }

    // An entry for another program is no installation of this one; neither is an entry
    // without the MIME package beside it.
    MakeProgram(dir / "build/kavrin");
    EXPECT_FALSE(IsInstalledProgram(dir / "build/kavrin", folders));
    std::remove((dir / "system/mime/packages/kavrin.xml").c_str());
    EXPECT_FALSE(IsInstalledProgram(dir / "bin/kavrin", folders));
    setenv("PATH", path.c_str(), 1);
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
        RegisterFileType("/usr/bin/kavrin", Files(), folders, false);
        const std::string package = ReadFile(dir / "data/mime/packages/kavrin.xml");
        EXPECT_FALSE(Contains(package, "*.kvn")) << compiled;
        EXPECT_TRUE(Contains(package, "Kavrin Document"));
        EXPECT_TRUE(Contains(package, "*.sf2"));
        EXPECT_TRUE(Exists(dir / "data/applications/kavrin.desktop"));
        EXPECT_TRUE(Exists(dir / "config/mimeapps.list"));
    }
    // Its own glob, compiled from an earlier start, is no other type's claim.
    TempDir dir;
    test::MakeFolders(dir / "data/mime");
    WriteFile(dir / "data/mime/globs2", "50:application/x-kavrin:*.kvn\n");
    EXPECT_FALSE(ExtensionClaimedByAnotherType(Folders(dir)));
}

TEST(FileAssociationTest, FailsSilentlyAndWritesPathsAsEntriesNeedThem) {
    TempDir dir;
    WriteFile(dir / "data", "a file where a folder should be");
    RegisterFileType("/usr/bin/kavrin", Files(), Folders(dir), false);
    EXPECT_FALSE(Exists(dir / "config/mimeapps.list"));
    EXPECT_EQ(QuoteExecArgument("/usr/bin/kavrin"), "/usr/bin/kavrin");
    EXPECT_EQ(QuoteExecArgument("/a b/$x\"%"), "\"/a b/\\$x\\\"%%\"");
    // Quoting first, then the escaping of every string value: a backslash becomes four.
    const std::string entry = PerUserDesktopEntry(Files().desktopEntry, "/a b/c\\d");
    EXPECT_TRUE(Contains(entry, "\nTryExec=/a b/c\\\\d\n"));
    EXPECT_TRUE(Contains(entry, "\nExec=\"/a b/c\\\\\\\\d\" %F\n"));
}

}  // namespace
}  // namespace kavrin
