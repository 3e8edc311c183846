// Text and JSON forms of movie entries.
#include "entry_format.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>

#include "display_text.h"
#include "suite/numbers.h"

namespace vemcli {

std::string utf8(const zel::CStringW& text) {
    return text.ToUtf8().str();
}

std::string isoTime(const zel::CDateTime& time) {
    return time.Format("%Y-%m-%dT%H:%M:%SZ").str();
}

nlohmann::ordered_json entryJson(const zel::CDirectoryEntry& entry) {
    nlohmann::ordered_json properties = nlohmann::ordered_json::object();
    for (uint32_t i = 0; i < entry.properties.size(); ++i) {
        properties[entry.properties.key(i).str()] = entry.properties.value(i).str();
    }
    return {{"name", utf8(entry.name)},
            {"path", utf8(entry.path)},
            {"size", entry.size},
            {"time", isoTime(entry.time)},
            {"attributes", entry.attributes},
            {"properties", properties}};
}

std::string entryTable(const std::vector<zel::CDirectoryEntry>& entries,
                       const TableOptions& options) {
    std::vector<std::string> header = {"NAME",   "SIZE",  "RECORDED", "WxH",
                                       "FRAMES", "START", "END",      "DURATION"};
    if (options.longFormat) {
        header.insert(header.begin(), "INDEX");
        header.push_back("PATH");
    }
    std::vector<std::vector<std::string>> rows = {header};
    for (const zel::CDirectoryEntry& entry : entries) {
        const zel::CPropertyArray& p = entry.properties;
        std::vector<std::string> row = {
            utf8(entry.name),
            options.humanSizes ? humanSize(entry.size) : std::to_string(entry.size),
            isoTime(entry.time),
            p.GetValue("width").str() + "x" + p.GetValue("height").str(),
            p.GetValue("numFrames").str(),
            p.GetValue("startTime").str(),
            p.GetValue("endTime").str(),
            p.GetValue("duration").str()};
        if (options.longFormat) {
            row.insert(row.begin(), p.GetValue("index").str());
            row.push_back(utf8(entry.path));
        }
        // Every cell comes from the drive: shown escaped, so no name can act on the terminal.
        for (std::string& cell : row) {
            cell = displayText(cell);
        }
        rows.push_back(std::move(row));
    }
    std::vector<size_t> widths(header.size(), 0);
    for (const auto& row : rows) {
        for (size_t c = 0; c < row.size(); ++c) {
            widths[c] = std::max(widths[c], row[c].size());
        }
    }
    // Numbers align right, text left, as in ls -l.
    auto rightAligned = [&](size_t column) {
        const std::string& name = header[column];
        return name == "SIZE" || name == "FRAMES" || name == "INDEX";
    };
    std::string out;
    for (const auto& row : rows) {
        std::string line;
        for (size_t c = 0; c < row.size(); ++c) {
            std::string pad(widths[c] - row[c].size(), ' ');
            bool last = c + 1 == row.size();
            line += rightAligned(c) ? pad + row[c] : row[c] + (last ? "" : pad);
            if (!last) {
                line += "  ";
            }
        }
        out += line + "\n";
    }
    return out;
}

FrameGeometry frameGeometry(const zel::CDirectoryEntry& entry) {
    FrameGeometry g;
    zel::vem::MovieDescription movie;
    if (zel::vem::describeMovie(entry, movie)) {
        g.width = movie.width;
        g.height = movie.height;
        g.frames = movie.frameCount;
    }
    return g;
}

}  // namespace vemcli
