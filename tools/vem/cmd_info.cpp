// vem info: one movie's entry.
#include <cstdio>

#include "display_text.h"
#include "movie.h"
#include "registry.h"
#include "views.h"

namespace {

int runInfo(const std::string& text, bool json) {
    const vemcli::DrivePath path = vemcli::resolveForReading(vemcli::parseDrivePath(text));
    if (path.info) {
        // The library describes movies only; the stream's bytes are one cat away.
        throw vemcli::Failure(path.display() + ": info describes movies; for the info stream's " +
                              "bytes use vem cat " + path.display());
    }
    zel::CDirectoryEntry entry = vemcli::lookupEntry(path);
    nlohmann::ordered_json object = vemcli::entryJson(entry);
    // From the frame times: the info stream is fetched for this one movie.
    const vemcli::FrameRateInfo rate = vemcli::frameRateOf(path);
    object["frame_rate"] = nullptr;
    if (rate.rate) {
        object["frame_rate"] = *rate.rate;
    }
    object["frame_times_failure"] = nullptr;
    if (!rate.timesFailure.empty()) {
        object["frame_times_failure"] = rate.timesFailure;
    }
    if (json) {
        std::printf("%s\n", vemcli::jsonText(object, 2).c_str());
        return vemcli::kExitOk;
    }
    // Text from the drive is shown escaped: nothing raw reaches the terminal.
    using vemcli::displayText;
    std::printf("name:       %s\n", displayText(object["name"].get<std::string>()).c_str());
    std::printf("path:       %s\n", displayText(object["path"].get<std::string>()).c_str());
    std::printf("size:       %s (%s)\n", std::to_string(entry.size).c_str(),
                vemcli::humanSize(entry.size).c_str());
    std::printf("recorded:   %s\n", object["time"].get<std::string>().c_str());
    std::printf("attributes: 0x%x\n", entry.attributes);
    if (rate.rate) {
        std::printf("frame rate: %.6g fps\n", *rate.rate);
    } else {
        std::printf("frame rate: none (%s)\n",
                    rate.timesFailure.empty() ? "fewer than two frames, or no time between them"
                                              : displayText(rate.timesFailure).c_str());
    }
    for (uint32_t i = 0; i < entry.properties.size(); ++i) {
        std::string key = displayText(entry.properties.key(i).str()) + ":";
        std::printf("%-11s %s\n", key.c_str(),
                    displayText(entry.properties.value(i).str()).c_str());
    }
    return vemcli::kExitOk;
}

}  // namespace

void registerCommand_info(vemcli::Registry& registry) {
    static std::string path;
    static bool json = false;
    CLI::App* app = registry.add("info", "Show one movie's size, time and properties",
                                 [] { return runInfo(path, json); });
    app->add_option("PATH", path, "The movie (or NAME:info)")->required();
    app->add_flag("--json", json, "Print one JSON object");
}
