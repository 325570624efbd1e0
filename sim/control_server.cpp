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
#include <utility>

#include "common/control_protocol.h"
#include "sim/display.h"

namespace zr48sim {
namespace {

constexpr host::Nanoseconds kRequestLimit = 30 * host::kSecond;

// A connection burst (a script polling, many tools at once) waits in the
// kernel's queue rather than being refused; the kernel caps it at its
// somaxconn.
constexpr int kListenBacklog = SOMAXCONN;

bool IsDirectory(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Strict numbers of a request: digits (a point and an exponent for a
// decimal), within a range.
bool Milliseconds(std::string_view text, int64_t* value) {
    if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != text.npos) {
        return false;
    }
    int64_t v = 0;
    for (char c : text) v = v * 10 + (c - '0');
    *value = v;
    return v >= 1 && v <= 600000;
}

bool Decimal(std::string_view text, double low, double high, double* value) {
    if (text.empty() || text.find_first_not_of("0123456789.eE+-") != text.npos ||
        !(isdigit(static_cast<unsigned char>(text[0])) || text[0] == '.')) {
        return false;
    }
    // strtod reads up to a terminator: the word copied with one, on the
    // stack when it is of the length numbers have.
    char small[64];
    std::string large;
    const char* copy = small;
    if (text.size() < sizeof small) {
        memcpy(small, text.data(), text.size());
        small[text.size()] = '\0';
    } else {
        large.assign(text);
        copy = large.c_str();
    }
    char* end = nullptr;
    *value = strtod(copy, &end);
    return !*end && *value >= low && *value <= high;
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

bool ControlServer::Start(const std::string& path, bool makeDirectory, std::string* error) {
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
        // A user's own directory, made when missing and checked either way.
        if (!MakePrivateDirectory(own, error)) return false;
    } else if (makeDirectory && !directory.empty() && mkdir(directory.c_str(), 0755) != 0 &&
               errno != EEXIST) {
        // The default directory only (/run/zr48sim), one level: nothing
        // else is made on anybody's behalf.
        *error = "cannot make the directory " + directory + ": " + strerror(errno);
        return false;
    }
    if (!directory.empty() && !IsDirectory(directory)) {
        *error = path + ": the directory " + directory +
                 " does not exist (a --control path must be in a directory that does)";
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
        listen(listenFd_, kListenBacklog) != 0) {
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
    std::string answer;
    char chunk[4096];
    while (!stopping_) {
        size_t newline = buffer.find('\n');
        if (newline != std::string::npos) {
            std::string line = buffer.substr(0, newline);
            buffer.erase(0, newline + 1);
            Answer(line, &answer);
            answer += '\n';
            WriteAll(fd, answer);
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

void ControlServer::Answer(std::string_view line, std::string* out) {
    // The words as views into the line, in storage kept by the thread that
    // answers: a request costs no copy of its text and, once the storage has
    // grown, no allocation for its words.
    thread_local WordViews w;
    zr48control::SplitWords(line, &w);
    out->clear();
    if (w.empty()) {
        *out = "ERR empty request";
        return;
    }
    const std::string_view verb = w[0];
    auto expect = [&](size_t n, const char* form) {
        if (w.size() == n) return true;
        out->assign("ERR expected ").append(form);
        return false;
    };
    if (verb == "QUERY" || verb == "SET") return Information(w, out);
    if (verb == "ADAPTERS" || verb == "LINES") {
        if (w.size() != 1) {
            out->assign("ERR expected ").append(verb).append(" alone");
            return;
        }
        *out = "OK";
        if (verb == "LINES") {
            for (auto& name : sim_.LineNames()) out->append(" ").append(name);
        } else {
            for (size_t i = 0; i < sim_.AdapterCount(); ++i) {
                out->append(" ").append(sim_.AdapterName(i));
            }
        }
        return;
    }
    if (verb == "STATUS") {
        if (expect(1, "STATUS alone")) Status(out);
        return;
    }
    if (verb == "LINE") return Line(w, out);
    if (verb == "WAIT_LINK") return WaitLink(w, out);
    if (verb == "RESET") {
        if (!expect(2, "RESET <adapter>")) return;
        std::string name(w[1]);
        int adapter = sim_.FindAdapter(name);
        std::string error = "no adapter named " + name;
        if (adapter >= 0 && sim_.Reset(static_cast<size_t>(adapter), &error)) {
            *out = "OK";
        } else {
            out->assign("ERR ").append(error);
        }
        return;
    }
    if (verb == "NOTE") {
        if (w.size() < 2) {
            *out = "ERR expected NOTE <text>";
            return;
        }
        size_t text = line.find_first_not_of(" \t", line.find("NOTE") + 4);
        sim_.Note("note", std::string(line.substr(text)));
        *out = "OK";
        return;
    }
    if (verb == "STOP") {
        if (!expect(1, "STOP alone")) return;
        if (stop_) stop_();
        *out = "OK";
        return;
    }
    out->assign("ERR unknown request ")
        .append(verb)
        .append(" (QUERY, SET, ADAPTERS, LINES, STATUS, LINE, RESET, WAIT_LINK, NOTE, STOP)");
}

void ControlServer::Information(const WordViews& words, std::string* out) {
    zr48control::InformationRequest request;
    std::string error;
    if (!zr48control::ParseRequest(words, &request, &error)) {
        out->assign("ERR ").append(error);
        return;
    }
    int adapter = sim_.FindAdapter(request.adapter);
    if (adapter < 0) {
        out->assign("ERR no adapter named ").append(request.adapter);
        return;
    }
    RequestOutcome result = sim_.Request(static_cast<size_t>(adapter), request.query, request.oid,
                                         request.buffer, kRequestLimit);
    if (!result.ok) {
        out->assign("ERR ").append(result.error);
        return;
    }
    zr48control::InformationAnswer answer;
    answer.status = result.result.status;
    // A count the miniport did not write is said to be none, not the
    // pattern the host left in it.
    if (result.result.bytesDone != host::kUntouched) answer.bytesDone = result.result.bytesDone;
    if (result.result.bytesNeeded != host::kUntouched) {
        answer.bytesNeeded = result.result.bytesNeeded;
    }
    answer.buffer = std::move(result.result.buffer);
    zr48control::AppendAnswer(out, answer);
}

void ControlServer::Line(const WordViews& w, std::string* out) {
    const char* form = "ERR expected LINE <line> cut | restore | flap <ms>... | loss <p> | "
                       "bit_errors <p> (ms 1 to 600000, p 0 to 1)";
    if (w.size() < 3) {
        *out = form;
        return;
    }
    const std::string_view what = w[2];
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
        for (size_t i = 3; i < w.size(); ++i) {
            int64_t ms = 0;
            if (!Milliseconds(w[i], &ms)) {
                out->assign("ERR flap steps are 1 to 600000 ms, not ").append(w[i]);
                return;
            }
            pattern.push_back(ms);
        }
    } else if ((what == "loss" || what == "bit_errors") && w.size() == 4) {
        action = what == "loss" ? LineAction::Loss : LineAction::BitErrors;
        if (!Decimal(w[3], 0, 1, &value)) {
            out->assign("ERR ").append(what).append(" takes a probability from 0 to 1, not ")
                .append(w[3]);
            return;
        }
    } else {
        *out = form;
        return;
    }
    if (sim_.LineControl(std::string(w[1]), action, value, pattern, &error)) {
        *out = "OK";
    } else {
        out->assign("ERR ").append(error);
    }
}

void ControlServer::Status(std::string* out) {
    double now = sim_.Seconds();
    *out = "OK [";
    bool first = true;
    for (auto& s : sim_.Snapshot()) {
        if (!first) *out += ',';
        first = false;
        AppendAdapterJson(out, s, now);
    }
    *out += ']';
}

void ControlServer::WaitLink(const WordViews& w, std::string* out) {
    double seconds = 0;
    if (w.size() != 2 || !Decimal(w[1], 0, zr48control::kMaxWaitLink, &seconds)) {
        *out = "ERR expected WAIT_LINK <seconds>, 0 to 600 (0: whether every link is up now)";
        return;
    }
    auto limit = static_cast<host::Nanoseconds>(seconds * host::kSecond);
    bool up = sim_.AllLinksUp() ||
              (limit > 0 && host::RunUntil([&] { return sim_.AllLinksUp() || stopping_; }, limit));
    if (up && !stopping_) {
        *out = "OK";
        return;
    }
    std::string down;
    for (size_t i = 0; i < sim_.AdapterCount(); ++i) {
        if (!sim_.LinkUp(i)) down += (down.empty() ? "" : ", ") + sim_.AdapterName(i);
    }
    *out = "ERR not every link is up";
    if (!down.empty()) out->append(" (down: ").append(down).append(")");
}

}  // namespace zr48sim
