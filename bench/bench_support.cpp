// Benchmark support: spawning vemsim, and the floor server, which answers each request with one
// read and one write and nothing more.
#include "bench/bench_support.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "service/local_server.h"

extern char** environ;

namespace zel::bench {

namespace {

using namespace zel::vem;

constexpr const char* kFloorPipe = "floor";
pid_t floorPid = -1;
int simCount = 0;

std::string floorDir() {
    return runFolder() + "/floor";
}

std::string programDir() {
    return std::filesystem::read_symlink("/proc/self/exe").parent_path().string();
}

// The setup a client sends first: sizes of its requests, replies and frames, and frame count.
struct Setup {
    uint64_t requestBytes, replyBytes, frameBytes, frames;
};

// ZELVEM_BENCH_CPUS="C,S" puts this process on CPU C and the servers (the floor server and every
// vemsim) on CPU S. Left to the scheduler, the client and a server share a core in one run and
// not in the next, which changes what an exchange costs by a third on a virtual machine; the
// library and the floor must meet the same placement for their ratio to mean anything.
struct Placement {
    bool pinned = false;
    int client = 0, server = 0;
};

const Placement& placement() {
    static const Placement chosen = [] {
        Placement p;
        const char* text = std::getenv("ZELVEM_BENCH_CPUS");
        p.pinned = text != nullptr && std::sscanf(text, "%d,%d", &p.client, &p.server) == 2 &&
                   p.client >= 0 && p.server >= 0 && p.client < CPU_SETSIZE &&
                   p.server < CPU_SETSIZE;
        return p;
    }();
    return chosen;
}

void pinCallingThread(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    sched_setaffinity(0, sizeof set, &set);
}

// Processes started within its scope inherit the servers' CPU; the thread returns to the client's.
class ServerPlacement {
  public:
    ServerPlacement() {
        if (placement().pinned) {
            pinCallingThread(placement().server);
        }
    }
    ~ServerPlacement() {
        if (placement().pinned) {
            pinCallingThread(placement().client);
        }
    }
};

void serveFloorClient(LocalSocket& client) {
    Setup setup{};
    if (client.read(&setup, sizeof setup) != sizeof setup) {
        return;
    }
    SharedSection section;
    std::unique_ptr<FrameBuffer> frames;
    std::string name;
    if (setup.frameBytes > 0) {
        if (!section.createUnique("zvfloor", setup.frameBytes)) {
            return;
        }
        name = section.name();
        // Pages touched now, as a drive's frame cache would be by the time frames are read.
        frames = std::make_unique<FrameBuffer>(setup.frameBytes * setup.frames);
        std::memset(frames->data(), 0x5a, frames->size());
    }
    uint32_t length = static_cast<uint32_t>(name.size());
    client.write(&length, sizeof length);
    client.write(name.data(), length);
    std::vector<uint8_t> request(setup.requestBytes + 4096), reply(setup.replyBytes, 0x80);
    for (uint64_t k = 0;; ++k) {
        if (client.readAvailable(request.data(), request.size()) == 0) {
            return;
        }
        if (setup.frameBytes > 0) {
            std::memcpy(section.data(), frames->data() + (k % setup.frames) * setup.frameBytes,
                        setup.frameBytes);
        }
        if (client.write(reply.data(), reply.size()) != reply.size()) {
            return;
        }
    }
}

}  // namespace

const std::string& runFolder() {
    static const std::string folder = [] {
        char pattern[] = "/tmp/zelvem-bench-XXXXXX";
        const char* made = mkdtemp(pattern);
        return std::string(made != nullptr ? made : "");
    }();
    return folder;
}

void removeRunFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(runFolder(), ignored);
}

SimProcess::SimProcess(const std::vector<std::string>& args) {
    dir = runFolder() + "/sim" + std::to_string(++simCount);
    std::filesystem::create_directories(dir);
    const std::string program = programDir() + "/vemsim";
    const std::string log = dir + "/vemsim.log";
    std::vector<std::string> texts{program};
    texts.insert(texts.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& t : texts) {
        argv.push_back(t.data());
    }
    argv.push_back(nullptr);
    // The child's environment: ours, with its own pipe folder.
    std::vector<std::string> envText{"ZELVEM_PIPE_DIR=" + dir};
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "ZELVEM_PIPE_DIR=", 16) != 0) {
            envText.emplace_back(*e);
        }
    }
    std::vector<char*> envp;
    for (std::string& t : envText) {
        envp.push_back(t.data());
    }
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 2, 1);
    int spawned;
    {
        ServerPlacement onServerCpu;
        spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    }
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        pid = -1;
        error = "cannot start " + program;
        return;
    }
    // Synthetic movies are made before the pipes listen: a large drive takes a while.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(3);
    for (;;) {
        std::ifstream in(log);
        std::stringstream text;
        text << in.rdbuf();
        if (text.str().find("vemsim: serving") != std::string::npos) {
            return;
        }
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            pid = -1;
            error = "vemsim ended: " + text.str();
            return;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            error = "vemsim did not start";
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

SimProcess::~SimProcess() {
    if (pid > 0) {
        kill(pid, SIGTERM);
        int status = 0;
        waitpid(pid, &status, 0);
    }
}

void SimProcess::use() const {
    setenv("ZELVEM_PIPE_DIR", dir.c_str(), 1);
}

void startFloorServer() {
    std::filesystem::create_directories(floorDir());
    setenv("ZELVEM_PIPE_DIR", floorDir().c_str(), 1);
    // Forked before any thread starts. The child listens itself: a server closed in this process
    // would remove the socket file the child serves.
    {
        ServerPlacement onServerCpu;
        floorPid = fork();
    }
    if (floorPid == 0) {
        // The scope above moved the copy of this thread back as well.
        if (placement().pinned) {
            pinCallingThread(placement().server);
        }
        LocalServer server;
        if (!server.listen(kFloorPipe)) {
            _exit(1);
        }
        for (;;) {
            try {
                LocalSocket client = server.accept();
                serveFloorClient(client);
            } catch (const std::exception&) {
                _exit(0);
            }
        }
    }
    // Ready once a connection succeeds (the child takes it for a client that left at once).
    for (int i = 0; i < 500; ++i) {
        LocalSocket probe;
        if (probe.connect(kFloorPipe)) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void stopFloorServer() {
    if (floorPid > 0) {
        kill(floorPid, SIGTERM);
        int status = 0;
        waitpid(floorPid, &status, 0);
        floorPid = -1;
    }
}

bool FloorClient::open(size_t requestBytes, size_t replyBytes, uint64_t frameSize,
                       uint32_t frames) {
    setenv("ZELVEM_PIPE_DIR", floorDir().c_str(), 1);
    if (!socket.connect(kFloorPipe)) {
        return false;
    }
    Setup setup{requestBytes, replyBytes, frameSize, frames > 0 ? frames : 1};
    uint32_t length = 0;
    if (socket.write(&setup, sizeof setup) != sizeof setup ||
        socket.read(&length, sizeof length) != sizeof length) {
        return false;
    }
    std::string name(length, '\0');
    if (socket.read(name.data(), length) != length) {
        return false;
    }
    if (frameSize > 0 && !section.open(name.c_str())) {
        return false;
    }
    frameBytes = frameSize;
    request.assign(requestBytes, 0x80);
    reply.assign(replyBytes + 4096, 0);
    return true;
}

bool FloorClient::exchange(void* frame) {
    if (socket.write(request.data(), request.size()) != request.size()) {
        return false;
    }
    // One read takes the whole reply, as it left in one write; a stream may still split it.
    size_t got = 0, want = reply.size() - 4096;
    while (got < want) {
        size_t n = socket.readAvailable(reply.data() + got, reply.size() - got);
        if (n == 0) {
            return false;
        }
        got += n;
    }
    if (frameBytes > 0 && frame != nullptr) {
        std::memcpy(frame, section.data(), frameBytes);
    }
    return true;
}

}  // namespace zel::bench
