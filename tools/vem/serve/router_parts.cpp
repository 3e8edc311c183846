// The shared pieces of the router: error replies, names, times, validators, the movie object.
#include <cstdio>

#include "access.h"
#include "router_parts.h"

namespace vemserve {

using zel::vem::MovieCatalog;
using zel::vem::MovieDescription;
using zel::vem::MovieError;
using zel::vem::MovieFailure;

Reply errorReply(unsigned status, const std::string& message) {
    Reply reply;
    reply.status = status;
    reply.set("Content-Type", "application/json");
    reply.body = nlohmann::json{{"error", message}}.dump() + "\n";
    return reply;
}

bool decodeName(const std::string& segment, std::string& name, Reply& error) {
    if (!percentDecode(segment, name)) {
        error = errorReply(400, "malformed percent escape in the name");
        return false;
    }
    if (name.empty()) {
        error = errorReply(404, "no movie named");
        return false;
    }
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7f || c == '/' || c == '\\') {
            error = errorReply(400, "a movie name holds no '/', '\\' or control characters");
            return false;
        }
    }
    if (name == "." || name == "..") {
        error = errorReply(400, "a movie name is not '.' or '..'");
        return false;
    }
    return true;
}

namespace {

// Days since 1970-01-01 to a civil date (proleptic Gregorian), for any 64-bit day count.
void civilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = static_cast<int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y += m <= 2;
}

struct Civil {
    int64_t year;
    unsigned month, day, hour, minute, second, weekday;
};

Civil civil(int64_t seconds) {
    int64_t days = seconds >= 0 ? seconds / 86400 : -((-seconds + 86399) / 86400);
    int64_t rest = seconds - days * 86400;
    Civil c{};
    civilFromDays(days, c.year, c.month, c.day);
    c.hour = static_cast<unsigned>(rest / 3600);
    c.minute = static_cast<unsigned>(rest / 60 % 60);
    c.second = static_cast<unsigned>(rest % 60);
    // 1970-01-01 was a Thursday.
    c.weekday = static_cast<unsigned>(((days % 7) + 7 + 4) % 7);
    return c;
}

}  // namespace

std::string isoTime(int64_t seconds) {
    Civil c = civil(seconds);
    char text[48];
    std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02u:%02u:%02uZ",
                  static_cast<long long>(c.year), c.month, c.day, c.hour, c.minute, c.second);
    return text;
}

std::string httpDate(int64_t seconds) {
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    Civil c = civil(seconds);
    char text[64];
    std::snprintf(text, sizeof text, "%s, %02u %s %04lld %02u:%02u:%02u GMT", kDays[c.weekday % 7],
                  c.day, kMonths[(c.month - 1) % 12], static_cast<long long>(c.year), c.hour,
                  c.minute, c.second);
    return text;
}

std::string entityTag(const MovieDescription& movie) {
    // FNV-1a of the name keeps the tag short and free of characters a header cannot carry.
    uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : movie.name) {
        hash = (hash ^ c) * 1099511628211ull;
    }
    char text[96];
    std::snprintf(text, sizeof text, "\"%llu-%llx-%llx-%016llx\"",
                  static_cast<unsigned long long>(movie.number),
                  static_cast<unsigned long long>(movie.size),
                  static_cast<unsigned long long>(movie.recordingTime),
                  static_cast<unsigned long long>(hash));
    return text;
}

nlohmann::ordered_json movieJson(const MovieDescription& movie) {
    nlohmann::ordered_json properties = {{"width", std::to_string(movie.width)},
                                         {"height", std::to_string(movie.height)},
                                         {"numFrames", std::to_string(movie.frameCount)},
                                         {"index", std::to_string(movie.index)},
                                         {"startTime", movie.startTime},
                                         {"endTime", movie.endTime},
                                         {"duration", std::to_string(movie.durationMicroseconds)}};
    return {{"name", movie.entryName}, {"path", "/" + movie.entryName},
            {"size", movie.size},      {"time", isoTime(movie.recordingTime)},
            {"attributes", 2},         {"properties", properties}};
}

Reply movieErrorReply(const MovieError& error) {
    switch (error.failure()) {
        case MovieFailure::NoDrive:
            return errorReply(503, error.what());
        case MovieFailure::NotFound:
        case MovieFailure::Gone:
            return errorReply(404, error.what());
        case MovieFailure::Refused:
            return errorReply(502, error.what());
        case MovieFailure::Unreadable:
            return errorReply(422, error.what());
        case MovieFailure::WrongRemoval:
            return errorReply(409, error.what());
    }
    return errorReply(500, error.what());
}

Reply missingMovie(MovieCatalog& catalog, const std::string& name) {
    if (!catalog.emulator() && !catalog.drivePresent()) {
        return errorReply(503, catalog.noDriveMessage());
    }
    return errorReply(404, "no movie named '" + name + "'");
}

}  // namespace vemserve
