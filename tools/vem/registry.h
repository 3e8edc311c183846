// The pieces every vem subcommand shares: registration, global options, failures, the drive.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "failure.h"

namespace zel::vem {
class CVemInterface;
class MovieCatalog;
}  // namespace zel::vem

namespace vemcli {

// A command line that cannot mean anything (a malformed number or range): exit 2, like a
// parse error.
struct UsageFailure : Failure {
    using Failure::Failure;
};

// Exit codes, as git and rclone use them.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

struct GlobalOptions {
    bool emulator = false;
};

// Subcommands add themselves here; main parses the line and runs the one that was chosen.
class Registry {
  public:
    Registry(CLI::App& root, GlobalOptions& global) : root_(root), global_(global) {}

    // A new subcommand whose `run` returns the exit code (or throws Failure).
    CLI::App* add(const std::string& name, const std::string& description,
                  std::function<int()> run);
    CLI::App& root() { return root_; }
    const GlobalOptions& global() const { return global_; }

    // The run function of the subcommand the parsed line chose; empty when none was.
    std::function<int()> chosen() const;

  private:
    struct Entry {
        CLI::App* app;
        std::function<int()> run;
    };
    CLI::App& root_;
    GlobalOptions& global_;
    std::vector<Entry> entries_;
};

// Applies the global options to this process (the emulator switch) before the library starts.
void applyGlobalOptions(const GlobalOptions& global);

// Sets the library switch `name` to `value` unless the user set it; before the library starts.
void setDefaultSwitch(const char* name, const char* value);

// The "vem:" file system of this process, started on first use, as a host starts it.
zel::vem::CVemInterface& drive();

// The movies of that file system, as every host of the library sees them.
zel::vem::MovieCatalog& catalog();

// Whether there is something to read: the emulator's folder, or a drive the service reports.
bool haveDrive();
// What a user reads when there is not.
extern const char* const kNoDrive;
// The same, saying which of the two it is: no service (naming the pipe folder tried, since a
// forgotten ZELVEM_PIPE_DIR is the usual reason, or why it is not trusted) or no drive. Asks
// the service on a bounded connection of its own.
std::string noDriveMessage();

}  // namespace vemcli
