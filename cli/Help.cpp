// SPDX-License-Identifier: MIT
#include "cli/Help.h"

#include "cli/Translate.h"

namespace kavrin::cli {
namespace {

constexpr const char* kExitStatuses = TrNoop(
    "Exit status: 0 every file done (or skipped with -n), 1 a file failed or was\n"
    "refused, 2 usage error, 75 every failure was the machine's (a read or write\n"
    "error, a full disk, too little memory: try again later), 130 interrupted\n"
    "(143 SIGTERM, 129 SIGHUP).\n");

constexpr const char* kTransferOptions = TrNoop(
    "  -o, --output DIR       write results into DIR (created with its parents)\n"
    "                         instead of beside each source\n"
    "  -r, --keep-tree        with -o: keep each walked file's folder below the\n"
    "                         folder named, and each file named one by one below\n"
    "                         the base folder\n"
    "      --base DIR         with -r: keep every file's folder below DIR\n"
    "                         (default: the working folder for named files)\n"
    "  -f, --force            replace existing results without asking, but for an\n"
    "                         archive that holds another file\n"
    "      --replace-any      like -f, archives of other files included\n"
    "  -n, --no-clobber       skip files whose result exists (no error); without\n"
    "                         -f or -n kvn asks on a terminal and refuses elsewhere\n"
    "      --delete-source    delete each source once its result is complete, on\n"
    "                         disk and (with --verify) verified\n"
    "      --verify           decode each new archive and compare it with its\n"
    "                         source; a mismatch fails the file\n"
    "  -c, --stdout           write results to standard output, one after another\n"
    "                         (not to a terminal; no report, nothing deleted)\n"
    "  -j, --jobs N           process N files at once (default: the usable cores)\n"
    "  -T, --threads N        threads per file (default: the usable cores shared\n"
    "                         among the files running at once; 0: all of them)\n"
    "      --files-from FILE  also take the paths listed in FILE, one per line\n"
    "                         (- reads the list from standard input)\n"
    "  -0, --null             the list's paths end in NUL bytes, not newlines\n"
    "      --shard K/N        take only share K of N of the files (by path), so\n"
    "                         that N machines given one list process each file once\n"
    "      --json             one JSON object per file and one for the totals\n"
    "      --json-progress    with --json, also progress objects (the bytes read\n"
    "                         of all files) at the start and about twice a second\n"
    "  -q, --quiet            print only error messages (and --json's objects)\n"
    "      --no-progress      no progress line on standard error\n"
    "  -h, --help             show this help\n");

constexpr const char* kModeOption = TrNoop(
    "  -m, --mode MODE        bit-depth optimization: auto (the default: try every\n"
    "                         filter on the first 128 KiB), none, 8, 16, 24 or 32\n"
    "      --type TEXT        with - or -c: the type text a compression stores\n"
    "                         (what the restored name gets after a dot)\n");

std::string BatchHelp(const char* usage, const char* what, bool compresses) {
    std::string text = Tr(usage);
    text += Tr(what);
    text += "\n";
    text += Tr("Options:\n");
    if (compresses) text += Tr(kModeOption);
    text += Tr(kTransferOptions);
    text += "\n";
    text += Tr(kExitStatuses);
    return text;
}

}  // namespace

std::string OverviewHelp() {
    return std::string(
               Tr("Usage: kvn COMMAND [OPTION]... [PATH]...\n"
                  "Compress sound files and sound banks into .kvn archives without loss, and\n"
                  "restore them byte for byte.\n"
                  "\n"
                  "Commands:\n"
                  "  process, p   expand every archive and compress every other file\n"
                  "  compress     compress each file into its name up to the last dot + .kvn\n"
                  "  expand       restore each archive under its name without .kvn\n"
                  "  info         show each archive's type, filter, sizes and ratio\n"
                  "  test         decode each archive fully and say whether it is sound\n"
                  "  mount        show a folder with every archive as the file it restores\n"
                  "  umount       unmount a folder mounted with kvn mount\n"
                  "  help         show the help of a command: kvn help COMMAND\n"
                  "\n"
                  "Options:\n"
                  "  -h, --help     show this help; kvn COMMAND --help shows a command's\n"
                  "  -V, --version  show the version\n"
                  "\n")) +
           Tr("Without a command, kvn compresses standard input to standard output, and\n"
              "kvn -d expands it: tar -I kvn -cf folder.tar.kvn folder works.\n"
              "\n") +
           Tr(kExitStatuses) +
           Tr("Example: kvn compress -j 4 -r -o packed --verify samples/\n"
              "See kvn(1) for everything else.\n");
}

std::string CommandHelp(const std::string& command) {
    if (command == "process" || command == "p") {
        return BatchHelp(
            TrNoop("Usage: kvn process [OPTION]... PATH...\n"),
            TrNoop("Expand every archive (a name ending in .kvn, in any letter case, that starts\n"
                   "with the archive magic; one without the magic is refused) and compress every\n"
                   "other file, as the window does. Folders are walked. - is standard input (a\n"
                   "file or a pipe), written to standard output.\n"),
            true);
    }
    if (command == "compress") {
        return BatchHelp(
            TrNoop("Usage: kvn compress [OPTION]... PATH...\n"),
            TrNoop("Compress each file into its name up to the last dot plus .kvn, storing the\n"
                   "text after that dot (Piano.C4.wav gives Piano.C4.kvn). Walked folders give\n"
                   "every file but their archives. - is standard input (a file or a pipe),\n"
                   "written to standard output: cat a.wav | kvn compress --type wav - > a.kvn\n"),
            true);
    }
    if (command == "expand") {
        return BatchHelp(
            TrNoop("Usage: kvn expand [OPTION]... PATH...\n"),
            TrNoop("Restore each archive under its name without .kvn, plus a dot and its stored\n"
                   "type text. Walked folders give only their archives (names ending in .kvn).\n"
                   "- is standard input (a file or a pipe), written to standard output.\n"),
            false);
    }
    if (command == "info") {
        return std::string(
                   Tr("Usage: kvn info [OPTION]... ARCHIVE...\n"
                      "Show each archive's stored type, filter, original size, archive size and\n"
                      "ratio, from its header alone.\n"
                      "\n"
                      "Options:\n"
                      "      --json   one JSON object per archive\n"
                      "  -h, --help   show this help\n"
                      "\n")) +
               Tr(kExitStatuses);
    }
    if (command == "test") {
        return std::string(Tr(
                   "Usage: kvn test [OPTION]... ARCHIVE...\n"
                   "Decode each archive fully, writing nothing, and print OK or FAILED with the\n"
                   "reason: every block and stream checksum, the stored type text and the\n"
                   "restored size against the header's.\n"
                   "\n"
                   "Options:\n"
                   "  -T, --threads N   threads to decode with (default: the usable cores)\n"
                   "      --json        one JSON object per archive\n"
                   "      --no-progress no progress line on standard error\n"
                   "  -h, --help        show this help\n"
                   "\n")) +
               Tr(kExitStatuses);
    }
    if (command == "mount") {
        return Tr(
            "Usage: kvn mount [OPTION]... FOLDER MOUNTPOINT\n"
            "   or: kvn mount --index [--no-progress] FOLDER\n"
            "Show FOLDER at MOUNTPOINT as a read-only file system in which every archive\n"
            "appears as the file it restores, read on demand; other entries appear as\n"
            "they are. Example: kvn mount ~/Samples ~/Samples-view\n"
            "\n"
            "Options:\n"
            "  -f, --foreground  stay in the foreground, messages on standard error\n"
            "                    (else in the background, messages in the system log)\n"
            "  -o OPTIONS        comma-separated: cache=SIZE bounds the decoded blocks\n"
            "                    kept in memory (default 64M; K, M, G); others go to\n"
            "                    FUSE (allow_other, ...)\n"
            "  -T, --threads N   threads to decode and index with (default: the usable\n"
            "                    cores)\n"
            "      --index       only build the missing indexes of FOLDER's large\n"
            "                    archives, with a progress line; mount nothing\n"
            "      --no-progress no progress line (--index)\n"
            "  -h, --help        show this help\n"
            "\n"
            "Indexes are kept in $XDG_CACHE_HOME/kavrin (or ~/.cache/kavrin). An archive\n"
            "that fails its checks, a damaged block and an archive changed while open\n"
            "give EIO; writes give EROFS. Unmount with kvn umount MOUNTPOINT.\n");
    }
    if (command == "umount") {
        return Tr(
            "Usage: kvn umount MOUNTPOINT\n"
            "Unmount a folder mounted with kvn mount.\n");
    }
    if (command == "help") {
        return Tr(
            "Usage: kvn help [COMMAND]\n"
            "Show the help of COMMAND, or the overview.\n");
    }
    return "";
}

}  // namespace kavrin::cli
