// SimService: the simulated drive service, serving the request pipe and its control pipe.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "msgpack/msg_object.h"
#include "service/local_server.h"
#include "service/local_socket.h"
#include "service/shared_section.h"
#include "tools/vemsim/events.h"
#include "tools/vemsim/faults.h"
#include "tools/vemsim/load_frame_request.h"
#include "tools/vemsim/movies.h"

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
    // A file a connection has open: the movie it was opened on and the section frames go to.
    struct OpenFile {
        std::shared_ptr<SimMovie> movie;
        SharedSection section;
        // Takes the section off the list of live sections when the file goes.
        std::shared_ptr<void> registration;
    };
    using FileTable = std::map<uint32_t, OpenFile>;

    void acceptLoop(LocalServer& server, bool isControl);
    void serveRequests(Connection& connection);
    void serveControl(Connection& connection);
    // Builds the reply map for one decoded request (carrying the operation out).
    MsgObject execute(const MsgObject& request, FileTable& files, uint64_t connectionId);
    MsgObject executeOrd(uint64_t ord, const MsgObject& request, FileTable& files,
                         uint64_t connectionId);
    // The same for a LoadFrame recognised in the bytes it came in (load_frame_request.h).
    MsgObject executeLoadFrame(const LoadFrameRequest& request, FileTable& files,
                               uint64_t connectionId);
    // Copies a frame into the file's section; throws the request's error.
    MsgObject loadFrame(FileTable& files, uint32_t fileId, uint64_t frame);
    // Closes the connection's socket so the client sees the end at once.
    void closeConnection(Connection& connection);
    // Joins connection threads that have finished.
    void reap();
    void quit();
    // Removes the name of every section still open, for a stop that leaves connection threads
    // behind and for the injected exit: nothing of this run stays in the system's namespace.
    void removeLiveSections();

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

    // Guards liveSections_, the names of the sections connections hold open. Leaf lock.
    std::mutex sectionsLock_;
    std::set<std::string> liveSections_;

    std::atomic<uint64_t> requestCount_{0};
    std::atomic<uint64_t> frameCount_{0};
};

}  // namespace zel::vem::sim
