// Drive.get: movies copied into a folder by the copy library `vem get` runs on, so both follow
// one set of rules (names, partial files, resuming, the manifest, times, what is skipped).
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "failure.h"
#include "get/copy_movies.h"
#include "module_support.h"

namespace zelvem_py {

namespace {

namespace get = vemcli::get;
using Clock = std::chrono::steady_clock;

// How often the copying thread takes the GIL to let Python see Ctrl+C: seldom enough that a
// busy Python thread elsewhere does not slow the copy, often enough that a stop feels prompt.
constexpr auto kSignalCheckInterval = std::chrono::milliseconds(100);

py::dict outcomeDict(const get::MovieOutcome& outcome) {
    py::dict result;
    result["name"] = outcome.name;
    result["bytes"] = outcome.bytes;
    result["seconds"] = outcome.seconds;
    result["status"] = outcome.status;
    const std::string hash = get::labelledHash(outcome);
    result["hash"] = hash.empty() ? py::object(py::none()) : py::object(py::str(hash));
    if (!outcome.error.empty()) {
        result["error"] = outcome.error;
    }
    return result;
}

get::CopyOptions optionsOf(const std::string& format, bool verify, bool overwrite) {
    get::CopyOptions options;
    if (format == "raw") {
        options.format = get::Format::Raw;
    } else if (format == "ome-tiff") {
        options.format = get::Format::OmeTiff;
    } else if (format == "emulator") {
        options.format = get::Format::Emulator;
    } else {
        raise(PyExc_ValueError,
              "format must be \"raw\", \"ome-tiff\" or \"emulator\", not \"" + format + "\"");
    }
    options.existing = overwrite ? get::Existing::Overwrite : get::Existing::SkipMatching;
    options.verify = verify;
    return options;
}

// Runs on the copying thread without the GIL. Python runs signal handlers only on its main
// thread and only with the GIL: taking it now and then there lets a handler raise
// KeyboardInterrupt (left pending for the caller), which stops the copy between writes.
class SignalCheck {
  public:
    void operator()() {
        const Clock::time_point now = Clock::now();
        if (now - last_ < kSignalCheckInterval) {
            return;
        }
        last_ = now;
        py::gil_scoped_acquire held;
        if (PyErr_CheckSignals() != 0) {
            throw get::Stopped{};
        }
    }

  private:
    Clock::time_point last_ = Clock::now();
};

// One dict per movie named (in the order given, a movie named twice once): copied, resumed,
// skipped or failed. Raises only for what stops every movie (a bad format, `dest` not a folder,
// no room) and for KeyboardInterrupt.
py::list copyMovies(const std::vector<std::string>& texts, const std::string& dest,
                    const std::string& format, bool verify, bool overwrite) {
    const get::CopyOptions options = optionsOf(format, verify, overwrite);
    std::vector<std::string> names;
    for (const std::string& text : texts) {
        names.push_back(movieName(text, PyExc_ValueError));
    }
    vem::MovieCatalog& movies = catalog();
    // Keyed by the position of the name that chose the movie, so the answer keeps its order.
    std::map<size_t, get::MovieOutcome> outcomes;
    std::optional<std::string> failure;
    bool stopped = false;
    {
        py::gil_scoped_release released;
        try {
            std::vector<vem::MovieDescription> chosen;
            std::vector<size_t> positions;
            std::map<std::string, size_t> positionOf;
            for (size_t i = 0; i < names.size(); ++i) {
                const std::optional<vem::MovieDescription> movie = movies.find(names[i]);
                if (!movie) {
                    get::MovieOutcome missing;
                    missing.name = texts[i];
                    missing.status = "failed";
                    missing.error = "no such movie";
                    outcomes[i] = missing;
                } else if (positionOf.emplace(movie->entryName, i).second) {
                    chosen.push_back(*movie);
                }
            }
            get::prepareFolder(dest, true);
            const get::Plans planned = get::planMovies(movies, chosen, dest, options);
            for (const get::MovieOutcome& outcome : planned.failed) {
                outcomes[positionOf.at(outcome.name)] = outcome;
            }
            SignalCheck check;
            get::CopyHooks hooks;
            hooks.starting = [&](size_t) { check(); };
            hooks.progress = [&](uint64_t) { check(); };
            hooks.ended = [&](const get::MovieOutcome& outcome) {
                outcomes[positionOf.at(outcome.name)] = outcome;
            };
            get::copyPlanned(movies, planned.plans, planned.toWrite, dest, options, hooks);
        } catch (const get::Stopped&) {
            stopped = true;
        } catch (const vemcli::Failure& e) {
            failure = e.what();
        } catch (const vem::MovieError& e) {
            failure = e.what();
        }
    }
    if (stopped) {
        throw py::error_already_set();
    }
    if (failure) {
        raise(PyExc_OSError, *failure);
    }
    py::list result;
    for (const auto& [position, outcome] : outcomes) {
        result.append(outcomeDict(outcome));
    }
    return result;
}

}  // namespace

void defineGet(py::module_& m) {
    m.def("get", &copyMovies, py::arg("paths"), py::arg("dest"), py::arg("format"),
          py::arg("verify"), py::arg("overwrite"));
}

}  // namespace zelvem_py
