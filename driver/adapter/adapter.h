// The adapter record: one per initialized card, the miniport adapter context
// that every handler receives. It owns the card's window, the shared DMA
// memory, the packet and buffer pools, the frame queues, the lock, the mailbox
// completion state, the link timer, the counters and the configuration.
#pragma once

#include "platform.h"
#include "public.h"
#include "datapath/adapter_lock.h"
#include "datapath/frame_queue.h"

struct Adapter;

// Continuation of an asynchronous transceiver command: called with the step
// value stored with the command, or MAILBOX_ABORTED at halt.
typedef VOID (*MailboxCompletion)(Adapter* adapter, ULONG step);

#define MULTICAST_LIST_SIZE 32
#define ETHERNET_ADDRESS_LENGTH 6

struct Adapter {
    // ---- Card and platform handles -----------------------------------------
    NDIS_HANDLE MiniportAdapterHandle;
    ULONG MemoryBase;            // physical address of the card window
    PUCHAR CardWindow;           // the mapped window; null while unmapped
    PUCHAR Registers;            // CardWindow + 0x800
    PUCHAR TxRing;               // CardWindow + 0x000
    PUCHAR RxRing;               // CardWindow + 0x400
    PUCHAR Mailbox;              // CardWindow + 0xC00
    BOOLEAN MapRegistersAllocated;
    NDIS_HANDLE PacketPool;
    NDIS_HANDLE BufferPool;
    BOOLEAN PacketPoolAllocated;
    BOOLEAN BufferPoolAllocated;
    UCHAR InterruptLine;
    NDIS_MINIPORT_INTERRUPT Interrupt;
    BOOLEAN InterruptRegistered;

    // ---- Mailbox completion state ------------------------------------------
    NDIS_EVENT CommandEvent;             // a synchronous command was answered
    MailboxCompletion CommandCallback;   // pending asynchronous continuation
    ULONG CommandContext;                // step value handed back to it
    ULONG CommandPostedAt;               // up-time (ms) its command was posted
    PVOID StatsRequestBuffer;            // pending statistics request's buffer
    PULONG StatsBytesWritten;
    PULONG StatsBytesNeeded;
    // A finished request's completion, made once no lock is held (a protocol
    // may take its own locks in its completion handler). Under Lock.
    BOOLEAN RequestCompletionPending;
    NDIS_STATUS RequestCompletionStatus;

    // ---- Shared DMA memory -------------------------------------------------
    PVOID SharedMemory;
    NDIS_PHYSICAL_ADDRESS SharedMemoryPhysical;
    ULONG SharedMemorySize;      // (XmtQueueLen + RcvQueueLen) x 1516

    // ---- Frame queues (under Lock) -----------------------------------------
    FrameBufferQueue TxFreeQueue;   // transmit buffers not on the ring
    FrameBufferQueue TxBusyQueue;   // transmit buffers on the ring, ring order
    ULONG XmtQueueLen;              // transmit buffers
    ULONG TxCompleteIndex;          // next transmit slot to complete
    ULONG TxSwIndex;                // TX_SW_INDEX as the driver last wrote it
    FrameBufferQueue RxFreeQueue;   // receive buffers neither posted nor lent
    FrameBufferQueue RxPostedQueue; // receive buffers on the ring, ring order
    ULONG RcvQueueLen;              // receive buffers and packets
    ULONG RxNextIndex;              // next receive slot to process
    ULONG RxSwIndex;                // RX_SW_INDEX as the driver last wrote it
    // Receive passes between taking their frames and taking back those the
    // protocol copied: a packet returned meanwhile is posted by the pass.
    ULONG RxPassesIndicating;
    PacketQueue PendingSendQueue;   // accepted packets not yet on the ring

    // ---- Line parameters ---------------------------------------------------
    ULONG LineRate;              // units of 8 kbit/s
    ULONG LineCode;              // 0..3; 4 when not configured
    BOOLEAN TerminalType;        // TRUE: central terminal
    BOOLEAN AlwaysConnected;
    BOOLEAN ConfigType;
    ULONG AnnexType;
    BOOLEAN Crc;
    BOOLEAN FillByte;
    BOOLEAN DataPolarity;
    BOOLEAN ReadBurst;
    BOOLEAN WriteBurst;

    // ---- Statistics and counters -------------------------------------------
    StatisticsBlock Statistics;
    AdapterLock Lock;
    NDIS_MINIPORT_TIMER LinkTimer;
    volatile ULONGLONG XmitOk;
    volatile ULONGLONG XmitError;
    volatile ULONGLONG RcvOk;
    volatile ULONGLONG RcvError;
    volatile UCHAR PendingInterrupts;  // sources the ISR deferred
    volatile ULONG LinkState;          // 0 unconfigured, 1 line down, 2 line up

    // ---- Lifecycle (under Lock) ---------------------------------------------
    BOOLEAN RingsStarted;         // start-up has handed the rings to the data path
    BOOLEAN Halting;              // halt has begun: the data path stays still
    BOOLEAN ResetInProgress;      // a reset owns the rings: sends wait
    ULONG RingGeneration;         // bumped by each reset and by halt
    BOOLEAN LinkTimerInitialized; // LinkTimer may be set and cancelled
    BOOLEAN LinkCheckDeferred;    // a line event came before LinkTimer existed
    BOOLEAN LinkTimerPending;     // LinkTimer set and its routine not started
    volatile LONG LinkTimerReferences;  // the stop path, pending expiries, running routines
    NDIS_EVENT LinkTimerIdle;     // set when LinkTimerReferences falls to 0
    // The hang check's view of the transmitter at its previous call (under Lock).
    BOOLEAN TxWatchArmed;         // frames were on the ring
    ULONG TxWatchIndex;           // TX_HW_INDEX then
    ULONG TxWatchCompleted;       // frames completed by then (low bits of XmitOk)

    // ---- Addresses and filter ----------------------------------------------
    UCHAR NetworkAddress[ETHERNET_ADDRESS_LENGTH];
    UCHAR MulticastList[MULTICAST_LIST_SIZE][ETHERNET_ADDRESS_LENGTH];
    ULONG MulticastCount;
    volatile UCHAR PacketFilter;
};

// The block's line-up time seen as one of the adapter's 64-bit counters (the
// public header spells it unsigned long long, ULONGLONG's width everywhere).
inline volatile ULONGLONG* LastLinkUpTimeCounter(StatisticsBlock* block)
{
    return (volatile ULONGLONG*)&block->LastLinkUpTime;
}

// Gives every field its initial value. Cannot fail.
Adapter* AdapterConstruct(Adapter* adapter);
// Frees the lock. The caller frees the record itself.
VOID AdapterDestroy(Adapter* adapter);
