// ScriptedService: a drive service in the test process that answers each request with scripted
// bytes and records the requests exactly as they reached the pipe.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "msgpack/memory_stream.h"
#include "msgpack/msg_reader.h"
#include "msgpack/msg_writer.h"
#include "service/local_server.h"
#include "tests/msgpack/msg_dump.h"

namespace zel::vem::test {

using Bytes = std::vector<uint8_t>;

// The bytes of one value written by `build`.
Bytes encode(const std::function<void(MsgWriter&)>& build);

// A reply {"error": nil, "result": {...}} whose result fields `fields` writes (count of them).
Bytes okReply(uint32_t count, const std::function<void(MsgWriter&)>& fields);
// The reply to the version check: {"result": {"ver": 0}}.
Bytes versionReply();

struct Step {
    Bytes reply;
    // Send only this many bytes of the reply, then drop the connection (SIZE_MAX: all of it).
    size_t cutAfter = SIZE_MAX;
    // Write the reply in pieces of this many bytes, pausing between them so that each arrives on
    // its own (SIZE_MAX: one write).
    size_t piece = SIZE_MAX;
};

// Serves one client connection: for each step it decodes one whole request (recording its bytes)
// and writes the step's reply. After the last step it keeps the connection open until the client
// closes it or the service is destroyed.
class ScriptedService {
  public:
    explicit ScriptedService(std::vector<Step> steps);
    ~ScriptedService();

    const std::string& name() const { return pipeName; }
    // The requests received so far, each exactly as read from the pipe. Call after the client's
    // exchanges have returned.
    std::vector<Bytes> requests() const;
    // For each request, the reads it took to arrive whole (each read takes what the pipe holds).
    std::vector<int> readsPerRequest() const { return reads; }
    // Waits until the serving thread has ended (the client closed, or a step dropped the line).
    void join();

  private:
    void serve();

    std::string pipeName;
    LocalServer server;
    std::vector<Step> steps;
    std::vector<Bytes> received;
    std::vector<int> reads;
    std::thread thread;
};

// A unique pipe name for this process and call (Windows pipes share one namespace).
std::string uniquePipeName();

}  // namespace zel::vem::test
