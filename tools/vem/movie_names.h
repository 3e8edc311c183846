// Finding the movie a user meant: the recorded name alone, and close matches for a name that is
// not there.
#pragma once

#include <string>
#include <vector>

namespace vemcli {

// The recorded name inside an entry name "<number>-<name>" (the whole text when it has no
// number).
std::string recordedName(const std::string& entryName);

// The entry name `typed` stands for among `entries`: itself when an entry has that name, else
// the one entry whose recorded name it is. Empty when there is none, or several (then only the
// entry name can tell them apart). For reading only: a deletion takes the entry name exactly.
std::string resolveEntryName(const std::string& typed, const std::vector<std::string>& entries);

// Up to three entry names close to `typed` (a few letters off the entry or the recorded name,
// the same recorded name, or a name `typed` is the start of), closest first.
std::vector<std::string> closeNames(const std::string& typed,
                                    const std::vector<std::string>& entries);

// " (did you mean 6-bigrun?)" / " (did you mean 6-bigrun or 7-bigrun?)", or empty.
std::string didYouMean(const std::vector<std::string>& names);

}  // namespace vemcli
