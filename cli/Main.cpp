// kvn: Kavrin's command-line tool, on the same engine and naming rules as the window.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "cli/Commands.h"
#include "cli/TerminalObserver.h"
#include "engine/CodecStream.h"

namespace {

using kavrin::DeltaMode;

const std::map<std::string, DeltaMode> kModes = {
    {"auto", DeltaMode::Auto}, {"none", DeltaMode::None}, {"8", DeltaMode::Bits8},
    {"16", DeltaMode::Bits16}, {"24", DeltaMode::Bits24}, {"32", DeltaMode::Bits32},
};

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "kvn compresses sound files and sound banks into .kvn archives without loss, and "
        "restores them byte for byte.",
        "kvn"};
    app.set_version_flag("--version", "kvn " KAVRIN_VERSION);
    app.require_subcommand(1);
    app.footer(
        "Exit status: 0 every file succeeded, 1 a file failed or was skipped, 2 usage error, "
        "130 interrupted (Ctrl-C).");

    std::vector<std::string> files;
    std::string modeText = "auto";
    kavrin::cli::TransferOptions options;
    bool quietProgress = false;
    uint32_t threads = 0;  // 0: one per core
    auto addThreadsOption = [&](CLI::App* command) {
        command->add_option("-T,--threads", threads, "Threads per file (default: one per core)")
            ->check(CLI::Range(1u, kavrin::kMaxEngineThreads))
            ->type_name("N");
    };

    auto addTransferOptions = [&](CLI::App* command) {
        command
            ->add_option("-o,--output", options.outputFolder,
                         "Write results into DIR (created with missing parents) instead of "
                         "beside each source")
            ->type_name("DIR");
        command->add_flag("-f,--force", options.force,
                          "Replace existing results (default: skip them with a message)");
        command->add_flag("--no-progress", quietProgress, "No progress line on stderr");
        addThreadsOption(command);
    };

    CLI::App* compress = app.add_subcommand(
        "compress", "Compress each FILE into FILE's name up to its first dot plus .kvn");
    compress
        ->add_option("-m,--mode", modeText,
                     "Bit-depth optimization: auto (try every filter on the first 128 KiB and "
                     "keep the best), none, or the sample width 8, 16, 24 or 32")
        ->check(CLI::IsMember({"auto", "none", "8", "16", "24", "32"}))
        ->default_str("auto");
    addTransferOptions(compress);
    compress->add_option("FILE", files, "Files to compress")->required();

    CLI::App* expand = app.add_subcommand(
        "expand", "Restore each ARCHIVE under its name up to the first dot plus the stored type");
    addTransferOptions(expand);
    expand->add_option("ARCHIVE", files, "Archives to expand")->required();

    CLI::App* info = app.add_subcommand(
        "info", "Show each archive's type, filter, original size, archive size and ratio");
    info->add_option("ARCHIVE", files, "Archives to inspect")->required();

    CLI::App* test = app.add_subcommand(
        "test", "Decode each archive fully without writing anything and say whether it is sound");
    test->add_flag("--no-progress", quietProgress, "No progress line on stderr");
    addThreadsOption(test);
    test->add_option("ARCHIVE", files, "Archives to test")->required();

    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kavrin::cli::kExitUsage;
    }

    kavrin::SetDefaultEngineThreads(threads);
    options.mode = kModes.at(modeText);
    options.progress = !quietProgress;
    kavrin::cli::InstallInterruptHandler();
    if (*compress) return kavrin::cli::RunCompress(files, options);
    if (*expand) return kavrin::cli::RunExpand(files, options);
    if (*info) return kavrin::cli::RunInfo(files);
    return kavrin::cli::RunTest(files, options.progress);
}
