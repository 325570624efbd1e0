// The zr48 statistics block as a user-space tool sees it: the buffers the
// driver's two private OIDs expect, and the 64-byte little-endian record a
// read returns (driver/public.h), decoded and printed. Plain C++ with no
// platform headers: the Linux and the Windows zr48stat share it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "driver/public.h"

namespace zr48stat {

constexpr size_t kBlockSize = sizeof(StatisticsBlock);

// What a read sends: 64 bytes opening with the signature.
std::vector<uint8_t> ReadRequestBuffer();
// What a clear sends: the signature alone (exactly 4 bytes).
std::vector<uint8_t> ClearRequestBuffer();

struct Statistics {
    uint64_t xmitOk = 0;            // frames sent
    uint64_t rcvOk = 0;             // frames received
    uint64_t rcvError = 0;          // receive error events
    uint32_t xmitErrorEvents = 0;   // transmit error interrupts
    uint32_t cardEvents = 0;        // interrupts carrying the card event bit 0x08
    uint32_t linkUpCount = 0;       // line-up transitions
    uint32_t reserved = 0;
    uint64_t lastLinkUpTime = 0;    // 100 ns units since 1 January 1601 (UTC)
    uint8_t reply82 = 0;            // transceiver bytes, as the transceiver gave them
    uint8_t reply83 = 0;
    uint8_t reply94[2] = {0, 0};
    uint8_t lineStatus = 0;
    uint8_t lineStatusAux = 0;
    uint8_t reply9E[10] = {0};
};

// Decodes a block; false when fewer than 64 bytes are given.
bool DecodeStatistics(const uint8_t* bytes, size_t length, Statistics* out);

// "2026-01-01 00:00:03.5000000 UTC", or "never" for 0.
std::string SystemTimeText(uint64_t time);
// "0x40 data mode (line up)": the activation state in bits 7..6.
std::string LineStatusText(uint8_t status);
// "0x84: lost sync since last up, firmware running": the second status byte's
// condition bits.
std::string LineConditionsText(uint8_t aux);
std::string HexBytes(const uint8_t* bytes, size_t count);

// The transceiver's bytes, as the card documents them: its state (command
// 0x82), its SNR margin in dB (0x83, signed, with the driver's line-code
// adjustment added), the loop attenuation here and at the far end in dB
// (0x94), and ten error counters (0x9E) that stop at 255.
constexpr size_t kErrorCounters = 10;
extern const char* const kErrorCounterNames[kErrorCounters];      // "CRC anomalies", ...
extern const char* const kErrorCounterJsonNames[kErrorCounters];  // "crcAnomalies", ...
std::string TransceiverStateName(uint8_t state);  // "data mode"; "unknown" beyond 4
int MarginDb(const Statistics& s);

// The block as text for a person, or as one JSON object.
std::string FormatStatistics(const Statistics& s, const std::string& adapter);
std::string StatisticsJson(const Statistics& s, const std::string& adapter);

// What a clear resets and what it leaves, exactly: the driver zeroes its
// block and has the transceiver clear its ten error counters, but the frame
// counters are the driver's running totals, which the next read copies in
// again, and the transceiver's state, margin and attenuation are read afresh.
std::string ClearedText(const std::string& adapter);
std::string ClearedJson(const std::string& adapter);

// `text` as a JSON string, quotes included: an adapter's name is whatever
// the configuration (or the command line) gave. Bytes that are not UTF-8
// become U+FFFD, so that the output stays valid JSON.
std::string JsonString(const std::string& text);

// NDIS status values a tool may meet, by name ("NDIS_STATUS_FAILURE").
std::string StatusName(uint32_t status);

}  // namespace zr48stat
