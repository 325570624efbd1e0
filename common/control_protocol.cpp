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

// "0x" and eight upper-case digits, appended to `out`.
void AppendHex32(std::string* out, uint32_t value) {
    static const char digits[] = "0123456789ABCDEF";
    char text[10] = {'0', 'x'};
    for (int i = 0; i < 8; ++i) text[2 + i] = digits[(value >> (28 - 4 * i)) & 15];
    out->append(text, sizeof text);
}

// The bytes in lower-case hexadecimal, "-" for none, appended to `out`.
void AppendHex(std::string* out, const std::vector<uint8_t>& bytes) {
    if (bytes.empty()) {
        *out += '-';
        return;
    }
    static const char digits[] = "0123456789abcdef";
    size_t at = out->size();
    out->resize(at + 2 * bytes.size());
    for (uint8_t b : bytes) {
        (*out)[at++] = digits[b >> 4];
        (*out)[at++] = digits[b & 15];
    }
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
    std::string out;
    AppendHex(&out, bytes);
    return out;
}

bool HexDecode(std::string_view text, std::vector<uint8_t>* bytes) {
    bytes->clear();
    if (text == "-") return true;
    if (text.empty() || text.size() % 2) return false;
    bytes->reserve(text.size() / 2);
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
// more than the request it splits, and the views cost no copy at all.
namespace {

// The blanks by byte value: a look-up, not a chain of comparisons per byte
// (the line may be long, and every byte of it is looked at).
struct BlankTable {
    bool blank[256] = {};
    constexpr BlankTable() {
        blank[static_cast<unsigned char>(' ')] = true;
        for (int c = '\t'; c <= '\r'; ++c) blank[c] = true;
    }
};
constexpr BlankTable kBlanks;

bool Blank(char c) { return kBlanks.blank[static_cast<unsigned char>(c)]; }

// Calls `word` with each word of `line` in turn, until it returns false.
template <typename Fn>
void ForEachWord(std::string_view line, Fn&& word) {
    const char* at = line.data();
    const char* end = at + line.size();
    while (at != end) {
        while (at != end && Blank(*at)) ++at;
        const char* from = at;
        while (at != end && !Blank(*at)) ++at;
        if (at != from && !word(std::string_view(from, static_cast<size_t>(at - from)))) return;
    }
}

}  // namespace

void SplitWords(std::string_view line, std::vector<std::string_view>* words) {
    words->clear();
    ForEachWord(line, [&](std::string_view w) {
        words->push_back(w);
        return true;
    });
}

size_t SplitWordsAtMost(std::string_view line, std::string_view* out, size_t max) {
    size_t count = 0;
    ForEachWord(line, [&](std::string_view w) {
        if (count == max) {
            ++count;  // one more than max is all the caller needs to know
            return false;
        }
        out[count++] = w;
        return true;
    });
    return count;
}

bool ParseU32(std::string_view text, uint32_t* value) {
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
    std::string out;
    out.reserve(24 + r.adapter.size() + 2 * r.buffer.size());
    out += r.query ? "QUERY " : "SET ";
    out += r.adapter;
    out += ' ';
    AppendHex32(&out, r.oid);
    out += ' ';
    AppendHex(&out, r.buffer);
    return out;
}

bool ParseRequest(const std::vector<std::string_view>& words, InformationRequest* r,
                  std::string* error) {
    // Messages go into *error's own storage: a caller parsing many
    // requests allocates for none once it has grown.
    if (words.size() != 4) {
        error->assign("expected ")
            .append(words.empty() ? std::string_view("QUERY") : words[0])
            .append(" <adapter> <oid> <hex buffer | ->");
        return false;
    }
    r->query = words[0] == "QUERY";
    r->adapter = words[1];
    if (!ParseU32(words[2], &r->oid)) {
        error->assign("not an OID: ").append(words[2]);
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

// A count in decimal, "-" for none, appended to `out`.
void AppendCount(std::string* out, const std::optional<uint32_t>& n) {
    if (!n) {
        *out += '-';
        return;
    }
    char text[12];
    int length = snprintf(text, sizeof text, "%u", static_cast<unsigned>(*n));
    out->append(text, static_cast<size_t>(length));
}

bool ParseCount(std::string_view text, std::optional<uint32_t>* n) {
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

void AppendAnswer(std::string* out, const InformationAnswer& a) {
    out->reserve(out->size() + 40 + 2 * a.buffer.size());
    *out += "OK ";
    AppendHex32(out, a.status);
    *out += ' ';
    AppendCount(out, a.bytesDone);
    *out += ' ';
    AppendCount(out, a.bytesNeeded);
    *out += ' ';
    AppendHex(out, a.buffer);
}

std::string FormatAnswer(const InformationAnswer& a) {
    std::string out;
    AppendAnswer(&out, a);
    return out;
}

// The message goes into *error's own storage (assign, not a new string):
// a reader of many answers allocates for none once it has grown.
bool ParseAnswer(std::string_view line, InformationAnswer* a, std::string* error) {
    if (line.compare(0, 4, "ERR ") == 0) {
        error->assign(line.substr(4));
        return false;
    }
    // An answer is five words, the first "OK": a line that does not start
    // so is not split at all, no more than five words are looked at, and
    // none is copied.
    size_t first = 0;
    while (first < line.size() && Blank(line[first])) ++first;
    bool ok = line.compare(first, 2, "OK") == 0 &&
              (first + 2 == line.size() || Blank(line[first + 2]));
    std::string_view w[5];
    if (!ok || SplitWordsAtMost(line, w, 5) != 5 || !ParseU32(w[1], &a->status) ||
        !ParseCount(w[2], &a->bytesDone) || !ParseCount(w[3], &a->bytesNeeded) ||
        !HexDecode(w[4], &a->buffer)) {
        error->assign("malformed answer from the simulator: ").append(line.substr(0, 80));
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
