// RequestHandler: the thirteen operations of the simulated drive, and the version check.
#include "tools/vemsim/request_handler.h"

#include <stdexcept>
#include <utility>
#include <vector>

#include "tools/vemsim/log.h"
#include "tools/vemsim/sim_time.h"

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

MsgObject errorReply(const std::string& text) {
    MsgObject reply(msgMap, 1);
    reply.insert("error", MsgObject(text.c_str()));
    return reply;
}

void LiveSections::add(const std::string& name) {
    std::lock_guard<std::mutex> hold(lock_);
    names_.insert(name);
}

void LiveSections::erase(const std::string& name) {
    std::lock_guard<std::mutex> hold(lock_);
    names_.erase(name);
}

void LiveSections::removeAll() {
    std::lock_guard<std::mutex> hold(lock_);
    for (const std::string& name : names_) {
        SharedSection::removeName(name);
    }
    names_.clear();
}

RequestHandler::RequestHandler(RequestContext context, uint64_t connectionId)
    : context_(std::move(context)), connectionId_(connectionId) {}

void RequestHandler::shrinkFiles() {
    for (auto& entry : files_) {
        entry.second.section.shrink(0);
    }
    files_.clear();
}

MsgObject RequestHandler::execute(const MsgObject& request) {
    const unsigned long long id = connectionId_;
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
            return successReply(oneField("ver", MsgObject(uint64_t{context_.version})));
        }
        if (act != "exec") {
            throw RequestError("Unknown act \"" + act + "\".");
        }
        if (!request.hasKey("ord") || request.get("ord").type() != MsgType::PositiveInt) {
            throw RequestError("Missing \"ord\".");
        }
        const uint64_t ord = request.get("ord").asPositive();
        what = ord < kOrdCount ? kOrdNames[ord] : "ord " + std::to_string(ord);
        MsgObject reply = executeOrd(ord, request);
        // Frame loads and a client's start-up (one GetMovieInfo per movie) come by the thousand:
        // a line each would cost more than serving them.
        if ((ord != kOrdLoadFrame && ord != kOrdGetMovieInfo) || verbose()) {
            logLine("connection %llu: %s: ok", id, what.c_str());
        }
        return reply;
    } catch (const std::exception& e) {
        return failure(connectionId_, what, e);
    }
}

MsgObject RequestHandler::executeLoadFrame(const LoadFrameRequest& request) {
    try {
        if (!context_.movies.attached()) {
            throw RequestError(kNoDrive);
        }
        MsgObject reply = loadFrame(request.fileId, request.frameNumber);
        if (verbose()) {
            logLine("connection %llu: %s: ok", static_cast<unsigned long long>(connectionId_),
                    kOrdNames[kOrdLoadFrame]);
        }
        return reply;
    } catch (const std::exception& e) {
        return failure(connectionId_, kOrdNames[kOrdLoadFrame], e);
    }
}

MsgObject RequestHandler::loadFrame(uint32_t fileId, uint64_t frame) {
    auto it = files_.find(fileId);
    if (it == files_.end()) {
        throw RequestError("File not open.");
    }
    SimMovie& movie = *it->second.movie;
    if (frame >= movie.frameCount()) {
        throw RequestError("Frame number out of range.");
    }
    if (!movie.copyFrame(frame, it->second.section.data())) {
        throw RequestError("Frame cannot be read.");
    }
    ++context_.frameCount;
    return successReply(emptyResult());
}

std::shared_ptr<SimMovie> RequestHandler::movieAt(uint32_t index) {
    std::shared_ptr<SimMovie> movie = context_.movies.at(index);
    if (!movie) {
        throw RequestError("No movie " + std::to_string(index) + ".");
    }
    return movie;
}

const std::string& RequestHandler::fileMapping(uint32_t fileId) {
    std::shared_ptr<SimMovie> movie = movieAt(fileId);
    auto it = files_.find(fileId);
    if (it == files_.end() || it->second.movie != movie) {
        // One frame, at least one byte: the client copies a frame from offset 0.
        OpenFile file;
        file.movie = movie;
        const uint64_t size = movie->frameBytes() > 0 ? movie->frameBytes() : 1;
        if (!file.section.createUnique(context_.sectionPrefix.c_str(), size, context_.flags)) {
            throw RequestError("Cannot create a shared section.");
        }
        const std::string sectionName = file.section.name();
        LiveSections& sections = context_.sections;
        sections.add(sectionName);
        file.registration = std::shared_ptr<void>(
            nullptr, [&sections, sectionName](void*) { sections.erase(sectionName); });
        it = files_.insert_or_assign(fileId, std::move(file)).first;
        logLine("connection %llu: file %u (%s) mapped as %s",
                static_cast<unsigned long long>(connectionId_), fileId, movie->entryName().c_str(),
                it->second.section.name().c_str());
    }
    return it->second.section.name();
}

MsgObject RequestHandler::executeOrd(uint64_t ord, const MsgObject& request) {
    MovieSet& movies = context_.movies;
    EventHub& events = context_.events;
    // Everything that reads the drive's contents needs the drive.
    const bool needsDrive =
        ord == 1 || ord == 2 || ord == 3 || ord == 4 || ord == 6 || ord == 7 || ord == 9;
    if (needsDrive && !movies.attached()) {
        throw RequestError(kNoDrive);
    }
    switch (ord) {
        case 0:
            return successReply(oneField("detected", MsgObject(movies.attached())));
        case 1:
            return successReply(oneField("count", MsgObject(uint64_t{movies.list().size()})));
        case 2:
            return successReply(oneField("info", movieInfo(*movieAt(idParam(request, "index")))));
        case 3: {
            uint32_t index = 0;
            if (!movies.findIndex(stringParam(request, "name"), index)) {
                throw RequestError("No such movie.");
            }
            return successReply(oneField("index", MsgObject(uint64_t{index})));
        }
        case 4: {
            const std::string& name = fileMapping(idParam(request, "fileId"));
            return successReply(
                oneField("mapping", MsgObject(name.c_str(), static_cast<uint32_t>(name.size()))));
        }
        case 5:
            // Closing a file that is not open is not an error: the client closes twice.
            files_.erase(idParam(request, "fileId"));
            return successReply(emptyResult());
        case 6: {
            const uint32_t fileId = idParam(request, "fileId");
            const uint64_t frame = positiveParam(request, "frameNumber");
            return loadFrame(fileId, frame);
        }
        case 7: {
            const uint32_t fileId = idParam(request, "fileId");
            const std::string entry = movieAt(fileId)->entryName();
            if (!movies.remove(fileId)) {
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
            if (!events.create(queueId)) {
                throw RequestError("Too many event queues.");
            }
            return successReply(oneField("queueId", MsgObject(uint64_t{queueId})));
        }
        case 11:
            if (!events.destroy(idParam(request, "queueId"))) {
                throw RequestError("No such event queue.");
            }
            return successReply(emptyResult());
        case 12: {
            uint32_t type = 0;
            switch (events.wait(idParam(request, "queueId"), type)) {
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
