// SimService: pipes, connections and the thirteen operations of the simulated drive.
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
#include "tools/vemsim/sim_time.h"
#include "tools/vemsim/stop_signal.h"

namespace zel::vem::sim {

namespace {

const char* const kOrdNames[] = {
    "IsDriveDetected",  "GetMovieCount",     "GetMovieInfo", "GetMovieIndex", "GetFileMapping",
    "CloseFile",        "LoadFrame",         "RemoveMovie",  "ExecOrdinal8",  "GetFileData",
    "CreateEventQueue", "DestroyEventQueue", "WaitEvent"};
constexpr uint64_t kOrdCount = sizeof kOrdNames / sizeof kOrdNames[0];
constexpr uint64_t kOrdGetMovieInfo = 2;
constexpr uint64_t kOrdLoadFrame = 6;
constexpr const char* kNoDrive = "No drive detected.";

// A failed request: its text becomes the reply's "error".
struct RequestError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

MsgObject errorReply(const std::string& text) {
    MsgObject reply(msgMap, 1);
    reply.insert("error", MsgObject(text.c_str()));
    return reply;
}

MsgObject successReply(MsgObject&& result) {
    MsgObject reply(msgMap, 2);
    reply.insert("error", MsgObject());
    reply.insert("result", std::move(result));
    return reply;
}

MsgObject emptyResult() {
    return MsgObject(msgMap, 0);
}

MsgObject oneField(const char* key, MsgObject&& value) {
    MsgObject result(msgMap, 1);
    result.insert(key, std::move(value));
    return result;
}

// The reply to a request that failed, and its log line. A RequestError states the client's
// mistake; anything else thrown is a lookup on a value of the wrong kind, which is still the
// client's request that is wrong.
MsgObject failure(uint64_t connectionId, const std::string& what, const std::exception& e) {
    logLine("connection %llu: %s: error: %s", static_cast<unsigned long long>(connectionId),
            what.c_str(), e.what());
    const bool stated = dynamic_cast<const RequestError*>(&e) != nullptr;
    return errorReply(stated ? std::string(e.what()) : std::string("Bad request: ") + e.what());
}

const MsgObject& params(const MsgObject& request) {
    if (!request.hasKey("params") || request.get("params").type() != MsgType::Map) {
        throw RequestError("Missing \"params\".");
    }
    return request.get("params");
}

uint64_t positiveParam(const MsgObject& request, const char* key) {
    const MsgObject& map = params(request);
    if (!map.hasKey(key) || map.get(key).type() != MsgType::PositiveInt) {
        throw RequestError(std::string("Missing parameter \"") + key + "\".");
    }
    return map.get(key).asPositive();
}

std::string stringParam(const MsgObject& request, const char* key) {
    const MsgObject& map = params(request);
    if (!map.hasKey(key) || map.get(key).type() != MsgType::String) {
        throw RequestError(std::string("Missing parameter \"") + key + "\".");
    }
    const MsgObject& value = map.get(key);
    return std::string(value.asString(), value.size());
}

uint32_t idParam(const MsgObject& request, const char* key) {
    const uint64_t value = positiveParam(request, key);
    if (value > 0xFFFFFFFFu) {
        throw RequestError(std::string("Parameter \"") + key + "\" out of range.");
    }
    return static_cast<uint32_t>(value);
}

// Replaces `bytes` with the encoding of `value`, keeping its capacity: a reply grown byte by byte
// into a fresh vector would cost a handful of allocations every time.
void encode(const MsgObject& value, std::vector<uint8_t>& bytes) {
    MemoryStream stream(std::move(bytes));
    stream.data.clear();
    MsgWriter writer(&stream);
    writer.writeObject(value);
    bytes = std::move(stream.data);
}

// The ten "info" fields of GetMovieInfo.
MsgObject movieInfo(const SimMovie& movie) {
    const zel::file::SInfoBlock& block = movie.block();
    const int64_t first = block.frameTimes.empty() ? block.recordingTime : block.frameTimes.front();
    const int64_t last = block.frameTimes.empty() ? block.recordingTime : block.frameTimes.back();
    const uint64_t bytes = movie.frameCount() * movie.frameBytes();
    MsgObject info(msgMap, 10);
    info.insert("size", MsgObject(uint64_t{bytes > 0xFFFFFFFFu ? 0xFFFFFFFFu : bytes}));
    info.insert("name",
                MsgObject(movie.name().c_str(), static_cast<uint32_t>(movie.name().size())));
    info.insert("width", MsgObject(uint64_t{block.width}));
    info.insert("height", MsgObject(uint64_t{block.height}));
    info.insert("numFrames", MsgObject(uint64_t{movie.frameCount()}));
    info.insert("number", MsgObject(uint64_t{movie.number()}));
    info.insert("rtcTime", MsgObject(uint64_t{unixSecondsFromTicks(block.recordingTime)}));
    info.insert("startTime", MsgObject(uint64_t{irigFromTicks(first)}));
    info.insert("endTime", MsgObject(uint64_t{irigFromTicks(last)}));
    info.insert("status", MsgObject(uint64_t{0}));
    return info;
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
    removeLiveSections();
    return allEnded;
}

void SimService::removeLiveSections() {
    std::lock_guard<std::mutex> hold(sectionsLock_);
    for (const std::string& name : liveSections_) {
        SharedSection::removeName(name);
    }
    liveSections_.clear();
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
    FileTable files;
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
            encode(executeLoadFrame(load, files, id), bytes);
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
            removeLiveSections();
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
            encode(execute(request, files, id), bytes);
        }
        if (faulty && fault.kind == FaultKind::Shrink) {
            // Our own views past the cut would fault too: the files go with their sections.
            for (auto& entry : files) {
                entry.second.section.shrink(0);
            }
            files.clear();
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
    files.clear();
    if (const int error = connection.socket.lastError()) {
        logLine("connection %llu: closed (system error %d)", static_cast<unsigned long long>(id),
                error);
    } else {
        logLine("connection %llu: closed", static_cast<unsigned long long>(id));
    }
}

MsgObject SimService::execute(const MsgObject& request, FileTable& files, uint64_t connectionId) {
    const unsigned long long id = connectionId;
    std::string what = "request";
    try {
        if (request.type() != MsgType::Map) {
            throw RequestError("Request is not a map.");
        }
        if (!request.hasKey("act") || request.get("act").type() != MsgType::String) {
            throw RequestError("Missing \"act\".");
        }
        const std::string act = request.get("act").asString();
        if (act == "verCheck") {
            what = "verCheck";
            if (!request.hasKey("ver") || request.get("ver").type() != MsgType::PositiveInt) {
                throw RequestError("Missing \"ver\".");
            }
            logLine("connection %llu: verCheck ver=%llu", id,
                    static_cast<unsigned long long>(request.get("ver").asPositive()));
            return successReply(oneField("ver", MsgObject(uint64_t{options_.version})));
        }
        if (act != "exec") {
            throw RequestError("Unknown act \"" + act + "\".");
        }
        if (!request.hasKey("ord") || request.get("ord").type() != MsgType::PositiveInt) {
            throw RequestError("Missing \"ord\".");
        }
        const uint64_t ord = request.get("ord").asPositive();
        what = ord < kOrdCount ? kOrdNames[ord] : "ord " + std::to_string(ord);
        MsgObject reply = executeOrd(ord, request, files, connectionId);
        // Frame loads and a client's start-up (one GetMovieInfo per movie) come by the thousand:
        // a line each would cost more than serving them.
        if ((ord != kOrdLoadFrame && ord != kOrdGetMovieInfo) || verbose()) {
            logLine("connection %llu: %s: ok", id, what.c_str());
        }
        return reply;
    } catch (const std::exception& e) {
        return failure(connectionId, what, e);
    }
}

MsgObject SimService::executeLoadFrame(const LoadFrameRequest& request, FileTable& files,
                                       uint64_t connectionId) {
    try {
        if (!movies_.attached()) {
            throw RequestError(kNoDrive);
        }
        MsgObject reply = loadFrame(files, request.fileId, request.frameNumber);
        if (verbose()) {
            logLine("connection %llu: %s: ok", static_cast<unsigned long long>(connectionId),
                    kOrdNames[kOrdLoadFrame]);
        }
        return reply;
    } catch (const std::exception& e) {
        return failure(connectionId, kOrdNames[kOrdLoadFrame], e);
    }
}

MsgObject SimService::loadFrame(FileTable& files, uint32_t fileId, uint64_t frame) {
    auto it = files.find(fileId);
    if (it == files.end()) {
        throw RequestError("File not open.");
    }
    SimMovie& movie = *it->second.movie;
    if (frame >= movie.frameCount()) {
        throw RequestError("Frame number out of range.");
    }
    if (!movie.copyFrame(frame, it->second.section.data())) {
        throw RequestError("Frame cannot be read.");
    }
    ++frameCount_;
    return successReply(emptyResult());
}

MsgObject SimService::executeOrd(uint64_t ord, const MsgObject& request, FileTable& files,
                                 uint64_t connectionId) {
    // Everything that reads the drive's contents needs the drive.
    const bool needsDrive =
        ord == 1 || ord == 2 || ord == 3 || ord == 4 || ord == 6 || ord == 7 || ord == 9;
    if (needsDrive && !movies_.attached()) {
        throw RequestError(kNoDrive);
    }
    auto movieAt = [this](uint32_t index) {
        std::shared_ptr<SimMovie> movie = movies_.at(index);
        if (!movie) {
            throw RequestError("No movie " + std::to_string(index) + ".");
        }
        return movie;
    };
    switch (ord) {
        case 0:
            return successReply(oneField("detected", MsgObject(movies_.attached())));
        case 1:
            return successReply(oneField("count", MsgObject(uint64_t{movies_.list().size()})));
        case 2:
            return successReply(oneField("info", movieInfo(*movieAt(idParam(request, "index")))));
        case 3: {
            uint32_t index = 0;
            if (!movies_.findIndex(stringParam(request, "name"), index)) {
                throw RequestError("No such movie.");
            }
            return successReply(oneField("index", MsgObject(uint64_t{index})));
        }
        case 4: {
            const uint32_t fileId = idParam(request, "fileId");
            std::shared_ptr<SimMovie> movie = movieAt(fileId);
            auto it = files.find(fileId);
            if (it == files.end() || it->second.movie != movie) {
                // One frame, at least one byte: the client copies a frame from offset 0.
                OpenFile file;
                file.movie = movie;
                const uint64_t size = movie->frameBytes() > 0 ? movie->frameBytes() : 1;
                if (!file.section.createUnique(sectionPrefix_.c_str(), size, options_.flags)) {
                    throw RequestError("Cannot create a shared section.");
                }
                const std::string sectionName = file.section.name();
                {
                    std::lock_guard<std::mutex> hold(sectionsLock_);
                    liveSections_.insert(sectionName);
                }
                file.registration = std::shared_ptr<void>(nullptr, [this, sectionName](void*) {
                    std::lock_guard<std::mutex> hold(sectionsLock_);
                    liveSections_.erase(sectionName);
                });
                it = files.insert_or_assign(fileId, std::move(file)).first;
                logLine("connection %llu: file %u (%s) mapped as %s",
                        static_cast<unsigned long long>(connectionId), fileId,
                        movie->entryName().c_str(), it->second.section.name().c_str());
            }
            const std::string& name = it->second.section.name();
            return successReply(
                oneField("mapping", MsgObject(name.c_str(), static_cast<uint32_t>(name.size()))));
        }
        case 5:
            // Closing a file that is not open is not an error: the client closes twice.
            files.erase(idParam(request, "fileId"));
            return successReply(emptyResult());
        case 6: {
            const uint32_t fileId = idParam(request, "fileId");
            const uint64_t frame = positiveParam(request, "frameNumber");
            return loadFrame(files, fileId, frame);
        }
        case 7: {
            const uint32_t fileId = idParam(request, "fileId");
            const std::string entry = movieAt(fileId)->entryName();
            if (!movies_.remove(fileId)) {
                throw RequestError("No movie " + std::to_string(fileId) + ".");
            }
            logLine("removed movie %u (%s)", fileId, entry.c_str());
            return successReply(emptyResult());
        }
        case 8:
            // Not used by the client; the simulated drive gives it no meaning.
            return successReply(emptyResult());
        case 9: {
            std::shared_ptr<SimMovie> movie = movieAt(idParam(request, "fileId"));
            const std::vector<uint8_t>& bytes = movie->infoBytes();
            return successReply(
                oneField("data", MsgObject(bytes.data(), static_cast<uint32_t>(bytes.size()))));
        }
        case 10: {
            uint32_t queueId = 0;
            if (!events_.create(queueId)) {
                throw RequestError("Too many event queues.");
            }
            return successReply(oneField("queueId", MsgObject(uint64_t{queueId})));
        }
        case 11:
            if (!events_.destroy(idParam(request, "queueId"))) {
                throw RequestError("No such event queue.");
            }
            return successReply(emptyResult());
        case 12: {
            uint32_t type = 0;
            switch (events_.wait(idParam(request, "queueId"), type)) {
                case EventHub::WaitResult::Event:
                    break;
                case EventHub::WaitResult::Ended:
                    type = 0;
                    break;
                case EventHub::WaitResult::NoQueue:
                    throw RequestError("No such event queue.");
                case EventHub::WaitResult::Stopping:
                    throw RequestError("Service stopping.");
            }
            MsgObject event(msgMap, 2);
            event.insert("type", MsgObject(uint64_t{type}));
            event.insert("drive", MsgObject(uint64_t{0}));
            return successReply(oneField("event", std::move(event)));
        }
        default:
            throw RequestError("Unknown operation " + std::to_string(ord) + ".");
    }
}

}  // namespace zel::vem::sim
