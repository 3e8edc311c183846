// Pieces the router's files and API halves share: names, validators, times, errors.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "movies/movie_catalog.h"
#include "router.h"

namespace vemserve {

// A movie name from one path segment: percent-decoded once and refused (400, in `error`) when
// it holds "/", "\", NUL or another control character, or is "." or "..". Such names are
// answered here and never reach the library.
bool decodeName(const std::string& segment, std::string& name, Reply& error);

// "2023-11-14T22:13:20Z" and "Tue, 14 Nov 2023 22:13:20 GMT".
std::string isoTime(int64_t seconds);
std::string httpDate(int64_t seconds);

// A strong validator made of what makes the movie itself (number, name, size, recording time),
// never its index: removing another movie changes no other movie's tag.
std::string entityTag(const zel::vem::MovieDescription& movie);

// The object `vem ls --json` and `vem info --json` print for a movie.
nlohmann::ordered_json movieJson(const zel::vem::MovieDescription& movie);

// The reply to a failure of the movie layer.
Reply movieErrorReply(const zel::vem::MovieError& error);

// 404 for a movie that is not listed, or 503 when the reason is that there is no drive.
Reply missingMovie(zel::vem::MovieCatalog& catalog, const std::string& name);

// The embedded viewer's file of this name, or nullptr (also when the build embeds none).
const StaticFile* viewerFile(const std::string& name);

}  // namespace vemserve
