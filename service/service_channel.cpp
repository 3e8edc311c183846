// ServiceChannel: the request/reply exchange and the thirteen service operations.
#include "service/service_channel.h"

#include <cstring>
#include <stdexcept>
#include <thread>

namespace zel::vem {

namespace {

// Keys and texts are literals: their length is known at compile time, so nothing is measured.
template <size_t N>
void writeText(MsgWriter& writer, const char (&text)[N]) {
    writer.writeString(text, N - 1);
}

template <size_t N>
void writeUIntField(MsgWriter& writer, const char (&key)[N], uint64_t value) {
    writeText(writer, key);
    writer.writeUInt(value);
}

const MsgObject& resultField(const MsgObject& reply, const char* key) {
    return reply.get("result").get(key);
}

constexpr uint32_t kWaitEventOrd = 12;
constexpr uint32_t kCloseFileOrd = 5;
constexpr uint32_t kDestroyEventQueueOrd = 11;

// Service values arrive as 64-bit integers; each destination keeps the low bits of its width.
template <class T>
T truncated(const MsgObject& value) {
    return static_cast<T>(value.asPositive());
}

}  // namespace

ServiceChannel::ServiceChannel() : input(&socket), reader(&input), writer(&request) {}

ServiceChannel::~ServiceChannel() {
    disconnect();
}

bool ServiceChannel::isConnected() const {
    CAutoLock guard(lock);
    return connected;
}

void ServiceChannel::closeLocked() {
    socket.close();
    input.clear();
    connected = false;
}

void ServiceChannel::disconnect() {
    CAutoLock guard(lock);
    closeLocked();
}

void ServiceChannel::abort() {
    socket.shutdown();
}

bool ServiceChannel::sendRequest() {
    const size_t size = request.data.size();
    if (socket.write(request.data.data(), size) != size) {
        // The service may hold part of the request: nothing sent later could be told apart.
        closeLocked();
        return false;
    }
    return true;
}

void ServiceChannel::setTimeout(uint32_t ms) {
    timeoutMs = ms;
}

void ServiceChannel::setReleaseTimeout(uint32_t ms) {
    releaseMs = ms;
}

void ServiceChannel::setVersionCheckTimeout(uint32_t ms) {
    versionCheckMs = ms;
}

void ServiceChannel::setReconnect(bool on) {
    reconnect = on;
}

bool ServiceChannel::enter(const Clock::time_point* deadline) {
    if (deadline == nullptr) {
        lock.Enter();
        return true;
    }
    // The base library's lock has no timed wait. Polling costs nothing while the lock is free,
    // and a waiter only polls while another exchange runs, which takes far longer.
    while (!lock.TryEnter()) {
        if (Clock::now() >= *deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

bool ServiceChannel::hold() {
    // Without a limit no clock is read: frame reads come here by the thousand.
    const uint32_t ms = timeoutMs;
    if (ms == 0) {
        return enter(nullptr);
    }
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
    return enter(&deadline);
}

void ServiceChannel::release() {
    lock.Leave();
}

bool ServiceChannel::reconnectDueLocked(Clock::duration& wait) const {
    const Clock::time_point due = lastAttempt + kReconnectInterval;
    const Clock::time_point now = Clock::now();
    wait = attempted && now < due ? due - now : Clock::duration::zero();
    return wait == Clock::duration::zero();
}

bool ServiceChannel::reconnectWhenDue() {
    for (int pass = 0; pass < 2; ++pass) {
        Clock::duration wait{};
        {
            CAutoLock guard(lock);
            if (connected && !socket.peerGone()) {
                return true;
            }
            closeLocked();
            if (reconnectDueLocked(wait)) {
                return connectLocked();
            }
        }
        std::this_thread::sleep_for(wait);
    }
    return false;
}

bool ServiceChannel::readReply(MsgObject& reply) {
    try {
        reply = reader.readObject();
        return true;
    } catch (...) {
        // The reply is only partly consumed: whatever follows is out of step with the next
        // request, so this connection cannot be used any more.
        closeLocked();
        return false;
    }
}

bool ServiceChannel::CheckVersion(const char* pipeName) {
    CAutoLock guard(lock);
    pipe = pipeName;
    if (connected) {
        return true;
    }
    return connectLocked();
}

bool ServiceChannel::connectLocked() {
    attempted = true;
    lastAttempt = Clock::now();
    input.clear();
    connected = socket.connect(pipe.c_str());
    if (!connected) {
        return false;
    }
    const uint32_t ms = versionCheckMs;
    if (ms > 0) {
        socket.setDeadline(Clock::now() + std::chrono::milliseconds(ms));
    } else {
        socket.clearDeadline();
    }
    try {
        request.data.clear();
        writer.writeMapHeader(2);
        writeText(writer, "act");
        writeText(writer, "verCheck");
        writeUIntField(writer, "ver", 0);
        MsgObject reply;
        if (!sendRequest() || !readReply(reply)) {
            return false;
        }
        if (reply.hasKey("error") && reply.get("error").type() != MsgType::Nil) {
            throw std::runtime_error(reply.get("error").asString());
        }
        (void)resultField(reply, "ver").asPositive();  // any version is accepted
        if (connected) {
            ++connections;
        }
        return connected;
    } catch (...) {
        closeLocked();
        return false;
    }
}

template <class WriteParams, class ReadResult>
bool ServiceChannel::exchange(uint32_t ord, uint32_t paramCount, WriteParams&& writeParams,
                              ReadResult&& readResult) {
    // WaitEvent blocks until something happens on the drive, which may take hours.
    uint32_t ms = ord == kWaitEventOrd ? 0 : timeoutMs.load();
    if (ms == 0 && (ord == kCloseFileOrd || ord == kDestroyEventQueueOrd)) {
        ms = releaseMs.load();
    }
    const Clock::time_point deadline =
        ms > 0 ? Clock::now() + std::chrono::milliseconds(ms) : Clock::time_point{};
    if (!enter(ms > 0 ? &deadline : nullptr)) {
        return false;  // the exchange ahead is stuck; it disconnects when its own time is up
    }
    struct Leave {
        CCriticalSection& lock;
        ~Leave() { lock.Leave(); }
    } leave{lock};
    if (reconnect && (!connected || socket.peerGone())) {
        Clock::duration wait;
        closeLocked();
        if (!reconnectDueLocked(wait) || !connectLocked()) {
            return false;
        }
    }
    if (!connected) {
        return false;
    }
    if (ms > 0) {
        socket.setDeadline(deadline);
    } else {
        socket.clearDeadline();
    }
    try {
        request.data.clear();
        writer.writeMapHeader(paramCount > 0 ? 3 : 2);
        writeText(writer, "act");
        writeText(writer, "exec");
        writeUIntField(writer, "ord", ord);
        if (paramCount > 0) {
            writeText(writer, "params");
            writer.writeMapHeader(paramCount);
            writeParams();
        }
        MsgObject reply;
        if (!sendRequest() || !readReply(reply)) {
            return false;
        }
        if (reply.hasKey("error") && reply.get("error").type() != MsgType::Nil) {
            throw std::runtime_error(reply.get("error").asString());
        }
        readResult(reply);
        return true;
    } catch (...) {
        return false;
    }
}

namespace {
constexpr auto kNoParams = [] {};
constexpr auto kNoResult = [](const MsgObject&) {};
}  // namespace

bool ServiceChannel::IsDriveDetected() {
    bool detected = false;
    bool ok = exchange(0, 0, kNoParams, [&](const MsgObject& reply) {
        detected = resultField(reply, "detected").asBool();
    });
    return ok && detected;
}

bool ServiceChannel::GetMovieCount(uint32_t& count) {
    return exchange(1, 0, kNoParams, [&](const MsgObject& reply) {
        count = truncated<uint32_t>(resultField(reply, "count"));
    });
}

bool ServiceChannel::GetMovieInfo(uint32_t index, SVemMovieInfo& info) {
    return exchange(
        2, 1, [&] { writeUIntField(writer, "index", index); },
        [&](const MsgObject& reply) {
            const MsgObject& fields = resultField(reply, "info");
            info.size = truncated<uint32_t>(fields.get("size"));
            const MsgObject& name = fields.get("name");
            const char* text = name.asString();
            size_t length = std::min<size_t>(name.size(), sizeof(info.name) - 1);
            length = strnlen(text, length);
            std::memcpy(info.name, text, length);
            info.name[length] = '\0';
            info.width = truncated<uint16_t>(fields.get("width"));
            info.height = truncated<uint16_t>(fields.get("height"));
            info.numFrames = truncated<uint64_t>(fields.get("numFrames"));
            info.number = truncated<uint64_t>(fields.get("number"));
            info.rtcTime = truncated<uint32_t>(fields.get("rtcTime"));
            info.startTime = truncated<uint64_t>(fields.get("startTime"));
            info.endTime = truncated<uint64_t>(fields.get("endTime"));
            info.status = truncated<uint32_t>(fields.get("status"));
        });
}

bool ServiceChannel::GetMovieIndex(const char* name, uint32_t& index) {
    return exchange(
        3, 1,
        [&] {
            writeText(writer, "name");
            writer.writeString(name, std::strlen(name));
        },
        [&](const MsgObject& reply) { index = truncated<uint32_t>(resultField(reply, "index")); });
}

bool ServiceChannel::GetFileMapping(uint32_t fileId, CString& mapping) {
    return exchange(
        4, 1, [&] { writeUIntField(writer, "fileId", fileId); },
        [&](const MsgObject& reply) {
            mapping = CString(resultField(reply, "mapping").asString(), -1);
        });
}

bool ServiceChannel::CloseFile(uint32_t fileId) {
    return exchange(
        5, 1, [&] { writeUIntField(writer, "fileId", fileId); }, kNoResult);
}

bool ServiceChannel::LoadFrame(uint32_t fileId, uint64_t frameNumber) {
    return exchange(
        6, 2,
        [&] {
            writeUIntField(writer, "fileId", fileId);
            writeUIntField(writer, "frameNumber", frameNumber);
        },
        kNoResult);
}

bool ServiceChannel::RemoveMovie(uint32_t fileId) {
    return exchange(
        7, 1, [&] { writeUIntField(writer, "fileId", fileId); }, kNoResult);
}

bool ServiceChannel::ExecOrdinal8() {
    return exchange(8, 0, kNoParams, kNoResult);
}

bool ServiceChannel::GetFileData(uint32_t fileId, TSharedPtr<IFile> target) {
    // `target` is a by-value parameter: it is released when this function returns, on every path.
    return exchange(
        9, 1, [&] { writeUIntField(writer, "fileId", fileId); },
        [&](const MsgObject& reply) {
            const MsgObject& data = resultField(reply, "data");
            const void* bytes = data.blobData();
            uint32_t size = data.blobSize();
            if (!target || !target->WriteBytes(bytes, size)) {
                throw std::runtime_error("IFile::WriteBytes failed.");
            }
        });
}

bool ServiceChannel::CreateEventQueue(uint32_t& queueId) {
    return exchange(10, 0, kNoParams, [&](const MsgObject& reply) {
        queueId = truncated<uint32_t>(resultField(reply, "queueId"));
    });
}

bool ServiceChannel::DestroyEventQueue(uint32_t queueId) {
    return exchange(
        11, 1, [&] { writeUIntField(writer, "queueId", queueId); }, kNoResult);
}

bool ServiceChannel::WaitEvent(uint32_t queueId, SVemEvent& event) {
    return exchange(
        12, 1, [&] { writeUIntField(writer, "queueId", queueId); },
        [&](const MsgObject& reply) {
            const MsgObject& fields = resultField(reply, "event");
            event.type = truncated<uint32_t>(fields.get("type"));
            event.drive = truncated<uint32_t>(fields.get("drive"));
        });
}

}  // namespace zel::vem
