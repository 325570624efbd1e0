// The transceiver mailbox: the last 1 KB of the card window, through which the
// driver and the transceiver controller exchange request frames, answers and
// events. Offsets, values and command codes as the driver uses them; the card
// model keeps its own description. Constants only; no platform types.
#pragma once

// Mailbox offsets (from the start of the mailbox); every field one byte
enum MailboxOffsets : unsigned {
    MB_RESPONSE_FLAG = 0x00,  // controller: MB_POSTED; driver: 0 when taken
    MB_DOORBELL = 0x01,       // driver: MB_RING, the last write of a request
    MB_START = 0x03,          // request start marker
    MB_COMMAND = 0x04,        // request command code
    MB_RESERVED = 0x05,       // always 0
    MB_LENGTH = 0x06,         // payload length minus 1 (0 when empty)
    MB_HEADER_CHECK = 0x07,   // command ^ length ^ MB_HEADER_XOR
    MB_PAYLOAD = 0x08,        // payload, up to MB_MAX_PAYLOAD bytes
    MB_PAYLOAD_CHECK = 0x53,  // XOR of the payload ^ MB_PAYLOAD_XOR
    MB_STATUS = 0x56,         // answer status (below); driver writes 0
    MB_ANSWER_DATA = 0x59,    // answer data bytes
    MB_LINE_STATUS = 0x3C0,   // line status byte
    MB_LINE_STATUS_AUX = 0x3C2, // second status byte
    MB_EVENT_FLAGS = 0x3C7,   // flags of the posted event
};

enum MailboxValues : unsigned char {
    MB_POSTED = 0xFE,        // response flag: an answer or event is posted
    MB_RING = 0xFE,          // doorbell value
    MB_START_MARKER = 0xF0,
    MB_HEADER_XOR = 0x5A,
    MB_PAYLOAD_XOR = 0xAA,
    MB_MAX_PAYLOAD = 75,
    MB_ANSWER_DATA_SIZE = 10,  // answer bytes the driver reads at most
};

// Status byte
enum MailboxStatus : unsigned char {
    MB_STATUS_EVENT = 0x80,        // the posting is an unsolicited event
    MB_STATUS_RESULT_MASK = 0x1F,  // result code of an answer
    MB_RESULT_SUCCESS = 0x01,
    MB_STAGE_AWAITING_FIRMWARE = 0x0D,  // controller restarted, wants firmware
    MB_STAGE_FIRMWARE_RUNNING = 0x0E,   // downloaded firmware has started
};

// Event flags
enum MailboxEventFlags : unsigned char {
    MB_EVENT_LINE_CHECK = 0x02,  // the line state changed: look at it
};

// Line status byte: the line is up when (byte & LINE_STATUS_MASK) == LINE_STATUS_UP
enum LineStatusBits : unsigned char {
    LINE_STATUS_MASK = 0xC0,
    LINE_STATUS_UP = 0x40,
};

// Transceiver commands
enum TransceiverCommand : unsigned char {
    XCVR_TERMINAL_TYPE = 0x01,     // 1 byte: 0x01 central, 0x09 remote
    XCVR_LINE_CODE = 0x03,         // 2 bytes: line code selector, 0
    XCVR_LINE_OPTIONS = 0x06,      // 1 byte: 0x63
    XCVR_START_LINE = 0x0B,        // 1 byte: 0x02; start training
    XCVR_FRAMING = 0x0F,           // 12 bytes: framing, annex
    XCVR_TERMINAL_MODE = 0x10,     // 1 byte: 0x23 central, 0x21 remote
    XCVR_LINE_RATE = 0x1B,         // 8 bytes: rate in 64 and 8 kbit/s steps
    XCVR_COUNTERS = 0x40,          // 1 byte: counter control (clear)
    XCVR_LINE_CODE_OFFSET = 0x43,  // 6 bytes: offset from the line-code table
    XCVR_EVENTS = 0x50,            // 1 byte: 0x02; report line events
    XCVR_DOWNLOAD_START = 0x53,    // 4 bytes: image length, little-endian
    XCVR_DOWNLOAD_DATA = 0x54,     // 1..75 bytes of the image
    XCVR_DOWNLOAD_END = 0x55,      // 1 byte: two's complement of the image sum
    XCVR_READ_STATE = 0x82,        // statistics: state byte
    XCVR_READ_MARGIN = 0x83,       // statistics: SNR margin byte
    XCVR_READ_ATTENUATION = 0x94,  // statistics: 2 bytes
    XCVR_READ_COUNTERS = 0x9E,     // statistics: 10 bytes of error counters
};
