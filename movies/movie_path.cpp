// MoviePath: parsing the forms of a drive path that users and programs write.
#include "movies/movie_path.h"

#include <cctype>
#include <cstdint>

namespace zel::vem {

namespace {

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) {
        return false;
    }
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) {
            return false;
        }
    }
    return true;
}

// Whether `text` is UTF-8 without the characters a name cannot hold: C0 and C1 controls, DEL,
// and the line and paragraph separators (U+2028, U+2029), which terminals and logs take as line
// breaks. Overlong forms and surrogates are not UTF-8.
bool cleanUtf8(std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        uint32_t cp = 0;
        size_t n = 0;
        if (c < 0x80) {
            cp = c;
            n = 1;
        } else if ((c & 0xE0) == 0xC0) {
            cp = c & 0x1F;
            n = 2;
        } else if ((c & 0xF0) == 0xE0) {
            cp = c & 0x0F;
            n = 3;
        } else if ((c & 0xF8) == 0xF0) {
            cp = c & 0x07;
            n = 4;
        } else {
            return false;
        }
        if (i + n > text.size()) {
            return false;
        }
        for (size_t k = 1; k < n; ++k) {
            const auto cc = static_cast<unsigned char>(text[i + k]);
            if ((cc & 0xC0) != 0x80) {
                return false;
            }
            cp = (cp << 6) | (cc & 0x3F);
        }
        static const uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < kSmallest[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
        }
        if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0x2028 || cp == 0x2029) {
            return false;
        }
        i += n;
    }
    return true;
}

}  // namespace

std::string MoviePath::libraryPath() const {
    return "/" + name + (info ? ":info" : "");
}

std::string MoviePath::display() const {
    return "vem:///" + name + (info ? ":info" : "");
}

bool parseMoviePath(std::string_view text, MoviePath& path, std::string& error) {
    path = MoviePath{};
    const std::string quoted = "'" + std::string(text) + "'";
    if (!cleanUtf8(text)) {
        error = "a drive path is UTF-8 text without control characters";
        return false;
    }
    std::string_view rest = text;
    if (startsWithNoCase(rest, "vem:")) {
        rest.remove_prefix(4);
        if (rest.substr(0, 2) == "//") {
            rest.remove_prefix(2);
            // "vem://NAME" is the relative NAME; "vem://HOST/NAME" would name another machine's
            // drive, which no service offers.
            const size_t slash = rest.find('/');
            if (!rest.empty() && rest[0] != '/' && slash != std::string_view::npos) {
                error = quoted + ": a drive path has no host (write vem:///NAME)";
                return false;
            }
        }
    }
    while (!rest.empty() && rest[0] == '/') {
        rest.remove_prefix(1);
    }
    static constexpr std::string_view kInfo = ":info";
    if (rest.size() >= kInfo.size() &&
        startsWithNoCase(rest.substr(rest.size() - kInfo.size()), kInfo)) {
        path.info = true;
        rest.remove_suffix(kInfo.size());
    }
    if (rest.find_first_of("/\\") != std::string_view::npos) {
        error = quoted + ": the drive has no folders, only movies in its root";
        return false;
    }
    if (path.info && rest.empty()) {
        error = quoted + ": an info stream belongs to a movie (write NAME:info)";
        return false;
    }
    path.name = std::string(rest);
    return true;
}

namespace {
constexpr std::string_view kOmeTiffSuffix = ".ome.tif";
constexpr std::string_view kZarrSuffix = ".zarr";
}  // namespace

std::string viewEntryName(const std::string& movie, MovieView view) {
    switch (view) {
        case MovieView::OmeTiff:
            return movie + std::string(kOmeTiffSuffix);
        case MovieView::Zarr:
            return movie + std::string(kZarrSuffix);
        case MovieView::None:
            break;
    }
    return movie;
}

MovieView splitViewName(const std::string& name, std::string& movie) {
    for (const MovieView view : {MovieView::OmeTiff, MovieView::Zarr}) {
        const std::string_view suffix = view == MovieView::OmeTiff ? kOmeTiffSuffix : kZarrSuffix;
        if (name.size() > suffix.size() &&
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
            movie = name.substr(0, name.size() - suffix.size());
            return view;
        }
    }
    return MovieView::None;
}

}  // namespace zel::vem
