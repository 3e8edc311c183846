// ScriptedService: scripted replies over a real pipe, and the byte helpers of the channel tests.
#include "tests/channel/scripted_service.h"

#include <chrono>
#include <cstdlib>
#include <stdexcept>

#include "tests/support/child_process.h"

#if defined(_WIN32)
#include <process.h>
#define getpid _getpid
#else
#include <unistd.h>
#endif

namespace zel::vem::test {

Bytes encode(const std::function<void(MsgWriter&)>& build) {
    MemoryStream stream;
    MsgWriter writer(&stream);
    build(writer);
    return stream.data;
}

Bytes okReply(uint32_t count, const std::function<void(MsgWriter&)>& fields) {
    return encode([&](MsgWriter& w) {
        w.writeMapHeader(2);
        w.writeString("error");
        w.writeNil();
        w.writeString("result");
        w.writeMapHeader(count);
        fields(w);
    });
}

Bytes versionReply() {
    return okReply(1, [](MsgWriter& w) {
        w.writeString("ver");
        w.writeUInt(0);
    });
}

// The pipes of this test process live in a folder of its own, removed at exit, so that no test
// leaves anything in the user's default pipe folder.
struct PrivatePipeFolder {
    std::string path = zel::test::makeTempDir("zelvem_channel_");
    PrivatePipeFolder() { zel::test::setEnv("ZELVEM_PIPE_DIR", path); }
    ~PrivatePipeFolder() { zel::test::removeTree(path); }
};

std::string uniquePipeName() {
    static PrivatePipeFolder folder;
    static std::atomic<int> counter{0};
    return "zelvemtest-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
}

ScriptedService::ScriptedService(std::vector<Step> steps)
    : pipeName(uniquePipeName()), steps(std::move(steps)) {
    if (!server.listen(pipeName.c_str())) {
        throw std::runtime_error("cannot listen on " + pipeName);
    }
    thread = std::thread([this] { serve(); });
}

ScriptedService::~ScriptedService() {
    server.close();
    join();
}

void ScriptedService::join() {
    if (thread.joinable()) {
        thread.join();
    }
}

std::vector<Bytes> ScriptedService::requests() const {
    return received;
}

void ScriptedService::serve() {
    LocalSocket client;
    try {
        client = server.accept();
    } catch (const std::exception&) {
        return;  // closed before any client came
    }
    // Bytes read but not yet taken as a request. Each read takes whatever the pipe holds, so the
    // number of reads a request needed shows how it was written.
    Bytes pending;
    std::vector<uint8_t> chunk(1 << 16);
    for (const Step& step : steps) {
        int readCount = 0;
        for (;;) {
            MemoryStream stream(pending);
            MsgReader reader(&stream);
            try {
                reader.skip();
                received.emplace_back(pending.begin(), pending.begin() + stream.position);
                pending.erase(pending.begin(), pending.begin() + stream.position);
                break;
            } catch (const std::exception&) {
                // Not whole yet (or never will be: then the client ends the line below).
            }
            size_t n = client.readAvailable(chunk.data(), chunk.size());
            if (n == 0) {
                return;  // the client went away
            }
            ++readCount;
            pending.insert(pending.end(), chunk.begin(), chunk.begin() + n);
        }
        reads.push_back(readCount);
        size_t n = std::min(step.cutAfter, step.reply.size());
        for (size_t done = 0; done < n;) {
            size_t part = std::min(step.piece, n - done);
            if (done > 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
            client.write(step.reply.data() + done, part);
            done += part;
        }
        if (n < step.reply.size()) {
            return;  // drop the line in the middle of the reply
        }
    }
    // Hold the line until the client hangs up, so a test can see that no further bytes come.
    uint8_t byte;
    while (client.read(&byte, 1) == 1) {
    }
}

}  // namespace zel::vem::test
