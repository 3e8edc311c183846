// vem: parses the command line, runs the chosen subcommand, turns failures into exit codes.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "display_text.h"
#include "output_file_platform.h"
#include "platform.h"
#include "registry.h"

// One registration function per subcommand; the build lists them in vem_commands.inc.
#define VEM_COMMAND(name) void registerCommand_##name(vemcli::Registry&);
#include "vem_commands.inc"
#undef VEM_COMMAND

namespace {

void (*const kRegistrations[])(vemcli::Registry&) = {
#define VEM_COMMAND(name) &registerCommand_##name,
#include "vem_commands.inc"
#undef VEM_COMMAND
};

// Messages quote names from the drive and from the command line: shown escaped, never raw.
int fail(const char* message) {
    std::fprintf(stderr, "vem: %s\n", vemcli::displayText(message).c_str());
    return vemcli::kExitFailure;
}

}  // namespace

int main(int argc, char** argv) {
    // Converted once here: everything after sees UTF-8.
    std::vector<std::string> arguments = vemcli::utf8Arguments(argc, argv);
    std::vector<char*> pointers;
    for (std::string& argument : arguments) {
        pointers.push_back(argument.data());
    }
    pointers.push_back(nullptr);
    argc = static_cast<int>(arguments.size());
    argv = pointers.data();
    // A stop removes the unfinished output files of whichever subcommand runs.
    vemcli::outputplatform::ownStopSignals();

    CLI::App app(
        "The movies of the recording drive, from the command line.\n"
        "PATH names a movie: vem:///12-run_a, /12-run_a or 12-run_a; append :info for "
        "its info stream.",
        "vem");
    app.set_version_flag("--version", std::string("vem ") + ZELVEM_VERSION);
    app.require_subcommand(1);
    // "/12-run_a" is a drive path, not a Windows-style option.
    app.allow_windows_style_options(false);
    vemcli::GlobalOptions global;
    app.add_flag("--emulator", global.emulator,
                 "Serve the emulator folder instead of the drive (sets ZELVEM_ENABLE_EMULATOR)");
    // Lets `vem ls --emulator` work as well as `vem --emulator ls`.
    app.fallthrough();

    vemcli::Registry registry(app, global);
    for (auto registration : kRegistrations) {
        registration(registry);
    }

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::fputs(app.help().c_str(), stdout);
        return vemcli::kExitOk;
    } catch (const CLI::CallForAllHelp&) {
        std::fputs(app.help("", CLI::AppFormatMode::All).c_str(), stdout);
        return vemcli::kExitOk;
    } catch (const CLI::CallForVersion& e) {
        std::printf("%s\n", e.what());
        return vemcli::kExitOk;
    } catch (const CLI::ParseError& e) {
        // CLI11 reads an unknown command word as a stray argument; name it as git would.
        for (int i = 1; i < argc; ++i) {
            if (argv[i][0] != '-') {
                auto known =
                    app.get_subcommands([&](CLI::App* sub) { return sub->check_name(argv[i]); });
                if (known.empty()) {
                    std::fprintf(stderr, "vem: '%s' is not a vem command. See 'vem --help'.\n",
                                 vemcli::displayText(argv[i]).c_str());
                    return vemcli::kExitUsage;
                }
                break;
            }
        }
        std::fprintf(stderr, "vem: %s\nRun 'vem --help' for usage.\n",
                     vemcli::displayText(e.what()).c_str());
        return vemcli::kExitUsage;
    }

    std::function<int()> run = registry.chosen();
    if (!run) {
        std::fputs(app.help().c_str(), stderr);
        return vemcli::kExitUsage;
    }
    try {
        vemcli::applyGlobalOptions(global);
        int code = run();
        if (std::fflush(stdout) != 0) {
            return fail("cannot write to standard output");
        }
        return code;
    } catch (const vemcli::UsageFailure& e) {
        std::fflush(stdout);
        fail(e.what());
        return vemcli::kExitUsage;
    } catch (const vemcli::Failure& e) {
        std::fflush(stdout);
        return fail(e.what());
    } catch (const std::exception& e) {
        std::fflush(stdout);
        return fail(e.what());
    }
}
