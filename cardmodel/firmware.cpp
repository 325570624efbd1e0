// Firmware images: building and checking.
#include "cardmodel/firmware.h"

#include <cstring>

namespace cardmodel {
namespace {

const uint8_t kMagic[4] = {'Z', 'R', '4', '8'};

void PutLe32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t GetLe32(const uint8_t* at) {
    return uint32_t(at[0]) | uint32_t(at[1]) << 8 | uint32_t(at[2]) << 16 | uint32_t(at[3]) << 24;
}

bool Fail(std::string* why, const std::string& reason) {
    if (why) *why = reason;
    return false;
}

}  // namespace

uint32_t Crc32(const uint8_t* data, size_t length) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

std::vector<uint8_t> MakeFirmwareImage(size_t bodyLength) {
    std::vector<uint8_t> image(kFirmwareHeaderSize + bodyLength, 0);
    std::memcpy(image.data(), kMagic, sizeof kMagic);
    image[4] = kFirmwareVersion;
    // The body: a linear congruential sequence, deterministic for a length.
    uint32_t state = 0x2F6B1D3Au ^ static_cast<uint32_t>(bodyLength);
    for (size_t i = 0; i < bodyLength; ++i) {
        state = state * 1664525u + 1013904223u;
        image[kFirmwareHeaderSize + i] = static_cast<uint8_t>(state >> 24);
    }
    PutLe32(&image[8], static_cast<uint32_t>(bodyLength));
    PutLe32(&image[12], Crc32(image.data() + kFirmwareHeaderSize, bodyLength));
    return image;
}

bool CheckFirmwareImage(const uint8_t* image, size_t length, std::string* why) {
    if (length < kFirmwareHeaderSize) return Fail(why, "shorter than the image header");
    if (std::memcmp(image, kMagic, sizeof kMagic) != 0) return Fail(why, "no ZR48 magic");
    if (image[4] != kFirmwareVersion) return Fail(why, "unknown format version");
    if (image[5] != 0 || image[6] != 0 || image[7] != 0) return Fail(why, "reserved bytes set");
    uint32_t body = GetLe32(image + 8);
    if (body != length - kFirmwareHeaderSize) return Fail(why, "body length disagrees with size");
    if (GetLe32(image + 12) != Crc32(image + kFirmwareHeaderSize, body)) {
        return Fail(why, "body CRC mismatch");
    }
    return true;
}

}  // namespace cardmodel
