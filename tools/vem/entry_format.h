// How movie entries are shown: the ls table, the JSON objects, sizes and times.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "human_size.h"
#include "movies/movie_description.h"
#include "suite/filesystem.h"

namespace vemcli {

std::string utf8(const zel::CStringW& text);
// "2023-11-14T22:13:20Z" (whole seconds, UTC).
std::string isoTime(const zel::CDateTime& time);

// {"name", "path", "size", "time", "attributes", "properties": {key: text, ...}}.
nlohmann::ordered_json entryJson(const zel::CDirectoryEntry& entry);

struct TableOptions {
    bool humanSizes = false;
    bool longFormat = false;  // adds the index and the path
};
// A header row, then one row per entry, columns padded to their widest cell.
std::string entryTable(const std::vector<zel::CDirectoryEntry>& entries,
                       const TableOptions& options);

// A movie's frame geometry from its description; zero sides when the entry is no movie.
struct FrameGeometry {
    uint32_t width = 0;
    uint32_t height = 0;
    uint64_t frames = 0;
    uint64_t frameBytes() const { return uint64_t{width} * height * 2; }
};
FrameGeometry frameGeometry(const zel::CDirectoryEntry& entry);

}  // namespace vemcli
