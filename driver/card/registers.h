// The card's 4 KB memory window as the driver uses it: layout, the eight byte
// registers and their bits, the descriptor rings, the card's PCI identity.
// The driver's own description of the card: the card model keeps its own, and
// the two meet only on the bus. Constants only; no platform types.
#pragma once

// Window layout (offsets from the start of the window)
enum CardWindowLayout : unsigned {
    CARD_WINDOW_SIZE = 0x1000,
    TX_RING_OFFSET = 0x000,    // transmit descriptor ring, 128 x 8 bytes
    RX_RING_OFFSET = 0x400,    // receive descriptor ring, 128 x 8 bytes
    REGISTERS_OFFSET = 0x800,  // the eight byte registers
    MAILBOX_OFFSET = 0xC00,    // transceiver mailbox, 1 KB
    MAILBOX_SIZE = 0x400,
};

// Registers (offsets from the register block); every access is 8 bits wide
enum CardRegister : unsigned char {
    CR0 = 0,          // control: transfer enables, framing options, run
    CR1 = 1,          // control: DMA burst options, line hold
    ISR = 2,          // interrupt status; writing 1 clears a bit
    IMR = 3,          // interrupt mask, ISR's layout; 1 enables a source
    TX_HW_INDEX = 4,  // transmit slot the card finishes next
    TX_SW_INDEX = 5,  // transmit slot the driver fills next
    RX_HW_INDEX = 6,  // receive slot the card fills next
    RX_SW_INDEX = 7,  // receive slot the driver fills next
    CARD_REGISTER_COUNT = 8,
};

// CR0 bits
enum Cr0Bits : unsigned char {
    CR0_TX_ENABLE = 0x01,      // transmitter runs the transmit ring
    CR0_RX_ENABLE = 0x02,      // receiver fills the receive ring
    CR0_CRC = 0x10,            // framing option: the "CRC" parameter
    CR0_FILL_BYTE = 0x20,      // framing option: the "FillByte" parameter
    CR0_DATA_POLARITY = 0x40,  // framing option: the "DataPolarity" parameter
    CR0_RUN = 0x80,            // transceiver controller runs; 0 to 1 restarts it
    CR0_TRANSFERS = CR0_TX_ENABLE | CR0_RX_ENABLE,
};

// CR1 bits
enum Cr1Bits : unsigned char {
    CR1_READ_BURST = 0x01,   // DMA reads in bursts
    CR1_WRITE_BURST = 0x02,  // DMA writes in bursts
    CR1_LINE_HOLD = 0x08,    // hold the line: no frames pass while set
};

// Interrupt sources: the same bits in ISR and IMR
enum InterruptBits : unsigned char {
    INT_TX_DONE = 0x01,   // the card has passed transmit descriptors
    INT_RX = 0x02,        // the card has filled receive buffers
    INT_RX_ERROR = 0x04,  // a frame arrived damaged (never enabled)
    INT_EVENT = 0x08,     // a card event counted in the statistics block
    INT_TX_ERROR = 0x10,  // the transmitter stopped on an error
    INT_MAILBOX = 0x20,   // the transceiver controller posted in the mailbox
    INT_ALL = 0xFF,  // also what a card that has left the bus reads as
    // Every source the card has; 0x40 and 0x80 are none.
    INT_SOURCES = INT_TX_DONE | INT_RX | INT_RX_ERROR | INT_EVENT | INT_TX_ERROR | INT_MAILBOX,
    // Sources that the ISR only counts; anything else needs the deferred call.
    INT_COUNTED_ONLY = INT_RX_ERROR | INT_EVENT,
};

// The only values ever written to IMR
enum ImrValues : unsigned char {
    IMR_NONE = 0x00,
    IMR_MAILBOX_ONLY = INT_MAILBOX,  // during transceiver bring-up
    // Normal operation: every source but the receive error.
    IMR_NORMAL = INT_TX_DONE | INT_RX | INT_EVENT | INT_TX_ERROR | INT_MAILBOX,
};

// Descriptor rings
enum RingGeometry : unsigned {
    RING_SLOTS = 128,
    RING_INDEX_MASK = 0x7F,
    DESCRIPTOR_SIZE = 8,
    DESCRIPTOR_ADDRESS = 0,  // word 0: bus address of the frame's slot
    DESCRIPTOR_CONTROL = 4,  // word 1: transmit control / receive status
};
#define NEXT_RING_INDEX(i) (((i) + 1) & RING_INDEX_MASK)

enum DescriptorBits : unsigned {
    TX_CONTROL_VALID = 0x8000,     // set in every transmit descriptor
    RX_STATUS_LENGTH_MASK = 0x7FF, // received frame length
};

// Frames
enum FrameSizes : unsigned {
    FRAME_SLOT_SIZE = 1516,  // one slot of the shared DMA block
    MAX_FRAME_SIZE = 1514,   // Ethernet frame without FCS
    MIN_FRAME_SIZE = 60,     // shorter frames are padded with zeros
    ETHERNET_HEADER_SIZE = 14,
};

// PCI identity of the card
enum CardPciIdentity : unsigned {
    CARD_PCI_ID = 0x03161BA7,  // device 0x0316, vendor 0x1BA7
    PCI_ID_OFFSET = 0x00,
    PCI_MEMORY_BAR_OFFSET = 0x14,
    PCI_INTERRUPT_LINE_OFFSET = 0x3C,
    PCI_NO_INTERRUPT_LINE = 0xFF,
};
