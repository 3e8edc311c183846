// The control pipe of the simulated drive: one text command per line, one answer line each.
#include "tools/vemsim/control.h"

#include <cctype>
#include <chrono>
#include <sstream>
#include <vector>

#include "service/local_socket.h"
#include "suite/numbers.h"
#include "tools/vemsim/log.h"
#include "tools/vemsim/service.h"

namespace zel::vem::sim {

namespace {

std::vector<std::string> splitWords(const std::string& line) {
    std::istringstream stream(line);
    std::vector<std::string> words;
    std::string word;
    while (stream >> word) {
        words.push_back(word);
    }
    return words;
}

// A decimal number of at most 19 digits (so it cannot overflow).
bool parseNumber(const std::string& text, uint64_t& value) {
    bool ok = false;
    value = CUInt64::Parse(CString(text), &ok);
    return ok && text.size() <= 19;
}

// Reads one line (without its '\n'); false at the end of the stream or for an overlong line.
bool readLine(LocalSocket& socket, std::string& line) {
    line.clear();
    char c = 0;
    while (socket.read(&c, 1) == 1) {
        if (c == '\n') {
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            return true;
        }
        if (line.size() >= kMaxControlLine) {
            return false;
        }
        line += c;
    }
    return false;
}

const char* const kHelp =
    "ok commands: ping | list | add W H FRAMES [NAME] | add-unchecked W H FRAMES HEXNAME | "
    "remove INDEX | detach | attach | "
    "event TYPE | fault KIND [ord=N|ver] [count=N] [ms=N] | clear | stats | quit";

}  // namespace

std::string SimService::control(const std::string& line, bool* quitRequested) {
    const std::vector<std::string> words = splitWords(line);
    if (words.empty()) {
        return "error empty command";
    }
    const std::string& command = words[0];
    uint64_t a = 0, b = 0, c = 0;
    if (command == "ping" && words.size() == 1) {
        return "ok pong";
    }
    if (command == "help") {
        return kHelp;
    }
    if (command == "list" && words.size() == 1) {
        const auto list = movies_.list();
        std::ostringstream out;
        out << "ok count=" << list.size() << " attached=" << (movies_.attached() ? 1 : 0);
        for (size_t i = 0; i < list.size(); ++i) {
            const SimMovie& movie = *list[i];
            // An unchecked name must not end the answer line early.
            std::string entry = movie.entryName();
            for (char& ch : entry) {
                ch = static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F ? '?' : ch;
            }
            out << " | " << i << ' ' << entry << ' ' << movie.block().width << 'x'
                << movie.block().height << 'x' << movie.frameCount() << ' ' << movie.source();
        }
        return out.str();
    }
    if (command == "add" && (words.size() == 4 || words.size() == 5)) {
        if (!parseNumber(words[1], a) || !parseNumber(words[2], b) || !parseNumber(words[3], c) ||
            a > 0xFFFFFFFFu || b > 0xFFFFFFFFu) {
            return "error add needs numbers: add W H FRAMES [NAME]";
        }
        const std::string name = words.size() == 5 ? words[4] : "sim";
        std::string error;
        auto movie = makeSyntheticMovie(movies_.nextNumber(), name, static_cast<uint32_t>(a),
                                        static_cast<uint32_t>(b), c, &error);
        if (!movie) {
            return "error " + error;
        }
        const std::string entry = movie->entryName();
        const uint64_t number = movie->number();
        const uint32_t index = movies_.add(std::move(movie));
        logLine("added movie %u (%s)", index, entry.c_str());
        return "ok index=" + std::to_string(index) + " number=" + std::to_string(number) +
               " entry=" + entry;
    }
    if (command == "add-unchecked" && words.size() == 5) {
        // The name comes as hex so that any byte (a line end, an escape) can be given; it is
        // neither checked nor echoed, since it may break a line or a terminal.
        std::string name;
        const std::string& hex = words[4];
        for (size_t i = 0; hex.size() % 2 == 0 && i < hex.size(); i += 2) {
            if (!std::isxdigit(static_cast<unsigned char>(hex[i])) ||
                !std::isxdigit(static_cast<unsigned char>(hex[i + 1]))) {
                name.clear();
                break;
            }
            name += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
        }
        if (!parseNumber(words[1], a) || !parseNumber(words[2], b) || !parseNumber(words[3], c) ||
            a > 0xFFFFFFFFu || b > 0xFFFFFFFFu || name.empty()) {
            return "error add-unchecked needs numbers and a name in hex: "
                   "add-unchecked W H FRAMES HEXNAME";
        }
        std::string error;
        auto movie = makeSyntheticMovie(movies_.nextNumber(), name, static_cast<uint32_t>(a),
                                        static_cast<uint32_t>(b), c, &error, false);
        if (!movie) {
            return "error " + error;
        }
        const uint64_t number = movie->number();
        const uint32_t index = movies_.add(std::move(movie));
        logLine("added movie %u (number %llu, unchecked name)", index,
                static_cast<unsigned long long>(number));
        return "ok index=" + std::to_string(index) + " number=" + std::to_string(number);
    }
    if (command == "remove" && words.size() == 2) {
        if (!parseNumber(words[1], a) || a > 0xFFFFFFFFu ||
            !movies_.remove(static_cast<uint32_t>(a))) {
            return "error no movie " + words[1];
        }
        logLine("removed movie %s", words[1].c_str());
        return "ok";
    }
    if ((command == "detach" || command == "attach") && words.size() == 1) {
        const bool changed = movies_.setAttached(command == "attach");
        logLine("drive %s", command == "attach" ? "attached" : "detached");
        return changed ? "ok" : "ok unchanged";
    }
    if (command == "event" && words.size() == 2) {
        if (!parseNumber(words[1], a) || a > 0xFFFFFFFFu) {
            return "error event needs a type number";
        }
        events_.raise(static_cast<uint32_t>(a));
        return "ok";
    }
    if (command == "fault" && words.size() >= 2) {
        Fault fault;
        std::string error;
        if (!parseFault(line.substr(line.find("fault") + 5), fault, &error)) {
            return "error " + error;
        }
        faults_.arm(fault);
        logLine("armed fault: %s", line.c_str());
        return "ok";
    }
    if (command == "clear" && words.size() == 1) {
        faults_.clear();
        return "ok";
    }
    if (command == "stats" && words.size() == 1) {
        size_t connections;
        {
            std::lock_guard<std::mutex> hold(connectionsLock_);
            connections = connections_.size();
        }
        std::ostringstream out;
        out << "ok connections=" << connections << " requests=" << requestCount_.load()
            << " frames=" << frameCount_.load() << " queues=" << events_.queueCount()
            << " faults=" << faults_.armedCount() << " movies=" << movies_.list().size();
        return out.str();
    }
    if (command == "quit" && words.size() == 1) {
        logLine("quit requested");
        // Stopping breaks every connection, this one included: the caller answers first.
        if (quitRequested) {
            *quitRequested = true;
        } else {
            quit();
        }
        return "ok";
    }
    return "error unknown command \"" + line + "\" (try help)";
}

void SimService::serveControl(Connection& connection) {
    std::string line;
    while (!stopping_ && readLine(connection.socket, line)) {
        bool quitRequested = false;
        const std::string answer = control(line, &quitRequested) + "\n";
        const bool written = connection.socket.write(answer.data(), answer.size()) == answer.size();
        if (quitRequested) {
            quit();
        }
        if (!written) {
            break;
        }
    }
}

bool controlRequest(const std::string& pipeName, const std::string& line, std::string& answer) {
    answer.clear();
    LocalSocket socket;
    const std::string control = controlPipeName(pipeName);
    if (!socket.connect(control.c_str())) {
        answer = "error cannot connect to " + control;
        return false;
    }
    // vemsim answers every control line at once; one that hangs must fail the caller (a test, a
    // script), not keep it waiting for ever.
    socket.setDeadline(LocalSocket::Clock::now() + std::chrono::seconds(20));
    const std::string request = line + "\n";
    if (socket.write(request.data(), request.size()) != request.size() ||
        !readLine(socket, answer)) {
        answer = "error no answer from " + control;
        return false;
    }
    return answer.compare(0, 2, "ok") == 0;
}

}  // namespace zel::vem::sim
