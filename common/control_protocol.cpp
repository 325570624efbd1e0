#include "common/control_protocol.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zr48control {
namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string Hex32(uint32_t value) {
    char text[16];
    snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

}  // namespace

std::string UserSocketDirectory(unsigned uid, const char* runtimeDirectory) {
    if (uid == 0) return "";
    if (runtimeDirectory && runtimeDirectory[0] == '/') {
        return std::string(runtimeDirectory) + "/zr48sim";
    }
    return "/tmp/zr48sim-" + std::to_string(uid);
}

std::string DefaultSocketFor(unsigned uid, const char* runtimeDirectory) {
    if (uid == 0) return "/run/zr48sim/zr48sim.sock";
    return UserSocketDirectory(uid, runtimeDirectory) + "/zr48sim.sock";
}

std::string DefaultSocket() { return DefaultSocketFor(geteuid(), getenv("XDG_RUNTIME_DIR")); }

std::string HexEncode(const std::vector<uint8_t>& bytes) {
    if (bytes.empty()) return "-";
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

bool HexDecode(const std::string& text, std::vector<uint8_t>* bytes) {
    bytes->clear();
    if (text == "-") return true;
    if (text.empty() || text.size() % 2) return false;
    for (size_t i = 0; i < text.size(); i += 2) {
        int high = HexDigit(text[i]), low = HexDigit(text[i + 1]);
        if (high < 0 || low < 0) return false;
        bytes->push_back(static_cast<uint8_t>(high << 4 | low));
    }
    return true;
}

// Split at the blanks a stream reader skips in the C locale (space, tab,
// line feed, vertical tab, form feed, carriage return); any other byte,
// control or not, belongs to a word. Done by hand: a stream per line costs
// more than the request it splits.
std::vector<std::string> Words(const std::string& line) {
    auto blank = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    std::vector<std::string> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && blank(line[i])) ++i;
        size_t from = i;
        while (i < line.size() && !blank(line[i])) ++i;
        if (i > from) words.emplace_back(line, from, i - from);
    }
    return words;
}

bool ParseU32(const std::string& text, uint32_t* value) {
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    size_t from = hex ? 2 : 0;
    if (text.size() == from) return false;
    uint64_t v = 0;
    for (size_t i = from; i < text.size(); ++i) {
        int d = hex ? HexDigit(text[i]) : (text[i] >= '0' && text[i] <= '9' ? text[i] - '0' : -1);
        if (d < 0) return false;
        v = v * (hex ? 16 : 10) + static_cast<uint64_t>(d);
        if (v > 0xFFFFFFFFull) return false;
    }
    *value = static_cast<uint32_t>(v);
    return true;
}

std::string FormatRequest(const InformationRequest& r) {
    return std::string(r.query ? "QUERY " : "SET ") + r.adapter + " " + Hex32(r.oid) + " " +
           HexEncode(r.buffer);
}

bool ParseRequest(const std::vector<std::string>& words, InformationRequest* r,
                  std::string* error) {
    if (words.size() != 4) {
        *error = "expected " + (words.empty() ? std::string("QUERY") : words[0]) +
                 " <adapter> <oid> <hex buffer | ->";
        return false;
    }
    r->query = words[0] == "QUERY";
    r->adapter = words[1];
    if (!ParseU32(words[2], &r->oid)) {
        *error = "not an OID: " + words[2];
        return false;
    }
    if (!HexDecode(words[3], &r->buffer)) {
        *error = "the buffer is not an even number of hexadecimal digits (or - for none)";
        return false;
    }
    if (r->buffer.size() > kMaxBuffer) {
        *error = "an information buffer holds at most " + std::to_string(kMaxBuffer) + " bytes";
        return false;
    }
    return true;
}

namespace {

std::string Count(const std::optional<uint32_t>& n) { return n ? std::to_string(*n) : "-"; }

bool ParseCount(const std::string& text, std::optional<uint32_t>* n) {
    uint32_t v = 0;
    if (text == "-") {
        n->reset();
        return true;
    }
    if (!ParseU32(text, &v)) return false;
    *n = v;
    return true;
}

}  // namespace

std::string FormatAnswer(const InformationAnswer& a) {
    return "OK " + Hex32(a.status) + " " + Count(a.bytesDone) + " " + Count(a.bytesNeeded) + " " +
           HexEncode(a.buffer);
}

bool ParseAnswer(const std::string& line, InformationAnswer* a, std::string* error) {
    if (line.compare(0, 4, "ERR ") == 0) {
        *error = line.substr(4);
        return false;
    }
    std::vector<std::string> w = Words(line);
    if (w.size() != 5 || w[0] != "OK" || !ParseU32(w[1], &a->status) ||
        !ParseCount(w[2], &a->bytesDone) || !ParseCount(w[3], &a->bytesNeeded) ||
        !HexDecode(w[4], &a->buffer)) {
        *error = "malformed answer from the simulator: " + line.substr(0, 80);
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Client
// ---------------------------------------------------------------------------
Client::~Client() {
    if (fd_ >= 0) close(fd_);
}

bool Client::Connect(const std::string& path, std::string* error) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        *error = path + ": socket path too long";
        return false;
    }
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0 || connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        *error = path + ": cannot connect (" + strerror(errno) + "); is zr48sim running?";
        return false;
    }
    return true;
}

bool Client::Call(const std::string& request, std::string* answer, int timeoutMs,
                  std::string* error) {
    std::string line = request + "\n";
    if (send(fd_, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) {
        *error = std::string("cannot send to the simulator: ") + strerror(errno);
        return false;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        size_t newline = pending_.find('\n');
        if (newline != std::string::npos) {
            *answer = pending_.substr(0, newline);
            pending_.erase(0, newline + 1);
            return true;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now()).count();
        pollfd p{fd_, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) == 0) {
            *error = "no answer from the simulator within " + std::to_string(timeoutMs) + " ms";
            return false;
        }
        char buffer[4096];
        ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *error = "the simulator closed the connection";
            return false;
        }
        pending_.append(buffer, static_cast<size_t>(n));
    }
}

}  // namespace zr48control
