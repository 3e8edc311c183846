// vemsim: a simulated recording drive service, its control client and its folder writer.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "service/shared_security.h"
#include "tools/vemsim/control.h"
#include "tools/vemsim/log.h"
#include "tools/vemsim/movies.h"
#include "tools/vemsim/service.h"
#include "tools/vemsim/stop_signal.h"

using namespace zel::vem::sim;

namespace {

const char* const kUsage =
    "usage: vemsim [options]                 serve a simulated recording drive\n"
    "       vemsim ctl [--pipe NAME] COMMAND  send one command to a running vemsim\n"
    "\n"
    "Serves the drive service pipe (default \"zelvemsvc\") with movies made up on the spot\n"
    "or read from an emulator folder, and a control pipe NAME.ctl that adds and removes\n"
    "movies, detaches the drive and injects faults while it runs. On POSIX the pipes live\n"
    "in $ZELVEM_PIPE_DIR (default $XDG_RUNTIME_DIR/zelvem, else /tmp/zelvem-UID). Stops on\n"
    "Ctrl+C, SIGTERM or \"ctl quit\".\n"
    "\n"
    "options:\n"
    "  --movies COUNTxWxHxFRAMES   add COUNT synthetic movies of W x H pixels (repeatable)\n"
    "  --movie WxHxFRAMES[:NAME]   add one synthetic movie, named NAME (default \"sim\")\n"
    "  --folder DIR                serve the .dat/.info pairs of an emulator folder\n"
    "  --write-folder DIR          write all movies to DIR as .dat/.info pairs and exit\n"
    "  --pipe NAME                 serve NAME instead of zelvemsvc\n"
    "  --global                    let every account use the service pipe and read the\n"
    "                              sections (the control pipe stays owner-only)\n"
    "  --detached                  start with the drive detached\n"
    "  --fault FAULT               arm a fault from the start (as \"ctl fault FAULT\")\n"
    "  -v, --verbose               also log every frame load and movie-information request\n"
    "  -h, --help                  show this text\n"
    "\n"
    "Synthetic movies are numbered from 1 (after the highest number of a folder movie) and\n"
    "their pixels and times are documented functions of number, frame and position.\n"
    "\n"
    "control commands (vemsim ctl ...):\n"
    "  ping | list | stats | help | quit\n"
    "  add W H FRAMES [NAME]       add a synthetic movie (raises a change event)\n"
    "  add-unchecked W H FRAMES HEX  the same, named by the bytes HEX, which are not checked\n"
    "  remove INDEX                remove a movie (raises a change event)\n"
    "  detach | attach             take the drive away or bring it back (change event)\n"
    "  event TYPE                  put an event of TYPE on every event queue\n"
    "  fault KIND [ord=N|ord=ver] [count=N] [ms=N]\n"
    "                              misbehave on the next N matching requests; KIND is\n"
    "                              error, garbage, notmap, noresult, delay (ms=), drop,\n"
    "                              exit, shrink\n"
    "  clear                       disarm all faults\n";

int usageError(const std::string& text) {
    std::fprintf(stderr, "vemsim: %s\n(try vemsim --help)\n", text.c_str());
    return 2;
}

// "AxBxC..." into exactly `count` numbers.
bool parseDimensions(const std::string& text, size_t count, std::vector<uint64_t>& values) {
    values.clear();
    size_t start = 0;
    for (;;) {
        const size_t end = text.find('x', start);
        const std::string part = text.substr(start, end - start);
        if (part.empty() || part.size() > 19 ||
            part.find_first_not_of("0123456789") != std::string::npos) {
            return false;
        }
        values.push_back(std::strtoull(part.c_str(), nullptr, 10));
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    return values.size() == count;
}

bool addSynthetic(MovieSet& movies, uint64_t width, uint64_t height, uint64_t frames,
                  const std::string& name) {
    std::string error;
    if (width > 0xFFFFFFFFu || height > 0xFFFFFFFFu) {
        error = "Width and height must be 1 to 65535.";
    } else if (auto movie =
                   makeSyntheticMovie(movies.nextNumber(), name, static_cast<uint32_t>(width),
                                      static_cast<uint32_t>(height), frames, &error)) {
        movies.add(std::move(movie));
        return true;
    }
    std::fprintf(stderr, "vemsim: %s\n", error.c_str());
    return false;
}

int runControlClient(int argc, char** argv) {
    std::string pipe = "zelvemsvc";
    std::string line;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--pipe" && line.empty() && i + 1 < argc) {
            pipe = argv[++i];
            continue;
        }
        line += (line.empty() ? "" : " ") + arg;
    }
    if (line.empty()) {
        return usageError("ctl needs a command");
    }
    std::string answer;
    const bool ok = controlRequest(pipe, line, answer);
    std::printf("%s\n", answer.c_str());
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::string(argv[1]) == "ctl") {
        return runControlClient(argc, argv);
    }

    ServiceOptions options;
    bool detached = false;
    std::string writeFolder;
    std::vector<Fault> startFaults;
    // Movies are made after the options are read, in the order given, so that a folder's
    // numbers are known before synthetic movies draw theirs.
    struct MovieSource {
        std::string kind;  // "movies", "movie" or "folder"
        std::string value;
    };
    std::vector<MovieSource> sources;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) {
                return false;
            }
            out = argv[++i];
            return true;
        };
        std::string text;
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "-v" || arg == "--verbose") {
            setVerbose(true);
        } else if (arg == "--global") {
            options.flags |= zel::vem::GlobalAccess;
        } else if (arg == "--detached") {
            detached = true;
        } else if (arg == "--pipe") {
            if (!value(options.pipeName) || options.pipeName.empty()) {
                return usageError("--pipe needs a name");
            }
        } else if (arg == "--write-folder") {
            if (!value(writeFolder) || writeFolder.empty()) {
                return usageError("--write-folder needs a folder");
            }
        } else if (arg == "--movies" || arg == "--movie" || arg == "--folder") {
            if (!value(text)) {
                return usageError(arg + " needs a value");
            }
            sources.push_back(MovieSource{arg.substr(2), text});
        } else if (arg == "--fault") {
            Fault fault;
            std::string error;
            if (!value(text) || !parseFault(text, fault, &error)) {
                return usageError("--fault: " + (error.empty() ? "needs a value" : error));
            }
            startFaults.push_back(fault);
        } else {
            return usageError("unknown argument " + arg);
        }
    }

    SimService service(options);
    MovieSet& movies = service.movies();
    for (const MovieSource& source : sources) {
        std::vector<uint64_t> n;
        if (source.kind == "folder") {
            for (auto& movie : scanFolder(source.value)) {
                movies.add(std::move(movie));
            }
        } else if (source.kind == "movies") {
            if (!parseDimensions(source.value, 4, n)) {
                return usageError("--movies wants COUNTxWIDTHxHEIGHTxFRAMES");
            }
            for (uint64_t k = 0; k < n[0]; ++k) {
                if (!addSynthetic(movies, n[1], n[2], n[3], "sim")) {
                    return 2;
                }
            }
        } else {
            const size_t colon = source.value.find(':');
            const std::string name =
                colon == std::string::npos ? "sim" : source.value.substr(colon + 1);
            if (!parseDimensions(source.value.substr(0, colon), 3, n)) {
                return usageError("--movie wants WIDTHxHEIGHTxFRAMES[:NAME]");
            }
            if (!addSynthetic(movies, n[0], n[1], n[2], name)) {
                return 2;
            }
        }
    }

    if (!writeFolder.empty()) {
        for (const auto& movie : movies.list()) {
            std::string error;
            if (!writeMovieToFolder(*movie, writeFolder, &error)) {
                std::fprintf(stderr, "vemsim: %s\n", error.c_str());
                return 1;
            }
            logLine("wrote %s (%ux%u, %llu frames) to %s", movie->entryName().c_str(),
                    movie->block().width, movie->block().height,
                    static_cast<unsigned long long>(movie->frameCount()), writeFolder.c_str());
        }
        return 0;
    }

    if (detached) {
        movies.setAttached(false);
    }
    for (const Fault& fault : startFaults) {
        service.faults().arm(fault);
    }
    if (!installStopSignal()) {
        std::fprintf(stderr, "vemsim: cannot install the stop handler\n");
        return 1;
    }
    service.setQuitHandler(raiseStopSignal);
    std::string error;
    if (!service.start(&error)) {
        std::fprintf(stderr, "vemsim: %s\n", error.c_str());
        return 1;
    }
    for (const auto& movie : movies.list()) {
        logLine("movie %s: %ux%u, %llu frames (%s)", movie->entryName().c_str(),
                movie->block().width, movie->block().height,
                static_cast<unsigned long long>(movie->frameCount()), movie->source());
    }
    logLine("serving %s (%zu movies, drive %s)", options.pipeName.c_str(), movies.list().size(),
            movies.attached() ? "attached" : "detached");

    waitForStopSignal();
    logLine("stopping");
    const bool clean = service.stop();
    logLine("stopped");
    if (!clean) {
        // Threads left inside system calls must not meet static destructors.
        std::fflush(nullptr);
        endProcessNow(0);
    }
    return 0;
}
