// A machine with the zr48 driver loaded and zr48 cards in its slots: what
// tests and the simulator build on. Each card gets NDIS's miniport block (the
// upper edge) and a line: a loopback partner, or another card.
//
//     testbed::Machine machine;                       // driver loaded, firmware in place
//     auto& unit = machine.AddAdapter();            // a card in slot 0
//     machine.Loopback(unit);                       // a far end that trains with it
//     ASSERT_EQ(unit.nic->Initialize(), NDIS_STATUS_SUCCESS);
//     machine.WaitForLinkUp(unit);
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "testbed/card_slot.h"
#include "host/image.h"
#include "host/miniport.h"
#include "cardmodel/line.h"

namespace testbed {

// One adapter: the card in its slot, and NDIS's view of it.
struct Unit {
    std::unique_ptr<CardSlot> slot;
    std::unique_ptr<host::Miniport> nic;
    cardmodel::LoopbackPartner* loopback = nullptr;  // when it has one
    cardmodel::Card& Card() { return slot->Card(); }
    host::ParameterStore& Parameters() { return nic->Parameters(); }
};

struct AdapterSetup {
    Placement placement;
    cardmodel::CardOptions card;
    // Configuration parameters as the registry holds them.
    std::map<std::string, uint32_t> integers;
    std::map<std::string, std::string> strings;
};

// The driver a machine loads: the one linked in from source, or a Windows
// driver image (the x64 zr48.sys) loaded as the kernel loads it. Test
// programs take the image named by the environment variable
// ZR48_DRIVER_IMAGE when it is set (ctest runs the black-box programs both
// ways), the driver linked in otherwise.
constexpr const char* kDriverImageVariable = "ZR48_DRIVER_IMAGE";

class Machine {
public:
    // Loads the driver (ZR48_DRIVER_IMAGE's image, or the one linked in) and
    // puts a firmware image in place as "zr48.bin". An image that cannot be
    // loaded is a fatal error that names the reason.
    Machine();
    // Loads `image`, or the driver linked in when it is null.
    explicit Machine(std::shared_ptr<host::DriverImage> image);
    // Halts every adapter still running, stops a concurrent machine's
    // workers, then unplugs cards and lines and unloads the driver.
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    host::Driver& Driver() { return *driver_; }
    const std::vector<uint8_t>& FirmwareImage() const { return firmware_; }
    // Replaces the image NDIS finds as "zr48.bin".
    void SetFirmwareImage(std::vector<uint8_t> image);
    void RemoveFirmwareImage();

    // A card in a slot of its own (slot, window and interrupt line follow the
    // number of adapters unless the setup sets them).
    Unit& AddAdapter(AdapterSetup setup = {});
    Unit& AddAdapter(const std::map<std::string, uint32_t>& integers);
    cardmodel::LoopbackPartner& Loopback(Unit& unit, cardmodel::LoopbackOptions options = {});
    cardmodel::Line& Connect(Unit& a, Unit& b, cardmodel::LineOptions options = {});

    // Runs the machine until the driver has seen the line up (its connect
    // status answers connected), or `limit` has passed.
    bool WaitForLinkUp(Unit& unit, host::Nanoseconds limit = 30 * host::kSecond);
    // Initializes, sets a directed+broadcast packet filter, waits for the line.
    void Start(Unit& unit);
    bool LinkUp(Unit& unit);

    std::vector<std::unique_ptr<Unit>>& Units() { return units_; }

private:
    std::unique_ptr<host::Driver> driver_;
    std::vector<uint8_t> firmware_;
    std::vector<std::unique_ptr<Unit>> units_;
    HostEnvironment lineEnvironment_;
    std::vector<std::unique_ptr<cardmodel::LoopbackPartner>> partners_;
    std::vector<std::unique_ptr<cardmodel::Line>> lines_;
};

inline constexpr uint8_t kBroadcastAddress[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
inline constexpr uint8_t kFrameSource[6] = {0x02, 0, 0, 0, 0, 1};

// An Ethernet frame of `length` bytes (at least 14) from `source` to
// `destination`, with a payload pattern derived from `seed`.
// MakeFrameInto writes it into `frame`, whose storage is kept (a caller
// making many frames makes no heap block per frame).
void MakeFrameInto(std::vector<uint8_t>* frame, size_t length, uint8_t seed = 0,
                   const uint8_t* destination = kBroadcastAddress,
                   const uint8_t* source = kFrameSource);
std::vector<uint8_t> MakeFrame(size_t length, uint8_t seed = 0,
                               const std::vector<uint8_t>& destination = {0xFF, 0xFF, 0xFF, 0xFF,
                                                                          0xFF, 0xFF},
                               const std::vector<uint8_t>& source = {0x02, 0, 0, 0, 0, 1});

}  // namespace testbed
