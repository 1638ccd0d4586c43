// The files the package gives the desktop, checked with the desktop's own tools: the entry
// (installed, and as a program outside the package writes it), the MIME package, the file
// manager's service menus and the helper they run.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <set>
#include <sstream>

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

TEST(DesktopFilesTest, TheMimePackageNamesItsIconsAndTheEntryOnlyKnownTypes) {
    if (!Have("/usr/bin/update-mime-database")) return;
    TempDir dir;
    test::MakeFolders(dir / "mime/packages");
    WriteFile(dir / "mime/packages/kavrin.xml", ReadFile(kRes + "/kavrin-mime.xml"));
    const test::ProgramResult result = RunProgram({"/usr/bin/env", "XDG_DATA_HOME=" + dir.path(),
                                                   "/usr/bin/update-mime-database", dir / "mime"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(ReadFile(dir / "mime/icons"), "application/x-kavrin:application-x-kavrin\n");
    EXPECT_EQ(ReadFile(dir / "mime/generic-icons"),
              "application/x-kavrin:package-x-generic\naudio/x-soundfont:audio-x-generic\n");
    EXPECT_NE(ReadFile(dir / "mime/globs2").find("50:application/x-kavrin:*.kvn"),
              std::string::npos);

    // Every type the entry offers Kavrin for is Kavrin's own, or one the shared database
    // knows (by its name or an alias): a misspelt type would silently offer nothing.
    std::set<std::string> known;
    for (const std::string& list : {dir / "mime/types", std::string("/usr/share/mime/types"),
                                    std::string("/usr/share/mime/aliases")}) {
        std::istringstream names(ReadFile(list));
        for (std::string name; names >> name;) known.insert(name);
    }
    Groups entry = ReadGroups(ReadFile(kRes + "/kavrin.desktop"));
    std::istringstream types(entry["Desktop Entry"]["MimeType"]);
    int count = 0;
    for (std::string type; std::getline(types, type, ';'); ++count) {
        EXPECT_EQ(known.count(type), 1u) << type;
    }
    EXPECT_GE(count, 6);
}

TEST(DesktopFilesTest, TheServiceMenusRunTheHelperOnTheSelection) {
    struct Menu {
        const char* file;
        const char* types;
        const char* exclude;  // "" for none
        const char* action;
    };
    for (const Menu& menu :
         {Menu{"kavrin-compress.desktop.in", "all/allfiles;inode/directory;",
               "application/x-kavrin", "Compress with Kavrin"},
          Menu{"kavrin-expand.desktop.in", "application/x-kavrin;", "", "Expand here"}}) {
        SCOPED_TRACE(menu.file);
        Groups groups = ReadGroups(ReadFile(kRes + "/" + menu.file));
        auto& entry = groups["Desktop Entry"];
        EXPECT_EQ(entry["Type"], "Service");
        EXPECT_EQ(entry["MimeType"], menu.types);
        EXPECT_EQ(entry["ExcludeServiceTypes"], menu.exclude);
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
        EXPECT_EQ(action["Exec"], "@KAVRIN_FILE_ACTION@ %F");
        EXPECT_EQ(groups.size(), 2u);
    }
}

TEST(DesktopFilesTest, TheHelperProcessesTheSelectionAndTellsHowItWent) {
    TempDir dir;
    // A PATH of its own: kvn, the few tools the helper uses, and a notifier that notes what it
    // was asked to show.
    test::MakeFolders(dir / "bin");
    ASSERT_EQ(symlink(KVN_PATH, (dir / "bin/kvn").c_str()), 0);
    for (const char* tool : {"grep", "head", "sed", "tail"}) {
        for (const char* folder : {"/usr/bin/", "/bin/"}) {
            if (symlink((std::string(folder) + tool).c_str(), (dir / "bin/" + tool).c_str()) == 0 &&
                access((dir / "bin/" + tool).c_str(), X_OK) == 0) {
                break;
            }
            unlink((dir / "bin/" + tool).c_str());
        }
    }
    test::MakeFolders(dir / "work/sub");
    WriteFile(dir / "work/a.wav", "RIFF....WAVE some sound");
    WriteFile(dir / "work/b.wav", "another sound");
    WriteFile(dir / "work/b.kvn", "an earlier result");  // refused: nobody to ask
    WriteFile(dir / "work/sub/c.raw", "more");
    const std::string helper = kRes + "/kavrin-file-action";
    auto run = [&] {
        return RunProgram({"/usr/bin/env", "PATH=" + dir / "bin", helper, dir / "work/a.wav",
                           dir / "work/b.wav", dir / "work/sub"});
    };

    // Without any notifier nor terminal: the report on standard output.
    test::ProgramResult result = run();
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.out.find("3 files: 2 done, 1 failed"), std::string::npos) << result.out;
    EXPECT_TRUE(test::Exists(dir / "work/a.kvn"));
    EXPECT_TRUE(test::Exists(dir / "work/sub/c.kvn"));
    EXPECT_EQ(ReadFile(dir / "work/b.kvn"), "an earlier result");

    // With a notifier: one notification, urgent since a file failed, with kvn's message and
    // its totals.
    WriteFile(dir / "bin/notify-send",
              "#!/bin/sh\nfor a; do printf '%s\\n' \"$a\"; done > \"" + dir / "notified" + "\"\n");
    ASSERT_EQ(chmod((dir / "bin/notify-send").c_str(), 0755), 0);
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
    EXPECT_NE(notified.find("\n3 files: 2 done, 1 failed"), std::string::npos) << notified;
}

}  // namespace
}  // namespace kavrin
