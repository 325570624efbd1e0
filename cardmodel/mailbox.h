// The transceiver mailbox as the card implements it: 1 KB of memory at
// WINDOW_MAILBOX that the bus and the transceiver controller both reach, byte
// by byte. The controller latches request frames from it at the doorbell and
// posts answers, events and line status into it. The codes the controller
// speaks are in controller_codes.h. Constants only.
#pragma once

#include <cstdint>

namespace cardmodel {

// ---- Layout (offsets from WINDOW_MAILBOX) -----------------------------------------
enum MailboxLayout : uint32_t {
    MAILBOX_POSTED_FLAG = 0x00,    // FLAG_POSTED, written last by the controller; else: taken
    MAILBOX_DOORBELL = 0x01,       // DOORBELL_RING written here latches the request frame
    MAILBOX_START = 0x03,          // request frame, first byte: START_MARKER
    MAILBOX_COMMAND = 0x04,        // request frame: command code
    MAILBOX_RESERVED = 0x05,       // request frame: must be 0
    MAILBOX_LENGTH = 0x06,         // request frame: payload length minus 1
    MAILBOX_HEADER_CHECK = 0x07,   // request frame: command ^ length ^ HEADER_CHECK_XOR
    MAILBOX_PAYLOAD = 0x08,        // request frame: payload, PAYLOAD_MAX_BYTES at most
    MAILBOX_PAYLOAD_CHECK = 0x53,  // request frame, last byte: payload XORed, ^ PAYLOAD_CHECK_XOR
    MAILBOX_STATUS = 0x56,         // posting status: STATUS_EVENT and the result or event code
    MAILBOX_ANSWER = 0x59,         // answer data, ANSWER_BYTES written with every posting
    MAILBOX_LINE_STATUS = 0x3C0,   // line status byte, kept current by the controller
    MAILBOX_LINE_AUX = 0x3C2,      // line condition bits, kept current by the controller
    MAILBOX_EVENT_FLAGS = 0x3C7,   // flags of the event posted last
    MAILBOX_BYTES = 0x400,
};

// ---- Values the controller writes or looks for ------------------------------------
enum MailboxValues : uint8_t {
    FLAG_POSTED = 0xFE,        // in MAILBOX_POSTED_FLAG: a posting is up
    DOORBELL_RING = 0xFE,      // in MAILBOX_DOORBELL: take the request; other values do nothing
    START_MARKER = 0xF0,       // a frame without it is a bad frame
    HEADER_CHECK_XOR = 0x5A,   // folded into the header check
    PAYLOAD_CHECK_XOR = 0xAA,  // folded into the payload check
    PAYLOAD_MAX_BYTES = 75,    // a longer length byte is a bad frame
    ANSWER_BYTES = 10,         // answer data written per posting, zero-filled beyond the answer
};

// ---- The status byte (MAILBOX_STATUS) -------------------------------------------
enum StatusBits : uint8_t {
    STATUS_EVENT = 0x80,        // the posting is an event: STATUS_EVENT | event code
    STATUS_RESULT_MASK = 0x1F,  // an answer: its result or stage code (controller_codes.h)
};

}  // namespace cardmodel
