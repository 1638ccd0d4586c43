// SPDX-License-Identifier: MIT
// kvn: Kavrin's command-line tool, on the same engine and naming rules as the window.
#include <CLI/CLI.hpp>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "cli/Batch.h"
#include "cli/Commands.h"
#include "cli/Console.h"
#include "cli/Display.h"
#include "cli/Help.h"
#include "cli/Interrupt.h"
#include "cli/MountCommand.h"
#include "cli/Translate.h"
#include "engine/Engine.h"
#include "engine/format/ArchiveFormat.h"
#include "jobs/Naming.h"
#include "platform/File.h"
#include "platform/Processors.h"

namespace {

using kavrin::DeltaMode;
using kavrin::cli::Format;
using kavrin::cli::kExitUsage;
using kavrin::cli::Tr;

const std::map<std::string, DeltaMode> kModes = {
    {"auto", DeltaMode::Auto}, {"none", DeltaMode::None}, {"8", DeltaMode::Bits8},
    {"16", DeltaMode::Bits16}, {"24", DeltaMode::Bits24}, {"32", DeltaMode::Bits32},
};

const std::set<std::string> kCommands = {"process", "p",     "compress", "expand", "info",
                                         "test",    "mount", "umount",   "help"};

// The command the user asked for ("" before one is known): its help is the one to try.
std::string g_command;

int UsageError(const std::string& message) {
    const std::string tryHelp =
        g_command.empty() ? std::string(Tr("Try 'kvn --help' for more information."))
                          : Format(Tr("Try 'kvn %s --help' for more information."), {g_command});
    std::fprintf(stderr, "kvn: %s\n%s\n", message.c_str(), tryHelp.c_str());
    return kExitUsage;
}

// How many single-letter edits turn `a` into `b`.
size_t EditDistance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// A word in the place of the command that is none: said, with the command it most likely
// stands for when one is close ("compres", "version").
int UnknownCommand(const std::string& word) {
    const std::string shown = kavrin::cli::Printable(word);
    std::string best;
    size_t bestDistance = 3;
    for (const char* known : {"process", "compress", "expand", "info", "test", "mount", "umount",
                              "help", "--help", "--version"}) {
        const std::string name = known;
        const std::string bare = name.rfind("--", 0) == 0 ? name.substr(2) : name;
        const size_t distance = std::min(EditDistance(word, name), EditDistance(word, bare));
        if (distance < bestDistance && distance < word.size()) {
            best = name;
            bestDistance = distance;
        }
    }
    if (best.empty()) return UsageError(Format(Tr("unknown command '%s'"), {shown}));
    return UsageError(Format(Tr("unknown command '%s' (did you mean '%s'?)"), {shown, best}));
}

// The first of the words a command's parser was not given a place for: an option it does not
// take, or an argument beyond those it takes.
int NotExpected(const std::string& parserMessage) {
    const size_t colon = parserMessage.find(": ");
    std::string word = colon == std::string::npos ? parserMessage : parserMessage.substr(colon + 2);
    // The parser lists them last first.
    word = word.substr(word.rfind(' ') + 1);
    const std::string shown = kavrin::cli::Printable(word);
    if (word.size() > 1 && word[0] == '-') {
        return UsageError(Format(Tr("unknown option '%s'"), {shown}));
    }
    return UsageError(Format(Tr("unexpected argument '%s'"), {shown}));
}

// The parser's complaint in kvn's words. Each names the option by its long name ("--output"),
// as the help lists it.
int ParseFailure(const CLI::ParseError& e) {
    const std::string what = e.what();
    auto between = [&](const std::string& separator) {
        const size_t at = what.find(separator);
        return at == std::string::npos
                   ? std::pair<std::string, std::string>{what, ""}
                   : std::pair<std::string, std::string>{what.substr(0, at),
                                                         what.substr(at + separator.size())};
    };
    if (dynamic_cast<const CLI::ExtrasError*>(&e) != nullptr) return NotExpected(what);
    if (dynamic_cast<const CLI::RequiredError*>(&e) != nullptr) {
        return UsageError(Format(Tr("%s is missing"), {between(" is required").first}));
    }
    if (dynamic_cast<const CLI::ExcludesError*>(&e) != nullptr) {
        const auto [one, other] = between(" excludes ");
        return UsageError(Format(Tr("%s does not go with %s"), {one, other}));
    }
    if (dynamic_cast<const CLI::RequiresError*>(&e) != nullptr) {
        const auto [one, other] = between(" requires ");
        return UsageError(Format(Tr("%s needs %s"), {one, other}));
    }
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&e) != nullptr) {
        return UsageError(Format(Tr("%s needs a value"), {between(":").first}));
    }
    // A validator's message is kvn's own, in the user's language, after the option's name.
    if (dynamic_cast<const CLI::ValidationError*>(&e) != nullptr) {
        const auto [option, message] = between(": ");
        return UsageError(option + " " + message);
    }
    return UsageError(what);
}

// Checks that an option's value is a whole number from `low` to `high`, in kvn's words.
CLI::Validator WholeNumber(uint32_t low, uint32_t high) {
    return CLI::Validator(
        [low, high](std::string& value) -> std::string {
            const bool digits = !value.empty() && value.size() <= 9 &&
                                value.find_first_not_of("0123456789") == std::string::npos;
            const unsigned long number = digits ? std::stoul(value) : 0;
            if (digits && number >= low && number <= high) return "";
            return Format(
                Tr("takes a whole number from %s to %s, not '%s'"),
                {std::to_string(low), std::to_string(high), kavrin::cli::Printable(value)});
        },
        "");
}

// Standard output was closed when kvn started: whatever it should carry would be lost.
bool g_outputClosed = false;

// True (with a message) when standard output was closed, so that `what` has nowhere to go.
bool OutputClosed(const char* what) {
    if (!g_outputClosed) return false;
    std::fprintf(stderr, "kvn: %s\n",
                 Format(Tr("standard output is closed: nowhere to write %s"), {Tr(what)}).c_str());
    return true;
}

int Print(const std::string& text) {
    if (OutputClosed(kavrin::cli::TrNoop("the text"))) return kavrin::cli::kExitFailed;
    std::fputs(text.c_str(), stdout);
    return std::fflush(stdout) == 0 ? 0 : kavrin::cli::kExitFailed;
}

// Help and the version, before any other parsing: kvn -h, kvn -V, kvn help [COMMAND] and
// kvn COMMAND -h (anywhere before "--"). True when one of them was asked for.
bool AnswerHelp(int argc, char** argv, int* status) {
    if (argc < 2) return false;
    const std::string first = argv[1];
    if (first == "-h" || first == "--help") {
        *status = Print(kavrin::cli::OverviewHelp());
        return true;
    }
    if (first == "-V" || first == "--version") {
        *status = Print("kvn " KAVRIN_VERSION "\n");
        return true;
    }
    if (first == "help") {
        if (argc > 3) {
            *status = UsageError(Tr("help takes one command at most"));
        } else if (argc == 2) {
            *status = Print(kavrin::cli::OverviewHelp());
        } else if (std::strcmp(argv[2], "-h") == 0 || std::strcmp(argv[2], "--help") == 0) {
            *status = Print(kavrin::cli::CommandHelp("help"));
        } else if (kavrin::cli::CommandHelp(argv[2]).empty()) {
            *status = UnknownCommand(argv[2]);
        } else {
            *status = Print(kavrin::cli::CommandHelp(argv[2]));
        }
        return true;
    }
    if (kCommands.count(first) == 0) return false;
    for (int i = 2; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) {
            *status = Print(kavrin::cli::CommandHelp(first));
            return true;
        }
    }
    return false;
}

// A name the parser took for a path but that reads as an option (-9, -x): unknown options are
// usage errors. Names after "--" are paths whatever they look like.
std::string UnknownOption(int argc, char** argv, const std::vector<std::string>& names) {
    std::multiset<std::string> afterSeparator;
    bool after = false;
    for (int i = 1; i < argc; ++i) {
        if (after) afterSeparator.insert(argv[i]);
        after = after || std::strcmp(argv[i], "--") == 0;
    }
    for (const std::string& name : names) {
        if (name.size() < 2 || name[0] != '-') continue;
        auto found = afterSeparator.find(name);
        if (found == afterSeparator.end()) return name;
        afterSeparator.erase(found);
    }
    return "";
}

// Reads --files-from's list ("-" is standard input). 0 when it was taken whole; otherwise the
// status, after a message: 1 when it cannot be read, 2 when an entry is no path the system
// could open as it stands (nothing is done then).
int ReadList(const std::string& list, bool nulSeparated, std::vector<std::string>* paths) {
    using kavrin::cli::ListRead;
    FILE* file = list == "-" ? stdin : std::fopen(list.c_str(), "rb");
    uint64_t line = 0;
    const ListRead read = file == nullptr
                              ? ListRead::Unreadable
                              : kavrin::cli::ReadPathList(fileno(file), nulSeparated, paths, &line);
    const int error = errno;
    if (file != nullptr && file != stdin) std::fclose(file);
    const std::string shown = kavrin::cli::Printable(list);
    const std::string where = Format(nulSeparated ? Tr("%s, entry %s") : Tr("%s, line %s"),
                                     {shown, std::to_string(line)});
    switch (read) {
        case ListRead::Ok:
            return 0;
        case ListRead::Unreadable:
            std::fprintf(
                stderr, "kvn: %s\n",
                Format(Tr("can't read the list %s: %s"), {shown, std::strerror(error)}).c_str());
            return kavrin::cli::kExitFailed;
        case ListRead::NulInLine:
            std::fprintf(stderr, "kvn: %s\n",
                         Format(Tr("%s: a NUL byte inside the line, which no path can hold (a "
                                   "list of NUL-separated names, as find -print0 writes, is read "
                                   "with -0); nothing was done"),
                                {where})
                             .c_str());
            return kExitUsage;
        case ListRead::TooLong:
            std::fprintf(stderr, "kvn: %s\n",
                         Format(Tr("%s: a path longer than the system takes (PATH_MAX); nothing "
                                   "was done"),
                                {where})
                             .c_str());
            return kExitUsage;
    }
    return kavrin::cli::kExitFailed;
}

// Parses --shard's "K/N" (1 <= K <= N).
bool ParseShard(const std::string& text, uint32_t* index, uint32_t* count) {
    unsigned long k = 0, n = 0;
    char slash = 0, rest = 0;
    if (std::sscanf(text.c_str(), "%lu%c%lu%c", &k, &slash, &n, &rest) != 3 || slash != '/' ||
        text.find_first_not_of("0123456789/") != std::string::npos || k < 1 || n < 1 || k > n ||
        n > 1000000) {
        return false;
    }
    *index = static_cast<uint32_t>(k);
    *count = static_cast<uint32_t>(n);
    return true;
}

// Every command, option and argument of kvn, and where the parser puts what it reads.
struct CommandLine {
    CLI::App app{"", "kvn"};
    std::vector<std::string> files;
    std::string modeText = "auto";
    kavrin::cli::BatchOptions options;
    bool force = false;
    bool noClobber = false;
    bool quietProgress = false;
    bool json = false;
    uint32_t threads = 0;
    std::string filesFrom;
    bool nulSeparated = false;
    std::string shard;
    std::vector<CLI::Option*> threadOptions;
    kavrin::cli::MountRequest mountRequest;
    std::string umountPoint;
    CLI::App* process = nullptr;
    CLI::App* compress = nullptr;
    CLI::App* expand = nullptr;
    CLI::App* info = nullptr;
    CLI::App* test = nullptr;
    CLI::App* mount = nullptr;
    CLI::App* umount = nullptr;
    bool filter = false;  // no command: standard input to standard output, as tar -I runs it
};

// The options of process, compress and expand: where results go, how existing ones and sources
// are treated, what is reported, which files are taken.
void DefineTransferOptions(CommandLine& line, CLI::App* command) {
    kavrin::cli::BatchOptions& options = line.options;
    CLI::Option* output = command->add_option("-o,--output", options.outputFolder);
    CLI::Option* keepTree = command->add_flag("-r,--keep-tree", options.keepTree)->needs(output);
    command->add_option("--base", options.base)->needs(keepTree);
    command->add_option("-j,--jobs", options.jobs)->check(WholeNumber(1, 1024));
    CLI::Option* forceFlag = command->add_flag("-f,--force", line.force);
    CLI::Option* noClobberFlag =
        command->add_flag("-n,--no-clobber", line.noClobber)->excludes(forceFlag);
    command->add_flag("--replace-any", options.replaceAny)->excludes(noClobberFlag);
    CLI::Option* deleteSourceFlag = command->add_flag("--delete-source", options.deleteSource);
    CLI::Option* verifyFlag = command->add_flag("--verify", options.verify);
    CLI::Option* toStdout = command->add_flag("-c,--stdout", options.toStdout);
    toStdout->excludes(output);
    CLI::Option* json = command->add_flag("--json", options.json)->excludes(toStdout);
    command->add_flag("--json-progress", options.jsonProgress)->needs(json);
    command->add_flag("-q,--quiet", options.quiet);
    // Nothing streamed is ever deleted or read back.
    deleteSourceFlag->excludes(toStdout);
    verifyFlag->excludes(toStdout);
    command->add_flag("--no-progress", line.quietProgress);
    // Given twice, it is refused with a message of kvn's own (RunBatchCommand).
    command->add_option("--files-from", line.filesFrom)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    command->add_flag("-0,--null", line.nulSeparated);
    command->add_option("--shard", line.shard);
    line.threadOptions.push_back(command->add_option("-T,--threads", line.threads)
                                     ->check(WholeNumber(0, kavrin::kMaxEngineThreads)));
    command->add_option("PATH", line.files);
}

void DefineCommands(CommandLine& line) {
    CLI::App& app = line.app;
    app.set_help_flag();  // kvn's own help texts fit 80 columns; AnswerHelp prints them
    app.require_subcommand(1);
    line.options.jobs = kavrin::cli::DefaultJobs();

    auto addModeOption = [&](CLI::App* command) {
        command->add_option("-m,--mode", line.modeText)
            ->check(CLI::Validator(
                [](std::string& value) -> std::string {
                    if (kModes.count(value) > 0) return "";
                    return Format(Tr("takes auto, none, 8, 16, 24 or 32, not '%s'"),
                                  {kavrin::cli::Printable(value)});
                },
                ""));
    };
    line.process = app.add_subcommand("process");
    line.process->alias("p");
    line.compress = app.add_subcommand("compress");
    line.expand = app.add_subcommand("expand");
    for (CLI::App* command : {line.process, line.compress}) {
        addModeOption(command);
        DefineTransferOptions(line, command);
        command->add_option("--type", line.options.typeText);
    }
    DefineTransferOptions(line, line.expand);

    line.info = app.add_subcommand("info");
    line.info->add_flag("--json", line.json);
    line.info->add_option("ARCHIVE", line.files)->required();

    line.test = app.add_subcommand("test");
    line.test->add_flag("--no-progress", line.quietProgress);
    line.test->add_flag("--json", line.json);
    line.threadOptions.push_back(line.test->add_option("-T,--threads", line.threads)
                                     ->check(WholeNumber(0, kavrin::kMaxEngineThreads)));
    line.test->add_option("ARCHIVE", line.files)->required();

    kavrin::cli::MountRequest& request = line.mountRequest;
    line.mount = app.add_subcommand("mount");
    line.mount->add_option("FOLDER", request.folder)->required();
    CLI::Option* mountPoint = line.mount->add_option("MOUNTPOINT", request.mountPoint);
    line.mount->add_flag("-f,--foreground", request.foreground);
    line.mount->add_option("-o", request.options)->allow_extra_args(false);
    line.mount->add_flag("--index", request.indexOnly)->excludes(mountPoint);
    line.mount->add_flag("--no-progress", line.quietProgress);
    line.mount->add_option("-T,--threads", request.threads)
        ->check(WholeNumber(1, kavrin::kMaxEngineThreads));

    line.umount = app.add_subcommand("umount");
    line.umount->add_option("MOUNTPOINT", line.umountPoint)->required();
}

int RunMount(CommandLine& line) {
    kavrin::cli::MountRequest& request = line.mountRequest;
    if (!request.indexOnly && request.mountPoint.empty()) {
        return UsageError(Tr("mount needs FOLDER and MOUNTPOINT (or --index FOLDER)"));
    }
    request.folder = kavrin::platform::MakeAbsolute(request.folder);
    if (!request.mountPoint.empty()) {
        request.mountPoint = kavrin::platform::MakeAbsolute(request.mountPoint);
    }
    request.progress = !line.quietProgress;
    // The mount handles its own stop signals; indexing ahead stops like every other job.
    if (request.indexOnly) kavrin::cli::InstallInterruptHandler();
    return kavrin::cli::RunMountCommand(request);
}

// process, compress or expand: the options checked together, the list read, the batch run.
int RunBatchCommand(CommandLine& line) {
    kavrin::cli::BatchOptions& options = line.options;
    std::vector<std::string>& files = line.files;
    CLI::App* batch = *line.compress ? line.compress : *line.expand ? line.expand : line.process;
    options.command = *line.compress ? kavrin::cli::BatchCommand::Compress
                      : *line.expand ? kavrin::cli::BatchCommand::Expand
                                     : kavrin::cli::BatchCommand::Process;
    options.mode = kModes.at(line.modeText);
    options.overwrite = line.force || options.replaceAny ? kavrin::cli::OverwritePolicy::Force
                        : line.noClobber                 ? kavrin::cli::OverwritePolicy::NoClobber
                                                         : kavrin::cli::OverwritePolicy::Ask;
    options.progress = !line.quietProgress;
    options.threads = line.threads;
    const auto stdinCount = std::count(files.begin(), files.end(), kavrin::cli::kStandardInput);
    if (stdinCount > 1) return UsageError(Tr("- (standard input) may be named once"));
    // Standard input has no name to put a result beside, and its result goes to standard
    // output: whatever -c refuses, it refuses too.
    if (stdinCount == 1) {
        for (const char* option : {"--output", "--json", "--delete-source", "--verify"}) {
            if (batch->count(option) == 0) continue;
            return UsageError(Format(Tr("%s does not go with the input - (standard input), whose "
                                        "result goes to standard output, as with -c"),
                                     {option}));
        }
    }
    if (batch->count("--files-from") > 1) {
        return UsageError(Tr("--files-from is given once: put every path into one list"));
    }
    if (batch->count("--files-from") > 0) {
        if (line.filesFrom == "-" && stdinCount > 0) {
            return UsageError(
                Tr("standard input can hold the list of --files-from or a file, not both"));
        }
        if (const int status = ReadList(line.filesFrom, line.nulSeparated, &files); status != 0) {
            return status;
        }
    } else if (line.nulSeparated) {
        return UsageError(Tr("-0 goes with --files-from"));
    }
    if (files.empty() && batch->count("--files-from") == 0) {
        return UsageError(
            Format(Tr("%s needs at least one PATH (or --files-from)"), {batch->get_name()}));
    }
    if (batch->count("--shard") > 0 &&
        !ParseShard(line.shard, &options.shardIndex, &options.shardCount)) {
        return UsageError(Tr("--shard takes K/N with 1 <= K <= N, as in --shard 2/8"));
    }
    // Standard input has no name to put a result beside: its result goes to standard output.
    if (stdinCount == 1) options.toStdout = true;
    const CLI::Option* typeOption = batch->get_option_no_throw("--type");
    options.hasTypeText = typeOption != nullptr && typeOption->count() > 0;
    if (options.hasTypeText && !options.toStdout) {
        return UsageError(Tr("--type goes with -c or the input -"));
    }
    // A type text that no expansion would take would lock the data in its archive.
    if (options.hasTypeText && (options.typeText.size() > kavrin::kMaxTypeText ||
                                !kavrin::IsSafeTypeText(options.typeText))) {
        return UsageError(Format(Tr("--type %s: no expansion would restore it (a type text holds "
                                    "no '/' and at most 255 bytes)"),
                                 {kavrin::cli::Printable(options.typeText)}));
    }
    // Nothing is done when what it would report (or stream) has nowhere to go.
    if (options.toStdout && OutputClosed(kavrin::cli::TrNoop("results"))) {
        return kavrin::cli::kExitFailed;
    }
    if ((options.json || !options.quiet) && OutputClosed(kavrin::cli::TrNoop("the report"))) {
        return kavrin::cli::kExitFailed;
    }
    if (options.toStdout && isatty(STDOUT_FILENO)) {
        std::fprintf(stderr, "kvn: %s\n",
                     line.filter ? Tr("refusing to write to a terminal: kvn without a command "
                                      "compresses standard input to standard output (kvn -d "
                                      "expands it); redirect standard output, or see 'kvn --help'")
                                 : Tr("refusing to write results to a terminal: redirect standard "
                                      "output, or leave out -c and -"));
        return kavrin::cli::kExitFailed;
    }
    // What a person types is no sound and no archive: the filter waits for none.
    if (line.filter && isatty(STDIN_FILENO)) {
        std::fprintf(stderr, "kvn: %s\n",
                     Tr("refusing to read from a terminal: kvn without a command reads standard "
                        "input; redirect it, or see 'kvn --help'"));
        return kavrin::cli::kExitFailed;
    }
    kavrin::cli::TerminalConsole console;
    return kavrin::cli::RunBatch(files, options, console);
}

}  // namespace

int main(int argc, char** argv) {
    // A closed standard output would hand its number to the first file opened.
    const int closedStandard = kavrin::platform::OpenClosedStandardDescriptors();
    g_outputClosed = (closedStandard & 2) != 0;
    kavrin::cli::SetUpTranslations();
    // As every compressor, kvn is a filter without a command: `tar -I kvn` runs `kvn` to
    // compress standard input to standard output and `kvn -d` to expand it.
    const bool filter = argc == 1 || (argc == 2 && (std::strcmp(argv[1], "-d") == 0 ||
                                                    std::strcmp(argv[1], "--decompress") == 0));
    char filterArgs[3][16] = {"kvn", "compress", "-"};
    char* filterArgv[] = {filterArgs[0], filterArgs[1], filterArgs[2], nullptr};
    if (filter) {
        if (argc == 2) std::strcpy(filterArgs[1], "expand");
        if (argc > 0) filterArgv[0] = argv[0];
        argc = 3;
        argv = filterArgv;
    }
    int answered = 0;
    if (AnswerHelp(argc, argv, &answered)) return answered;

    // The command comes first; a word that is none is said before the parser sees it.
    const std::string first = argv[1];
    if (first == "-d" || first == "--decompress") {
        return UsageError(
            Tr("-d expands standard input to standard output and takes nothing "
               "more: kvn expand PATH expands files"));
    }
    if (first.size() > 1 && first[0] == '-') {
        return UsageError(Format(Tr("unknown option '%s'"), {kavrin::cli::Printable(first)}));
    }
    if (kCommands.count(first) == 0) return UnknownCommand(first);
    g_command = first == "p" ? "process" : first;

    CommandLine line;
    line.filter = filter;
    DefineCommands(line);
    try {
        line.app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return ParseFailure(e);
    }
    std::vector<std::string> named = line.files;
    named.push_back(line.mountRequest.folder);
    named.push_back(line.mountRequest.mountPoint);
    named.push_back(line.umountPoint);
    if (const std::string unknown = UnknownOption(argc, argv, named); !unknown.empty()) {
        return UsageError(
            Format(Tr("unknown option '%s' (a file whose name begins with - goes "
                      "after --, or as ./%s)"),
                   {kavrin::cli::Printable(unknown), kavrin::cli::Printable(unknown)}));
    }
    // A progress line redrawn with control characters is noise where the terminal cannot
    // take them.
    if (const char* term = std::getenv("TERM"); term != nullptr && std::strcmp(term, "dumb") == 0) {
        line.quietProgress = true;
    }
    // -T 0: every core this process may use.
    const bool threadsGiven = std::any_of(line.threadOptions.begin(), line.threadOptions.end(),
                                          [](CLI::Option* option) { return option->count() > 0; });
    if (threadsGiven && line.threads == 0) line.threads = kavrin::platform::UsableProcessors();

    if (*line.mount) return RunMount(line);
    if (*line.umount) {
        return kavrin::cli::RunUmountCommand(kavrin::platform::MakeAbsolute(line.umountPoint));
    }
    kavrin::cli::InstallInterruptHandler();
    if ((*line.info || *line.test) && OutputClosed(kavrin::cli::TrNoop("the verdicts"))) {
        return kavrin::cli::kExitFailed;
    }
    if (*line.info) return kavrin::cli::RunInfo(line.files, line.json);
    if (*line.test) {
        kavrin::SetDefaultEngineThreads(line.threads);
        return kavrin::cli::RunTest(line.files, !line.quietProgress, line.json);
    }
    const int status = RunBatchCommand(line);
    if (status == kavrin::cli::kExitPipeClosed) {
        // Ended by the pipe's reader, as a pipe writer is: by SIGPIPE itself, which the batch
        // ignored until its temporary files were gone.
        std::signal(SIGPIPE, SIG_DFL);
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        sigprocmask(SIG_UNBLOCK, &pipe, nullptr);
        std::raise(SIGPIPE);
    }
    return status;
}
