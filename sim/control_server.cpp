#include "sim/control_server.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "common/control_protocol.h"
#include "sim/display.h"

namespace zr48sim {
namespace {

constexpr host::Nanoseconds kRequestLimit = 30 * host::kSecond;

bool MakeDirectoryFor(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) return true;
    std::string directory = path.substr(0, slash);
    if (mkdir(directory.c_str(), 0755) == 0 || errno == EEXIST) return true;
    // One level more (e.g. /run missing its zr48sim directory's parent).
    return MakeDirectoryFor(directory) && mkdir(directory.c_str(), 0755) == 0;
}

// True when a simulator answers on `path`.
bool Alive(const sockaddr_un& address) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool alive = fd >= 0 &&
                 connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    if (fd >= 0) close(fd);
    return alive;
}

void WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

}  // namespace

bool MakePrivateDirectory(const std::string& directory, std::string* error) {
    if (mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) {
        *error = "cannot make the directory " + directory + ": " + strerror(errno);
        return false;
    }
    struct stat st;
    if (lstat(directory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid() ||
        (st.st_mode & 077) != 0) {
        *error = directory + " is not a directory of yours closed to others (mode 0700); "
                             "remove it, or choose another socket with --control";
        return false;
    }
    return true;
}

ControlServer::~ControlServer() { Stop(); }

bool ControlServer::Start(const std::string& path, std::string* error) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        *error = "control socket path empty or too long: " + path;
        return false;
    }
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    size_t slash = path.rfind('/');
    std::string directory = slash == std::string::npos ? "" : path.substr(0, slash);
    std::string own = zr48control::UserSocketDirectory(geteuid(), getenv("XDG_RUNTIME_DIR"));
    if (!own.empty() && directory == own) {
        if (!MakePrivateDirectory(own, error)) return false;
    } else if (!MakeDirectoryFor(path)) {
        *error = "cannot make the directory of " + path + ": " + strerror(errno);
        return false;
    }
    if (Alive(address)) {
        *error = path + ": another simulator answers there (choose another with --control)";
        return false;
    }
    // A socket left by a simulator that is gone is replaced; anything else
    // at the path is someone's file, which a mistyped --control must not cost.
    struct stat existing;
    if (lstat(path.c_str(), &existing) == 0) {
        if (!S_ISSOCK(existing.st_mode)) {
            *error = path + ": exists and is not a socket; not replacing it (choose another "
                            "path with --control)";
            return false;
        }
        unlink(path.c_str());
    }
    listenFd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0 ||
        bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listenFd_, 8) != 0) {
        *error = path + ": " + strerror(errno);
        if (listenFd_ >= 0) close(listenFd_);
        listenFd_ = -1;
        return false;
    }
    chmod(path.c_str(), 0600);  // information requests are an administrator's
    path_ = path;
    acceptor_ = std::thread([this] { AcceptLoop(); });
    return true;
}

void ControlServer::Stop() {
    if (stopping_.exchange(true)) return;
    if (acceptor_.joinable()) acceptor_.join();
    if (listenFd_ >= 0) {
        close(listenFd_);
        unlink(path_.c_str());
    }
    std::list<Connection> connections;
    {
        std::lock_guard<std::mutex> lock(mu_);
        for (auto& c : connections_) {
            if (c.fd >= 0) shutdown(c.fd, SHUT_RDWR);
        }
        connections.swap(connections_);
    }
    for (auto& c : connections) c.thread.join();
}

size_t ControlServer::ConnectionThreads() {
    std::lock_guard<std::mutex> lock(mu_);
    return connections_.size();
}

// A thread keeps its stack until it is joined: those of finished connections
// are joined as the acceptor goes round, so that a long run with many short
// connections (a script polling the status) holds only the live ones.
void ControlServer::JoinFinished() {
    std::list<Connection> finished;
    {
        std::lock_guard<std::mutex> lock(mu_);
        for (auto it = connections_.begin(); it != connections_.end();) {
            auto next = std::next(it);
            if (it->done) finished.splice(finished.end(), connections_, it);
            it = next;
        }
    }
    for (auto& c : finished) c.thread.join();
}

void ControlServer::AcceptLoop() {
    while (!stopping_) {
        JoinFinished();
        pollfd p{listenFd_, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        std::lock_guard<std::mutex> lock(mu_);
        connections_.emplace_back();
        Connection* c = &connections_.back();
        c->fd = fd;
        c->thread = std::thread([this, c] { Serve(c); });
    }
}

void ControlServer::Serve(Connection* c) {
    host::AttachThread(0);
    int fd = c->fd;
    std::string buffer;
    char chunk[4096];
    while (!stopping_) {
        size_t newline = buffer.find('\n');
        if (newline != std::string::npos) {
            std::string line = buffer.substr(0, newline);
            buffer.erase(0, newline + 1);
            WriteAll(fd, Answer(line) + "\n");
            continue;
        }
        if (buffer.size() > zr48control::kMaxLine) {
            WriteAll(fd, "ERR request line too long\n");
            break;
        }
        ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        buffer.append(chunk, static_cast<size_t>(n));
    }
    // Closed under the lock, so that Stop never shuts down a descriptor
    // number that has been given to something else.
    std::lock_guard<std::mutex> lock(mu_);
    close(fd);
    c->fd = -1;
    c->done = true;
}

std::string ControlServer::Answer(const std::string& line) {
    std::vector<std::string> w = zr48control::Words(line);
    if (w.empty()) return "ERR empty request";
    const std::string& verb = w[0];
    if (verb == "QUERY" || verb == "SET") return Information(w);
    if (verb == "ADAPTERS" || verb == "LINES") {
        std::string out = "OK";
        if (verb == "LINES") {
            for (auto& name : sim_.LineNames()) out += " " + name;
        } else {
            for (size_t i = 0; i < sim_.AdapterCount(); ++i) out += " " + sim_.AdapterName(i);
        }
        return out;
    }
    if (verb == "STATUS") return Status();
    if (verb == "LINE") return Line(w);
    if (verb == "WAITLINK") return WaitLink(w);
    if (verb == "RESET" && w.size() == 2) {
        int adapter = sim_.FindAdapter(w[1]);
        std::string error = "no adapter named " + w[1];
        return adapter >= 0 && sim_.Reset(static_cast<size_t>(adapter), &error) ? "OK"
                                                                                 : "ERR " + error;
    }
    if (verb == "NOTE") {
        sim_.Note("note", line.substr(line.find("NOTE") + 4));
        return "OK";
    }
    if (verb == "STOP") {
        if (stop_) stop_();
        return "OK";
    }
    return "ERR unknown request " + verb +
           " (QUERY, SET, ADAPTERS, LINES, STATUS, LINE, RESET, WAITLINK, NOTE, STOP)";
}

std::string ControlServer::Information(const std::vector<std::string>& words) {
    zr48control::InformationRequest request;
    std::string error;
    if (!zr48control::ParseRequest(words, &request, &error)) return "ERR " + error;
    int adapter = sim_.FindAdapter(request.adapter);
    if (adapter < 0) return "ERR no adapter named " + request.adapter;
    RequestOutcome out = sim_.Request(static_cast<size_t>(adapter), request.query, request.oid,
                                      request.buffer, kRequestLimit);
    if (!out.ok) return "ERR " + out.error;
    zr48control::InformationAnswer answer;
    answer.status = out.result.status;
    answer.bytesDone = out.result.bytesDone;
    answer.bytesNeeded = out.result.bytesNeeded;
    answer.buffer = out.result.buffer;
    return zr48control::FormatAnswer(answer);
}

std::string ControlServer::Line(const std::vector<std::string>& w) {
    if (w.size() < 3) return "ERR expected LINE <line> cut|restore|flap|loss|bit_errors ...";
    const std::string& what = w[2];
    std::string error;
    std::vector<int64_t> pattern;
    double value = 0;
    LineAction action;
    if (what == "cut" && w.size() == 3) {
        action = LineAction::Cut;
    } else if (what == "restore" && w.size() == 3) {
        action = LineAction::Restore;
    } else if (what == "flap" && w.size() > 3) {
        action = LineAction::Flap;
        for (size_t i = 3; i < w.size(); ++i) pattern.push_back(atoll(w[i].c_str()));
    } else if ((what == "loss" || what == "bit_errors") && w.size() == 4) {
        action = what == "loss" ? LineAction::Loss : LineAction::BitErrors;
        char* end = nullptr;
        value = strtod(w[3].c_str(), &end);
        if (*end) return "ERR not a probability: " + w[3];
    } else {
        return "ERR expected LINE <line> cut | restore | flap <ms>... | loss <p> | bit_errors <p>";
    }
    return sim_.LineControl(w[1], action, value, pattern, &error) ? "OK" : "ERR " + error;
}

std::string ControlServer::Status() {
    std::string out = "OK [";
    auto adapters = sim_.Snapshot();
    for (size_t i = 0; i < adapters.size(); ++i) {
        out += (i ? "," : "") + SnapshotJson(adapters[i], sim_.Seconds(), Throughput{});
    }
    return out + "]";
}

std::string ControlServer::WaitLink(const std::vector<std::string>& w) {
    double seconds = w.size() == 2 ? atof(w[1].c_str()) : 30;
    if (!(seconds > 0 && seconds <= 600)) return "ERR WAITLINK <seconds>, 0 to 600";
    auto limit = static_cast<host::Nanoseconds>(seconds * host::kSecond);
    bool up = host::RunUntil([&] { return sim_.AllLinksUp() || stopping_; }, limit);
    return up && !stopping_ ? "OK" : "ERR not every link came up";
}

}  // namespace zr48sim
