// vem ls: the movies as a table or as JSON.
#include <cstdio>
#include <vector>

#include "display_text.h"
#include "drive_path.h"
#include "entry_format.h"
#include "movie.h"
#include "registry.h"
#include "vem/vem_interface.h"

namespace {

struct Options {
    std::string path;
    std::string filter;
    bool json = false;
    bool longFormat = false;
    bool human = false;
};

int runLs(const Options& o) {
    vemcli::DrivePath path = vemcli::parseDrivePath(o.path);
    std::vector<zel::CDirectoryEntry> entries;
    if (path.isRoot()) {
        // An empty table would read as an empty drive: without a drive there is nothing to list.
        vemcli::requireDrive();
        zel::CDirectoryListing listing = vemcli::drive().GetDirectoryListing(
            zel::CStringW(u"/"), zel::CStringW(o.filter.c_str()));
        for (const zel::CDirectoryEntry& entry : listing.entries) {
            entries.push_back(entry);
        }
    } else {
        // A movie lists as itself, as ls FILE does.
        zel::CDirectoryEntry entry =
            vemcli::drive().GetInfo(zel::CStringW(path.libraryPath().c_str()));
        if (entry.attributes & zel::kAttrNone) {
            vemcli::failMovie(path, "no such movie");
        }
        entries.push_back(entry);
    }
    if (o.json) {
        nlohmann::ordered_json out = nlohmann::ordered_json::array();
        for (const zel::CDirectoryEntry& entry : entries) {
            out.push_back(vemcli::entryJson(entry));
        }
        std::printf("%s\n", vemcli::jsonText(out, 2).c_str());
    } else {
        std::fputs(vemcli::entryTable(entries, {o.human, o.longFormat}).c_str(), stdout);
    }
    return vemcli::kExitOk;
}

}  // namespace

void registerCommand_ls(vemcli::Registry& registry) {
    static Options o;
    CLI::App* app = registry.add("ls", "List the drive's movies", [] { return runLs(o); });
    // -h means human-readable here, as in ls; help stays reachable as --help.
    app->set_help_flag("--help", "Print this help message and exit");
    app->add_option("PATH", o.path, "The root (default) or one movie");
    app->add_option("--filter", o.filter,
                    "Only movies whose recorded name matches this wildcard pattern (* and ?)");
    app->add_flag("--json", o.json, "Print a JSON array of entries");
    app->add_flag("-l,--long", o.longFormat, "Add the index and the path columns");
    app->add_flag("-h,--human-readable", o.human, "Sizes in K, M, G (powers of 1024)");
}
