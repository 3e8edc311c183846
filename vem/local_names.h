// Which names and local files the file tree may act on at all, whatever the host asks.
#pragma once

#include "suite/strings.h"

namespace zel::vem {

// Whether `text` holds a control character (U+0000 to U+001F, U+007F to U+009F). Such a path
// names no movie in either mode: a NUL would cut the local file name short of its extension
// (reaching a file that is no movie), and no drive movie is entered by such a name.
bool hasControlCharacter(const CStringW& text);

// Whether the system takes the local file name `name` for something other than a file of the
// folder. Windows: the reserved device names CON, PRN, AUX, NUL, COM0-9, LPT0-9 (also with the
// superscript digits 1-3), CONIN$ and CONOUT$, in any letter case, with or without an extension
// or trailing dots and spaces; and any name with ':' (a stream of another file). POSIX: none.
bool isDeviceName(const CStringW& name);

// Whether `path` is a regular file: not a folder, device, pipe or socket, any of which could
// block a reader for ever or reach hardware.
bool isRegularLocalFile(const CStringW& path);

// Whether nothing at all is at `path`, not even a link that leads nowhere: a file may be made
// there without being steered somewhere else.
bool localNameFree(const CStringW& path);

}  // namespace zel::vem
