// SimService: the simulated drive service, serving the request pipe and its control pipe.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "service/local_server.h"
#include "service/local_socket.h"
#include "tools/vemsim/events.h"
#include "tools/vemsim/faults.h"
#include "tools/vemsim/movies.h"
#include "tools/vemsim/request_handler.h"

namespace zel::vem::sim {

struct ServiceOptions {
    std::string pipeName = "zelvemsvc";
    unsigned flags = 0;    // GlobalAccess for the pipes and sections
    uint64_t version = 1;  // answered to the version check
};

// The control pipe of a service pipe NAME is NAME + ".ctl".
std::string controlPipeName(const std::string& pipeName);

class SimService {
  public:
    explicit SimService(ServiceOptions options);
    ~SimService();  // stop()
    SimService(const SimService&) = delete;
    SimService& operator=(const SimService&) = delete;

    MovieSet& movies() { return movies_; }
    EventHub& events() { return events_; }
    FaultPlan& faults() { return faults_; }
    const ServiceOptions& options() const { return options_; }

    // Listens on both pipes and starts their accept threads. False with a reason when either
    // pipe cannot be served (another live service has it).
    bool start(std::string* error);
    // Ends everything: no new clients, waiting WaitEvents answered with an error, every
    // connection broken and its thread joined (threads that do not end within a few seconds
    // are left behind and reported by the result: false). Harmless when repeated.
    bool stop();
    // Called by the control command "quit" and when a pipe can no longer be served; the owner
    // (main) then calls stop().
    void setQuitHandler(std::function<void()> handler) { quitHandler_ = std::move(handler); }

    // Executes one control command line and returns the one-line answer ("ok ..." or
    // "error ..."). See docs/vemsim.md for the commands. "quit" stops at once unless
    // `quitRequested` is given: then it is only set, for the caller to quit after answering.
    std::string control(const std::string& line, bool* quitRequested = nullptr);

  private:
    struct Connection {
        uint64_t id = 0;
        bool isControl = false;
        LocalSocket socket;
        std::thread thread;
        std::atomic<bool> done{false};
    };
    void acceptLoop(LocalServer& server, bool isControl);
    void serveRequests(Connection& connection);
    void serveControl(Connection& connection);
    // Closes the connection's socket so the client sees the end at once.
    void closeConnection(Connection& connection);
    // Joins connection threads that have finished.
    void reap();
    void quit();

    ServiceOptions options_;
    EventHub events_;
    FaultPlan faults_;
    MovieSet movies_;
    std::string sectionPrefix_;
    std::function<void()> quitHandler_;

    LocalServer requestServer_;
    LocalServer controlServer_;
    std::thread requestAcceptor_;
    std::thread controlAcceptor_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> stopped_{false};

    // Guards connections_ and nextConnectionId_, and every socket's close against the
    // shutdown() of stop(). Taken alone or before a movie set, event hub or fault plan lock
    // (those are leaf locks), never while waiting for a client.
    std::mutex connectionsLock_;
    std::list<std::unique_ptr<Connection>> connections_;
    uint64_t nextConnectionId_ = 1;

    // The sections connections hold open; removed whole by a stop that leaves connection
    // threads behind and by the injected exit, so nothing of this run stays in the system's
    // namespace.
    LiveSections liveSections_;

    std::atomic<uint64_t> requestCount_{0};
    std::atomic<uint64_t> frameCount_{0};
};

}  // namespace zel::vem::sim
