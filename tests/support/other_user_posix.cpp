// POSIX only: a second local account for tests, created on first use by a test run as root.
#include "tests/support/other_user.h"

#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace zel::test {

namespace {
const char kName[] = "zelvemtest";

bool lookUp(OtherUser& user) {
    const passwd* entry = getpwnam(kName);
    if (entry == nullptr) {
        return false;
    }
    user.uid = entry->pw_uid;
    user.gid = entry->pw_gid;
    return true;
}
}  // namespace

bool otherUser(OtherUser& user, std::string& why) {
    if (geteuid() != 0) {
        why = "needs root to create and become a second local user (CI runs as root)";
        return false;
    }
    // Tests run in parallel: another one may be adding the account right now, and useradd
    // refuses while /etc/passwd is locked, so look again after each try.
    for (int attempt = 0; attempt < 20 && !lookUp(user); ++attempt) {
        const int status = std::system(
            "useradd --system --no-create-home --shell /usr/sbin/nologin zelvemtest "
            ">/dev/null 2>&1");
        if (status != 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    if (!lookUp(user)) {
        why = "cannot create the local user zelvemtest (is useradd installed?)";
        return false;
    }
    if (user.uid == 0) {
        why = "zelvemtest is root";
        return false;
    }
    return true;
}

std::pair<std::string, std::vector<std::string>> asUser(const OtherUser& user,
                                                        const std::string& program,
                                                        const std::vector<std::string>& args) {
    std::vector<std::string> all = {"--reuid=" + std::to_string(user.uid),
                                    "--regid=" + std::to_string(user.gid), "--clear-groups",
                                    program};
    all.insert(all.end(), args.begin(), args.end());
    return {"/usr/bin/setpriv", all};
}

bool giveTo(const OtherUser& user, const std::string& path) {
    return chown(path.c_str(), user.uid, user.gid) == 0;
}

}  // namespace zel::test
