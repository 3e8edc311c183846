// Comparing two listings of the movies, and the object that tells the difference.
#include "listing_change.h"

namespace vemcli {

ListingChange compareListings(const std::set<std::string>& before,
                              const std::set<std::string>& now) {
    ListingChange change;
    for (const std::string& name : now) {
        if (!before.count(name)) {
            change.added.push_back(name);
        }
    }
    for (const std::string& name : before) {
        if (!now.count(name)) {
            change.removed.push_back(name);
        }
    }
    change.movies = now.size();
    return change;
}

nlohmann::ordered_json changeJson(const ListingChange& change, const std::string& time) {
    // Explicit arrays: an empty list must be [] on the wire, never null.
    nlohmann::ordered_json added = nlohmann::ordered_json::array();
    nlohmann::ordered_json removed = nlohmann::ordered_json::array();
    for (const std::string& name : change.added) {
        added.push_back(name);
    }
    for (const std::string& name : change.removed) {
        removed.push_back(name);
    }
    return {{"time", time}, {"added", added}, {"removed", removed}, {"movies", change.movies}};
}

}  // namespace vemcli
