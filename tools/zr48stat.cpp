// zr48stat: reads or clears a zr48 adapter's statistics block through the
// driver's private OIDs and prints it decoded. On Linux it reaches the
// adapters of a running zr48sim through its control socket, as a Windows
// tool reaches an adapter through NDIS.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/control_protocol.h"
#include "common/stats_block.h"

namespace {

const char kUsage[] =
    "usage: zr48stat [--socket PATH] [--json] [--clear] [--timeout SEC] [ADAPTER...]\n"
    "\n"
    "Reads the statistics block of each ADAPTER (every adapter of the simulator\n"
    "when none is named) through OID 0xFF020210 and prints it decoded; with\n"
    "--clear, clears it through OID 0xFF020211 instead.\n"
    "  --socket PATH   the simulator's control socket (default, as zr48sim's:\n"
    "                  /run/zr48sim/zr48sim.sock for root, otherwise\n"
    "                  $XDG_RUNTIME_DIR/zr48sim/zr48sim.sock, or without it\n"
    "                  /tmp/zr48sim-UID/zr48sim.sock)\n"
    "  --json          one JSON object per adapter\n"
    "  --timeout SEC   how long to wait for a pending request, in whole seconds\n"
    "                  up to 3600 (default 10)\n";

struct Options {
    std::string socket = zr48control::DefaultSocket();
    bool json = false;
    bool clear = false;
    int timeoutMs = 10000;
    std::vector<std::string> adapters;
};

constexpr long kMaxTimeout = 3600;  // seconds

// Whole seconds from 1 to kMaxTimeout, and nothing else.
bool Seconds(const char* text, int* milliseconds) {
    char* end = nullptr;
    errno = 0;
    long seconds = strtol(text, &end, 10);
    if (end == text || *end || errno || seconds < 1 || seconds > kMaxTimeout) return false;
    *milliseconds = static_cast<int>(seconds * 1000);
    return true;
}

bool Parse(int argc, char** argv, Options* o, std::string* error) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--json") o->json = true;
        else if (a == "--clear") o->clear = true;
        else if (a == "--socket" && i + 1 < argc) o->socket = argv[++i];
        else if (a == "--timeout" && i + 1 < argc) {
            if (!Seconds(argv[++i], &o->timeoutMs)) {
                *error = "--timeout takes whole seconds, 1 to " + std::to_string(kMaxTimeout) +
                         ", not \"" + argv[i] + "\"";
                return false;
            }
        } else if (a.empty() || a[0] == '-') {
            *error = "unknown option or missing value: " + a;
            return false;
        } else {
            o->adapters.push_back(a);
        }
    }
    return true;
}

bool ListAdapters(zr48control::Client& client, const Options& o, std::vector<std::string>* names,
                  std::string* error) {
    std::string answer;
    if (!client.Call("ADAPTERS", &answer, o.timeoutMs, error)) return false;
    std::vector<std::string> w = zr48control::Words(answer);
    if (w.empty() || w[0] != "OK") {
        *error = "unexpected answer: " + answer;
        return false;
    }
    names->assign(w.begin() + 1, w.end());
    return true;
}

// One private request; false with a message when it did not succeed.
bool Issue(zr48control::Client& client, const Options& o, const std::string& adapter,
           uint32_t oid, std::vector<uint8_t> buffer, zr48control::InformationAnswer* answer,
           std::string* error) {
    zr48control::InformationRequest request{true, adapter, oid, std::move(buffer)};
    std::string line;
    if (!client.Call(zr48control::FormatRequest(request), &line, o.timeoutMs, error) ||
        !zr48control::ParseAnswer(line, answer, error)) {
        return false;
    }
    if (answer->status != 0) {
        *error = "the driver answered " + zr48stat::StatusName(answer->status);
        return false;
    }
    return true;
}

bool Serve(zr48control::Client& client, const Options& o, const std::string& adapter) {
    zr48control::InformationAnswer answer;
    std::string error;
    if (o.clear) {
        if (!Issue(client, o, adapter, OID_ZR48_CLEAR_STATISTICS,
                   zr48stat::ClearRequestBuffer(), &answer, &error)) {
            fprintf(stderr, "zr48stat: %s: clear: %s\n", adapter.c_str(), error.c_str());
            return false;
        }
        if (o.json) {
            printf("{\"adapter\":%s,\"cleared\":true}\n", zr48stat::JsonString(adapter).c_str());
        } else {
            printf("zr48stat: %s: statistics block cleared\n", adapter.c_str());
        }
        return true;
    }
    zr48stat::Statistics s;
    if (!Issue(client, o, adapter, OID_ZR48_GET_STATISTICS, zr48stat::ReadRequestBuffer(),
               &answer, &error)) {
        fprintf(stderr, "zr48stat: %s: read: %s\n", adapter.c_str(), error.c_str());
        return false;
    }
    if (answer.bytesDone != zr48stat::kBlockSize ||
        !zr48stat::DecodeStatistics(answer.buffer.data(), answer.buffer.size(), &s)) {
        fprintf(stderr, "zr48stat: %s: the driver wrote %u bytes, not a 64-byte block\n",
                adapter.c_str(), answer.bytesDone);
        return false;
    }
    printf("%s\n", o.json ? zr48stat::StatisticsJson(s, adapter).c_str()
                          : zr48stat::FormatStatistics(s, adapter).c_str());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    std::string problem;
    if (!Parse(argc, argv, &o, &problem)) {
        fprintf(stderr, "zr48stat: %s\n%s", problem.c_str(), kUsage);
        return 2;
    }
    zr48control::Client client;
    std::string error;
    if (!client.Connect(o.socket, &error) ||
        (o.adapters.empty() && !ListAdapters(client, o, &o.adapters, &error))) {
        fprintf(stderr, "zr48stat: %s\n", error.c_str());
        return 1;
    }
    bool ok = true;
    for (auto& adapter : o.adapters) ok = Serve(client, o, adapter) && ok;
    return ok ? 0 : 1;
}
