// ServiceChannel: one connection to the drive service and the thirteen operations it offers.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "msgpack/memory_stream.h"
#include "msgpack/msg_reader.h"
#include "msgpack/msg_writer.h"
#include "service/buffered_stream.h"
#include "service/local_socket.h"
#include "service/movie_info.h"
#include "suite/file.h"
#include "suite/shared_ptr.h"
#include "suite/strings.h"
#include "suite/sync.h"

namespace zel::vem {

// The pipe every channel connects to.
inline constexpr const char* kServicePipeName = "zelvemsvc";

// Strictly alternating exchanges: one request written, one reply read, under `lock`. Each request
// is encoded whole and leaves in one write; the reply is decoded from a read buffer, so a reply
// that arrived whole costs one read. Every system call wakes the service, so this keeps a small
// exchange near the cost of one round trip.
//
// Failure: no operation throws. Each returns false (IsDriveDetected: false) on a channel that is
// not connected, on a reply with a non-nil "error", on a malformed reply or on a broken pipe; the
// texts are dropped. Out-parameters receive each result field as soon as it has been read, so a
// failure part-way leaves the earlier fields stored.
//
// When a failure happens while a reply is still on the pipe (a short read, a byte the decoder does
// not accept), the rest of that reply can no longer be told apart from the next one, so the channel
// disconnects itself: later requests fail at once instead of reading leftover bytes. A reply that
// was read whole but carries an error or lacks a field leaves the channel connected.
//
// Bounds and reconnection are off unless the owner asks: by default an exchange waits as long as
// the service takes, and a channel that broke stays broken.
class ServiceChannel {
  public:
    ServiceChannel();
    ~ServiceChannel();  // disconnect()
    ServiceChannel(const ServiceChannel&) = delete;
    ServiceChannel& operator=(const ServiceChannel&) = delete;

    // Connects to `pipeName` unless already connected and runs the version check; true when the
    // channel is usable. A failed check leaves the channel not connected.
    bool CheckVersion(const char* pipeName = kServicePipeName);
    // Closes the pipe and clears the connected flag, under the channel lock.
    void disconnect();
    // Breaks an exchange blocked in another thread (shut-down of the event thread when the service
    // does not end its wait); the blocked operation then fails. Takes no lock on purpose.
    void abort();
    bool isConnected() const;

    using Clock = LocalSocket::Clock;
    // Each later exchange (waiting for the lock included) takes at most `ms` milliseconds, 0 for
    // no limit; WaitEvent is never bounded. One that runs out disconnects the channel, since
    // its reply may still arrive and would be read as the next one. May be called at any time.
    void setTimeout(uint32_t ms);
    // The limit for every version check (connecting and reconnecting), 0 for none.
    void setVersionCheckTimeout(uint32_t ms);
    // The limit of exchanges that only let go of something (CloseFile, DestroyEventQueue) when
    // setTimeout gave none: a host dropping a file on a hung service must not hang with it.
    void setReleaseTimeout(uint32_t ms);
    // Counts the connections made: a file the service set up on an earlier connection is gone
    // with it (the service forgets a connection's files when it closes), even if the channel has
    // connected again since.
    uint64_t connectionCount() const { return connections.load(); }
    // When on, an exchange on a channel that is not connected, or whose service went away,
    // first connects again (with the version check), at most once per kReconnectInterval.
    void setReconnect(bool on);
    static constexpr std::chrono::milliseconds kReconnectInterval{1000};
    // Connects again now if the channel is not usable, waiting for the interval since the last
    // attempt first if need be (for a caller that must not miss the service's return); true
    // when the channel is usable afterwards.
    bool reconnectWhenDue();

    // Keeps other callers' exchanges out while the holder checks something, runs exchanges of
    // its own (the lock is recursive) and uses what they left in shared memory. Waits at most
    // the timeout, like an exchange; false when the lock did not come.
    bool hold();
    void release();

    bool IsDriveDetected();                                  // ord 0
    bool GetMovieCount(uint32_t& count);                     // ord 1
    bool GetMovieInfo(uint32_t index, SVemMovieInfo& info);  // ord 2
    bool GetMovieIndex(const char* name, uint32_t& index);   // ord 3
    bool GetFileMapping(uint32_t fileId, CString& mapping);  // ord 4
    bool CloseFile(uint32_t fileId);                         // ord 5
    bool LoadFrame(uint32_t fileId, uint64_t frameNumber);   // ord 6
    bool RemoveMovie(uint32_t fileId);                       // ord 7
    bool ExecOrdinal8();                                     // ord 8
    // Writes the reply's "data" blob into `target` with one WriteBytes; `target` is released on
    // every path, also when the channel is not connected.
    bool GetFileData(uint32_t fileId, TSharedPtr<IFile> target);  // ord 9
    bool CreateEventQueue(uint32_t& queueId);                     // ord 10
    bool DestroyEventQueue(uint32_t queueId);                     // ord 11
    bool WaitEvent(uint32_t queueId, SVemEvent& event);           // ord 12

  private:
    template <class WriteParams, class ReadResult>
    bool exchange(uint32_t ord, uint32_t paramCount, WriteParams&& writeParams,
                  ReadResult&& readResult);
    // Writes the request encoded in `request` with one write; on a short write the line is broken
    // and the channel disconnects.
    bool sendRequest();
    bool readReply(MsgObject& reply);
    void closeLocked();
    // Takes `lock`, giving up at `deadline` when one is given.
    bool enter(const Clock::time_point* deadline);
    // Connects and runs the version check; the caller holds `lock`.
    bool connectLocked();
    // Whether the reconnection interval has passed since the last attempt; `wait` gets the rest.
    bool reconnectDueLocked(Clock::duration& wait) const;

    LocalSocket socket;
    // Guards every member below for one whole exchange (request written and reply read). Lock
    // order: the drive interface's cacheLock, if taken, comes before this lock; no operation takes
    // another lock while holding it.
    mutable CCriticalSection lock;
    bool connected = false;
    // Bytes of the connection's replies read but not yet decoded; cleared with the connection.
    BufferedStream input;
    // The request being encoded; its capacity is kept from one request to the next.
    MemoryStream request;
    MsgReader reader;
    MsgWriter writer;
    // The pipe CheckVersion connected to, and when a connection was last attempted (guarded by
    // `lock`).
    std::string pipe = kServicePipeName;
    bool attempted = false;
    Clock::time_point lastAttempt;
    // Read at the start of each exchange; atomic so an owner can change them while another
    // thread is inside one.
    std::atomic<uint32_t> timeoutMs{0};
    std::atomic<uint32_t> versionCheckMs{0};
    std::atomic<bool> reconnect{false};
    std::atomic<uint32_t> releaseMs{0};
    std::atomic<uint64_t> connections{0};
};

}  // namespace zel::vem
