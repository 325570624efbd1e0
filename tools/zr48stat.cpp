// zr48stat: reads or clears a zr48 adapter's statistics block through the
// driver's private OIDs and prints it decoded. On Linux it reaches the
// adapters of a running zr48sim through its control socket, as a Windows
// tool reaches an adapter through NDIS.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "common/control_protocol.h"
#include "common/stats_block.h"
#include "driver/public.h"
#include "tools/stat_tool.h"

namespace {

using zr48stat::Options;

bool ListAdapters(zr48control::Client& client, const Options& o, std::vector<std::string>* names,
                  std::string* error) {
    std::string answer;
    if (!client.Call("ADAPTERS", &answer, o.timeoutMs, error)) return false;
    std::vector<std::string_view> w;
    zr48control::SplitWords(answer, &w);
    if (w.empty() || w[0] != "OK") {
        *error = "unexpected answer: " + answer.substr(0, 200);
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

bool Read(zr48control::Client& client, const Options& o, const std::string& adapter,
          zr48stat::Statistics* s, std::string* error) {
    zr48control::InformationAnswer answer;
    if (!Issue(client, o, adapter, OID_ZR48_GET_STATISTICS, zr48stat::ReadRequestBuffer(),
               &answer, error)) {
        return false;
    }
    if (answer.bytesDone != zr48stat::kBlockSize ||
        !zr48stat::DecodeStatistics(answer.buffer.data(), answer.buffer.size(), s)) {
        *error = "the driver wrote " +
                 (answer.bytesDone ? std::to_string(*answer.bytesDone) : std::string("no")) +
                 " bytes, not a 64-byte block";
        return false;
    }
    return true;
}

bool Serve(zr48control::Client& client, const Options& o, const std::string& adapter) {
    std::string error;
    if (o.clear) {
        zr48control::InformationAnswer answer;
        if (!Issue(client, o, adapter, OID_ZR48_CLEAR_STATISTICS, zr48stat::ClearRequestBuffer(),
                   &answer, &error)) {
            fprintf(stderr, "zr48stat: %s: clear: %s\n", adapter.c_str(), error.c_str());
            return false;
        }
        printf("%s\n", o.json ? zr48stat::ClearedJson(adapter).c_str()
                              : zr48stat::ClearedText(adapter).c_str());
        return true;
    }
    zr48stat::Statistics s;
    if (!Read(client, o, adapter, &s, &error)) {
        fprintf(stderr, "zr48stat: %s: read: %s\n", adapter.c_str(), error.c_str());
        return false;
    }
    printf("%s\n", o.json ? zr48stat::StatisticsJson(s, adapter).c_str()
                          : zr48stat::FormatStatistics(s, adapter).c_str());
    return true;
}

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string Clock() {
    time_t t = time(nullptr);
    char text[64];
    struct tm local;
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", localtime_r(&t, &local));
    return text;
}

// Reads every adapter every period until Ctrl-C (exit 0) or a read fails
// (exit 1: the simulator has gone, say).
int Watch(zr48control::Client& client, const Options& o) {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    bool terminal = isatty(STDOUT_FILENO) && !o.json;
    std::map<std::string, zr48stat::Reading> before;
    for (;;) {
        std::vector<zr48stat::Reading> now;
        for (auto& adapter : o.adapters) {
            zr48stat::Reading r{adapter, {}, Now()};
            std::string error;
            if (!Read(client, o, adapter, &r.block, &error)) {
                fprintf(stderr, "zr48stat: %s: read: %s\n", adapter.c_str(), error.c_str());
                return 1;
            }
            now.push_back(r);
        }
        if (o.json) {
            for (auto& r : now) printf("%s\n", zr48stat::StatisticsJson(r.block, r.adapter).c_str());
        } else {
            fputs(zr48stat::WatchFrame(now, before, o, Clock(), terminal).c_str(), stdout);
        }
        fflush(stdout);
        for (auto& r : now) before[r.adapter] = r;
        timespec wait{static_cast<time_t>(o.watchSeconds),
                      static_cast<long>((o.watchSeconds - static_cast<time_t>(o.watchSeconds)) * 1e9)};
        if (sigtimedwait(&signals, nullptr, &wait) > 0) return 0;
    }
}

}  // namespace

int main(int argc, char** argv) {
    zr48stat::CommandLine line =
        zr48stat::ParseArguments(std::vector<std::string>(argv + 1, argv + argc));
    if (!line.run) {
        fputs(line.out.c_str(), stdout);
        fputs(line.err.c_str(), stderr);
        return line.exitCode;
    }
    Options& o = line.options;
    zr48control::Client client;
    std::string error;
    if (!client.Connect(o.socket, &error) ||
        (o.adapters.empty() && !ListAdapters(client, o, &o.adapters, &error))) {
        fprintf(stderr, "zr48stat: %s\n", error.c_str());
        return 1;
    }
    if (o.watchSeconds > 0) return Watch(client, o);
    bool ok = true;
    for (auto& adapter : o.adapters) ok = Serve(client, o, adapter) && ok;
    return ok ? 0 : 1;
}
