// The zr48 card's register file as the card implements it: the decoding of its
// 4 KB window, the eight byte registers and what each bit makes the card do,
// the descriptor rings its DMA engines work through, and its PCI identity.
// This is the card's own description; the driver keeps its own, and the two
// meet only on the bus. Constants only.
#pragma once

#include <cstdint>

namespace cardmodel {

// ---- PCI identity ----------------------------------------------------------
// The window is decoded through BAR1 (configuration offset 0x14); the
// interrupt is INTA#.
enum PciIdentity : uint16_t {
    PCI_ID_VENDOR = 0x1BA7,  // vendor ID in configuration space
    PCI_ID_DEVICE = 0x0316,  // device ID in configuration space
};

// ---- The window (offsets from its base) -------------------------------------
enum WindowMap : uint32_t {
    WINDOW_TX_RING = 0x000,     // transmit descriptor ring: the transmit engine reads it
    WINDOW_RX_RING = 0x400,     // receive descriptor ring: the receive engine fills it
    WINDOW_RING_BYTES = 0x400,  // each ring: RING_SLOT_COUNT descriptors of DESC_BYTES
    WINDOW_REGISTERS = 0x800,   // the byte registers, REGISTER_COUNT of them
    WINDOW_UNUSED = 0x808,      // decoded, empty up to the mailbox: reads 0, writes dropped
    WINDOW_MAILBOX = 0xC00,     // transceiver mailbox, dual-ported with the controller
    WINDOW_SIZE = 0x1000,       // beyond it nothing answers: reads float to 0xFF
};

// ---- Byte registers (offsets from WINDOW_REGISTERS) --------------------------
enum RegisterIndex : uint8_t {
    REGISTER_CR0 = 0,          // control 0: engine enables, framing options, controller run
    REGISTER_CR1 = 1,          // control 1: DMA burst options, frame hold
    REGISTER_ISR = 2,          // interrupt status: sources set bits, a written 1 clears one
    REGISTER_IMR = 3,          // interrupt mask: the line is asserted while ISR & IMR is not 0
    REGISTER_TX_HW_INDEX = 4,  // transmit slot the engine finishes next; a write resets the ring
    REGISTER_TX_SW_INDEX = 5,  // transmit engine works up to this slot; a write wakes it
    REGISTER_RX_HW_INDEX = 6,  // receive slot the engine fills next; a write resets the ring
    REGISTER_RX_SW_INDEX = 7,  // receive engine fills buffers up to this slot, never into it
    REGISTER_COUNT = 8,
};

// CR0: plain storage; the engines and the controller act on its edges.
enum Cr0Bits : uint8_t {
    CR0_TX_ENGINE = 0x01,         // transmit engine on; 1->0 abandons the frame being serialized
    CR0_RX_ENGINE = 0x02,         // receive engine takes frames from the line
    CR0_FRAMING_CRC = 0x10,       // framing option for the transceiver, stored only
    CR0_FRAMING_FILL = 0x20,      // framing option for the transceiver, stored only
    CR0_FRAMING_POLARITY = 0x40,  // framing option for the transceiver, stored only
    CR0_CONTROLLER_RUN = 0x80,    // transceiver controller out of reset; 0->1 reboots it
};

// CR1: plain storage, looked at frame by frame.
enum Cr1Bits : uint8_t {
    CR1_DMA_READ_BURST = 0x01,   // DMA reads in bursts, stored only
    CR1_DMA_WRITE_BURST = 0x02,  // DMA writes in bursts, stored only
    CR1_FRAME_HOLD = 0x08,       // no frame passes: sent ones are discarded, received ones dropped
};

// Interrupt sources: the same bit in ISR (raised) and IMR (enabled).
enum InterruptSource : uint8_t {
    ISR_TX_DONE = 0x01,     // TX_HW_INDEX moved past a frame, sent or discarded
    ISR_RX_DONE = 0x02,     // a received frame was written and RX_HW_INDEX moved
    ISR_RX_ERROR = 0x04,    // a received frame was damaged, of a bad length or not writable
    ISR_CARD_EVENT = 0x08,  // a frame was dropped for want of a receive buffer
    ISR_TX_ERROR = 0x10,    // a bad descriptor stopped the transmit engine (CR0_TX_ENGINE cleared)
    ISR_MAILBOX = 0x20,     // the controller posted an answer or an event in the mailbox
};

// ---- Descriptor rings -----------------------------------------------------------
enum RingGeometry : uint32_t {
    RING_SLOT_COUNT = 128,    // slots per ring; slot i at 8 * i from the ring's start
    RING_SLOT_MASK = 0x7F,    // index registers keep these bits; the engines wrap 127 to 0
    DESC_BYTES = 8,           // one descriptor: two little-endian 32-bit words
    DESC_WORD_ADDRESS = 0,    // word 0: bus address of the frame buffer
    DESC_WORD_CONTROL = 4,    // word 1: transmit control, or receive length written by the card
};

// The slot the engines go to after `slot`.
constexpr uint8_t NextSlot(unsigned slot) {
    return static_cast<uint8_t>((slot + 1) & RING_SLOT_MASK);
}

// Transmit descriptor, word 1: read by the transmit engine.
enum TxControlBits : uint32_t {
    TXD_LENGTH_MASK = 0x7FFF,  // frame length in bytes
    TXD_VALID = 0x8000,        // a descriptor without it is a transmit error
};

// Receive descriptor, word 1: written by the receive engine.
enum RxStatusBits : uint32_t {
    RXD_LENGTH_MASK = 0x7FF,  // length of the frame written; every other bit written 0
};

// ---- Frames -----------------------------------------------------------------------
enum FrameLimits : uint32_t {
    FRAME_MAX_BYTES = 1514,   // longest frame either engine moves (Ethernet without FCS)
    FRAME_MIN_RX_BYTES = 14,  // a received frame shorter than a header is a receive error
};

}  // namespace cardmodel
