// DEST/XXH128SUMS: the hash of every file vem get wrote, checked later without the drive.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace vemcli::get {

constexpr char kManifestName[] = "XXH128SUMS";

// The manifest of one destination folder, in the format `xxhsum -c` reads: "HASH  NAME" per
// file (a line starting with '\' when NAME holds a backslash or a line break, escaped as
// coreutils escapes them), sorted by name. Files written under a mapped name get a comment
// line "# NAME is DRIVE-NAME on the drive" above theirs; `vem verify` and xxhsum skip it.
class Manifest {
  public:
    explicit Manifest(std::string folder);

    // Reads the manifest when there is one (an absent one is empty). Lines that are no entry
    // are kept in malformed(). Throws Failure when it is there and cannot be read.
    void load();
    // Writes it whole, durably, under its final name only (a temporary file renamed).
    void save() const;

    // Records (or replaces) the hash of file `name`; `driveName` differs when it was mapped.
    void set(const std::string& name, const std::string& hex, const std::string& driveName);
    const std::map<std::string, std::string>& hashes() const { return hashes_; }
    const std::vector<std::string>& malformed() const { return malformed_; }
    std::string path() const;

    // One line and its reading; public for their test. parseLine is false for a comment or
    // blank line and for a line that is no entry (then `malformed` is set).
    static std::string entryLine(const std::string& name, const std::string& hex);
    static bool parseLine(const std::string& line, std::string& name, std::string& hex,
                          bool& malformed);

  private:
    std::string folder_;
    std::map<std::string, std::string> hashes_;
    std::map<std::string, std::string> comments_;  // the comment line above an entry
    std::vector<std::string> malformed_;
};

}  // namespace vemcli::get
