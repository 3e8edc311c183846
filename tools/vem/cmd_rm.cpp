// vem rm: deletes a movie from the drive.
#include "movie.h"
#include "movies/movie_catalog.h"
#include "registry.h"

namespace {

int runRm(const std::string& text) {
    vemcli::DrivePath path = vemcli::parseDrivePath(text);
    if (path.isRoot()) {
        throw vemcli::Failure("a movie PATH is needed, not the drive's root");
    }
    if (path.info) {
        throw vemcli::Failure(path.display() +
                              ": an info stream goes only with its movie; remove the movie");
    }
    // The entry name exactly, confirmed with the drive right before it goes; what the drive did
    // instead, if anything, is what the user reads.
    try {
        vemcli::catalog().remove(path.name);
    } catch (const zel::vem::MovieError& e) {
        throw vemcli::Failure(e.what());
    }
    return vemcli::kExitOk;
}

}  // namespace

void registerCommand_rm(vemcli::Registry& registry) {
    static std::string path;
    CLI::App* app = registry.add("rm", "Delete a movie from the drive (it cannot be undone)",
                                 [] { return runRm(path); });
    app->add_option("PATH", path, "The movie")->required();
}
