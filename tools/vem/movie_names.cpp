// Recorded-name lookups and close-match suggestions.
#include "movie_names.h"

#include <algorithm>
#include <cctype>

namespace vemcli {

namespace {

// Edits (insert, delete, replace, swap of neighbours) from `a` to `b`, ignoring letter case.
size_t distance(const std::string& a, const std::string& b) {
    auto same = [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    };
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i) {
        d[i][0] = i;
    }
    for (size_t j = 0; j <= b.size(); ++j) {
        d[0][j] = j;
    }
    for (size_t i = 1; i <= a.size(); ++i) {
        for (size_t j = 1; j <= b.size(); ++j) {
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1,
                                d[i - 1][j - 1] + (same(a[i - 1], b[j - 1]) ? 0 : 1)});
            if (i > 1 && j > 1 && same(a[i - 1], b[j - 2]) && same(a[i - 2], b[j - 1])) {
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        }
    }
    return d[a.size()][b.size()];
}

bool startsWith(const std::string& text, const std::string& start) {
    return text.size() >= start.size() && distance(text.substr(0, start.size()), start) == 0;
}

}  // namespace

std::string recordedName(const std::string& entryName) {
    const size_t digits = entryName.find_first_not_of("0123456789");
    if (digits == 0 || digits == std::string::npos || entryName[digits] != '-') {
        return entryName;
    }
    return entryName.substr(digits + 1);
}

std::string resolveEntryName(const std::string& typed, const std::vector<std::string>& entries) {
    if (std::find(entries.begin(), entries.end(), typed) != entries.end()) {
        return typed;
    }
    std::string found;
    for (const std::string& entry : entries) {
        if (recordedName(entry) == typed) {
            if (!found.empty()) {
                return std::string();
            }
            found = entry;
        }
    }
    return found;
}

std::vector<std::string> closeNames(const std::string& typed,
                                    const std::vector<std::string>& entries) {
    // A third of the name may be wrong (at least two letters): "bigrnu" finds "6-bigrun", a
    // wrong number finds the same recorded name, "a" does not find every short name.
    if (typed.empty()) {
        return {};
    }
    const std::string typedName = recordedName(typed);
    const size_t limit = std::max<size_t>(2, typed.size() / 3);
    std::vector<std::pair<size_t, std::string>> scored;
    for (const std::string& entry : entries) {
        size_t score = std::min(distance(typed, entry), distance(typedName, recordedName(entry)));
        // The start of a longer name ("bigr" of "6-bigrun") is close too, after the near misses.
        if (score > limit && typed.size() >= 3 &&
            (startsWith(entry, typed) || startsWith(recordedName(entry), typedName))) {
            score = limit;
        }
        if (score <= limit) {
            scored.emplace_back(score, entry);
        }
    }
    std::sort(scored.begin(), scored.end());
    std::vector<std::string> names;
    for (size_t i = 0; i < scored.size() && i < 3; ++i) {
        names.push_back(scored[i].second);
    }
    return names;
}

std::string didYouMean(const std::vector<std::string>& names) {
    if (names.empty()) {
        return std::string();
    }
    std::string text = " (did you mean ";
    for (size_t i = 0; i < names.size(); ++i) {
        text += (i == 0 ? "" : i + 1 == names.size() ? " or " : ", ") + names[i];
    }
    return text + "?)";
}

}  // namespace vemcli
