#include "sim/tap.h"

#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <net/if_arp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zr48sim {
namespace {

constexpr size_t kMaxFrame = 1514;  // an Ethernet frame without its FCS
constexpr int kMtu = 1500;

std::string Problem(const std::string& what) { return what + ": " + strerror(errno); }

// An ioctl on the device through an ordinary socket, as ip(8) makes it.
bool InterfaceIoctl(unsigned long request, ifreq* ifr, std::string* error, const char* what) {
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    bool ok = s >= 0 && ioctl(s, request, ifr) == 0;
    if (!ok) *error = Problem(std::string(ifr->ifr_name) + ": cannot " + what);
    if (s >= 0) close(s);
    return ok;
}

}  // namespace

TapBridge::TapBridge(Simulator& sim, size_t adapter, std::string name)
    : sim_(sim), adapter_(adapter), name_(std::move(name)) {}

TapBridge::~TapBridge() {
    Stop();
    if (fd_ >= 0) sim_.OnLinkChange(adapter_, nullptr);
    if (fd_ >= 0) close(fd_);
}

bool TapBridge::Open(std::string* error) {
    if (name_.empty() || name_.size() >= IFNAMSIZ) {
        *error = "TAP device name \"" + name_ + "\" is not 1 to " +
                 std::to_string(IFNAMSIZ - 1) + " characters";
        return false;
    }
    int fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        *error = Problem("/dev/net/tun (TAP devices need the tun module and root)");
        return false;
    }
    ifreq ifr{};
    ifr.ifr_flags = IFF_TAP | IFF_NO_PI;
    strncpy(ifr.ifr_name, name_.c_str(), IFNAMSIZ - 1);
    if (ioctl(fd, TUNSETIFF, &ifr) != 0) {
        *error = Problem("cannot create TAP device " + name_);
        close(fd);
        return false;
    }
    Adopt(fd);
    return true;
}

void TapBridge::Adopt(int fd) {
    fd_ = fd;
    sim_.OnReceive(adapter_, [this](const std::vector<uint8_t>& frame) { Deliver(frame); });
    // No carrier until the driver indicates the link up.
    sim_.OnLinkChange(adapter_, [this] { UpdateCarrier(); });
    UpdateCarrier();
}

// The carrier is set from the link as it is now, not from the change that
// called: two changes in quick succession then end in the right state.
void TapBridge::UpdateCarrier() {
    std::lock_guard<std::mutex> lock(carrierMu_);
    int on = sim_.LinkUp(adapter_) ? 1 : 0;
    if (carrierUnsupported_ || on == carrier_) return;
    if (ioctl(fd_, TUNSETCARRIER, &on) == 0) {
        carrier_ = on;
        return;
    }
    carrierUnsupported_ = true;
    sim_.Note(name_, Problem("cannot set the carrier (TUNSETCARRIER needs Linux 5.0 or later)") +
                         "; the device shows its carrier up whatever the line does");
}

// The address goes through the device's own descriptor, which reaches it in
// whatever network namespace it has been moved to. MTU and state go through
// a socket of this namespace: a device already moved (sim/netns.sh) is
// brought up by whoever moved it.
bool TapBridge::Configure(std::string* error) {
    ifreq ifr{};
    strncpy(ifr.ifr_name, name_.c_str(), IFNAMSIZ - 1);
    std::vector<uint8_t> mac = sim_.Address(adapter_);
    ifr.ifr_hwaddr.sa_family = ARPHRD_ETHER;
    memcpy(ifr.ifr_hwaddr.sa_data, mac.data(), 6);
    if (ioctl(fd_, SIOCSIFHWADDR, &ifr) != 0) {
        *error = Problem(name_ + ": cannot set the address");
        return false;
    }
    std::string ignored;
    ifr.ifr_mtu = kMtu;
    if (!InterfaceIoctl(SIOCSIFMTU, &ifr, &ignored, "set the MTU")) return true;
    if (!InterfaceIoctl(SIOCGIFFLAGS, &ifr, error, "read the flags")) return false;
    ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
    return InterfaceIoctl(SIOCSIFFLAGS, &ifr, error, "bring the device up");
}

bool TapBridge::Start(std::string* error) {
    if (fd_ < 0) {
        *error = name_ + ": not open";
        return false;
    }
    bool configured = Configure(error);
    // Carried even when the device could not be configured: it still passes
    // frames, and the error is shown.
    running_ = true;
    reader_ = std::thread([this] { ReadLoop(); });
    return configured;
}

void TapBridge::Stop() {
    running_ = false;
    if (reader_.joinable()) reader_.join();
}

// Called inside the driver's receive indication: the frame is copied into
// the kernel at once, and dropped when the device cannot take it now (as a
// protocol short of buffers drops it).
void TapBridge::Deliver(const std::vector<uint8_t>& frame) {
    int fd = fd_;
    if (fd < 0 || write(fd, frame.data(), frame.size()) != static_cast<ssize_t>(frame.size())) {
        dropped_++;
        return;
    }
    toKernel_++;
}

// The kernel's frames, sent as a protocol sends them: at most a send window
// of them outstanding, so that the kernel's own queue holds the rest (and
// its qdisc drops when the line cannot keep up).
void TapBridge::ReadLoop() {
    host::AttachThread(static_cast<unsigned>(adapter_));
    std::vector<uint8_t> buffer(65536);
    // A device that has gone (its namespace deleted while the simulator
    // runs) polls as an error at once and fails every read: the reader says
    // so once and stops, rather than spin.
    auto gone = [this](const std::string& why) {
        sim_.Note(name_, "TAP device gone (" + why + "): no longer carrying the kernel's frames");
        running_ = false;
    };
    while (running_) {
        pollfd p{fd_, POLLIN, 0};
        int ready = poll(&p, 1, 100);
        if (ready < 0 && errno != EINTR) {
            gone(Problem("poll"));
            break;
        }
        if (ready <= 0) continue;
        if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) {
            gone(p.revents & POLLNVAL ? "not open" : p.revents & POLLHUP ? "hung up" : "error");
            break;
        }
        ssize_t n = read(fd_, buffer.data(), buffer.size());
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            gone(Problem("read"));
            break;
        }
        if (n <= 0) continue;
        if (n < 14 || static_cast<size_t>(n) > kMaxFrame) {
            dropped_++;  // not a frame an Ethernet adapter could send
            continue;
        }
        std::vector<uint8_t> frame(buffer.begin(), buffer.begin() + n);
        fromKernel_++;
        while (running_ && !sim_.SendWait(adapter_, frame, 100 * host::kMillisecond)) {
            if (!sim_.Running(adapter_)) break;
        }
    }
}

}  // namespace zr48sim
