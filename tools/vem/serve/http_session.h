// One HTTP connection, over plain TCP or TLS: reads requests, has the router answer them off the
// network thread, writes replies (streamed bodies a chunk at a time), or becomes an event stream.
// Only the server's translation units include this (it pulls in Beast).
#pragma once

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <cstdio>
#include <deque>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "body_memory.h"
#include "router.h"

namespace vemserve {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;

// How long a connection may take to send a request (from the end of the last one, so this is
// also the keep-alive idle limit), and to take one chunk of a reply.
constexpr std::chrono::seconds kRequestTimeout{30};
constexpr std::chrono::seconds kWriteTimeout{60};
// Event streams send a comment this often, so proxies keep them and dead peers are noticed.
constexpr std::chrono::seconds kHeartbeat{15};
// Request headers above this size are answered with 431.
constexpr uint32_t kHeaderLimit = 8192;
// An event stream whose client does not keep up is closed once this much waits for it.
constexpr size_t kEventBacklog = 1 << 20;

// Writes everything, handing the socket as much per system call as it takes. Asio's own
// `transfer_all` stops each call at 64 KiB, which made a movie's GET one sendmsg (and one timer
// reset) per 64 KiB: the server's sending thread, not the drive, was the limit.
inline size_t transferAllAtOnce(const boost::system::error_code& ec, size_t) {
    return ec ? 0 : SIZE_MAX;
}

class SessionBase {
  public:
    enum class State { Reading, Busy, Events };
    virtual ~SessionBase() = default;
    virtual void start() = 0;
    // Ends the connection now (from the network thread): pending operations fail.
    virtual void close() = 0;
    virtual void deliverEvent(const std::string& text) = 0;

    State state = State::Reading;
    std::chrono::steady_clock::time_point since = std::chrono::steady_clock::now();
    bool enrolled = false;
    std::list<SessionBase*>::iterator position;
};

// What every connection shares. Everything here but `router` and `workers` is used on the
// network thread only (one thread runs the io_context), so it needs no lock.
struct ServerCore {
    net::io_context* io = nullptr;
    net::thread_pool* workers = nullptr;
    Router* router = nullptr;
    size_t maxConnections = 256;
    std::FILE* log = stderr;
    std::list<SessionBase*> sessions;
    // Taken and given back from any thread (a session may end on a worker).
    BodyMemory bodyMemory;

    void enroll(SessionBase* session) {
        session->position = sessions.insert(sessions.end(), session);
        session->enrolled = true;
    }
    void leave(SessionBase* session) {
        if (session->enrolled) {
            sessions.erase(session->position);
            session->enrolled = false;
        }
    }
    // Makes room for one more connection by closing the connection that has waited longest for
    // a request. False when every connection is busy or streaming events.
    bool makeRoom() {
        if (sessions.size() < maxConnections) {
            return true;
        }
        SessionBase* oldest = nullptr;
        for (SessionBase* s : sessions) {
            if (s->state == SessionBase::State::Reading && (!oldest || s->since < oldest->since)) {
                oldest = s;
            }
        }
        if (oldest == nullptr) {
            return false;
        }
        leave(oldest);
        oldest->close();
        return true;
    }
    void publish(const std::string& text) {
        // Copied first: a delivery that fails closes its session, which leaves the list.
        std::vector<SessionBase*> streams;
        for (SessionBase* s : sessions) {
            if (s->state == SessionBase::State::Events) {
                streams.push_back(s);
            }
        }
        for (SessionBase* s : streams) {
            s->deliverEvent(text);
        }
    }
    void writeLog(const std::string& line) {
        std::fputs(line.c_str(), log);
        std::fputc('\n', log);
        std::fflush(log);
    }
    void closeAll() {
        std::vector<SessionBase*> all(sessions.begin(), sessions.end());
        for (SessionBase* s : all) {
            leave(s);
            s->close();
        }
    }
};

std::string logTime();

template <class Stream>
class Session : public SessionBase, public std::enable_shared_from_this<Session<Stream>> {
  public:
    Session(ServerCore& core, Stream stream, std::string client)
        : core_(core), stream_(std::move(stream)), client_(std::move(client)) {
        core_.enroll(this);
    }
    ~Session() override {
        dropBuffers();
        core_.leave(this);
    }

    void start() override { readRequest(); }

    void close() override {
        closed_ = true;
        beast::error_code ignored;
        beast::get_lowest_layer(stream_).socket().shutdown(tcp::socket::shutdown_both, ignored);
        beast::get_lowest_layer(stream_).close();
        heartbeat_.reset();
    }

    void deliverEvent(const std::string& text) override {
        if (closed_) {
            return;
        }
        if (pendingEvents_.size() + text.size() > kEventBacklog) {
            end();
            return;
        }
        pendingEvents_ += text;
        if (!writing_) {
            writeEvents();
        }
    }

  protected:
    Stream& stream() { return stream_; }

    void readRequest() {
        if (closed_) {
            return;
        }
        state = State::Reading;
        since = std::chrono::steady_clock::now();
        logged_ = false;
        parser_.emplace();
        parser_->header_limit(kHeaderLimit);
        beast::get_lowest_layer(stream_).expires_after(kRequestTimeout);
        http::async_read_header(stream_, buffer_, *parser_,
                                [self = this->shared_from_this()](beast::error_code ec, size_t) {
                                    self->onRequest(ec);
                                });
    }

    void end() {
        core_.leave(this);
        close();
    }

  private:
    void onRequest(beast::error_code ec) {
        if (closed_) {
            return;
        }
        started_ = std::chrono::steady_clock::now();
        if (ec == http::error::header_limit) {
            return refuse(431, "request header fields too large");
        }
        if (ec) {
            // A client that went, or timed out, or sent what is not HTTP: nothing to answer
            // unless bytes arrived that could be answered.
            if (ec == http::error::end_of_stream || ec == beast::error::timeout ||
                ec == net::error::operation_aborted || ec == net::error::connection_reset ||
                buffer_.size() == 0) {
                return end();
            }
            return refuse(400, "malformed request");
        }
        state = State::Busy;
        auto& message = parser_->get();
        request_ = Request{};
        request_.method = std::string(message.method_string());
        request_.target = std::string(message.target());
        request_.client = client_;
        for (const auto& field : message) {
            std::string name(field.name_string());
            for (char& c : name) {
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            }
            auto [it, added] = request_.headers.emplace(name, std::string(field.value()));
            if (!added) {
                it->second += (name == "cookie" ? "; " : ", ") + std::string(field.value());
            }
        }
        keepAlive_ = message.keep_alive();
        if (parser_->chunked() || (parser_->content_length() && *parser_->content_length() > 0)) {
            return refuse(413, "request bodies are not accepted");
        }
        net::post(*core_.workers, [self = this->shared_from_this()] {
            auto reply = std::make_shared<Reply>(self->core_.router->handle(self->request_));
            net::post(*self->core_.io, [self, reply] { self->onReply(std::move(*reply)); });
        });
    }

    // Answers a request that cannot be read on, and closes.
    void refuse(unsigned status, const std::string& message) {
        request_ = Request{};
        request_.method = "-";
        request_.target = "-";
        keepAlive_ = false;
        onReply(errorReply(status, message));
    }

    void onReply(Reply reply) {
        if (closed_) {
            return;
        }
        reply_ = std::move(reply);
        header_.emplace();
        header_->version(11);
        header_->result(reply_.status);
        for (const auto& field : reply_.headers) {
            header_->insert(field.first, field.second);
        }
        if (reply_.declareLength && !reply_.eventStream) {
            header_->content_length(reply_.bodySize());
        }
        header_->set("X-Content-Type-Options", "nosniff");
        // An event stream ends with the connection; it has no length.
        header_->keep_alive(keepAlive_ && !reply_.eventStream);
        sent_ = 0;
        beast::get_lowest_layer(stream_).expires_after(kWriteTimeout);
        http::async_write(stream_, *header_,
                          [self = this->shared_from_this()](beast::error_code ec, size_t) {
                              self->onHeaderWritten(ec);
                          });
    }

    void onHeaderWritten(beast::error_code ec) {
        if (ec || closed_) {
            return failed("the header could not be sent");
        }
        if (reply_.eventStream) {
            state = State::Events;
            logLine("stream");
            beast::get_lowest_layer(stream_).expires_never();
            heartbeat_.emplace(stream_.get_executor());
            beat();
            deliverEvent(reply_.body);
            return;
        }
        if (!reply_.sendBody || reply_.bodySize() == 0) {
            return finish();
        }
        if (reply_.source) {
            plan_ = core_.bodyMemory.reserve(reply_.source->size(), reply_.source->chunkSize());
            // Not zeroed: every byte sent is filled from the source first.
            free_.clear();
            for (int i = 0; i < plan_.count; ++i) {
                buffers_[i].reset(new uint8_t[plan_.size]);
                free_.push_back(i);
            }
            bufferSize_ = plan_.size;
            full_.clear();
            filled_ = 0;
            sourceDone_ = false;
            return pump();
        }
        net::async_write(stream_, net::buffer(reply_.body), transferAllAtOnce,
                         [self = this->shared_from_this()](beast::error_code ec, size_t n) {
                             self->sent_ += n;
                             if (ec) {
                                 return self->failed("the client went");
                             }
                             self->finish();
                         });
    }

    // A streamed body moves through two buffers: one is filled from the drive on a worker
    // while the other is written, so reading and sending overlap. Called on the network thread
    // whenever a fill or a write ends.
    void pump() {
        if (closed_) {
            return;
        }
        // The fill is handed to a worker before the write starts: Asio tries a write at once, in
        // the call that starts it, and copying a chunk into the socket takes as long as reading
        // the next one from the drive, which would otherwise wait for it.
        if (!filling_ && !sourceDone_ && !free_.empty()) {
            const int i = free_.back();
            free_.pop_back();
            filling_ = true;
            net::post(*core_.workers, [self = this->shared_from_this(), i] {
                size_t got = 0;
                std::string problem;
                try {
                    got = self->reply_.source->read(self->buffers_[i].get(), self->bufferSize_);
                } catch (const std::exception& e) {
                    problem = e.what();
                }
                net::post(*self->core_.io,
                          [self, i, got, problem] { self->onFilled(i, got, problem); });
            });
        }
        if (!writingBody_ && !full_.empty()) {
            const int i = full_.front();
            full_.pop_front();
            writingBody_ = true;
            beast::get_lowest_layer(stream_).expires_after(kWriteTimeout);
            net::async_write(stream_, net::buffer(buffers_[i].get(), sizes_[i]), transferAllAtOnce,
                             [self = this->shared_from_this(), i](beast::error_code ec, size_t n) {
                                 self->writingBody_ = false;
                                 self->sent_ += n;
                                 if (ec) {
                                     return self->failed("the client went");
                                 }
                                 self->free_.push_back(i);
                                 self->pump();
                             });
        }
        if (!writingBody_ && !filling_ && full_.empty() && sourceDone_) {
            finish();
        }
    }

    void onFilled(int i, size_t got, const std::string& problem) {
        filling_ = false;
        if (closed_) {
            return;
        }
        if (!problem.empty()) {
            return failed("the body broke off: " + problem);
        }
        filled_ += got;
        if (got == 0 || filled_ >= reply_.source->size()) {
            sourceDone_ = true;
        }
        if (got > 0) {
            sizes_[i] = got;
            full_.push_back(i);
        }
        pump();
    }

    void finish() {
        logLine("");
        reply_ = Reply{};
        dropBuffers();
        if (!keepAlive_) {
            return end();
        }
        readRequest();
    }

    void dropBuffers() {
        for (auto& buffer : buffers_) {
            buffer.reset();
        }
        core_.bodyMemory.release(plan_);
    }

    void failed(const std::string& why) {
        logLine(why);
        end();
    }

    void beat() {
        heartbeat_->expires_after(kHeartbeat);
        heartbeat_->async_wait([self = this->shared_from_this()](beast::error_code ec) {
            if (ec || self->closed_ || !self->heartbeat_) {
                return;
            }
            self->deliverEvent(": keep-alive\n\n");
            self->beat();
        });
    }

    void writeEvents() {
        writing_ = true;
        writingEvents_.swap(pendingEvents_);
        pendingEvents_.clear();
        beast::get_lowest_layer(stream_).expires_after(kWriteTimeout);
        net::async_write(stream_, net::buffer(writingEvents_),
                         [self = this->shared_from_this()](beast::error_code ec, size_t) {
                             self->writing_ = false;
                             if (ec || self->closed_) {
                                 return self->end();
                             }
                             beast::get_lowest_layer(self->stream_).expires_never();
                             if (!self->pendingEvents_.empty()) {
                                 self->writeEvents();
                             }
                         });
    }

    void logLine(const std::string& problem) {
        if (logged_) {
            return;
        }
        logged_ = true;
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - started_)
                                 .count();
        std::string line = logTime() + " " + client_ + " \"" + request_.method + " " +
                           Router::loggable(request_.target) + "\" " +
                           std::to_string(reply_.status) + " " + std::to_string(sent_) + " " +
                           std::to_string(elapsed) + "ms";
        if (!reply_.note.empty()) {
            line += " " + reply_.note;
        }
        if (!problem.empty()) {
            line += " (" + problem + ")";
        }
        core_.writeLog(line);
    }

    ServerCore& core_;
    Stream stream_;
    std::string client_;
    beast::flat_buffer buffer_{16384};
    std::optional<http::request_parser<http::empty_body>> parser_;
    Request request_;
    Reply reply_;
    std::optional<http::response<http::empty_body>> header_;
    BufferPlan plan_;  // the body buffers' share of the server's body memory
    std::unique_ptr<uint8_t[]> buffers_[2];
    size_t bufferSize_ = 0;
    size_t sizes_[2] = {0, 0};
    std::deque<int> full_;  // buffers filled, in the order they are to be sent
    std::vector<int> free_;
    uint64_t filled_ = 0;
    bool filling_ = false;
    bool writingBody_ = false;
    bool sourceDone_ = false;
    bool logged_ = false;
    uint64_t sent_ = 0;
    bool keepAlive_ = false;
    bool closed_ = false;
    bool writing_ = false;
    std::string pendingEvents_;
    std::string writingEvents_;
    std::optional<net::steady_timer> heartbeat_;
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
};

}  // namespace vemserve
