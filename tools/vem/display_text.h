// Text from the drive made safe for a terminal and for JSON: nothing raw from the service
// reaches the screen.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace vemcli {

// `text` with every character that would act on a terminal instead of showing written as an
// escape: C0 controls and DEL as \n, \r, \t or \xHH; C1 controls (U+0085 among them) and the
// line and paragraph separators as \uHHHH; bytes that are not UTF-8 as \xHH. Printable text,
// other languages' letters included, is kept as it is.
std::string displayText(const std::string& text);

// `value` as JSON text for output: every string escaped to ASCII (\uHHHH), so no control
// reaches a terminal either, and bytes that are not UTF-8 replaced by U+FFFD instead of
// failing. `indent` as nlohmann::json::dump.
std::string jsonText(const nlohmann::ordered_json& value, int indent = -1);

}  // namespace vemcli
