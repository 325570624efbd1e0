#include "testbed/machine.h"

#include <cstdlib>

#include "entry/miniport.h"
#include "cardmodel/firmware.h"
#include "host/files.h"
#include "host/verifier.h"
#include "requests/requests.h"

namespace testbed {

namespace {

// ZR48_DRIVER_IMAGE's image, loaded; null when the variable is not set.
std::shared_ptr<host::DriverImage> ImageFromEnvironment() {
    const char* path = getenv(kDriverImageVariable);
    if (!path || !*path) return nullptr;
    std::string error;
    auto image = host::LoadDriverImage(path, &error);
    if (!image) host::FatalViolation("%s=%s: %s", kDriverImageVariable, path, error.c_str());
    return image;
}

}  // namespace

Machine::Machine() : Machine(ImageFromEnvironment()) {}

Machine::Machine(std::shared_ptr<host::DriverImage> image) {
    if (image) {
        driver_ = std::make_unique<host::Driver>(std::move(image));
    } else {
        driver_ = std::make_unique<host::Driver>(DriverEntry);
    }
    driver_->Load();
    SetFirmwareImage(cardmodel::MakeFirmwareImage());
}

Machine::~Machine() {
    for (auto& unit : units_) {
        if (unit->nic->Running()) unit->nic->Halt();
    }
    // Cards and lines go only when none of their work can run: in the
    // concurrent mode a worker may be about to run some, past cancelling.
    if (host::IsConcurrent()) host::StopWorld();
    lines_.clear();
    partners_.clear();
    units_.clear();
    if (driver_->Loaded()) driver_->Unload();
    host::ClearFiles();
}

void Machine::SetFirmwareImage(std::vector<uint8_t> image) {
    firmware_ = std::move(image);
    host::ClearFiles();
    host::AddFile("zr48.bin", firmware_);
}

void Machine::RemoveFirmwareImage() { host::ClearFiles(); }

Unit& Machine::AddAdapter(AdapterSetup setup) {
    unsigned n = static_cast<unsigned>(units_.size());
    if (setup.placement.pciSlot == 0 && n != 0) {
        setup.placement.pciSlot = n;
        setup.placement.windowBase += n * 0x10000;
        setup.placement.interruptLine = static_cast<uint8_t>(setup.placement.interruptLine + n);
    }
    auto unit = std::make_unique<Unit>();
    unit->slot = std::make_unique<CardSlot>(setup.placement, setup.card);
    unit->nic = std::make_unique<host::Miniport>(*driver_);
    if (setup.placement.pciSlot != 0) {
        // A DWORD, as an installer writes it: the driver reads the slot as
        // a hexadecimal integer, so a decimal string would name another slot.
        unit->nic->Parameters().SetInteger("SlotNumber", setup.placement.pciSlot);
    }
    for (auto& [keyword, value] : setup.integers) unit->nic->Parameters().SetInteger(keyword, value);
    for (auto& [keyword, value] : setup.strings) unit->nic->Parameters().SetString(keyword, value);
    units_.push_back(std::move(unit));
    return *units_.back();
}

Unit& Machine::AddAdapter(const std::map<std::string, uint32_t>& integers) {
    AdapterSetup setup;
    setup.integers = integers;
    return AddAdapter(setup);
}

cardmodel::LoopbackPartner& Machine::Loopback(Unit& unit, cardmodel::LoopbackOptions options) {
    partners_.push_back(
        std::make_unique<cardmodel::LoopbackPartner>(lineEnvironment_, unit.Card(), options));
    unit.loopback = partners_.back().get();
    return *partners_.back();
}

cardmodel::Line& Machine::Connect(Unit& a, Unit& b, cardmodel::LineOptions options) {
    lines_.push_back(
        std::make_unique<cardmodel::Line>(lineEnvironment_, a.Card(), b.Card(), options));
    return *lines_.back();
}

bool Machine::LinkUp(Unit& unit) {
    host::RequestResult r = unit.nic->Query(OID_GEN_MEDIA_CONNECT_STATUS, 4);
    return r.status == NDIS_STATUS_SUCCESS && r.buffer.size() == 4 &&
           r.buffer[0] == NdisMediaStateConnected;
}

bool Machine::WaitForLinkUp(Unit& unit, host::Nanoseconds limit) {
    return host::RunUntil([&] { return LinkUp(unit); }, limit);
}

void Machine::Start(Unit& unit) {
    NDIS_STATUS status = unit.nic->Initialize();
    if (status != NDIS_STATUS_SUCCESS) return;
    unit.nic->Set(OID_GEN_CURRENT_PACKET_FILTER,
                  host::UlongBytes(NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST));
    WaitForLinkUp(unit);
}

void MakeFrameInto(std::vector<uint8_t>* frame, size_t length, uint8_t seed,
                   const uint8_t* destination, const uint8_t* source) {
    frame->resize(length < 14 ? 14 : length);
    uint8_t* bytes = frame->data();
    std::copy(destination, destination + 6, bytes);
    std::copy(source, source + 6, bytes + 6);
    bytes[12] = 0x88;  // a local experimental EtherType
    bytes[13] = 0xB5;
    for (size_t i = 14; i < frame->size(); ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7);
}

std::vector<uint8_t> MakeFrame(size_t length, uint8_t seed, const std::vector<uint8_t>& destination,
                               const std::vector<uint8_t>& source) {
    std::vector<uint8_t> frame;
    MakeFrameInto(&frame, length, seed, destination.data(), source.data());
    return frame;
}

}  // namespace testbed
