// Configuration parameters and PCI configuration space (see host/config.h).
#include "host/config.h"

#include <cstring>
#include <memory>
#include <mutex>

#include "host/verifier.h"
#include "host/world.h"

namespace host {

ParameterValue ParameterValue::Dword(uint32_t v) {
    ParameterValue p;
    p.kind = Kind::Dword;
    p.dword = v;
    return p;
}

ParameterValue ParameterValue::String(const std::string& ascii) {
    return String(std::u16string(ascii.begin(), ascii.end()));
}

ParameterValue ParameterValue::String(const std::u16string& utf16) {
    ParameterValue p;
    p.kind = Kind::String;
    p.string = utf16;
    return p;
}

std::string ParameterValue::AsciiString() const {
    std::string s;
    for (char16_t c : string) s += c < 0x80 ? static_cast<char>(c) : '?';
    return s;
}

std::string ParameterStore::Key(const std::u16string& keyword) {
    std::string k;
    for (char16_t c : keyword) {
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
        k += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return k;
}

static std::u16string Widen(const std::string& s) { return std::u16string(s.begin(), s.end()); }

void ParameterStore::SetInteger(const std::string& keyword, uint32_t value) {
    Set(Widen(keyword), ParameterValue::Dword(value));
}
void ParameterStore::SetString(const std::string& keyword, const std::string& ascii) {
    Set(Widen(keyword), ParameterValue::String(ascii));
}
void ParameterStore::SetString(const std::string& keyword, const std::u16string& utf16) {
    Set(Widen(keyword), ParameterValue::String(utf16));
}
void ParameterStore::Remove(const std::string& keyword) { values_.erase(Key(Widen(keyword))); }
void ParameterStore::Set(const std::u16string& keyword, ParameterValue value) {
    values_[Key(keyword)] = std::move(value);
}
std::optional<ParameterValue> ParameterStore::Get(const std::string& keyword) const {
    return Get(Widen(keyword));
}
std::optional<ParameterValue> ParameterStore::Get(const std::u16string& keyword) const {
    auto it = values_.find(Key(keyword));
    if (it == values_.end()) return std::nullopt;
    return it->second;
}
void ParameterStore::NoteWrite(const std::u16string& keyword) { writes_.push_back(Key(keyword)); }

// ---------------------------------------------------------------------------
// PCI
// ---------------------------------------------------------------------------
namespace {
constexpr unsigned kSlots = kPciSlots;
std::mutex pciMu;
std::vector<uint8_t> pciSlots[kSlots];
}  // namespace

void PciSetConfigSpace(unsigned slot, const std::vector<uint8_t>& space) {
    std::lock_guard<std::mutex> lock(pciMu);
    if (slot >= kSlots) FatalViolation("PciSetConfigSpace: slot %u out of range", slot);
    pciSlots[slot] = space;
    pciSlots[slot].resize(256, 0);
}

void PciClearSlot(unsigned slot) {
    std::lock_guard<std::mutex> lock(pciMu);
    if (slot < kSlots) pciSlots[slot].clear();
}

void PciReset() {
    std::lock_guard<std::mutex> lock(pciMu);
    for (auto& s : pciSlots) s.clear();
}

std::vector<uint8_t> PciConfigSpace(unsigned slot) {
    std::lock_guard<std::mutex> lock(pciMu);
    if (slot >= kSlots || pciSlots[slot].empty()) return std::vector<uint8_t>(256, 0xFF);
    return pciSlots[slot];
}

std::vector<uint8_t> PciMakeConfigSpace(uint16_t vendor, uint16_t device, uint32_t bar1,
                                        uint8_t interruptLine) {
    std::vector<uint8_t> s(256, 0);
    auto put32 = [&](size_t off, uint32_t v) {
        for (int i = 0; i < 4; ++i) s[off + i] = static_cast<uint8_t>(v >> (8 * i));
    };
    put32(0x00, static_cast<uint32_t>(device) << 16 | vendor);
    put32(0x08, 0x02000000);  // class: network controller, Ethernet
    put32(0x14, bar1);
    s[0x3C] = interruptLine;
    s[0x3D] = 1;  // INTA#
    return s;
}

}  // namespace host

// ---------------------------------------------------------------------------
// NDIS configuration calls
// ---------------------------------------------------------------------------
namespace {

// What NdisOpenConfiguration hands out: the store it reads, and the answers
// it gave, which live until the handle is closed.
struct ConfigurationHandle {
    host::ParameterStore* store;
    std::vector<std::unique_ptr<NDIS_CONFIGURATION_PARAMETER>> answers;
    std::vector<std::unique_ptr<std::u16string>> strings;
};

bool ValidString(PNDIS_STRING s) {
    return s && s->Buffer && (s->Length & 1) == 0 && s->Length <= s->MaximumLength;
}

std::u16string FromNdisString(PNDIS_STRING s) {
    return std::u16string(s->Buffer, s->Length / 2);
}

std::string Narrow(const std::u16string& s) {
    std::string n;
    for (char16_t c : s) n += c < 0x80 ? static_cast<char>(c) : '?';
    return n;
}

bool ParseNumber(const std::u16string& text, bool hex, uint32_t* out) {
    size_t b = 0, e = text.size();
    while (b < e && text[b] == u' ') ++b;
    while (e > b && text[e - 1] == u' ') --e;
    if (hex && e - b > 2 && text[b] == u'0' && (text[b + 1] == u'x' || text[b + 1] == u'X')) b += 2;
    if (b == e) return false;
    uint64_t v = 0;
    for (size_t i = b; i < e; ++i) {
        char16_t c = text[i];
        int d;
        if (c >= u'0' && c <= u'9') d = c - u'0';
        else if (hex && c >= u'a' && c <= u'f') d = c - u'a' + 10;
        else if (hex && c >= u'A' && c <= u'F') d = c - u'A' + 10;
        else return false;
        v = v * (hex ? 16 : 10) + static_cast<uint64_t>(d);
        if (v > 0xFFFFFFFFull) return false;
    }
    *out = static_cast<uint32_t>(v);
    return true;
}

ConfigurationHandle* CheckHandle(NDIS_HANDLE handle, const char* function) {
    if (!host::LedgerHolds(host::Resource::Configuration, handle)) {
        host::FatalViolation("%s(%p): not an open configuration handle", function, handle);
    }
    return static_cast<ConfigurationHandle*>(handle);
}

}  // namespace

void NdisOpenConfiguration(PNDIS_STATUS Status, PNDIS_HANDLE ConfigurationHandleOut,
                           NDIS_HANDLE WrapperConfigurationContext) {
    host::RequireIrql("NdisOpenConfiguration", PASSIVE_LEVEL, PASSIVE_LEVEL);
    if (!WrapperConfigurationContext) {
        host::Violation("NdisOpenConfiguration: no WrapperConfigurationContext");
        *Status = NDIS_STATUS_FAILURE;
        return;
    }
    if (host::ShouldFail(host::Resource::Configuration)) {
        *Status = NDIS_STATUS_FAILURE;
        return;
    }
    auto* h = new ConfigurationHandle{static_cast<host::ParameterStore*>(WrapperConfigurationContext),
                                      {}, {}};
    host::LedgerAdd(host::Resource::Configuration, h, 0, 0, nullptr, "");
    *ConfigurationHandleOut = h;
    *Status = NDIS_STATUS_SUCCESS;
}

void NdisReadConfiguration(PNDIS_STATUS Status, PNDIS_CONFIGURATION_PARAMETER* ParameterValue,
                           NDIS_HANDLE ConfigurationHandleIn, PNDIS_STRING Keyword,
                           NDIS_PARAMETER_TYPE ParameterType) {
    host::RequireIrql("NdisReadConfiguration", PASSIVE_LEVEL, PASSIVE_LEVEL);
    ConfigurationHandle* h = CheckHandle(ConfigurationHandleIn, "NdisReadConfiguration");
    if (!ValidString(Keyword)) {
        host::Violation("NdisReadConfiguration: malformed keyword string");
        *Status = NDIS_STATUS_FAILURE;
        return;
    }
    auto value = h->store->Get(FromNdisString(Keyword));
    if (!value) {
        *Status = NDIS_STATUS_FAILURE;
        return;
    }
    auto answer = std::make_unique<NDIS_CONFIGURATION_PARAMETER>();
    memset(answer.get(), 0, sizeof(*answer));
    bool wantInteger =
        ParameterType == NdisParameterInteger || ParameterType == NdisParameterHexInteger;
    if (value->kind == host::ParameterValue::Kind::Dword) {
        answer->ParameterType = wantInteger ? ParameterType : NdisParameterInteger;
        answer->ParameterData.IntegerData = value->dword;
    } else if (wantInteger) {
        uint32_t n;
        if (!ParseNumber(value->string, ParameterType == NdisParameterHexInteger, &n)) {
            *Status = NDIS_STATUS_FAILURE;
            return;
        }
        answer->ParameterType = ParameterType;
        answer->ParameterData.IntegerData = n;
    } else {
        auto text = std::make_unique<std::u16string>(value->string);
        answer->ParameterType = NdisParameterString;
        answer->ParameterData.StringData.Length = static_cast<USHORT>(text->size() * 2);
        answer->ParameterData.StringData.MaximumLength = static_cast<USHORT>(text->size() * 2 + 2);
        answer->ParameterData.StringData.Buffer = text->data();
        h->strings.push_back(std::move(text));
    }
    *ParameterValue = answer.get();
    h->answers.push_back(std::move(answer));
    *Status = NDIS_STATUS_SUCCESS;
}

void NdisWriteConfiguration(PNDIS_STATUS Status, NDIS_HANDLE ConfigurationHandleIn,
                            PNDIS_STRING Keyword, PNDIS_CONFIGURATION_PARAMETER ParameterValue) {
    host::RequireIrql("NdisWriteConfiguration", PASSIVE_LEVEL, PASSIVE_LEVEL);
    ConfigurationHandle* h = CheckHandle(ConfigurationHandleIn, "NdisWriteConfiguration");
    if (!ValidString(Keyword) || !ParameterValue) {
        host::Violation("NdisWriteConfiguration: malformed keyword or no value");
        *Status = NDIS_STATUS_FAILURE;
        return;
    }
    std::u16string keyword = FromNdisString(Keyword);
    switch (ParameterValue->ParameterType) {
    case NdisParameterInteger:
    case NdisParameterHexInteger:
        h->store->Set(keyword, host::ParameterValue::Dword(ParameterValue->ParameterData.IntegerData));
        break;
    case NdisParameterString:
        if (!ValidString(&ParameterValue->ParameterData.StringData)) {
            host::Violation("NdisWriteConfiguration(%s): malformed string value",
                            Narrow(keyword).c_str());
            *Status = NDIS_STATUS_FAILURE;
            return;
        }
        h->store->Set(keyword, host::ParameterValue::String(
                                   FromNdisString(&ParameterValue->ParameterData.StringData)));
        break;
    default:
        *Status = NDIS_STATUS_NOT_SUPPORTED;
        return;
    }
    h->store->NoteWrite(keyword);
    *Status = NDIS_STATUS_SUCCESS;
}

void NdisCloseConfiguration(NDIS_HANDLE ConfigurationHandleIn) {
    host::RequireIrql("NdisCloseConfiguration", PASSIVE_LEVEL, PASSIVE_LEVEL);
    ConfigurationHandle* h = CheckHandle(ConfigurationHandleIn, "NdisCloseConfiguration");
    host::LedgerRemove(host::Resource::Configuration, h);
    // A driver that keeps a pointer to an answer past the close reads garbage.
    for (auto& a : h->answers) memset(a.get(), 0xDD, sizeof(*a));
    for (auto& s : h->strings) std::fill(s->begin(), s->end(), u'\xDDDD');
    delete h;
}

ULONG NdisReadPciSlotInformation(NDIS_HANDLE NdisAdapterHandle, ULONG SlotNumber, ULONG Offset,
                                 PVOID Buffer, ULONG Length) {
    host::RequireIrql("NdisReadPciSlotInformation", PASSIVE_LEVEL, DISPATCH_LEVEL);
    if (!NdisAdapterHandle) host::Violation("NdisReadPciSlotInformation: no adapter handle");
    if (host::ShouldFail(host::Resource::PciConfig)) return 0;
    if (Offset >= 256) return 0;
    ULONG n = Length;
    if (n > 256 - Offset) n = 256 - Offset;  // never Offset + n: it can wrap
    std::vector<uint8_t> space = host::PciConfigSpace(SlotNumber);
    memcpy(Buffer, space.data() + Offset, n);
    return n;
}
