// vem get: movies copied off the drive into a folder, whole or resumably, verified when asked.
#include <cstdio>
#include <nlohmann/json.hpp>
#include <set>

#include "display_text.h"
#include "entry_format.h"
#include "get/copy_movie.h"
#include "get/copy_movies.h"
#include "movie.h"
#include "movies/movie_catalog.h"
#include "output_file_platform.h"
#include "platform.h"
#include "progress.h"
#include "registry.h"

namespace {

using vemcli::get::MovieOutcome;
using vemcli::get::MoviePlan;
using zel::vem::MovieDescription;

struct Options {
    std::vector<std::string> args;  // PATH... DEST
    bool all = false;
    std::string filter;
    std::string format = "raw";
    bool skipExisting = false;
    bool overwrite = false;
    bool verify = false;
    bool dryRun = false;
    bool json = false;
    bool quiet = false;
};

// The movies the command line names, in its order (the drive's for --all), each once; names
// that match nothing are failures of their own.
std::vector<MovieDescription> selectMovies(const Options& o, const std::vector<std::string>& paths,
                                           std::vector<MovieOutcome>& failures) {
    zel::vem::MovieCatalog& catalog = vemcli::catalog();
    std::vector<MovieDescription> matching = catalog.list(o.filter);
    if (o.all) {
        return matching;
    }
    std::set<std::string> filtered;
    for (const MovieDescription& movie : matching) {
        filtered.insert(movie.entryName);
    }
    std::vector<MovieDescription> chosen;
    std::set<std::string> seen;
    for (const std::string& text : paths) {
        const vemcli::DrivePath path = vemcli::resolveForReading(vemcli::parseDrivePath(text));
        if (path.isRoot() || path.info) {
            throw vemcli::UsageFailure(text + ": name a movie (its info stream comes with it)");
        }
        std::optional<MovieDescription> movie = catalog.find(path.name);
        if (!movie) {
            MovieOutcome failed;
            failed.name = text;
            failed.status = "failed";
            failed.error = "no such movie" + vemcli::didYouMean(path);
            failures.push_back(failed);
        } else if (filtered.count(movie->entryName) != 0 && seen.insert(movie->entryName).second) {
            chosen.push_back(*movie);
        }
    }
    return chosen;
}

void printJson(const nlohmann::json& value) {
    std::printf("%s\n", value.dump().c_str());
    std::fflush(stdout);
}

nlohmann::json outcomeJson(const MovieOutcome& outcome) {
    nlohmann::json value = {
        {"name", outcome.name},
        {"bytes", outcome.bytes},
        {"seconds", outcome.seconds},
        {"status", outcome.status},
        {"hash", outcome.hash.empty() ? nlohmann::json()
                                      : nlohmann::json(vemcli::get::labelledHash(outcome))}};
    if (!outcome.error.empty()) {
        value["error"] = outcome.error;
    }
    return value;
}

void reportFailure(const MovieOutcome& outcome, bool json) {
    std::fprintf(stderr, "vem: %s: %s\n", vemcli::displayText(outcome.name).c_str(),
                 vemcli::displayText(outcome.error).c_str());
    if (json) {
        printJson(outcomeJson(outcome));
    }
}

int dryRun(const Options& o, const std::string& dest, const std::vector<MoviePlan>& plans,
           uint64_t toWrite, uint64_t available) {
    for (const MoviePlan& plan : plans) {
        const uint64_t left = plan.bytesToWrite();
        const char* action =
            left == 0 ? "skip"
            : left < plan.bytes() && std::any_of(plan.files.begin(), plan.files.end(),
                                                 [](auto& f) { return f.resumeFrom > 0; })
                ? "resume"
                : "copy";
        if (o.json) {
            printJson({{"name", plan.movie.entryName},
                       {"bytes", plan.bytes()},
                       {"to_write", left},
                       {"status", std::string("would ") + action}});
        } else {
            std::printf("%-6s  %s  %s\n", action, vemcli::displayText(plan.movie.entryName).c_str(),
                        vemcli::humanSize(left).c_str());
        }
    }
    const bool room = toWrite <= available;
    if (o.json) {
        printJson({{"dest", dest}, {"to_write", toWrite}, {"free", available}, {"room", room}});
    } else {
        std::printf("%zu movies, %s to write; %s has %s free\n", plans.size(),
                    vemcli::humanSize(toWrite).c_str(), vemcli::displayText(dest).c_str(),
                    vemcli::humanSize(available).c_str());
    }
    if (!room) {
        std::fflush(stdout);
        std::fprintf(stderr, "vem: %s has %s free, %s are needed\n",
                     vemcli::displayText(dest).c_str(), vemcli::humanSize(available).c_str(),
                     vemcli::humanSize(toWrite).c_str());
        return vemcli::kExitFailure;
    }
    return vemcli::kExitOk;
}

int runGet(const Options& o) {
    if (o.args.empty()) {
        throw vemcli::UsageFailure("name the folder to copy into (DEST)");
    }
    const std::string dest = o.args.back();
    const std::vector<std::string> paths(o.args.begin(), o.args.end() - 1);
    if (o.all == !paths.empty()) {
        throw vemcli::UsageFailure(o.all ? "give PATHs or --all, not both"
                                         : "name the movies to copy, or --all");
    }
    vemcli::get::CopyOptions options;
    options.format = o.format == "ome-tiff"   ? vemcli::get::Format::OmeTiff
                     : o.format == "emulator" ? vemcli::get::Format::Emulator
                                              : vemcli::get::Format::Raw;
    options.existing = o.overwrite      ? vemcli::get::Existing::Overwrite
                       : o.skipExisting ? vemcli::get::Existing::Skip
                                        : vemcli::get::Existing::SkipMatching;
    options.verify = o.verify;

    vemcli::requireDrive();
    std::vector<MovieOutcome> failed;
    const std::vector<MovieDescription> movies = selectMovies(o, paths, failed);
    vemcli::get::prepareFolder(dest, !o.dryRun);

    zel::vem::MovieCatalog& catalog = vemcli::catalog();
    vemcli::get::Plans planned = vemcli::get::planMovies(catalog, movies, dest, options);
    failed.insert(failed.end(), planned.failed.begin(), planned.failed.end());
    for (const MovieOutcome& outcome : failed) {
        reportFailure(outcome, o.json);
    }
    if (o.dryRun) {
        const int code =
            dryRun(o, dest, planned.plans, planned.toWrite, vemcli::get::freeBytes(dest));
        return failed.empty() ? code : vemcli::kExitFailure;
    }

    vemcli::outputplatform::watchStopSignals();
    vemcli::Progress progress(!o.quiet, planned.toWrite, 0);
    uint64_t done = 0;
    vemcli::get::CopyHooks hooks;
    hooks.starting = [&](size_t i) {
        progress.setLabel(std::to_string(i + 1) + "/" + std::to_string(planned.plans.size()));
    };
    hooks.progress = [&](uint64_t bytes) {
        done += bytes;
        progress.update(done);
    };
    hooks.ended = [&](const MovieOutcome& outcome) {
        progress.finish();
        if (outcome.status == "failed") {
            failed.push_back(outcome);
            reportFailure(outcome, o.json);
        } else if (o.json) {
            printJson(outcomeJson(outcome));
        }
    };
    vemcli::get::copyPlanned(catalog, planned.plans, planned.toWrite, dest, options, hooks);
    return failed.empty() ? vemcli::kExitOk : vemcli::kExitFailure;
}

}  // namespace

void registerCommand_get(vemcli::Registry& registry) {
    static Options o;
    CLI::App* app =
        registry.add("get", "Copy movies off the drive into a folder", [] { return runGet(o); });
    // Not required here: runGet says what is missing in the command's own words.
    app->add_option("ARGS", o.args, "PATH... DEST: the movies (or --all), then the folder");
    app->add_flag("--all", o.all, "Every movie of the drive");
    app->add_option("--filter", o.filter, "Only movies whose recorded name matches GLOB");
    app->add_option("--format", o.format,
                    "raw: NAME and NAME.info; ome-tiff: NAME.ome.tif; emulator: NAME.dat,\n"
                    "NAME.info and NAME.meta, an emulator folder")
        ->check(CLI::IsMember({"raw", "ome-tiff", "emulator"}));
    auto* skip = app->add_flag("--skip-existing", o.skipExisting,
                               "Skip a file that is there whatever it holds (by default one is "
                               "skipped when its size and time match)");
    app->add_flag("--overwrite", o.overwrite, "Copy files that are there again")->excludes(skip);
    app->add_flag("--verify", o.verify,
                  "Read every copy back from the disk and compare it with the drive");
    app->add_flag("-n,--dry-run", o.dryRun,
                  "Say what would be copied, how many bytes, and whether DEST has room");
    app->add_flag("--json", o.json, "One JSON object per movie when it ends");
    app->add_flag("-q,--quiet", o.quiet, "No progress line (it is shown only on a terminal)");
    app->footer(
        "A file appears under its name only when complete and on disk, with the recording time\n"
        "as its time. An interrupted movie leaves NAME.TIME.vem-partial, which the same command\n"
        "resumes. DEST/XXH128SUMS holds every file's hash: `vem verify DEST` checks them.\n"
        "Exit status: 0 all copied, 1 some movies failed (each named), 2 usage, 128+N signal N.");
}
