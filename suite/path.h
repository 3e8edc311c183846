// Path helpers of the base library (namespace zel::path), working on UTF-16 text alike everywhere.
#pragma once

#include "suite/export.h"
#include "suite/strings.h"

namespace zel {
namespace path {

// Joins with sep, without doubling: no separator is added when dir is empty, dir ends with '/'
// or '\\', or name starts with one; when both do, name's leading separator is dropped.
ZEL_API CStringW MakePath(CStringW dir, CStringW name, char16_t sep);
// The text after the last '/' or '\\' (the whole text when there is none).
ZEL_API CStringW GetFilename(CStringW path);
// Drops the last component's extension: from its last '.', unless that '.' starts the component.
ZEL_API CStringW RemoveExtension(CStringW path);
// RemoveExtension, then ext appended; a dot is put in front of an ext given without one.
ZEL_API CStringW ChangeExtension(CStringW path, CStringW ext);
// An absolute path (leading sep, or a drive letter, colon and sep) is kept; a relative one is
// joined to base, and base counts as the root when it is not itself absolute. The result is
// normalised: doubled separators and "." segments go, ".." removes the segment before it (never
// climbing above the root), a trailing separator goes unless it is the root itself.
ZEL_API CStringW ExpandRelativePath(CStringW base, CStringW path, char16_t sep);
// '*' matches any run of characters (also none), '?' exactly one character (a surrogate pair
// counts as one); everything else matches itself, ASCII letters without regard to case.
ZEL_API bool WildcardMatch(CStringW pattern, CStringW text);

}  // namespace path
}  // namespace zel
