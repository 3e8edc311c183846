// Names in the destination folder for names from the drive: kept, or mapped where NTFS refuses.
#pragma once

#include <string>

namespace vemcli::get {

// `name` as NTFS takes it, reversibly: '%', control characters and <>:"/\|?* become "%XX"
// (two upper-case hex digits of the byte), a trailing dot or space becomes "%2E" or "%20", and
// a device name before the first dot (CON, PRN, AUX, NUL, COM1-9, LPT1-9, any case) has its
// first letter written "%XX". Everything else, UTF-8 included, stays as it is.
std::string ntfsSafeName(const std::string& name);

// The file name `vem get` writes for `name`: ntfsSafeName on Windows; elsewhere only a '/'
// (which no drive name should hold) is mapped, since every other byte is a valid name there.
std::string localFileName(const std::string& name);

}  // namespace vemcli::get
