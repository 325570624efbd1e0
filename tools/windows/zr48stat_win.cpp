// zr48stat for Windows: reads or clears a zr48 adapter's statistics block
// through the driver's private OIDs, by the user-mode path NDIS offers every
// adapter: IOCTL_NDIS_QUERY_GLOBAL_STATS on the adapter's device
// \\.\{GUID}, with the OID as input and the information buffer as output.
// The driver checks that the buffer opens with the signature, so the output
// buffer is filled with it before the call (NDIS hands the buffer to the
// miniport as it is).
#include <windows.h>
#include <winioctl.h>
#include <ntddndis.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/stats_block.h"

namespace {

const char kUsage[] =
    "usage: zr48stat [--json] [--clear] [{ADAPTER-GUID}]\n"
    "       zr48stat --list\n"
    "       zr48stat --help\n"
    "\n"
    "Reads the statistics block of the zr48 adapter whose device is\n"
    "\\\\.\\{ADAPTER-GUID} (OID 0xFF020210), or of every zr48 adapter installed\n"
    "when no GUID is given; --clear clears it (OID 0xFF020211).\n"
    "--list shows the zr48 adapters installed and their GUIDs.\n";

// The network adapter class: each installed adapter has a numbered subkey.
const char kNetClass[] =
    "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}";

std::string LastError() {
    char text[256] = "";
    DWORD code = GetLastError();
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                   text, sizeof text, nullptr);
    for (size_t n = strlen(text); n && (text[n - 1] == '\n' || text[n - 1] == '\r');) {
        text[--n] = 0;
    }
    return std::to_string(code) + " " + text;
}

std::string RegistryString(HKEY key, const char* name) {
    char value[512];
    DWORD size = sizeof value - 1, type = 0;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ) {
        return "";
    }
    value[size] = 0;
    return value;
}

struct InstalledAdapter {
    std::string guid;
    std::string description;
};

// The installed adapters whose hardware ID is the zr48 card's; false with a
// message when the network adapter class cannot be read.
bool FindAdapters(std::vector<InstalledAdapter>* adapters) {
    HKEY classKey;
    LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kNetClass, 0, KEY_READ, &classKey);
    if (status == ERROR_FILE_NOT_FOUND) return true;  // no network adapter of any kind
    if (status != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(status));
        fprintf(stderr, "zr48stat: cannot open the network adapter class key: %s\n",
                LastError().c_str());
        return false;
    }
    char sub[256];
    for (DWORD i = 0; RegEnumKeyA(classKey, i, sub, sizeof sub) == ERROR_SUCCESS; ++i) {
        HKEY key;
        if (RegOpenKeyExA(classKey, sub, 0, KEY_READ, &key) != ERROR_SUCCESS) continue;
        std::string id = RegistryString(key, "MatchingDeviceId");
        for (char& c : id) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        if (id.find("ven_1ba7&dev_0316") != std::string::npos) {
            adapters->push_back({RegistryString(key, "NetCfgInstanceId"),
                                 RegistryString(key, "DriverDesc")});
        }
        RegCloseKey(key);
    }
    RegCloseKey(classKey);
    return true;
}

const char kNoAdapter[] =
    "zr48stat: no zr48 adapter found: no network adapter with hardware ID\n"
    "PCI\\VEN_1BA7&DEV_0316 is installed (is the card in, and its driver installed?)\n";

int List() {
    std::vector<InstalledAdapter> adapters;
    if (!FindAdapters(&adapters)) return 1;
    for (const InstalledAdapter& a : adapters) {
        printf("%s  %s\n", a.guid.c_str(), a.description.c_str());
    }
    if (adapters.empty()) printf("no zr48 adapter installed\n");
    return 0;
}

// One private OID through NDIS; false with a message.
bool Query(const std::string& guid, ULONG oid, std::vector<unsigned char>* buffer, DWORD* returned,
           std::string* error) {
    std::string device = "\\\\.\\" + guid;
    HANDLE h = CreateFileA(device.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *error = "cannot open " + device + ": " + LastError();
        return false;
    }
    BOOL ok = DeviceIoControl(h, IOCTL_NDIS_QUERY_GLOBAL_STATS, &oid, sizeof oid, buffer->data(),
                              static_cast<DWORD>(buffer->size()), returned, nullptr);
    if (!ok) *error = "IOCTL_NDIS_QUERY_GLOBAL_STATS failed: " + LastError();
    CloseHandle(h);
    return ok != FALSE;
}

int Read(const std::string& guid, bool json) {
    std::vector<unsigned char> buffer = zr48stat::ReadRequestBuffer();
    DWORD returned = 0;
    std::string error;
    zr48stat::Statistics s;
    if (!Query(guid, OID_ZR48_GET_STATISTICS, &buffer, &returned, &error)) {
        fprintf(stderr, "zr48stat: %s\n", error.c_str());
        return 1;
    }
    if (!zr48stat::DecodeStatistics(buffer.data(), returned, &s)) {
        fprintf(stderr, "zr48stat: the driver returned %lu bytes, not a 64-byte block\n",
                static_cast<unsigned long>(returned));
        return 1;
    }
    printf("%s\n", json ? zr48stat::StatisticsJson(s, guid).c_str()
                        : zr48stat::FormatStatistics(s, guid).c_str());
    return 0;
}

int Clear(const std::string& guid, bool json) {
    std::vector<unsigned char> buffer = zr48stat::ClearRequestBuffer();
    DWORD returned = 0;
    std::string error;
    if (!Query(guid, OID_ZR48_CLEAR_STATISTICS, &buffer, &returned, &error)) {
        fprintf(stderr, "zr48stat: %s\n", error.c_str());
        return 1;
    }
    if (json) printf("{\"adapter\":%s,\"cleared\":true}\n", zr48stat::JsonString(guid).c_str());
    else printf("zr48stat: %s: statistics block cleared\n", guid.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    bool json = false, clear = false, list = false;
    std::string guid;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            printf("%s", kUsage);
            return 0;
        }
        if (a == "--json") json = true;
        else if (a == "--clear") clear = true;
        else if (a == "--list") list = true;
        else if (guid.empty() && a.size() == 38 && a.front() == '{' && a.back() == '}') guid = a;
        else {
            fprintf(stderr, "%s", kUsage);
            return 2;
        }
    }
    if (list) return List();
    if (!guid.empty()) return clear ? Clear(guid, json) : Read(guid, json);
    std::vector<InstalledAdapter> adapters;
    if (!FindAdapters(&adapters)) return 1;
    if (adapters.empty()) {
        fprintf(stderr, "%s", kNoAdapter);
        return 1;
    }
    int status = 0;
    for (const InstalledAdapter& a : adapters) {
        int one = clear ? Clear(a.guid, json) : Read(a.guid, json);
        if (one != 0) status = one;
    }
    return status;
}
