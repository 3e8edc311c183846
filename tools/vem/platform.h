// What vem needs from the operating system beyond the standard library.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace vemcli {

// The program's arguments as UTF-8, read once at the entry point. POSIX hands them over as
// they are; Windows takes the UTF-16 command line, so that names in any script survive the
// console's code page.
std::vector<std::string> utf8Arguments(int argc, char** argv);

// Sets a variable of this process's environment (the library reads its switches from there).
bool setEnvironment(const char* name, const char* value);
// Whether `stream` is an interactive terminal (progress bars only go there).
bool isTerminal(std::FILE* stream);
// Standard output carries movie bytes unchanged (Windows would translate line ends).
void setBinaryOutput(std::FILE* stream);
// Replaces `target` by `source` in one step where the system allows it.
bool replaceFile(const std::string& source, const std::string& target);
// Whether file names must be kept to what NTFS accepts (Windows).
extern const bool kNtfsFileNames;
// This process's id, for names of temporary files.
unsigned long processId();
// Hands `url` to the desktop's browser (xdg-open where there is a display; the shell on
// Windows) without waiting for it. False when there is no desktop or nothing could be started.
bool openInBrowser(const std::string& url);

}  // namespace vemcli
