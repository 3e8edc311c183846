// Range header resolution: "bytes=A-B", "A-" and "-N", single or several.
#include "byte_ranges.h"

#include <algorithm>
#include <cctype>
#include <limits>

namespace vemserve {

namespace {

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

// Digits only; a number too large for 64 bits saturates, which reads as "past any end".
bool parseNumber(std::string_view text, uint64_t& value) {
    if (text.empty()) {
        return false;
    }
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (std::numeric_limits<uint64_t>::max() - digit) / 10) {
            value = std::numeric_limits<uint64_t>::max();
        } else {
            value = value * 10 + digit;
        }
    }
    return true;
}

bool startsWithBytesUnit(std::string_view text) {
    static constexpr std::string_view kUnit = "bytes=";
    if (text.size() < kUnit.size()) {
        return false;
    }
    for (size_t i = 0; i < kUnit.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) != kUnit[i]) {
            return false;
        }
    }
    return true;
}

}  // namespace

RangeAnswer resolveRanges(std::string_view header, uint64_t size, size_t maxRanges) {
    RangeAnswer whole;
    header = trim(header);
    if (!startsWithBytesUnit(header)) {
        return whole;
    }
    std::string_view list = header.substr(6);
    std::vector<ByteRange> satisfiable;
    size_t asked = 0;
    while (true) {
        const size_t comma = list.find(',');
        std::string_view item = trim(list.substr(0, comma));
        if (!item.empty()) {
            ++asked;
            if (asked > maxRanges) {
                return whole;
            }
            const size_t dash = item.find('-');
            if (dash == std::string_view::npos) {
                return whole;
            }
            std::string_view a = item.substr(0, dash);
            std::string_view b = item.substr(dash + 1);
            uint64_t first = 0;
            uint64_t last = 0;
            if (a.empty()) {
                // The last N bytes; N = 0 asks for nothing.
                if (!parseNumber(b, last)) {
                    return whole;
                }
                if (last > 0 && size > 0) {
                    satisfiable.push_back({size - std::min(last, size), size - 1});
                }
            } else {
                if (!parseNumber(a, first)) {
                    return whole;
                }
                if (b.empty()) {
                    last = std::numeric_limits<uint64_t>::max();
                } else if (!parseNumber(b, last) || last < first) {
                    return whole;
                }
                if (first < size) {
                    satisfiable.push_back({first, std::min(last, size - 1)});
                }
            }
        }
        if (comma == std::string_view::npos) {
            break;
        }
        list.remove_prefix(comma + 1);
    }
    if (asked == 0) {
        return whole;
    }
    if (satisfiable.empty()) {
        return {RangeOutcome::Unsatisfiable, {}};
    }
    // Overlapping parts would send some bytes twice (a way to make a small request cost much).
    std::vector<ByteRange> sorted = satisfiable;
    std::sort(sorted.begin(), sorted.end(),
              [](const ByteRange& x, const ByteRange& y) { return x.first < y.first; });
    for (size_t i = 1; i < sorted.size(); ++i) {
        if (sorted[i].first <= sorted[i - 1].last) {
            return whole;
        }
    }
    return {RangeOutcome::Partial, std::move(satisfiable)};
}

}  // namespace vemserve
