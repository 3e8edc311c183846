// RequestHandler: answers the requests of one connection to the simulated drive.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "msgpack/msg_object.h"
#include "service/shared_section.h"
#include "tools/vemsim/events.h"
#include "tools/vemsim/load_frame_request.h"
#include "tools/vemsim/movies.h"

namespace zel::vem::sim {

// The names of the sections connections hold open, so that a stop which leaves connection
// threads behind, and the injected exit, can still take every one out of the system's namespace.
class LiveSections {
  public:
    void add(const std::string& name);
    void erase(const std::string& name);
    // Removes every name still listed from the system and forgets it.
    void removeAll();

  private:
    // Guards names_. Leaf lock.
    std::mutex lock_;
    std::set<std::string> names_;
};

// What the requests of every connection act on. Everything referred to belongs to the service
// and outlives its connections.
struct RequestContext {
    MovieSet& movies;
    EventHub& events;
    LiveSections& sections;
    std::atomic<uint64_t>& frameCount;  // frames copied, for the control command "stats"
    std::string sectionPrefix;          // keeps this run's section names apart from others'
    unsigned flags = 0;                 // GlobalAccess for the sections
    uint64_t version = 1;               // answered to the version check
};

class RequestHandler {
  public:
    RequestHandler(RequestContext context, uint64_t connectionId);

    // Builds the reply map for one decoded request, carrying the operation out.
    MsgObject execute(const MsgObject& request);
    // The same for a LoadFrame recognised in the bytes it came in (load_frame_request.h).
    MsgObject executeLoadFrame(const LoadFrameRequest& request);
    // Cuts every open file's section to nothing and closes the files: after a shrunken
    // section our own views past the cut would fault too.
    void shrinkFiles();
    // Closes every file; a client that still maps a section keeps its view.
    void closeFiles() { files_.clear(); }

  private:
    // A file the connection has open: the movie it was opened on and the section frames go to.
    struct OpenFile {
        std::shared_ptr<SimMovie> movie;
        SharedSection section;
        // Takes the section off the list of live sections when the file goes.
        std::shared_ptr<void> registration;
    };

    MsgObject executeOrd(uint64_t ord, const MsgObject& request);
    // Copies a frame into the file's section; throws the request's error.
    MsgObject loadFrame(uint32_t fileId, uint64_t frame);
    // The name of the section of file `fileId`, opening the file when it is not open yet.
    const std::string& fileMapping(uint32_t fileId);
    std::shared_ptr<SimMovie> movieAt(uint32_t index);

    RequestContext context_;
    uint64_t connectionId_;
    std::map<uint32_t, OpenFile> files_;
};

// The reply to a request that failed with `text`.
MsgObject errorReply(const std::string& text);

}  // namespace zel::vem::sim
