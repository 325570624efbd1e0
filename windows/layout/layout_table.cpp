// The layout table: the offset and size of every structure member, the size
// of every type and the value of every constant that crosses between the
// driver and NDIS (layout_fields.h), as the headers this file is compiled
// against lay them out. Compiled twice per architecture, against the host's
// NDIS (ZR48_HOST) and against mingw-w64's DDK headers; check-layout.py reads
// the table out of each object and compares the two. A driver image built
// against one and run on the other meets exactly these bytes.
#if defined(ZR48_HOST)
#include "ndis.h"
#else
#include "ndis_prelude.h"
#endif
#include <stddef.h>

namespace {

// Kinds of entry (check-layout.py knows them by number).
enum : unsigned { kField = 1, kSize = 2, kAtMost = 3, kValue = 4 };

struct LayoutEntry {
    char name[112];
    unsigned long long first;   // offset, size or value
    unsigned long long second;  // size of the member, alignment of the type, or 0
    unsigned kind;
    unsigned reserved;
};

}  // namespace

// A member's offset and size; the same on both sides.
#define LAYOUT_FIELD(type, member) \
    {#type "." #member, offsetof(type, member), sizeof(((type*)0)->member), kField, 0},
// A type's size and alignment; the same on both sides.
#define LAYOUT_SIZE(type) {#type, sizeof(type), alignof(type), kSize, 0},
// A record the driver only embeds and NDIS alone reads and writes: the host's
// must fit in the room the image gives it.
#define LAYOUT_AT_MOST(type) {#type, sizeof(type), 0, kAtMost, 0},
// A constant's value; the same on both sides.
#define LAYOUT_VALUE(name) {#name, (unsigned long long)(name), 0, kValue, 0},

extern "C" __attribute__((section(".zr48lay"), used)) const LayoutEntry zr48_layout[] = {
#include "layout_fields.h"
};
