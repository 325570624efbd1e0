// One-line accessors for the card's window. Every register and mailbox access
// is a single 8-bit access and every descriptor word a single 32-bit access,
// and the card sees each of them: reads go through volatile pointers (the
// platform's read macro is a plain dereference on some targets), writes
// through the platform's write routine.
#pragma once

#include "adapter/adapter.h"
#include "adapter/counters.h"
#include "card/mailbox_protocol.h"
#include "card/registers.h"

inline UCHAR ReadRegister(Adapter* adapter, CardRegister reg)
{
    UCHAR value;
    NdisReadRegisterUchar((volatile UCHAR*)(adapter->Registers + reg), &value);
    return value;
}

inline VOID WriteRegister(Adapter* adapter, CardRegister reg, UCHAR value)
{
    NdisWriteRegisterUchar(adapter->Registers + reg, value);
}

// The two index registers that belong to the driver: the card only reads
// them. Each write is kept in the adapter, and the driver goes on from what it
// wrote, not from what the register reads back: a card that reads back
// another value (it lies, it lost power, it has left the bus) must not make
// the driver describe a frame or buffer in a slot the card will not look at,
// or outside the ring.
inline VOID WriteTxSwIndex(Adapter* adapter, ULONG index)
{
    adapter->TxSwIndex = index;
    WriteRegister(adapter, TX_SW_INDEX, (UCHAR)index);
}

inline VOID WriteRxSwIndex(Adapter* adapter, ULONG index)
{
    adapter->RxSwIndex = index;
    WriteRegister(adapter, RX_SW_INDEX, (UCHAR)index);
}

// The two index registers that belong to the card, TX_HW_INDEX and
// RX_HW_INDEX: whether the card has done its work in the ring slot `next`
// (lock held). The index can only lie from that slot up to the one after the
// last of the `queued` slots the driver gave the card: an index past them,
// behind `next` or beyond the ring is the card's error, counted in `errors`,
// and shows nothing; the work is taken when the card shows it has really
// done it. `*trusted` is an index found good before, while the lock has been
// held since: each slot taken moves `next` and `queued` by one together, so
// it stays good.
inline BOOLEAN CardIndexAhead(Adapter* adapter, CardRegister reg, ULONG next, ULONG queued,
                              volatile ULONGLONG* errors, ULONG* trusted)
{
    ULONG index = ReadRegister(adapter, reg);
    if (index == next) {
        return FALSE;
    }
    if (index == *trusted) {
        return TRUE;
    }
    if (index > RING_INDEX_MASK || ((index - next) & RING_INDEX_MASK) > queued) {
        CounterIncrement(errors);
        return FALSE;
    }
    *trusted = index;
    return TRUE;
}

inline UCHAR ReadMailbox(Adapter* adapter, ULONG offset)
{
    UCHAR value;
    NdisReadRegisterUchar((volatile UCHAR*)(adapter->Mailbox + offset), &value);
    return value;
}

inline VOID WriteMailbox(Adapter* adapter, ULONG offset, UCHAR value)
{
    NdisWriteRegisterUchar(adapter->Mailbox + offset, value);
}

inline ULONG ReadDescriptorWord(PUCHAR ring, ULONG index, ULONG word)
{
    ULONG value;
    NdisReadRegisterUlong((volatile ULONG*)(ring + index * DESCRIPTOR_SIZE + word), &value);
    return value;
}

inline VOID WriteDescriptorWord(PUCHAR ring, ULONG index, ULONG word, ULONG value)
{
    NdisWriteRegisterUlong((PULONG)(ring + index * DESCRIPTOR_SIZE + word), value);
}
