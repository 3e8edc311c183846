// POSIX only: a second local account, for tests of what another user can and cannot reach.
#pragma once

#include <string>
#include <vector>

namespace zel::test {

struct OtherUser {
    unsigned uid = 0;
    unsigned gid = 0;
};

// The account "zelvemtest", created (without home or login) when missing. Needs root, as CI
// has; false with the reason otherwise, for the test to skip with.
bool otherUser(OtherUser& user, std::string& why);

// The program and arguments that run `program args` as `user` (through setpriv, which keeps
// the environment), for ChildProcess::start.
std::pair<std::string, std::vector<std::string>> asUser(const OtherUser& user,
                                                        const std::string& program,
                                                        const std::vector<std::string>& args);

// Gives `path` to `user` (chown), for folders the other user must own.
bool giveTo(const OtherUser& user, const std::string& path);

}  // namespace zel::test
