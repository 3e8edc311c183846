// MovieDescription: the seven properties and the time of an entry, read as numbers once.
#include "movies/movie_description.h"

#include "suite/datetime.h"
#include "suite/numbers.h"
#include "suite/utf.h"

namespace zel::vem {

bool MovieIdentity::operator==(const MovieIdentity& other) const {
    return number == other.number && name == other.name && recordingTime == other.recordingTime;
}

MovieIdentity MovieDescription::identity() const {
    return MovieIdentity{number, name, recordingTime};
}

bool MovieDescription::framesReadable() const {
    return frameBytes > 0 && frameBytes <= UINT32_MAX;
}

bool describeMovie(const CDirectoryEntry& entry, MovieDescription& out) {
    if ((entry.attributes & kAttrNone) != 0 || (entry.attributes & kAttrFile) == 0) {
        return false;
    }
    out = MovieDescription{};
    out.entryName = Utf16ToUtf8(entry.name.str());
    // "<number>-<name>": the number is the digits before the first hyphen.
    const size_t dash = out.entryName.find('-');
    bool numbered = dash != std::string::npos && dash > 0;
    if (numbered) {
        out.number = CUInt64::Parse(CString(out.entryName.substr(0, dash).c_str()), &numbered);
    }
    out.name = numbered ? out.entryName.substr(dash + 1) : out.entryName;
    if (!numbered) {
        out.number = 0;
    }
    bool ok[5] = {};
    const CPropertyArray& p = entry.properties;
    out.width = CUInt16::Parse(p.GetValue(CString("width")), &ok[0]);
    out.height = CUInt16::Parse(p.GetValue(CString("height")), &ok[1]);
    out.frameCount = CUInt64::Parse(p.GetValue(CString("numFrames")), &ok[2]);
    out.index = CUInt32::Parse(p.GetValue(CString("index")), &ok[3]);
    out.durationMicroseconds = CUInt64::Parse(p.GetValue(CString("duration")), &ok[4]);
    for (bool parsed : ok) {
        if (!parsed) {
            return false;
        }
    }
    out.startTime = p.GetValue(CString("startTime")).str();
    out.endTime = p.GetValue(CString("endTime")).str();
    out.frameBytes = uint64_t{out.width} * out.height * 2;
    out.size = entry.size;
    // Ticks of 100 ns since 1601; floor division keeps times before 1970 whole seconds too.
    const long long ticks = entry.time.GetTimestamp(CDateTime::kTicks);
    long long seconds = ticks / CDateTime::kTicksPerSecond;
    if (ticks % CDateTime::kTicksPerSecond < 0) {
        --seconds;
    }
    out.recordingTime = seconds - CDateTime::kUnixEpochSeconds;
    return true;
}

}  // namespace zel::vem
