// Values the card's transceiver controller chooses itself, beyond what the
// driver relies on (that part lives in driver/card/mailbox_protocol.h). Tests
// and the simulator read them; the driver never needs them. README.md gives
// the whole picture.
#pragma once

#include <cstdint>

namespace cardmodel {

// Result codes of an answer (low 5 bits of the mailbox status byte). Success
// and the two bring-up stage codes are the driver's: MB_RESULT_SUCCESS,
// MB_STAGE_AWAITING_FIRMWARE, MB_STAGE_FIRMWARE_RUNNING.
enum ResultCode : uint8_t {
    RESULT_BAD_FRAME = 0x02,        // start marker, reserved byte, a check or the length is wrong
    RESULT_UNKNOWN_COMMAND = 0x03,  // no such command code
    RESULT_WRONG_STATE = 0x04,      // not now: firmware not running, download not started, ...
    RESULT_BAD_PARAMETER = 0x05,    // payload length or a value out of range
    RESULT_BAD_CHECKSUM = 0x06,     // the image and its checksum byte do not sum to 0
    RESULT_BAD_IMAGE = 0x07,        // the image is not a firmware image of ours
};

// Line status byte (mailbox +0x3C0). Bits 7..6 are the activation state
// (00 inactive, 10 activating, 01 data mode, 11 fault); the low bits say more.
// The line is up exactly when (byte & LINE_STATUS_MASK) == LINE_STATUS_UP.
enum LineStatusValue : uint8_t {
    LINE_IDLE = 0x00,          // transceiver not started
    LINE_SEARCHING = 0x01,     // started, nothing heard from the far end
    LINE_TRAINING = 0x80,      // activation in progress with a compatible far end
    LINE_DATA_MODE = 0x40,     // trained: frames pass
    LINE_INCOMPATIBLE = 0xC1,  // the far end answers but cannot train with us
};

// Second status byte (mailbox +0x3C2): condition bits.
enum LineAuxBits : uint8_t {
    AUX_NO_SIGNAL = 0x01,      // started and nothing heard from the far end
    AUX_MISMATCH = 0x02,       // far end of the wrong terminal type, annex or rate
    AUX_LOST_SYNC = 0x04,      // the line dropped out of data mode since it last came up
    AUX_FIRMWARE = 0x80,       // the downloaded firmware is running
};

// Unsolicited events: status byte MB_STATUS_EVENT | code, flags at +0x3C7.
enum EventCode : uint8_t {
    EVENT_LINE_CHANGE = 0x01,   // flags MB_EVENT_LINE_CHECK
    EVENT_PERFORMANCE = 0x02,   // flags EVENT_FLAG_PERFORMANCE
    EVENT_TEST = 0x1F,          // posted by PostEvent unless a code is given
};
enum EventFlagBits : uint8_t {
    EVENT_FLAG_PERFORMANCE = 0x01,  // a periodic performance report: nothing to check
    // 0x02 is MB_EVENT_LINE_CHECK
    EVENT_FLAG_COUNTERS = 0x04,     // an error counter saturated
};

// Answer to command 0x82: the transceiver state.
enum TransceiverStateByte : uint8_t {
    STATE_IDLE = 0x00,          // firmware running, line not started
    STATE_SEARCHING = 0x01,
    STATE_TRAINING = 0x02,
    STATE_DATA_MODE = 0x03,
    STATE_INCOMPATIBLE = 0x04,
};

// Answer to command 0x9E: ten saturating byte counters.
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

// Payload of command 0x40 (counter control).
enum CounterControl : uint8_t {
    COUNTERS_CLEAR_PERFORMANCE = 0x00,  // counters 0..4
    COUNTERS_RESET_ALL = 0x02,          // everything, and start counting (bring-up)
    COUNTERS_CLEAR_HISTORY = 0x04,      // counters 5..9
};

// Payload of command 0x0B.
enum StartLineControl : uint8_t {
    START_LINE_STOP = 0x00,
    START_LINE_START = 0x02,
};

// Payload bit of command 0x50.
enum EventControl : uint8_t {
    EVENTS_LINE = 0x02,  // post line and performance events
};

}  // namespace cardmodel
