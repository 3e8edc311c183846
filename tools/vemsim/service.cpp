// SimService: the pipes, their connections and the serving loop of each.
#include "tools/vemsim/service.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <stdexcept>
#include <vector>

#include "msgpack/memory_stream.h"
#include "msgpack/msg_reader.h"
#include "msgpack/msg_writer.h"
#include "service/buffered_stream.h"
#include "service/pipe_check.h"
#include "tools/vemsim/load_frame_request.h"
#include "tools/vemsim/log.h"
#include "tools/vemsim/request_handler.h"
#include "tools/vemsim/stop_signal.h"

namespace zel::vem::sim {

namespace {

// Replaces `bytes` with the encoding of `value`, keeping its capacity: a reply grown byte by byte
// into a fresh vector would cost a handful of allocations every time.
void encode(const MsgObject& value, std::vector<uint8_t>& bytes) {
    MemoryStream stream(std::move(bytes));
    stream.data.clear();
    MsgWriter writer(&stream);
    writer.writeObject(value);
    bytes = std::move(stream.data);
}

}  // namespace

std::string controlPipeName(const std::string& pipeName) {
    return pipeName + ".ctl";
}

SimService::SimService(ServiceOptions options)
    : options_(std::move(options)), movies_([this] { events_.raise(1); }) {
    // Sections of several simulators on one machine share one namespace; a prefix that differs
    // between runs keeps their names apart, so createUnique rarely has to try twice.
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    char prefix[40];
    std::snprintf(
        prefix, sizeof prefix, "zvsim%08X_",
        static_cast<unsigned>(static_cast<uint64_t>(now) ^ (static_cast<uint64_t>(now) >> 32)));
    sectionPrefix_ = prefix;
}

SimService::~SimService() {
    stop();
}

bool SimService::start(std::string* error) {
    if (!requestServer_.listen(options_.pipeName.c_str(), options_.flags)) {
        if (error) {
            const std::string why = pipeServeProblem();
            *error = "cannot serve the pipe " + options_.pipeName +
                     (why.empty() ? " (is another service running?)" : ": " + why);
        }
        return false;
    }
    const std::string control = controlPipeName(options_.pipeName);
    // Owner-only whatever --global says: the control pipe removes movies and stops the service.
    if (!controlServer_.listen(control.c_str(), 0)) {
        requestServer_.close();
        if (error) {
            *error = "cannot serve the pipe " + control;
        }
        return false;
    }
    requestAcceptor_ = std::thread([this] { acceptLoop(requestServer_, false); });
    controlAcceptor_ = std::thread([this] { acceptLoop(controlServer_, true); });
    return true;
}

bool SimService::stop() {
    if (stopped_.exchange(true)) {
        return true;
    }
    stopping_ = true;
    requestServer_.close();
    controlServer_.close();
    if (requestAcceptor_.joinable()) {
        requestAcceptor_.join();
    }
    if (controlAcceptor_.joinable()) {
        controlAcceptor_.join();
    }
    events_.stop();
    {
        std::lock_guard<std::mutex> hold(connectionsLock_);
        for (auto& connection : connections_) {
            connection->socket.shutdown();
        }
    }
    // A thread still inside a system call that the shutdown could not reach gets a few seconds;
    // after that it is left behind rather than hanging the exit.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    bool allEnded = true;
    for (;;) {
        reap();
        std::lock_guard<std::mutex> hold(connectionsLock_);
        if (connections_.empty()) {
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            for (auto& connection : connections_) {
                connection->thread.detach();
            }
            logLine("%zu connection(s) did not end; leaving them behind", connections_.size());
            connections_.clear();
            allEnded = false;
            break;
        }
        for (auto& connection : connections_) {
            connection->socket.shutdown();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    liveSections_.removeAll();
    return allEnded;
}

void SimService::quit() {
    if (quitHandler_) {
        quitHandler_();
    }
}

void SimService::acceptLoop(LocalServer& server, bool isControl) {
    // Each connection is served by a thread started before it arrived: on a busy machine a new
    // thread can wait milliseconds for its first turn, a woken one seldom does, and a client's
    // first request should cost what every later one costs.
    std::unique_ptr<Connection> spare;
    std::promise<bool> handOver;
    auto startSpare = [&] {
        spare = std::make_unique<Connection>();
        spare->isControl = isControl;
        handOver = std::promise<bool>();
        Connection* raw = spare.get();
        raw->thread = std::thread([this, raw, go = handOver.get_future()]() mutable {
            if (!go.get()) {
                return;  // the service stopped before a connection came
            }
            if (raw->isControl) {
                serveControl(*raw);
            } else {
                serveRequests(*raw);
            }
            closeConnection(*raw);
            raw->done = true;
        });
    };
    startSpare();
    while (!stopping_) {
        LocalSocket socket;
        try {
            socket = server.accept();
        } catch (const std::exception& e) {
            if (stopping_) {
                break;
            }
            const std::string text = e.what();
            logLine("accept failed: %s", text.c_str());
            if (text == "Pipe not open." || text == "CreateNamedPipe failed.") {
                // The server no longer listens: nobody new could reach the service.
                logLine("no longer listening; stopping");
                quit();
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            continue;
        }
        reap();
        {
            std::lock_guard<std::mutex> hold(connectionsLock_);
            if (stopping_) {
                break;
            }
            spare->id = nextConnectionId_++;
            spare->socket = std::move(socket);
            connections_.push_back(std::move(spare));
            handOver.set_value(true);
        }
        startSpare();
    }
    handOver.set_value(false);
    spare->thread.join();
}

void SimService::reap() {
    std::list<std::unique_ptr<Connection>> finished;
    {
        std::lock_guard<std::mutex> hold(connectionsLock_);
        for (auto it = connections_.begin(); it != connections_.end();) {
            if ((*it)->done) {
                finished.push_back(std::move(*it));
                it = connections_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& connection : finished) {
        connection->thread.join();
    }
}

void SimService::closeConnection(Connection& connection) {
    std::lock_guard<std::mutex> hold(connectionsLock_);
    connection.socket.close();
}

void SimService::serveRequests(Connection& connection) {
    const uint64_t id = connection.id;
    logLine("connection %llu: opened", static_cast<unsigned long long>(id));
    // A request that arrived whole is decoded from one read. Bytes of a following request that
    // came with it (a client may send ahead) stay buffered for the next round.
    BufferedStream input(&connection.socket);
    MsgReader reader(&input);
    RequestHandler handler(RequestContext{movies_, events_, liveSections_, frameCount_,
                                          sectionPrefix_, options_.flags, options_.version},
                           id);
    std::vector<uint8_t> bytes;  // the reply, sent with one write
    while (!stopping_) {
        // Frame loads come by the thousand: one that arrived whole is answered from the bytes it
        // came in, sparing it a value tree. Only with no fault armed, since faults are injected
        // by the general path below; every other request, and any LoadFrame not in the client's
        // plain form, goes there.
        if (!input.fill()) {
            break;
        }
        LoadFrameRequest load;
        if (faults_.armedCount() == 0 && matchLoadFrame(input.peek(), input.buffered(), load)) {
            input.skip(load.size);
            ++requestCount_;
            encode(handler.executeLoadFrame(load), bytes);
            if (connection.socket.write(bytes.data(), bytes.size()) != bytes.size()) {
                break;
            }
            continue;
        }
        MsgObject request;
        try {
            request = reader.readObject();
        } catch (const std::exception&) {
            // The end of the stream, or bytes that are no MessagePack value: either way the
            // next request cannot be found, so the connection ends.
            break;
        }
        ++requestCount_;
        int ord = -1;
        if (request.type() == MsgType::Map && request.hasKey("ord") &&
            request.get("ord").type() == MsgType::PositiveInt &&
            request.get("ord").asPositive() < 0x7FFFFFFF) {
            ord = static_cast<int>(request.get("ord").asPositive());
        }
        Fault fault;
        const bool faulty = faults_.take(ord, fault);
        if (faulty) {
            logLine("connection %llu: ord %d: injecting %s", static_cast<unsigned long long>(id),
                    ord, faultName(fault.kind));
        }
        if (faulty && fault.kind == FaultKind::Exit) {
            // Dies like a crashed service, except that it leaves no sections behind: a test
            // run must not fill the machine's shared memory.
            liveSections_.removeAll();
            endProcessNow(3);
        }
        if (faulty && fault.kind == FaultKind::Error) {
            encode(errorReply("Injected fault."), bytes);
        } else if (faulty && fault.kind == FaultKind::Garbage) {
            bytes = {0xC1};
        } else if (faulty && fault.kind == FaultKind::NotMap) {
            MsgObject notMap(msgArray, 3);
            notMap.append(MsgObject("not"));
            notMap.append(MsgObject("a"));
            notMap.append(MsgObject("reply"));
            encode(notMap, bytes);
        } else if (faulty && fault.kind == FaultKind::NoResult) {
            MsgObject reply(msgMap, 1);
            reply.insert("error", MsgObject());
            encode(reply, bytes);
        } else {
            if (faulty && fault.kind == FaultKind::Delay) {
                std::this_thread::sleep_for(std::chrono::milliseconds(fault.ms));
            }
            encode(handler.execute(request), bytes);
        }
        if (faulty && fault.kind == FaultKind::Shrink) {
            handler.shrinkFiles();
        }
        if (faulty && fault.kind == FaultKind::Drop) {
            // Half the reply, then the end: the client is left inside a value.
            connection.socket.write(bytes.data(), bytes.size() / 2);
            break;
        }
        if (connection.socket.write(bytes.data(), bytes.size()) != bytes.size()) {
            break;
        }
    }
    // Sections go with the connection that opened them; a client that still maps one keeps
    // its view.
    handler.closeFiles();
    if (const int error = connection.socket.lastError()) {
        logLine("connection %llu: closed (system error %d)", static_cast<unsigned long long>(id),
                error);
    } else {
        logLine("connection %llu: closed", static_cast<unsigned long long>(id));
    }
}

}  // namespace zel::vem::sim
