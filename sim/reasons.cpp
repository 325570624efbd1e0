// Why things went wrong, from what the simulator can see: the driver's error
// log entries, and the card's own records of the commands it was given and
// of the configuration both ends of a line trained with.
#include <cstdio>

#include "cardmodel/card.h"
#include "cardmodel/firmware.h"
#include "common/stats_block.h"
#include "host/diagnostics.h"
#include "ndis.h"
#include "sim/simulator.h"
#include "sim/simulator_internal.h"
#include "testbed/machine.h"

namespace zr48sim {
namespace {

using namespace cardmodel;

std::string Hex(unsigned value, int digits) {
    char text[16];
    snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

const char* CommandName(uint8_t code) {
    switch (code) {
    case CMD_TERMINAL_TYPE: return "terminal type";
    case CMD_LINE_CODE: return "line code";
    case CMD_LINE_OPTIONS: return "line options";
    case CMD_START_LINE: return "start the line";
    case CMD_FRAMING: return "framing and annex";
    case CMD_TERMINAL_MODE: return "terminal mode";
    case CMD_LINE_RATE: return "line rate";
    case CMD_COUNTERS: return "counter control";
    case CMD_LINE_CODE_OFFSET: return "line code offset";
    case CMD_EVENTS: return "events";
    case CMD_DOWNLOAD_START: return "firmware download start";
    case CMD_DOWNLOAD_DATA: return "firmware data";
    case CMD_DOWNLOAD_END: return "firmware download end";
    default: return "statistics";
    }
}

const char* ResultName(uint8_t result) {
    switch (result) {
    case RESULT_SUCCESS: return "success";
    case RESULT_BAD_FRAME: return "bad frame";
    case RESULT_UNKNOWN_COMMAND: return "unknown command";
    case RESULT_WRONG_STATE: return "wrong state";
    case RESULT_BAD_PARAMETER: return "bad parameter";
    case RESULT_BAD_CHECKSUM: return "image checksum wrong";
    case RESULT_BAD_IMAGE: return "not a firmware image of ours";
    default: return "unknown result";
    }
}

std::string Command(uint8_t code) {
    return "command " + Hex(code, 2) + " (" + CommandName(code) + ")";
}

// What a refused bring-up command means for a person.
std::string Refusal(const CommandRecord& c, const std::vector<uint8_t>& image,
                    size_t maxImage) {
    std::string result = "result " + Hex(c.result, 2) + " " + ResultName(c.result);
    switch (c.code) {
    case CMD_DOWNLOAD_START:
        if (c.result == RESULT_BAD_PARAMETER) {
            return "the transceiver refused the image's length, " + std::to_string(image.size()) +
                   " bytes (it takes images of at most " + std::to_string(maxImage) + " bytes)";
        }
        break;
    case CMD_DOWNLOAD_END:
        if (c.result == RESULT_BAD_CHECKSUM) return "image checksum wrong: the transceiver refused it";
        if (c.result == RESULT_BAD_IMAGE) {
            std::string why;
            CheckFirmwareImage(image, &why);
            return "the transceiver refused the image (" + std::to_string(image.size()) +
                   " bytes): not a firmware image of ours" + (why.empty() ? "" : ": " + why);
        }
        if (c.result == RESULT_BAD_PARAMETER) {
            return "the transceiver refused the image: its length does not match the one announced";
        }
        break;
    case CMD_DOWNLOAD_DATA:
        return "the transceiver refused a piece of the image (" + result + ")";
    default: break;
    }
    return "the transceiver refused " + Command(c.code) + " with " + result;
}

bool Matters(const CommandRecord& c) {
    // The driver ignores the answer to these two at bring-up (counter
    // control, and the start whose refusal leaves the line unstarted).
    return c.code != CMD_COUNTERS && c.code != CMD_START_LINE;
}

}  // namespace

// Error log entries the driver wrote for the adapter, as events; `entries`
// gets them in a line for a failure's reason.
void Simulator::ReportErrorLog(Adapter& a, const void* handle, std::string* entries) {
    for (const host::ErrorLogEntry& e : host::ErrorLog()) {
        if (e.adapter != handle) continue;
        std::string text = "error log entry " + Hex(e.code, 8);
        if (e.code == NDIS_ERROR_CODE_UNSUPPORTED_CONFIGURATION && e.values.size() == 3) {
            std::string keyword;
            for (int i = 0; i < 4; ++i) keyword += static_cast<char>(e.values[0] >> (8 * i));
            keyword = keyword == "XmtQ" ? "XmtQueueLen" : keyword == "RcvQ" ? "RcvQueueLen" : keyword;
            text += " (unsupported configuration): " + keyword + " " + std::to_string(e.values[1]) +
                    " refused, " + std::to_string(e.values[2]) + " used";
        } else if (e.code == NDIS_ERROR_CODE_INTERRUPT_CONNECT) {
            text += " (the interrupt could not be connected)";
        } else {
            text += " (" + zr48stat::StatusName(e.code) + ")";
        }
        AddEvent(a.settings.name, "driver's " + text, SimEvent::Kind::Problem);
        *entries += (entries->empty() ? "" : "; ") + text;
    }
}

std::string Simulator::ExplainInitFailure(Adapter& a) {
    Card& card = a.unit->Card();
    if (a.initStatus == static_cast<uint32_t>(NDIS_STATUS_RESOURCES)) {
        return "the driver could not have its buffers (XmtQueueLen + RcvQueueLen buffers of 1516 "
               "bytes of shared memory)";
    }
    bool downloaded = false, configuring = false;
    for (const CommandRecord& c : card.Commands()) {
        if (c.code == CMD_DOWNLOAD_END && c.result == RESULT_SUCCESS) downloaded = true;
        if (c.code == CMD_TERMINAL_TYPE) configuring = true;
        if (!Matters(c)) continue;
        if (c.fate == CommandFate::Withheld) {
            return "the transceiver never answered " + Command(c.code) +
                   " (the driver waits 3 s for each answer)";
        }
        if (c.fate == CommandFate::Answered && c.result != RESULT_SUCCESS) {
            return Refusal(c, a.firmware, testbed::AdapterSetup{}.card.maxFirmwareSize);
        }
    }
    // How far the controller got, from its recorded changes: by now the
    // driver's failed start has stopped it.
    bool askedForFirmware = false, firmwareRan = false;
    for (const StateChange& c : card.StateChanges()) {
        askedForFirmware = askedForFirmware || c.controller == ControllerState::AwaitingFirmware;
        firmwareRan = firmwareRan || c.controller == ControllerState::Running;
    }
    bool downloadStarted = false;
    for (const CommandRecord& c : card.Commands()) downloadStarted |= c.code == CMD_DOWNLOAD_START;
    if (!askedForFirmware) {
        return "the transceiver controller did not ask for its firmware (stage 0x0D) within 10 s";
    }
    if (!downloadStarted) {
        return "the transceiver did not report that it was ready for its firmware (stage 0x0D) "
               "within 10 s";
    }
    if (downloaded && !configuring) {
        return firmwareRan ? "the firmware did not report that it runs (stage 0x0E) within 10 s "
                             "of the download"
                           : "the firmware did not start within 10 s of the download";
    }
    return "";
}

Simulator::Adapter* Simulator::FarEnd(Adapter& a) {
    for (auto& other : adapters_) {
        if (other.get() != &a && other->lineName == a.lineName) return other.get();
    }
    return nullptr;
}

// Why the two ends of a's line cannot train, from what each transceiver was
// configured with: the terminal types, the annexes, the rates.
std::string Simulator::WhyIncompatible(Adapter& a) {
    Adapter* b = FarEnd(a);
    if (!b) return "";
    Adapter* first = a.index < b->index ? &a : b;
    Adapter* second = first == &a ? b : &a;
    TransceiverConfig x = first->unit->Card().Config(), y = second->unit->Card().Config();
    const std::string& n1 = first->settings.name;
    const std::string& n2 = second->settings.name;
    std::vector<std::string> why;
    if (x.central && y.central && *x.central == *y.central) {
        why.push_back(std::string("both ends ") + (*x.central ? "central" : "remote") + " (" + n1 +
                      ", " + n2 + "; TerminalType)");
    }
    if (x.annex && y.annex && *x.annex != *y.annex) {
        why.push_back("annexes differ (" + n1 + " " + std::to_string(*x.annex) + ", " + n2 + " " +
                      std::to_string(*y.annex) + "; AnnexType)");
    }
    if (x.rateKbps && y.rateKbps && *x.rateKbps != *y.rateKbps) {
        // A rate-adaptive remote end takes the central end's rate.
        bool adapts = (x.central && !*x.central && x.RateAdaptive()) ||
                      (y.central && !*y.central && y.RateAdaptive());
        if (!adapts) {
            why.push_back("rates differ (" + n1 + " " + std::to_string(*x.rateKbps) +
                          " kbit/s, " + n2 + " " + std::to_string(*y.rateKbps) +
                          " kbit/s; LineRate)");
        }
    }
    std::string out;
    for (auto& w : why) out += (out.empty() ? "" : ", ") + w;
    return out;
}

std::string Simulator::LineText(Adapter& a, LineCondition condition, uint32_t rateKbps) {
    switch (condition) {
    case LineCondition::Up: return "data mode at " + std::to_string(rateKbps) + " kbit/s";
    case LineCondition::Incompatible: {
        std::string why = WhyIncompatible(a);
        return why.empty() ? "incompatible" : "incompatible: " + why;
    }
    case LineCondition::Searching: {
        Adapter* b = FarEnd(a);
        if (b && b->phase == AdapterPhase::Failed) {
            return "searching: far end " + b->settings.name + " failed to initialize";
        }
        if (b && b->phase == AdapterPhase::Halted) {
            return "searching: far end " + b->settings.name + " is halted";
        }
        if (b && (b->phase == AdapterPhase::Created || b->phase == AdapterPhase::Initializing)) {
            return "searching: far end " + b->settings.name + " is still starting";
        }
        return "searching";
    }
    default: return LineConditionName(condition);
    }
}

}  // namespace zr48sim
