// zr48fwgen: writes a valid transceiver firmware image for the zr48 card.
//   zr48fwgen PATH [BODY_BYTES]
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cardmodel/firmware.h"

namespace {

constexpr unsigned long kMaxBody = 1ul << 20;  // what the card's controller accepts, less the header

int Usage() {
    fprintf(stderr, "usage: zr48fwgen PATH [BODY_BYTES]\n"
                    "  writes a firmware image with a body of BODY_BYTES (default %zu, at most %lu)\n",
            cardmodel::kDefaultFirmwareBody, kMaxBody - cardmodel::kFirmwareHeaderSize);
    return 2;
}

bool ParseBody(const char* text, size_t* body) {
    char* end = nullptr;
    errno = 0;
    unsigned long value = strtoul(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || text[0] == '-') return false;
    if (value > kMaxBody - cardmodel::kFirmwareHeaderSize) return false;
    *body = value;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) return Usage();
    size_t body = cardmodel::kDefaultFirmwareBody;
    if (argc == 3 && !ParseBody(argv[2], &body)) {
        fprintf(stderr, "zr48fwgen: bad body size '%s'\n", argv[2]);
        return Usage();
    }
    std::vector<uint8_t> image = cardmodel::MakeFirmwareImage(body);
    FILE* file = fopen(argv[1], "wb");
    if (!file) {
        fprintf(stderr, "zr48fwgen: cannot write %s: %s\n", argv[1], strerror(errno));
        return 1;
    }
    bool ok = fwrite(image.data(), 1, image.size(), file) == image.size();
    ok = fclose(file) == 0 && ok;
    if (!ok) {
        fprintf(stderr, "zr48fwgen: writing %s failed\n", argv[1]);
        remove(argv[1]);
        return 1;
    }
    printf("zr48fwgen: wrote %s (%zu bytes)\n", argv[1], image.size());
    return 0;
}
