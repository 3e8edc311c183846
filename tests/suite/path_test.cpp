// Tests of the path helpers and wildcard matching.
#include <gtest/gtest.h>

#include "suite/path.h"

namespace zel {
namespace {

using path::ChangeExtension;
using path::ExpandRelativePath;
using path::GetFilename;
using path::MakePath;
using path::RemoveExtension;
using path::WildcardMatch;

std::string U8(const CStringW& s) {
    return s.ToUtf8().str();
}

TEST(SuitePath, MakePathJoinsWithoutDoubling) {
    const struct {
        const char16_t *dir, *name;
        char16_t sep;
        const char16_t* joined;
    } table[] = {
        {u"/", u"12-run_a", u'/', u"/12-run_a"},
        {u"/a", u"b", u'/', u"/a/b"},
        {u"/a/", u"/b", u'/', u"/a/b"},
        {u"/a", u"/b", u'/', u"/a/b"},
        {u"", u"b", u'/', u"b"},
        {u"/a", u"", u'/', u"/a/"},
        {u"C:\\Users\\x\\AppData\\Local", u"Quen Systems\\VEM", u'/',
         u"C:\\Users\\x\\AppData\\Local/Quen Systems\\VEM"},
        {u"C:\\", u"x.dat", u'\\', u"C:\\x.dat"},
    };
    for (const auto& row : table) {
        EXPECT_EQ(U8(MakePath(row.dir, row.name, row.sep)), U8(row.joined))
            << U8(row.dir) << " + " << U8(row.name);
    }
}

TEST(SuitePath, FilenameAndExtensions) {
    const struct {
        const char16_t *path, *filename, *noExtension;
    } table[] = {
        {u"/12-run_a", u"12-run_a", u"/12-run_a"},
        {u"/a/b/12-run_a:info", u"12-run_a:info", u"/a/b/12-run_a:info"},
        {u"/", u"", u"/"},
        {u"", u"", u""},
        {u"3-x.dat", u"3-x.dat", u"3-x"},
        {u"C:\\dir\\a.b.meta", u"a.b.meta", u"C:\\dir\\a.b"},
        {u"/dir.d/name", u"name", u"/dir.d/name"},  // the dot of a folder is no extension
        {u"/dir/.hidden", u".hidden", u"/dir/.hidden"},
        {u"trailing.", u"trailing.", u"trailing"},
    };
    for (const auto& row : table) {
        EXPECT_EQ(U8(GetFilename(row.path)), U8(row.filename)) << U8(row.path);
        EXPECT_EQ(U8(RemoveExtension(row.path)), U8(row.noExtension)) << U8(row.path);
    }
    EXPECT_EQ(U8(ChangeExtension(u"/f/12-run_a.meta", u".dat")), "/f/12-run_a.dat");
    EXPECT_EQ(U8(ChangeExtension(u"/f/12-run_a", u".dat")), "/f/12-run_a.dat");
    EXPECT_EQ(U8(ChangeExtension(u"/f/a.meta", u"dat")), "/f/a.dat");
    EXPECT_EQ(U8(ChangeExtension(u"/f/a.meta", u"")), "/f/a");
}

TEST(SuitePath, ExpandRelativePath) {
    const struct {
        const char16_t *base, *path, *full;
    } table[] = {
        // Absolute paths come back as they are.
        {u"/x", u"/", u"/"},
        {u"", u"/12-run_a", u"/12-run_a"},
        // Relative ones join the base.
        {u"/", u"12-run_a", u"/12-run_a"},
        {u"/movies", u"12-run_a", u"/movies/12-run_a"},
        {u"", u"12-run_a", u"/12-run_a"},         // an empty base is the root
        {u"dir", u"12-run_a", u"/dir/12-run_a"},  // so is a relative one's origin
        {u"/a/b", u"", u"/a/b"},
        {u"", u"", u"/"},
        // Normalisation.
        {u"/a/b", u"../c", u"/a/c"},
        {u"/a", u"../../..", u"/"},
        {u"/a", u"./b/./c/", u"/a/b/c"},
        {u"/a//", u"b//c", u"/a/b/c"},
        {u"/", u"/a/../b", u"/b"},
        {u"/x", u"//", u"/"},
        {u"C:/data", u"x.dat", u"C:/data/x.dat"},
        {u"/x", u"C:/data/../y", u"C:/y"},
    };
    for (const auto& row : table) {
        EXPECT_EQ(U8(ExpandRelativePath(row.base, row.path, u'/')), U8(row.full))
            << U8(row.base) << " + " << U8(row.path);
    }
}

TEST(SuitePath, WildcardTable) {
    const struct {
        const char16_t *pattern, *text;
        bool match;
    } table[] = {
        {u"run*", u"run_a", true},
        {u"12-*", u"run_a", false},
        {u"*", u"", true},
        {u"*", u"anything", true},
        {u"", u"", true},
        {u"", u"a", false},
        {u"*.dat", u"3-x.dat", true},
        {u"*.dat", u"3-x.dat.bak", false},
        {u"*.dat", u"3-x.DAT", true},  // ASCII letters fold
        {u"RUN_?", u"run_a", true},
        {u"run_?", u"run_", false},
        {u"run_?", u"run_ab", false},
        {u"?", u"\U0001F600", true},  // one character, two code units
        {u"??", u"\U0001F600", false},
        {u"a*b*c", u"aXXbYYc", true},
        {u"a*b*c", u"aXXbYY", false},
        {u"*a*a*a*a*b", u"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", false},  // no blow-up
        {u"*.*", u"noext", false},
        {u"caf\u00C9*", u"caf\u00E9", false},  // only ASCII folds
    };
    for (const auto& row : table) {
        EXPECT_EQ(WildcardMatch(row.pattern, row.text), row.match)
            << U8(row.pattern) << " vs " << U8(row.text);
    }
}

}  // namespace
}  // namespace zel
