// kvn: Kavrin's command-line tool, on the same engine and naming rules as the window.
#include <CLI/CLI.hpp>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "cli/Batch.h"
#include "cli/Commands.h"
#include "cli/Console.h"
#include "cli/Interrupt.h"
#include "cli/MountCommand.h"
#include "engine/CodecStream.h"
#include "platform/File.h"

namespace {

using kavrin::DeltaMode;

const std::map<std::string, DeltaMode> kModes = {
    {"auto", DeltaMode::Auto}, {"none", DeltaMode::None}, {"8", DeltaMode::Bits8},
    {"16", DeltaMode::Bits16}, {"24", DeltaMode::Bits24}, {"32", DeltaMode::Bits32},
};

constexpr const char* kFooter =
    "Exit status: 0 every file done (or skipped with -n or the answer No), 1 a file failed or "
    "was refused, 2 usage error, 130 interrupted (Ctrl-C).\n"
    "Example: kvn process -j 4 -r -o packed --verify samples/";

}  // namespace

int main(int argc, char** argv) {
    // A closed standard output would hand its number to the first file opened.
    const int closedStandard = kavrin::platform::OpenClosedStandardDescriptors();
    CLI::App app{
        "kvn compresses sound files and sound banks into .kvn archives without loss, and "
        "restores them byte for byte.",
        "kvn"};
    app.set_version_flag("--version", "kvn " KAVRIN_VERSION);
    app.require_subcommand(1);
    app.footer(kFooter);

    std::vector<std::string> files;
    std::string modeText = "auto";
    kavrin::cli::BatchOptions options;
    options.jobs = kavrin::cli::DefaultJobs();
    bool force = false;
    bool noClobber = false;
    bool quietProgress = false;
    uint32_t threads = 0;  // 0: one per core
    CLI::Option* deleteSourceFlag = nullptr;
    CLI::Option* verifyFlag = nullptr;
    auto addThreadsOption = [&](CLI::App* command) {
        command
            ->add_option("-T,--threads", threads,
                         "Threads per file (default: the cores shared among the files running "
                         "at once)")
            ->check(CLI::Range(1u, kavrin::kMaxEngineThreads))
            ->type_name("N");
    };

    auto addModeOption = [&](CLI::App* command) {
        command
            ->add_option("-m,--mode", modeText,
                         "Bit-depth optimization: auto (try every filter on the first 128 KiB and "
                         "keep the best), none, or the sample width 8, 16, 24 or 32")
            ->check(CLI::IsMember({"auto", "none", "8", "16", "24", "32"}))
            ->default_str("auto");
    };
    auto addTransferOptions = [&](CLI::App* command) {
        CLI::Option* output =
            command
                ->add_option("-o,--output", options.outputFolder,
                             "Write results into DIR (created with missing parents) instead of "
                             "beside each source")
                ->type_name("DIR");
        command
            ->add_flag("-r,--keep-tree", options.keepTree,
                       "With -o: keep each result at its path below the named folder")
            ->needs(output);
        command
            ->add_option("-j,--jobs", options.jobs,
                         "Process N files at once, each on its own engine (default: the number "
                         "of cores)")
            ->type_name("N")
            ->check(CLI::Range(1u, 1024u));
        CLI::Option* forceFlag =
            command->add_flag("-f,--force", force, "Replace existing results without asking");
        CLI::Option* noClobberFlag =
            command
                ->add_flag("-n,--no-clobber", noClobber,
                           "Skip files whose result exists (no error); without -f or -n, kvn asks "
                           "on a terminal and refuses elsewhere")
                ->excludes(forceFlag);
        command
            ->add_flag("--replace-any", options.replaceAny,
                       "Like -f, and also replace an existing archive that holds another file "
                       "(Kick.kvn of Kick.aiff when Kick.wav is compressed), which -f refuses")
            ->excludes(noClobberFlag);
        deleteSourceFlag = command->add_flag(
            "--delete-source", options.deleteSource,
            "Delete each source once its result is complete, synced to disk and (with --verify) "
            "verified, and only while it is still the unchanged file that was read");
        verifyFlag = command->add_flag("--verify", options.verify,
                                       "Decode each new archive and compare it with its source; a "
                                       "mismatch fails the file and deletes the archive");
        CLI::Option* toStdout = command->add_flag(
            "-c,--stdout", options.toStdout,
            "Write each result to standard output instead of a file, one file after another "
            "(no report, no temporary file, nothing deleted); refused when standard output is a "
            "terminal. The input - (standard input, a redirected file) implies it");
        toStdout->excludes(output);
        CLI::Option* json = command->add_flag(
            "--json", options.json,
            "Print one JSON object per file and one for the totals instead of the table");
        json->excludes(toStdout);
        command->add_flag("-q,--quiet", options.quiet, "Print only error messages");
        // Nothing streamed is ever deleted or read back.
        deleteSourceFlag->excludes(toStdout);
        verifyFlag->excludes(toStdout);
        command->add_flag("--no-progress", quietProgress, "No progress line on stderr");
        addThreadsOption(command);
    };

    auto addTypeOption = [&](CLI::App* command) {
        command
            ->add_option("--type", options.typeText,
                         "With -c: the type text a compression stores (what the restored name "
                         "gets after its last dot), for a source without a name: standard input")
            ->type_name("TEXT");
    };

    CLI::App* process = app.add_subcommand(
        "process",
        "Expand each archive (a name ending in .kvn in any letter case that starts with the "
        "archive magic; one without the magic is refused as a bad format, not compressed) and "
        "compress every other file, as the window does; folders are walked");
    process->alias("p");
    addModeOption(process);
    addTransferOptions(process);
    addTypeOption(process);
    process->add_option("PATH", files, "Files and folders; - is standard input")->required();

    CLI::App* compress = app.add_subcommand(
        "compress", "Compress each file into its name up to the last dot plus .kvn");
    addModeOption(compress);
    addTransferOptions(compress);
    addTypeOption(compress);
    compress->add_option("PATH", files, "Files and folders to compress; - is standard input")
        ->required();

    CLI::App* expand = app.add_subcommand(
        "expand", "Restore each archive under its name without .kvn plus the stored type");
    addTransferOptions(expand);
    expand->add_option("PATH", files, "Archives and folders of archives; - is standard input")
        ->required();

    CLI::App* info = app.add_subcommand(
        "info", "Show each archive's type, filter, original size, archive size and ratio");
    info->add_option("ARCHIVE", files, "Archives to inspect")->required();

    CLI::App* test = app.add_subcommand(
        "test", "Decode each archive fully without writing anything and say whether it is sound");
    test->add_flag("--no-progress", quietProgress, "No progress line on stderr");
    addThreadsOption(test);
    test->add_option("ARCHIVE", files, "Archives to test")->required();

    kavrin::cli::MountRequest mountRequest;
    CLI::App* mount = app.add_subcommand(
        "mount",
        "Show FOLDER at MOUNTPOINT as a read-only file system in which every archive appears as "
        "the file it restores, read on demand. Example: kvn mount ~/Samples ~/Samples-view");
    mount->footer(
        "Reads decode only the blocks they touch, through an index built on an archive's first "
        "open and kept in $XDG_CACHE_HOME/kavrin (or ~/.cache/kavrin). An archive that fails its "
        "checks, a damaged block and an archive changed while open give EIO; writes give EROFS. "
        "Unmount with `kvn umount MOUNTPOINT`, fusermount3 -u or SIGTERM.");
    mount->add_option("FOLDER", mountRequest.folder, "The folder to show")->required();
    CLI::Option* mountPoint =
        mount->add_option("MOUNTPOINT", mountRequest.mountPoint, "An empty folder to show it in");
    mount->add_flag("-f,--foreground", mountRequest.foreground,
                    "Stay in the foreground (messages on stderr) instead of running in the "
                    "background (messages in the system log)");
    mount
        ->add_option("-o", mountRequest.options,
                     "Options, comma-separated: cache=SIZE bounds the decoded blocks kept in "
                     "memory (default 64M; K, M, G); others go to FUSE (allow_other, ...)")
        ->type_name("OPTIONS")
        ->allow_extra_args(false);
    mount
        ->add_flag("--index", mountRequest.indexOnly,
                   "Only build the missing indexes of FOLDER's large archives, with a progress "
                   "line; mount nothing")
        ->excludes(mountPoint);
    mount->add_flag("--no-progress", quietProgress, "No progress line on stderr (--index)");
    mount
        ->add_option("-T,--threads", mountRequest.threads,
                     "Threads to decode and index with (default: the cores)")
        ->check(CLI::Range(1u, kavrin::kMaxEngineThreads))
        ->type_name("N");

    std::string umountPoint;
    CLI::App* umount = app.add_subcommand("umount", "Unmount a folder mounted with kvn mount");
    umount->add_option("MOUNTPOINT", umountPoint, "Where it is mounted")->required();

    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kavrin::cli::kExitUsage;
    }

    if (*mount) {
        if (!mountRequest.indexOnly && mountRequest.mountPoint.empty()) {
            std::fprintf(stderr, "kvn: mount needs FOLDER and MOUNTPOINT (or --index FOLDER)\n");
            return kavrin::cli::kExitUsage;
        }
        mountRequest.folder = kavrin::platform::MakeAbsolute(mountRequest.folder);
        if (!mountRequest.mountPoint.empty()) {
            mountRequest.mountPoint = kavrin::platform::MakeAbsolute(mountRequest.mountPoint);
        }
        mountRequest.progress = !quietProgress;
        // The mount handles its own stop signals; indexing ahead stops like every other job.
        if (mountRequest.indexOnly) kavrin::cli::InstallInterruptHandler();
        return kavrin::cli::RunMountCommand(mountRequest);
    }
    if (*umount) {
        return kavrin::cli::RunUmountCommand(kavrin::platform::MakeAbsolute(umountPoint));
    }

    kavrin::cli::InstallInterruptHandler();
    if (*info) return kavrin::cli::RunInfo(files);
    if (*test) {
        kavrin::SetDefaultEngineThreads(threads);
        return kavrin::cli::RunTest(files, !quietProgress);
    }

    options.command = *compress ? kavrin::cli::BatchCommand::Compress
                      : *expand ? kavrin::cli::BatchCommand::Expand
                                : kavrin::cli::BatchCommand::Process;
    options.mode = kModes.at(modeText);
    options.overwrite = force || options.replaceAny ? kavrin::cli::OverwritePolicy::Force
                        : noClobber                 ? kavrin::cli::OverwritePolicy::NoClobber
                                                    : kavrin::cli::OverwritePolicy::Ask;
    options.progress = !quietProgress;
    options.threads = threads;
    // Standard input has no name to put a result beside: its result goes to standard output.
    if (std::find(files.begin(), files.end(), kavrin::cli::kStandardInput) != files.end()) {
        options.toStdout = true;
    }
    options.hasTypeText =
        (*compress && compress->count("--type") > 0) || (*process && process->count("--type") > 0);
    if (options.hasTypeText && !options.toStdout) {
        std::fprintf(stderr, "kvn: --type goes with -c or the input -\n");
        return kavrin::cli::kExitUsage;
    }
    if (options.toStdout && (closedStandard & 2) != 0) {
        std::fprintf(stderr, "kvn: standard output is closed: nowhere to write results\n");
        return kavrin::cli::kExitFailed;
    }
    if (options.toStdout && isatty(STDOUT_FILENO)) {
        std::fprintf(stderr,
                     "kvn: refusing to write results to a terminal: redirect standard output, or "
                     "leave out -c and -\n");
        return kavrin::cli::kExitFailed;
    }
    kavrin::cli::TerminalConsole console;
    return kavrin::cli::RunBatch(files, options, console);
}
