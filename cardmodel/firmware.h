// The transceiver firmware image format of our card. The driver sends the
// image file unchanged; the controller checks it before it starts it.
//
//   offset  size  contents
//   0       4     magic "ZR48"
//   4       1     format version (1)
//   5       1     flags (0)
//   6       2     reserved (0)
//   8       4     body length, little-endian
//   12      4     CRC-32 (IEEE 802.3) of the body, little-endian
//   16      ...   body: the transceiver's code
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace cardmodel {

constexpr size_t kFirmwareHeaderSize = 16;
constexpr uint8_t kFirmwareVersion = 1;
constexpr size_t kDefaultFirmwareBody = 8192;

// A valid image with a body of `bodyLength` bytes of made-up code: the same
// bytes for the same length, so runs repeat.
std::vector<uint8_t> MakeFirmwareImage(size_t bodyLength = kDefaultFirmwareBody);

// True when `image` is a valid image; otherwise false with the reason in *why.
bool CheckFirmwareImage(const uint8_t* image, size_t length, std::string* why = nullptr);
inline bool CheckFirmwareImage(const std::vector<uint8_t>& image, std::string* why = nullptr) {
    return CheckFirmwareImage(image.data(), image.size(), why);
}

// CRC-32 as Ethernet computes it (reflected, polynomial 0xEDB88320).
uint32_t Crc32(const uint8_t* data, size_t length);

}  // namespace cardmodel
