#include "tests/cardmodel/fake_environment.h"

#include <cstring>

int64_t FakeEnvironment::Now() {
    std::lock_guard<std::mutex> lock(mu_);
    return now_;
}

uint64_t FakeEnvironment::Schedule(int64_t delayNs, std::function<void()> fn, const char*) {
    std::lock_guard<std::mutex> lock(mu_);
    uint64_t id = nextId_++;
    queue_.emplace(std::make_pair(now_ + (delayNs > 0 ? delayNs + lateness_ : 0), nextSequence_++),
                   Work{id, std::move(fn)});
    return id;
}

void FakeEnvironment::SetTimerLateness(int64_t ns) {
    std::lock_guard<std::mutex> lock(mu_);
    lateness_ = ns;
}

void FakeEnvironment::Cancel(uint64_t id) {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto it = queue_.begin(); it != queue_.end(); ++it) {
        if (it->second.id == id) {
            queue_.erase(it);
            return;
        }
    }
}

bool FakeEnvironment::RunOneDue(int64_t upTo) {
    Work work;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (queue_.empty() || queue_.begin()->first.first > upTo) return false;
        auto it = queue_.begin();
        if (it->first.first > now_) now_ = it->first.first;
        work = std::move(it->second);
        queue_.erase(it);
    }
    work.fn();  // outside the lock: work schedules more
    return true;
}

void FakeEnvironment::Advance(int64_t ns) {
    int64_t until = Now() + ns;
    while (RunOneDue(until)) {
    }
    std::lock_guard<std::mutex> lock(mu_);
    now_ = until;
}

bool FakeEnvironment::RunUntil(const std::function<bool()>& done, int64_t limitNs) {
    int64_t limit = Now() + limitNs;
    while (!done()) {
        if (!RunOneDue(limit)) {
            std::lock_guard<std::mutex> lock(mu_);
            now_ = limit;
            return false;
        }
    }
    return true;
}

size_t FakeEnvironment::PendingWork() const {
    std::lock_guard<std::mutex> lock(mu_);
    return queue_.size();
}

// ---------------------------------------------------------------------------
// DMA memory
// ---------------------------------------------------------------------------
uint32_t FakeEnvironment::Allocate(size_t length) {
    std::lock_guard<std::mutex> lock(mu_);
    uint32_t address = nextAddress_;
    memory_[address].assign(length, 0);
    nextAddress_ += static_cast<uint32_t>((length + 0xFFF) & ~size_t(0xFFF)) + 0x1000;  // a gap
    return address;
}

uint8_t* FakeEnvironment::Locate(uint32_t busAddress, size_t length) {
    auto it = memory_.upper_bound(busAddress);
    if (it == memory_.begin()) return nullptr;
    --it;
    uint64_t offset = uint64_t(busAddress) - it->first;
    if (offset + length > it->second.size()) return nullptr;
    return it->second.data() + offset;
}

bool FakeEnvironment::DmaRead(uint32_t busAddress, void* to, size_t length) {
    std::lock_guard<std::mutex> lock(mu_);
    uint8_t* at = Locate(busAddress, length);
    if (!at) return false;
    memcpy(to, at, length);
    return true;
}

bool FakeEnvironment::DmaWrite(uint32_t busAddress, const void* from, size_t length) {
    std::lock_guard<std::mutex> lock(mu_);
    uint8_t* at = Locate(busAddress, length);
    if (!at) return false;
    memcpy(at, from, length);
    return true;
}

std::vector<uint8_t> FakeEnvironment::Memory(uint32_t busAddress, size_t length) const {
    std::lock_guard<std::mutex> lock(mu_);
    uint8_t* at = const_cast<FakeEnvironment*>(this)->Locate(busAddress, length);
    return at ? std::vector<uint8_t>(at, at + length) : std::vector<uint8_t>{};
}

void FakeEnvironment::SetMemory(uint32_t busAddress, const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> lock(mu_);
    uint8_t* at = Locate(busAddress, bytes.size());
    if (at) memcpy(at, bytes.data(), bytes.size());
}

// ---------------------------------------------------------------------------
// Interrupt line
// ---------------------------------------------------------------------------
void FakeEnvironment::SetInterrupt(bool asserted) {
    std::lock_guard<std::mutex> lock(mu_);
    interrupt_ = asserted;
    interruptChanges_.emplace_back(now_, asserted);
}

bool FakeEnvironment::InterruptLevel() const {
    std::lock_guard<std::mutex> lock(mu_);
    return interrupt_;
}

std::vector<std::pair<int64_t, bool>> FakeEnvironment::InterruptChanges() const {
    std::lock_guard<std::mutex> lock(mu_);
    return interruptChanges_;
}
