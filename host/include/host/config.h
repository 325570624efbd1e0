// An adapter's configuration parameters, as the registry holds them under the
// adapter's key, and the machine's PCI configuration space.
//
// NdisReadConfiguration's conversions, as the host makes them:
// - A DWORD value read as NdisParameterInteger or NdisParameterHexInteger
//   gives its value; read as NdisParameterString it is returned as an
//   NdisParameterInteger (NDIS reports the stored type, not the requested one,
//   so a driver must look at ParameterType before it uses StringData).
// - A string value read as NdisParameterInteger is parsed as decimal, read as
//   NdisParameterHexInteger as hexadecimal (an optional 0x prefix allowed);
//   leading and trailing spaces are ignored. A string that is not entirely a
//   number fails the read (NDIS_STATUS_FAILURE): the stricter choice, where
//   NDIS's documentation is silent. A value that does not fit 32 bits fails too.
// - A string read as NdisParameterString is returned as a counted UTF-16
//   string whose Length excludes the terminating zero.
// - Keywords match without regard to case, as registry value names do.
// - A missing keyword fails the read and leaves *ParameterValue untouched.
// NdisWriteConfiguration stores integers as DWORD values and strings as
// strings. Returned parameters live until NdisCloseConfiguration; after that
// their memory is poisoned.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace host {

struct ParameterValue {
    enum class Kind { Dword, String } kind = Kind::Dword;
    uint32_t dword = 0;
    std::u16string string;

    static ParameterValue Dword(uint32_t v);
    static ParameterValue String(const std::string& ascii);
    static ParameterValue String(const std::u16string& utf16);
    std::string AsciiString() const;  // the string with non-ASCII as '?'
};

class ParameterStore {
public:
    void SetInteger(const std::string& keyword, uint32_t value);
    void SetString(const std::string& keyword, const std::string& ascii);
    void SetString(const std::string& keyword, const std::u16string& utf16);
    void Remove(const std::string& keyword);
    std::optional<ParameterValue> Get(const std::string& keyword) const;
    std::optional<ParameterValue> Get(const std::u16string& keyword) const;
    void Set(const std::u16string& keyword, ParameterValue value);
    // Keywords written through NdisWriteConfiguration, in order.
    const std::vector<std::string>& Writes() const { return writes_; }
    void NoteWrite(const std::u16string& keyword);

private:
    static std::string Key(const std::u16string& keyword);
    std::map<std::string, ParameterValue> values_;  // key: lower-case keyword
    std::vector<std::string> writes_;
};

// PCI configuration space, 256 bytes per slot, on the machine's one bus of
// kPciSlots device numbers. An empty slot reads all ones, as a real bus
// answers a read that no device claims.
constexpr unsigned kPciSlots = 32;
void PciSetConfigSpace(unsigned slot, const std::vector<uint8_t>& space);
void PciClearSlot(unsigned slot);
void PciReset();
std::vector<uint8_t> PciConfigSpace(unsigned slot);
// Builds a type-0 header: vendor and device ID, BAR0/1.., interrupt line.
std::vector<uint8_t> PciMakeConfigSpace(uint16_t vendor, uint16_t device, uint32_t bar1,
                                        uint8_t interruptLine);

}  // namespace host
