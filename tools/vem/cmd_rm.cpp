// vem rm: deletes a movie from the drive.
#include "movie.h"
#include "registry.h"
#include "vem/vem_interface.h"

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
    if (!vemcli::drive().RemoveFile(zel::CStringW(path.libraryPath().c_str()))) {
        vemcli::failMovie(path, "not deleted (no such movie, or the drive refused)");
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
