// The simulator's control socket: a Unix stream socket carrying one request
// per line and one answer per line, in order. Through it tools reach an
// adapter's information requests as a Windows tool reaches NDIS, and scripts
// steer the lines.
//
//   QUERY <adapter> <oid> <hex buffer | ->    an information query; the buffer
//   SET <adapter> <oid> <hex buffer | ->      is what the miniport sees, its
//                                             length the request's length
//     -> OK <status> <bytes written/read> <bytes needed> <hex buffer | ->
//        (status and OID in hexadecimal, 0x...; a count the miniport did not
//        write is "-"; the buffer as the miniport left it; a pending request
//        is answered when it completes)
//   ADAPTERS                      -> OK <name> ...
//   LINES                         -> OK <name> ...
//   STATUS                        -> OK <JSON array of adapter objects>
//                                      (sim/display.h: AppendAdapterJson)
//   LINE <line> cut|restore       -> OK
//   LINE <line> flap <ms> <ms>... -> OK  (down, up, down, ... then restored)
//   LINE <line> loss|bit_errors <probability> -> OK
//   RESET <adapter>               -> OK  (MiniportReset from the upper edge)
//   WAIT_LINK <seconds>           -> OK when every adapter has its link up
//                                    within 0 to 600 seconds (0: now)
//   NOTE <text>                   -> OK  (shown among the events)
//   STOP                          -> OK  (the simulator halts and exits)
//
// Any request may be answered "ERR <message>".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zr48control {

// Where a simulator listens when no --control is given, and where zr48stat
// and "zr48sim ctl" look by default: root's under /run/zr48sim. /run is
// root's, so any other user's is in a directory of their own:
// $XDG_RUNTIME_DIR/zr48sim, else /tmp/zr48sim-UID.
std::string DefaultSocket();
// The same for a given user and XDG_RUNTIME_DIR (null or relative: none).
std::string DefaultSocketFor(unsigned uid, const char* runtimeDirectory);
// The directory of a user's sockets; empty for root, whose go in /run.
std::string UserSocketDirectory(unsigned uid, const char* runtimeDirectory);
constexpr size_t kMaxBuffer = 4096;     // bytes of an information buffer
constexpr size_t kMaxLine = 16 * 1024;  // characters of a request line
constexpr double kMaxWaitLink = 600;    // seconds a WAIT_LINK may wait

std::string HexEncode(const std::vector<uint8_t>& bytes);  // "-" for none
bool HexDecode(std::string_view text, std::vector<uint8_t>* bytes);

// Splits a line into words (runs of the blanks a stream reader skips separate
// them), as views into `line` (which must outlive them), in `words` (cleared
// first, its storage kept): no copy of the text.
void SplitWords(std::string_view line, std::vector<std::string_view>* words);
// Up to `max` of the words into `out`; returns how many there are, or
// max + 1 when the line has more (the rest is not looked at).
size_t SplitWordsAtMost(std::string_view line, std::string_view* out, size_t max);

// A number in decimal or 0x-hexadecimal that fits 32 bits.
bool ParseU32(std::string_view text, uint32_t* value);

struct InformationRequest {
    bool query = true;
    std::string adapter;
    uint32_t oid = 0;
    std::vector<uint8_t> buffer;
};
std::string FormatRequest(const InformationRequest& request);
// Parses the words of a QUERY or SET line; false with a message.
bool ParseRequest(const std::vector<std::string_view>& words, InformationRequest* request,
                  std::string* error);

struct InformationAnswer {
    uint32_t status = 0;
    // BytesWritten of a query, BytesRead of a set; none when the miniport
    // left it unwritten (as it does on some failures).
    std::optional<uint32_t> bytesDone;
    std::optional<uint32_t> bytesNeeded;
    std::vector<uint8_t> buffer;
};
std::string FormatAnswer(const InformationAnswer& answer);
void AppendAnswer(std::string* out, const InformationAnswer& answer);  // FormatAnswer's text
// Parses an answer line; false with the message of an ERR answer or of a
// malformed one.
bool ParseAnswer(std::string_view line, InformationAnswer* answer, std::string* error);

// A connection to a simulator's socket.
class Client {
public:
    Client() = default;
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool Connect(const std::string& path, std::string* error);
    // Sends one request line and reads its answer line, waiting at most
    // `timeoutMs`; false with a message when the connection fails.
    bool Call(const std::string& request, std::string* answer, int timeoutMs, std::string* error);

private:
    int fd_ = -1;
    std::string pending_;  // bytes read past the last answer
};

}  // namespace zr48control
