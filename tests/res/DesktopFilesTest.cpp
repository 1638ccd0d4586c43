// SPDX-License-Identifier: MIT
// The files the package gives the desktop, checked with the desktop's own tools: the entry
// (installed, and as a program outside the package writes it), the MIME package, the file
// manager's service menus and the helper they run.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <vector>

#include "app/FileAssociation.h"
#include "tests/support/TestSupport.h"

namespace kavrin {
namespace {

using test::ReadFile;
using test::RunProgram;
using test::TempDir;
using test::WriteFile;

const std::string kRes = KAVRIN_RES_DIR;

// True when `program` can be run; without it the test fails under CI=1 and is skipped else.
bool Have(const std::string& program) {
    if (access(program.c_str(), X_OK) == 0) return true;
    const char* ci = std::getenv("CI");
    if (ci != nullptr && std::string(ci) == "1") {
        ADD_FAILURE() << program << " is missing (scripts/setup.sh installs it)";
    } else {
        std::cerr << "skipped: " << program << " is missing (scripts/setup.sh installs it)\n";
    }
    return false;
}

// A desktop file's groups, each a map of its keys; a malformed line or a key given twice in a
// group is reported.
using Groups = std::map<std::string, std::map<std::string, std::string>>;
Groups ReadGroups(const std::string& text) {
    Groups groups;
    std::string group;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#') continue;
        if (line.front() == '[' && line.back() == ']') {
            group = line.substr(1, line.size() - 2);
            EXPECT_EQ(groups.count(group), 0u) << group;
            groups[group];
            continue;
        }
        const size_t equals = line.find('=');
        EXPECT_TRUE(!group.empty() && equals != std::string::npos && equals > 0) << line;
        if (equals == std::string::npos) continue;
        EXPECT_TRUE(groups[group].emplace(line.substr(0, equals), line.substr(equals + 1)).second)
            << line;
    }
    return groups;
}

TEST(DesktopFilesTest, TheEntriesPassTheValidatorWithoutARemark) {
    if (!Have("/usr/bin/desktop-file-validate")) return;
    TempDir dir;
    const std::string installed = ReadFile(kRes + "/kavrin.desktop");
    WriteFile(dir / "kavrin.desktop", installed);
    // As a program outside the package writes it, in a folder whose name needs every kind of
    // quoting and escaping.
    test::MakeFolders(dir / "user");
    WriteFile(dir / "user/kavrin.desktop",
              PerUserDesktopEntry(installed, "/home/me/My Apps/$1 \"x\"\\y%/kavrin"));
    for (const std::string& file : {dir / "kavrin.desktop", dir / "user/kavrin.desktop"}) {
        const test::ProgramResult result = RunProgram({"/usr/bin/desktop-file-validate", file});
        EXPECT_EQ(result.status, 0) << file;
        EXPECT_EQ(result.out + result.err, "") << file;
    }
}

TEST(DesktopFilesTest, TheMimePackageNamesItsIconsAndOnlyTheActionsOfferSounds) {
    if (!Have("/usr/bin/update-mime-database")) return;
    TempDir dir;
    test::MakeFolders(dir / "mime/packages");
    WriteFile(dir / "mime/packages/kavrin.xml", ReadFile(kRes + "/kavrin-mime.xml"));
    const test::ProgramResult result = RunProgram({"/usr/bin/env", "XDG_DATA_HOME=" + dir.path(),
                                                   "/usr/bin/update-mime-database", dir / "mime"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(ReadFile(dir / "mime/icons"), "application/x-kavrin:application-x-kavrin\n");
    std::set<std::string> generic;
    std::istringstream generics(ReadFile(dir / "mime/generic-icons"));
    for (std::string line; std::getline(generics, line);) generic.insert(line);
    EXPECT_EQ(generic, (std::set<std::string>{
                           "application/x-kavrin:package-x-generic", "audio/x-caf:audio-x-generic",
                           "audio/x-sfz:audio-x-generic", "audio/x-soundfont:audio-x-generic",
                           "audio/x-w64:audio-x-generic"}));
    EXPECT_NE(ReadFile(dir / "mime/globs2").find("50:application/x-kavrin:*.kvn"),
              std::string::npos);

    // Kavrin opens its own archives only: it never becomes the program of a sound type. The
    // file manager's actions offer it for sounds instead; each type they name is Kavrin's own
    // or one the shared database knows (by its name or an alias): a misspelt type would
    // silently offer nothing.
    EXPECT_EQ(ReadGroups(ReadFile(kRes + "/kavrin.desktop"))["Desktop Entry"]["MimeType"],
              "application/x-kavrin;");
    std::set<std::string> known;
    for (const std::string& list : {dir / "mime/types", std::string("/usr/share/mime/types"),
                                    std::string("/usr/share/mime/aliases")}) {
        std::istringstream names(ReadFile(list));
        for (std::string name; names >> name;) known.insert(name);
    }
    for (const char* menu : {"kavrin-compress.desktop.in", "kavrin-expand.desktop.in"}) {
        std::istringstream types(
            ReadGroups(ReadFile(kRes + "/" + menu))["Desktop Entry"]["MimeType"]);
        for (std::string type; std::getline(types, type, ';');) {
            EXPECT_EQ(known.count(type), 1u) << menu << ": " << type;
        }
    }
}

TEST(DesktopFilesTest, TheServiceMenusRunTheHelperOnTheSelection) {
    struct Menu {
        const char* file;
        const char* types;
        const char* action;
        const char* exec;
    };
    for (const Menu& menu :
         {Menu{"kavrin-compress.desktop.in",
               "audio/x-wav;audio/vnd.wave;audio/x-aiff;audio/x-aifc;audio/flac;audio/x-w64;"
               "audio/x-caf;audio/basic;audio/x-xi;audio/x-soundfont;audio/x-sfz;inode/directory;",
               "Compress with Kavrin", "@KAVRIN_FILE_ACTION@ compress %F"},
          Menu{"kavrin-expand.desktop.in", "application/x-kavrin;inode/directory;", "Expand here",
               "@KAVRIN_FILE_ACTION@ expand %F"}}) {
        SCOPED_TRACE(menu.file);
        Groups groups = ReadGroups(ReadFile(kRes + "/" + menu.file));
        auto& entry = groups["Desktop Entry"];
        EXPECT_EQ(entry["Type"], "Service");
        EXPECT_EQ(entry["MimeType"], menu.types);
        EXPECT_EQ(entry["Icon"], "kavrin");
        // Each listed action has its group, with a name, an icon and the helper's command
        // taking every selected file and folder.
        const std::string actions = entry["Actions"];
        ASSERT_FALSE(actions.empty());
        ASSERT_EQ(actions.back(), ';');
        const std::string id = actions.substr(0, actions.size() - 1);
        ASSERT_EQ(id.find(';'), std::string::npos);
        auto& action = groups["Desktop Action " + id];
        EXPECT_EQ(action["Name"], menu.action);
        EXPECT_EQ(action["Icon"], "kavrin");
        EXPECT_EQ(action["Exec"], menu.exec);
        EXPECT_EQ(groups.size(), 2u);
    }
}

// A PATH of its own for the helper: kvn and the tools the helper uses; no notification service
// (gdbus is left out).
void MakeHelperPath(const TempDir& dir) {
    test::MakeFolders(dir / "bin");
    ASSERT_EQ(symlink(KVN_PATH, (dir / "bin/kvn").c_str()), 0);
    for (const char* tool :
         {"awk", "cat", "grep", "head", "iconv", "mktemp", "rm", "sed", "sleep", "tail"}) {
        for (const char* folder : {"/usr/bin/", "/bin/"}) {
            if (symlink((std::string(folder) + tool).c_str(), (dir / "bin/" + tool).c_str()) == 0 &&
                access((dir / "bin/" + tool).c_str(), X_OK) == 0) {
                break;
            }
            unlink((dir / "bin/" + tool).c_str());
        }
    }
}

// A notify-send that notes what it was asked to show.
void AddNotifier(const TempDir& dir) {
    WriteFile(dir / "bin/notify-send",
              "#!/bin/sh\nfor a; do printf '%s\\n' \"$a\"; done > \"" + dir / "notified" + "\"\n");
    ASSERT_EQ(chmod((dir / "bin/notify-send").c_str(), 0755), 0);
}

TEST(DesktopFilesTest, TheHelperTellsHowItWentWithoutANotificationService) {
    TempDir dir;
    MakeHelperPath(dir);
    test::MakeFolders(dir / "work/sub");
    WriteFile(dir / "work/a.wav", "RIFF....WAVE some sound");
    WriteFile(dir / "work/b.wav", "another sound");
    WriteFile(dir / "work/b.kvn", "an earlier result");  // kept: nobody to ask
    WriteFile(dir / "work/sub/c.raw", "more");
    const std::string helper = kRes + "/kavrin-file-action";
    auto run = [&] {
        return RunProgram({"/usr/bin/env", "PATH=" + dir / "bin", helper, "compress",
                           dir / "work/a.wav", dir / "work/b.wav", dir / "work/sub",
                           dir / "work/gone.wav"});
    };

    // Without any notifier nor terminal: the report on standard output.
    test::ProgramResult result = run();
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.out.find("\nAlready there, kept as it was: b.kvn\n"
                              "4 files: 2 done, 1 failed, 1 skipped"),
              std::string::npos)
        << result.out;
    EXPECT_TRUE(test::Exists(dir / "work/a.kvn"));
    EXPECT_TRUE(test::Exists(dir / "work/sub/c.kvn"));
    EXPECT_EQ(ReadFile(dir / "work/b.kvn"), "an earlier result");

    // With notify-send: one notification, urgent since a file failed, with kvn's message, the
    // result kept, and the totals.
    AddNotifier(dir);
    std::remove((dir / "work/a.kvn").c_str());
    std::remove((dir / "work/sub/c.kvn").c_str());
    result = run();
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    const std::string notified = ReadFile(dir / "notified");
    EXPECT_NE(notified.find("--urgency=critical\n"), std::string::npos) << notified;
    EXPECT_NE(notified.find("\nKavrin: not everything was done\nkvn: "), std::string::npos)
        << notified;
    EXPECT_NE(notified.find("b.kvn"), std::string::npos) << notified;
    EXPECT_NE(notified.find("\n4 files: 2 done, 1 failed, 1 skipped"), std::string::npos)
        << notified;

    // Anything but compress or expand is a usage error that touches nothing.
    result = RunProgram({"/usr/bin/env", "PATH=" + dir / "bin", helper, "process", dir / "work"});
    EXPECT_EQ(result.status, 2);
}

// Each action run as the desktop runs it (GLib's launcher expands the Exec line, as KDE's
// does) on a folder holding sounds and an archive: Compress with Kavrin only compresses and
// Expand here only expands.
TEST(DesktopFilesTest, TheActionsDoWhatTheySayOnAFolderHoldingBothKinds) {
    if (!Have("/usr/bin/gio")) return;
    struct Case {
        const char* menu;
        std::vector<std::string> after;  // the folder's files when the action is done
        const char* totals;
    };
    for (const Case& action : {Case{"kavrin-compress.desktop.in",
                                    {"a.kvn", "a.wav", "b.kvn", "sub/c.kvn", "sub/c.wav"},
                                    "2 files: 2 done, 0 failed"},
                               Case{"kavrin-expand.desktop.in",
                                    {"a.wav", "b.kvn", "b.wav", "sub/c.wav"},
                                    "1 file: 1 done, 0 failed"}}) {
        SCOPED_TRACE(action.menu);
        TempDir dir;
        MakeHelperPath(dir);
        AddNotifier(dir);
        test::MakeFolders(dir / "folder/sub");
        WriteFile(dir / "folder/a.wav", "RIFF....WAVE a sound");
        WriteFile(dir / "folder/b.wav", "RIFF....WAVE an archived sound");
        ASSERT_EQ(RunProgram({KVN_PATH, "compress", "-q", dir / "folder/b.wav"}).status, 0);
        std::remove((dir / "folder/b.wav").c_str());
        const std::string archive = ReadFile(dir / "folder/b.kvn");
        WriteFile(dir / "folder/sub/c.wav", "RIFF....WAVE more sound");

        // The action's Exec line as the installed menu has it, in an entry GLib can launch.
        Groups groups = ReadGroups(ReadFile(kRes + "/" + action.menu));
        const std::string actions = groups["Desktop Entry"]["Actions"];
        std::string exec = groups["Desktop Action " + actions.substr(0, actions.find(';'))]["Exec"];
        exec.replace(exec.find("@KAVRIN_FILE_ACTION@"), 20, kRes + "/kavrin-file-action");
        WriteFile(dir / "action.desktop",
                  "[Desktop Entry]\nType=Application\nName=Action\nExec=" + exec + "\n");
        // The launched helper holds the launcher's output open until it is done.
        const test::ProgramResult result =
            RunProgram({"/usr/bin/env", "PATH=" + dir / "bin", "/usr/bin/gio", "launch",
                        dir / "action.desktop", dir / "folder"});
        EXPECT_EQ(result.status, 0) << result.err;

        std::vector<std::string> files = test::ListFolder(dir / "folder");
        files.erase(std::find(files.begin(), files.end(), "sub"));
        for (const std::string& name : test::ListFolder(dir / "folder/sub")) {
            files.push_back("sub/" + name);
        }
        EXPECT_EQ(files, action.after);
        EXPECT_EQ(ReadFile(dir / "folder/b.kvn"), archive);
        if (test::Exists(dir / "folder/b.wav")) {
            EXPECT_EQ(ReadFile(dir / "folder/b.wav"), "RIFF....WAVE an archived sound");
        }
        const std::string notified = ReadFile(dir / "notified");
        EXPECT_NE(notified.find("\nKavrin: done\n"), std::string::npos) << notified;
        EXPECT_NE(notified.find(action.totals), std::string::npos) << notified;
    }
}

}  // namespace
}  // namespace kavrin
