// What the fuzz targets stand on: the verifier as the judge, a machine kept
// across inputs with one adapter on a line that echoes what it sends, the hang
// detector every input ends with, and the books that catch a lost frame
// buffer at the input that lost it.
//
// An input starts from the adapter as the last one's hang detector left it:
// running, its line up, nothing pending, the card honest (no reset: one per
// input would cost more than most inputs do, and the hang detector resets
// an adapter that needs it). The adapter is initialized again only when an
// earlier input left it unfit (halted, or its transceiver silenced). An
// input ends when the adapter has come back, within bounded virtual time and
// with NDIS's watchdog running (hang checks every 2 s, a reset when one asks
// for it or a request stays pending across two), to a state where a send
// completes and a request is answered. Any verifier violation, an adapter
// that does not come back, or books that do not balance end the run as a
// crash. Every so many inputs the adapter is halted, the ledger must be
// empty, and a fresh machine is built.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/world.h"
#include "testbed/hostile_card.h"
#include "testbed/machine.h"

namespace fuzz {

// Ends the run as a crash (libFuzzer keeps the input): prints why, aborts.
[[noreturn]] void Fail(const char* format, ...) __attribute__((format(printf, 1, 2)));
// With ZR48_FUZZ_TRACE set: prints what an input does, step by step.
void Note(const char* format, ...) __attribute__((format(printf, 1, 2)));

struct RigOptions {
    std::map<std::string, uint32_t> integers;  // the adapter's parameters
    cardmodel::CardOptions card;
    cardmodel::LoopbackOptions line;
    bool hostile = false;  // a lying card in front of the card model
    unsigned inputsPerMachine = 20000;
};

// The machine the targets run on. NDIS's own watchdog is off: the rig plays
// it (RunWithWatchdog), so that an input's hang checks and resets happen
// where the rig can watch them. Special pool is off: a mapping and a page per
// block would cost every input dearly, and AddressSanitizer already faults
// an access outside a block's allocation at the access (guard bytes, checked
// when a block is given back, catch what lands just past its end).
host::WorldOptions FuzzWorld();

// A card that boots, downloads and trains quickly, with a small firmware
// image: initializing costs little, so an input that needs it can have it.
cardmodel::CardOptions QuickCard();

class Rig {
public:
    explicit Rig(RigOptions options);
    ~Rig();
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    testbed::Unit& Unit() { return *unit_; }
    host::Miniport& Nic() { return *unit_->nic; }
    cardmodel::Card& Card() { return unit_->Card(); }
    cardmodel::LoopbackPartner& Line() { return *unit_->loopback; }
    testbed::HostileCard* Liar() { return liar_.get(); }
    testbed::Machine& Machine() { return *machine_; }

    void BeginInput();
    // The hang detector and the books; fails the run when either fails.
    void EndInput();

    // Runs the machine as NDIS would, for at most `limit` of virtual time or
    // until `done`: the hang check every 2 s, a reset when it asks for one or
    // when a request has stayed pending across two checks. Whether `done`.
    bool RunWithWatchdog(const std::function<bool()>& done, host::Nanoseconds limit);
    // Whether a request may be made now (NDIS makes one at a time): runs the
    // machine a little for one that is pending.
    bool RequestSlotFree();
    // MiniportReset as NDIS makes it; the hang check as NDIS answers it (a
    // reset when it says so). The hang detector hears of both.
    void Reset();
    void HangCheck();

    // Halts and initializes the adapter again, line up and packet filter set.
    void Reinitialize();
    // The input made a transceiver request (a statistics one): the hang
    // detector asks for statistics too, not only a standard object. With a
    // lying card it always does.
    void NoteMailboxUsed() { mailboxUsed_ = true; }
    // The card was surprise-removed: at the end of the input NDIS halts the
    // adapter without it, and the input ends on a fresh machine (a card that
    // came back as it was would be out of step with the driver).
    void CardGoneForGood() { cardGone_ = true; }

private:
    void Build();
    void Teardown();
    bool Fit();
    void Start();
    void CheckBooks(const char* when);

    RigOptions options_;
    std::unique_ptr<testbed::Machine> machine_;
    testbed::Unit* unit_ = nullptr;
    std::unique_ptr<testbed::HostileCard> liar_;
    uint64_t inputs_ = 0;
    bool mailboxUsed_ = false;
    bool cardGone_ = false;
    // The last send to complete did so with success, after the last reset.
    bool lastSendWent_ = false;
    // The hang detector's send, made once.
    std::vector<host::OutgoingFrame> probe_;
};

}  // namespace fuzz
