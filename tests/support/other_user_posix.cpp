// POSIX only: a second local account for tests, created on first use by a test run as root.
#include "tests/support/other_user.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <mutex>
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

namespace {

// The build folder may sit where the other user cannot go (under /root, say): programs run as
// that user are copied, with the shared libraries beside them, into a folder it can reach,
// once per test process, and removed at exit.
class ReachableCopies {
  public:
    ~ReachableCopies() {
        if (!dir_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(dir_, ignored);
        }
    }
    // The copy of `program`, or `program` itself when copying failed.
    std::string copyOf(const std::string& program) {
        namespace fs = std::filesystem;
        std::lock_guard<std::mutex> hold(lock_);
        std::error_code error;
        if (dir_.empty()) {
            char pattern[] = "/tmp/zelvemtest-bin-XXXXXX";
            if (mkdtemp(pattern) == nullptr || chmod(pattern, 0755) != 0) {
                return program;
            }
            dir_ = pattern;
            for (const fs::directory_entry& entry :
                 fs::directory_iterator(fs::path(program).parent_path(), error)) {
                if (entry.path().extension() == ".so") {
                    fs::copy_file(entry.path(), dir_ / entry.path().filename(), error);
                }
            }
        }
        const fs::path copy = dir_ / fs::path(program).filename();
        if (!fs::exists(copy) && !fs::copy_file(program, copy, error)) {
            return program;
        }
        return copy.string();
    }
    std::string libraryFolder() const { return dir_.string(); }

  private:
    // Guards dir_ and the copying. Leaf lock.
    std::mutex lock_;
    std::filesystem::path dir_;
};

ReachableCopies copies;

}  // namespace

std::pair<std::string, std::vector<std::string>> asUser(const OtherUser& user,
                                                        const std::string& program,
                                                        const std::vector<std::string>& args) {
    const std::string copy = copies.copyOf(program);
    // env keeps the process id (it execs), so the test still signals the program itself.
    std::vector<std::string> all = {"--reuid=" + std::to_string(user.uid),
                                    "--regid=" + std::to_string(user.gid),
                                    "--clear-groups",
                                    "/usr/bin/env",
                                    "LD_LIBRARY_PATH=" + copies.libraryFolder(),
                                    copy};
    all.insert(all.end(), args.begin(), args.end());
    return {"/usr/bin/setpriv", all};
}

bool giveTo(const OtherUser& user, const std::string& path) {
    return chown(path.c_str(), user.uid, user.gid) == 0;
}

}  // namespace zel::test
