// What crosses the driver's boundary to applications: the two private OIDs
// through which a user-space tool reads or clears an adapter's statistics,
// the signature that opens their information buffers, and the 64-byte block
// a read returns. The driver, zr48stat (Linux and Windows) and the simulator
// include this header and nothing else of the driver.
//
// No platform header and no library: the field types are the ones whose
// width is the same on every target the header serves (ILP32 and LLP64
// Windows, LP64 Linux): unsigned char 8 bits, unsigned int 32 bits, unsigned
// long long 64 bits.
#pragma once

// Both private requests are issued as queries (a clear too: it has to carry
// the signature in, and NDIS passes user-space sets to no miniport).
#define OID_ZR48_GET_STATISTICS 0xFF020210u
#define OID_ZR48_CLEAR_STATISTICS 0xFF020211u

// Opens the information buffer of both: the bytes 't', 'a', 't', 's', that is
// this value read as a little-endian 32-bit word. A read's buffer is at least
// the block's size; a clear's is exactly the signature's 4 bytes.
static const unsigned int StatsSignature = 0x73746174u;

// The statistics block: 64 bytes, every multi-byte field little-endian, no
// gaps. A completed read copies it unchanged into the request's buffer.
struct StatisticsBlock {
    unsigned long long XmitOk;          //  0 frames sent
    unsigned long long RcvOk;           //  8 frames received
    unsigned long long RcvError;        // 16 receive error events
    unsigned int XmitErrorEvents;       // 24 transmit error interrupts
    unsigned int IsrBit08Events;        // 28 interrupts carrying the card event bit 0x08
    unsigned int LinkUpCount;           // 32 line-up transitions
    unsigned int Reserved;              // 36 always 0
    unsigned long long LastLinkUpTime;  // 40 system time of the last line-up (100 ns since 1601)
    unsigned char Reply82;              // 48 transceiver state byte (command 0x82)
    unsigned char Reply83;              // 49 margin byte (command 0x83), adjusted by line code
    unsigned char Reply94[2];           // 50 attenuation bytes (command 0x94)
    unsigned char LineStatus;           // 52 mailbox line status byte
    unsigned char LineStatusAux;        // 53 mailbox second status byte
    unsigned char Reply9E[10];          // 54 transceiver error counters (command 0x9E)
};

#define ZR48_PUBLIC_LAYOUT(field, offset) \
    static_assert(__builtin_offsetof(StatisticsBlock, field) == (offset), #field " at " #offset)
static_assert(sizeof(StatisticsBlock) == 64, "the statistics block is 64 bytes");
ZR48_PUBLIC_LAYOUT(RcvOk, 8);
ZR48_PUBLIC_LAYOUT(RcvError, 16);
ZR48_PUBLIC_LAYOUT(XmitErrorEvents, 24);
ZR48_PUBLIC_LAYOUT(IsrBit08Events, 28);
ZR48_PUBLIC_LAYOUT(LinkUpCount, 32);
ZR48_PUBLIC_LAYOUT(Reserved, 36);
ZR48_PUBLIC_LAYOUT(LastLinkUpTime, 40);
ZR48_PUBLIC_LAYOUT(Reply82, 48);
ZR48_PUBLIC_LAYOUT(Reply83, 49);
ZR48_PUBLIC_LAYOUT(Reply94, 50);
ZR48_PUBLIC_LAYOUT(LineStatus, 52);
ZR48_PUBLIC_LAYOUT(LineStatusAux, 53);
ZR48_PUBLIC_LAYOUT(Reply9E, 54);
#undef ZR48_PUBLIC_LAYOUT
