// What changed between two listings of the movies: told alike by `vem watch` and the server's
// "change" event, so a client of either reads the same object.
#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

namespace vemcli {

struct ListingChange {
    std::vector<std::string> added;    // listed now, not before; in name order
    std::vector<std::string> removed;  // listed before, not now; in name order
    size_t movies = 0;                 // how many are listed now
    bool empty() const { return added.empty() && removed.empty(); }
};

// The entry names of the movies before and now.
ListingChange compareListings(const std::set<std::string>& before,
                              const std::set<std::string>& now);

// {"time", "added", "removed", "movies"}: one line of `vem watch --json`, and the data of the
// server's "change" event. `time` is the ISO time of the comparison.
nlohmann::ordered_json changeJson(const ListingChange& change, const std::string& time);

}  // namespace vemcli
