// MoviePath: every form a user or program writes, with what it names or why it is refused.
#include <gtest/gtest.h>

#include "movies/movie_path.h"

namespace zel::vem::test {
namespace {

TEST(MoviePath, EveryFormNamesOnePlaceOrIsRefused) {
    const struct {
        const char* text;
        bool ok;
        const char* name;
        bool info;
    } cases[] = {
        {"", true, "", false},
        {"/", true, "", false},
        {"vem:", true, "", false},
        {"vem:///", true, "", false},
        {"VEM:///12-run_a", true, "12-run_a", false},
        {"vem:///12-run_a", true, "12-run_a", false},
        {"vem://12-run_a", true, "12-run_a", false},  // relative, as the drive interface reads it
        {"/12-run_a", true, "12-run_a", false},
        {"12-run_a", true, "12-run_a", false},
        {"7-a-b", true, "7-a-b", false},
        {"vem:12-run_a", true, "12-run_a", false},
        {"//12-run_a", true, "12-run_a", false},
        {"12-a:b", true, "12-a:b", false},
        {"12-run_a:info", true, "12-run_a", true},
        {"/12-run_a:INFO", true, "12-run_a", true},
        {"vem:///12-run_a:Info", true, "12-run_a", true},
        {"12-\xce\xb1\xce\xb2", true, "12-\xce\xb1\xce\xb2", false},  // Greek
        {"vem://host/12-run_a", false, "", false},                    // another machine's drive
        {"/a/12-run_a", false, "", false},
        {"a\\b", false, "", false},
        {":info", false, "", false},
        {"vem:///:info", false, "", false},
        {"12-a\nb", false, "", false},
        {"12-a\x7f", false, "", false},
        {"12-a\xc2\x85", false, "", false},      // U+0085, a line break to some terminals
        {"12-a\xe2\x80\xa8", false, "", false},  // U+2028
        {"12-a\xff", false, "", false},          // not UTF-8
        {"12-a\xc0\xaf", false, "", false},      // overlong '/'
    };
    for (const auto& c : cases) {
        MoviePath path;
        std::string error;
        EXPECT_EQ(parseMoviePath(c.text, path, error), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(path.name, c.name) << c.text;
            EXPECT_EQ(path.info, c.info) << c.text;
            EXPECT_TRUE(error.empty()) << c.text;
        } else {
            EXPECT_FALSE(error.empty()) << c.text;
        }
    }
}

TEST(MoviePath, TheLibraryAndTheUserSeeTheSamePlace) {
    MoviePath path;
    std::string error;
    ASSERT_TRUE(parseMoviePath("vem:///12-run_a:info", path, error));
    EXPECT_EQ(path.libraryPath(), "/12-run_a:info");
    EXPECT_EQ(path.display(), "vem:///12-run_a:info");
    ASSERT_TRUE(parseMoviePath("vem:", path, error));
    EXPECT_TRUE(path.isRoot());
    EXPECT_EQ(path.libraryPath(), "/");
}

// The views' names, as the mount, the server and vem all read them.
TEST(MoviePath, ViewNamesNameTheirMovie) {
    const struct {
        const char* name;
        MovieView view;
        const char* movie;
    } cases[] = {
        {"12-a.ome.tif", MovieView::OmeTiff, "12-a"},
        {"12-a.zarr", MovieView::Zarr, "12-a"},
        {"12-a.ome.tif.zarr", MovieView::Zarr, "12-a.ome.tif"},  // a view of a movie so named
        {"12-a", MovieView::None, ""},
        {".ome.tif", MovieView::None, ""},  // no movie before it
        {".zarr", MovieView::None, ""},
        {"12-a.OME.TIF", MovieView::None, ""},  // entry names are exact
        {"12-a.ome.tiff", MovieView::None, ""},
        {"12-a.zarr/", MovieView::None, ""},
    };
    for (const auto& c : cases) {
        std::string movie;
        EXPECT_EQ(splitViewName(c.name, movie), c.view) << c.name;
        if (c.view != MovieView::None) {
            EXPECT_EQ(movie, c.movie) << c.name;
            EXPECT_EQ(viewEntryName(movie, c.view), c.name);
        }
    }
}

}  // namespace
}  // namespace zel::vem::test
