// The codes the card's transceiver controller speaks through the mailbox
// (mailbox.h): its commands, the result and stage codes of its answers, its
// events, the line status bytes it keeps and the answers to its statistics
// commands. README.md gives the whole picture.
#pragma once

#include <cstdint>

namespace cardmodel {

// Commands, by the code in the request frame. The boot ROM serves the three
// download commands; the firmware serves the rest.
enum ControllerCommand : uint8_t {
    CMD_TERMINAL_TYPE = 0x01,     // 1 byte: 0x01 central, 0x09 remote
    CMD_LINE_CODE = 0x03,         // 2 bytes: line code in the high nibble of byte 0, 0x2 below
    CMD_LINE_OPTIONS = 0x06,      // 1 byte, kept
    CMD_START_LINE = 0x0B,        // 1 byte: START_LINE_START trains the line, STOP drops it
    CMD_FRAMING = 0x0F,           // 12 bytes: framing in byte 4, annex in byte 7
    CMD_TERMINAL_MODE = 0x10,     // 1 byte, kept
    CMD_LINE_RATE = 0x1B,         // 8 bytes: N x 64 kbit/s in bytes 0, 2, 3, R x 8 in byte 5
    CMD_COUNTERS = 0x40,          // 1 byte: CounterControl
    CMD_LINE_CODE_OFFSET = 0x43,  // 6 bytes: signed offset in byte 1
    CMD_EVENTS = 0x50,            // 1 byte: EVENTS_LINE turns line and performance events on
    CMD_DOWNLOAD_START = 0x53,    // 4 bytes: image length, little-endian; (re)starts a download
    CMD_DOWNLOAD_DATA = 0x54,     // 1..75 bytes appended to the image
    CMD_DOWNLOAD_END = 0x55,      // 1 byte that makes the image sum to 0; the image then starts
    CMD_READ_STATE = 0x82,        // answers one TransceiverStateByte
    CMD_READ_MARGIN = 0x83,       // answers the SNR margin in dB, signed
    CMD_READ_ATTENUATION = 0x94,  // answers the loop attenuation here and at the far end, in dB
    CMD_READ_COUNTERS = 0x9E,     // answers the ERROR_COUNTER_COUNT error counters
};

// Result codes of an answer (STATUS_RESULT_MASK of the status byte).
enum ResultCode : uint8_t {
    RESULT_SUCCESS = 0x01,          // the command was carried out
    RESULT_BAD_FRAME = 0x02,        // start marker, reserved byte, a check or the length is wrong
    RESULT_UNKNOWN_COMMAND = 0x03,  // no such command code
    RESULT_WRONG_STATE = 0x04,      // not now: firmware not running, download not started, ...
    RESULT_BAD_PARAMETER = 0x05,    // payload length or a value out of range
    RESULT_BAD_CHECKSUM = 0x06,     // the image and its checksum byte do not sum to 0
    RESULT_BAD_IMAGE = 0x07,        // the image is not a firmware image of ours
};

// Stage codes, posted as answers (status bit 7 clear) when the controller
// reaches a stage of its start.
enum StageCode : uint8_t {
    STAGE_AWAITING_FIRMWARE = 0x0D,  // the boot ROM runs and takes a download
    STAGE_FIRMWARE_RUNNING = 0x0E,   // the downloaded firmware has started
};

// Line status byte (MAILBOX_LINE_STATUS). Bits 7..6 are the activation state
// (00 inactive, 10 activating, 01 data mode, 11 fault); the low bits say more.
// The line is up exactly when (byte & LINE_ACTIVATION_MASK) == LINE_DATA_MODE.
enum LineStatusValue : uint8_t {
    LINE_IDLE = 0x00,             // transceiver not started
    LINE_SEARCHING = 0x01,        // started, nothing heard from the far end
    LINE_TRAINING = 0x80,         // activation in progress with a compatible far end
    LINE_DATA_MODE = 0x40,        // trained: frames pass
    LINE_INCOMPATIBLE = 0xC1,     // the far end answers but cannot train with us
    LINE_ACTIVATION_MASK = 0xC0,  // the activation state bits
};

// Second status byte (MAILBOX_LINE_AUX): condition bits.
enum LineAuxBits : uint8_t {
    AUX_NO_SIGNAL = 0x01,      // started and nothing heard from the far end
    AUX_MISMATCH = 0x02,       // far end of the wrong terminal type, annex or rate
    AUX_LOST_SYNC = 0x04,      // the line dropped out of data mode since it last came up
    AUX_FIRMWARE = 0x80,       // the downloaded firmware is running
};

// Unsolicited events: status byte STATUS_EVENT | code, flags in
// MAILBOX_EVENT_FLAGS.
enum EventCode : uint8_t {
    EVENT_LINE_CHANGE = 0x01,   // flags EVENT_FLAG_LINE_CHECK
    EVENT_PERFORMANCE = 0x02,   // flags EVENT_FLAG_PERFORMANCE
    EVENT_TEST = 0x1F,          // posted by PostEvent unless a code is given
};
enum EventFlagBits : uint8_t {
    EVENT_FLAG_PERFORMANCE = 0x01,  // a periodic performance report: nothing to check
    EVENT_FLAG_LINE_CHECK = 0x02,   // the line came up or went down: look at the line status
    EVENT_FLAG_COUNTERS = 0x04,     // an error counter saturated
};

// Answer to CMD_READ_STATE: the transceiver state.
enum TransceiverStateByte : uint8_t {
    STATE_IDLE = 0x00,          // firmware running, line not started
    STATE_SEARCHING = 0x01,
    STATE_TRAINING = 0x02,
    STATE_DATA_MODE = 0x03,
    STATE_INCOMPATIBLE = 0x04,
};

// Answer to CMD_READ_COUNTERS: ten saturating byte counters.
enum ErrorCounterIndex : uint8_t {
    COUNTER_CRC_ANOMALIES = 0,     // frames received damaged
    COUNTER_LOSW = 1,              // losses of sync: data mode dropped
    COUNTER_ERRORED_SECONDS = 2,   // seconds with at least one CRC anomaly
    COUNTER_SEVERE_SECONDS = 3,    // seconds with SEVERE_ANOMALIES or more CRC anomalies
    COUNTER_UNAVAILABLE_SECONDS = 4, // seconds started but not in data mode
    COUNTER_RX_OVERFLOW = 5,       // frames dropped: no receive buffer posted
    COUNTER_RX_ERRORS = 6,         // frames dropped for other receive errors
    COUNTER_TX_ERRORS = 7,         // transmit errors
    COUNTER_LINE_UPS = 8,          // times the line came up
    COUNTER_LINE_DOWNS = 9,        // times the line went down from data mode
    ERROR_COUNTER_COUNT = 10,
    SEVERE_ANOMALIES = 50,
};

// Payload of CMD_COUNTERS.
enum CounterControl : uint8_t {
    COUNTERS_CLEAR_PERFORMANCE = 0x00,  // counters 0..4
    COUNTERS_RESET_ALL = 0x02,          // everything, and start counting (bring-up)
    COUNTERS_CLEAR_HISTORY = 0x04,      // counters 5..9
};

// Payload of CMD_START_LINE.
enum StartLineControl : uint8_t {
    START_LINE_STOP = 0x00,
    START_LINE_START = 0x02,
};

// Payload bit of CMD_EVENTS.
enum EventControl : uint8_t {
    EVENTS_LINE = 0x02,  // post line and performance events
};

}  // namespace cardmodel
