#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz corpora (fuzz/corpus/TARGET/seed-*): the
stories the ordinary tests tell, spelled in each target's input language.

  fuzz/seeds.py [CORPUS_DIR]

The targets read their input with libFuzzer's FuzzedDataProvider: integers
from the end of the input (the first byte taken is the most significant),
byte strings from its front. Input below writes both ends in the order a
target reads them. Each Story mirrors its target's steps (the numbers of
the `switch` in each LLVMFuzzerTestOneInput); change one with the other.
"""
import os
import sys


class Input:
    def __init__(self):
        self.front = bytearray()
        self.back = []  # integer bytes, in the order they are taken

    def range(self, low, high, value):
        assert low <= value <= high, (low, value, high)
        span, value = high - low, value - low
        count = (span.bit_length() + 7) // 8
        for i in reversed(range(count)):
            self.back.append((value >> (8 * i)) & 0xFF)
        return self

    def bool(self, value):
        return self.range(0, 255, 1 if value else 0)

    def uint(self, bits, value):
        return self.range(0, (1 << bits) - 1, value)

    def bytes(self, data):
        self.front += bytes(data)
        return self

    def data(self):
        return bytes(self.front) + bytes(reversed(self.back))


def signature(length):
    buffer = bytearray([0xE7] * length)
    buffer[:4] = b"tats"[: min(4, length)]
    return bytes(buffer)


# ---------------------------------------------------------------------------
# requests_fuzzer
# ---------------------------------------------------------------------------
KNOWN_OIDS = [
    0x00010101, 0x00010102, 0x00010103, 0x00010104, 0x00010105, 0x00010106, 0x00010111,
    0x00010113, 0x00010114, 0x00010107, 0x00010108, 0x00010109, 0x0001010A, 0x0001010B,
    0x0001010D, 0x0001010C, 0x00010110, 0x0001010E, 0x0001010F, 0x00010115, 0x00010116,
    0x00010202, 0x0002020E, 0x00020101, 0x00020102, 0x00020103, 0x00020104, 0x00020105,
    0x01010101, 0x01010102, 0x01010103, 0x01010104, 0x01020101, 0x01020102, 0x01020103,
    0xFF020210, 0xFF020211,
]
GET_STATISTICS, CLEAR_STATISTICS = 0xFF020210, 0xFF020211


class Requests(Input):
    def request(self, query, oid, contents, signed=False, offset=0, wait=None):
        self.range(0, 9, 0 if query else 3)
        if oid in KNOWN_OIDS:
            self.range(0, len(KNOWN_OIDS) - 1, KNOWN_OIDS.index(oid)).range(0, 3, 0)
        else:
            self.range(0, len(KNOWN_OIDS) - 1, 0).range(0, 3, 3).uint(32, oid)
        short = len(contents) <= 80
        self.bool(short).range(0, 80 if short else 4096, len(contents)).bytes(contents)
        self.bool(signed).range(0, 7, offset)
        if wait is not None:  # only a request that pends asks
            self.bool(wait)
        return self

    def send(self, packets):
        """packets: None (no buffer) or (length, [split offsets])."""
        self.range(0, 9, 4).range(1, 8, len(packets))
        for packet in packets:
            if packet is None:
                self.range(0, 15, 0)
                continue
            length, splits = packet
            self.range(0, 15, 1).range(0, 1600, length).range(0, 5, len(splits))
            for at in splits:
                self.range(0, length, at)
        return self

    def returns(self, echo, how, count=0):
        self.range(0, 9, 6).bool(echo).range(0, 3, how)
        if how == 3:
            self.range(0, 200, count)
        return self

    def advance(self, ms):
        return self.range(0, 9, 7).bool(True).range(0, 20, ms)

    def step(self, pieces):
        return self.range(0, 9, 7).bool(False).range(1, 8, pieces)

    def reset(self):
        return self.range(0, 9, 8)

    def hang_check(self):
        return self.range(0, 9, 9)


def request_stories():
    def q(oid, length, **kw):
        return Requests().request(True, oid, bytes([0xE7] * length), **kw)

    yield "supported-list", q(0x00010101, 148).request(True, 0x00010101, bytes(147))
    yield "xmit-ok-lengths", (q(0x00020101, 4).request(True, 0x00020101, bytes(6))
                              .request(True, 0x00020101, bytes(3))
                              .request(True, 0x00020101, bytes(16), offset=3))
    yield "driver-version", q(0x00010110, 4).request(True, 0x00010110, bytes(1), offset=1)
    yield "vendor-description", q(0x0001010D, 28).request(True, 0x0001010D, bytes(29))
    yield "filter-query-and-unknown", (q(0x0001010E, 4).request(True, 0x00010112, bytes(4))
                                       .request(True, 0x01010105, bytes(8)))
    yield "filter-set", (Requests().request(False, 0x0001010E, bytes([0x2F, 0, 0, 0]))
                         .request(False, 0x0001010E, bytes([0x10, 0, 0, 0]), offset=5)
                         .request(False, 0x0001010E, bytes(3))
                         .request(False, 0x0001010E, bytes([0, 0, 0, 0])))
    yield "lookahead-set", (Requests().request(False, 0x0001010F, bytes([0xDC, 5, 0, 0]))
                            .request(False, 0x0001010F, bytes(5)))
    yield "multicast-list", (Requests().request(False, 0x01010103, bytes(range(18)))
                             .request(True, 0x01010103, bytes(18))
                             .request(False, 0x01010103, bytes(198))
                             .request(False, 0x01010103, bytes(193))
                             .request(False, 0x01010103, bytes(0))
                             .request(True, 0x01010103, bytes(0)))
    yield "statistics-read", (Requests()
                              .request(True, GET_STATISTICS, signature(64), signed=True, wait=True)
                              .request(True, GET_STATISTICS, signature(100), signed=True,
                                       offset=2, wait=True)
                              .request(True, GET_STATISTICS, signature(63), signed=True)
                              .request(True, GET_STATISTICS, signature(3), signed=True))
    yield "statistics-clear", (Requests()
                               .request(True, CLEAR_STATISTICS, signature(4), signed=True,
                                        wait=True)
                               .request(True, CLEAR_STATISTICS, signature(8), signed=True)
                               .request(True, CLEAR_STATISTICS, bytes(4)))
    yield "statistics-reset", (Requests()
                               .request(True, GET_STATISTICS, signature(64), signed=True,
                                        wait=False)
                               .reset().hang_check())
    yield "statistics-hang", (Requests()
                              .request(True, GET_STATISTICS, signature(64), signed=True,
                                       wait=False)
                              .hang_check().advance(20).hang_check())
    yield "sends", Requests().send([(42, []), (1514, []), None, (134, [14, 34]),
                                    (134, [0, 14, 14, 34, 134]), (1515, [])])
    yield "sends-waiting", (Requests().send([(200, [])] * 8).send([(60, []), (1600, [800])])
                            .advance(5).reset())
    yield "receives-held", (Requests().returns(True, 2).send([(100, [])] * 6).advance(2)
                            .returns(True, 3, 3).reset().returns(True, 3, 200))
    yield "receives-inside", (Requests().returns(True, 0).send([(60, []), (1514, [])] * 4)
                              .advance(1).hang_check())
    yield "reset-between-interrupt-and-deferred-call", (
        Requests().returns(True, 1).send([(100, [])] * 3).step(2).reset().step(8)
        .request(True, GET_STATISTICS, signature(64), signed=True, wait=False).step(3).reset()
        .advance(5))


# ---------------------------------------------------------------------------
# hostile_card_fuzzer
# ---------------------------------------------------------------------------
REGISTERS = {"CR0": 0, "CR1": 1, "ISR": 2, "IMR": 3, "TX_HW_INDEX": 4, "TX_SW_INDEX": 5,
             "RX_HW_INDEX": 6, "RX_SW_INDEX": 7}
MAILBOX = {"flag": 0, "status": 1, "line": 2, "aux": 3, "events": 4, "answer": 5}


class Hostile(Input):
    def send(self, lengths):
        self.range(0, 17, 0).range(1, 8, len(lengths))
        for length in lengths:
            self.range(0, 15, 1).range(0, 1600, length).range(0, 5, 0)
        return self

    def from_line(self, lengths, damaged=False):
        self.range(0, 17, 1).range(1, 6, len(lengths))
        for length in lengths:
            self.range(0, 1600, length).range(0, 7, 0 if damaged else 1)
        return self

    def advance(self, ms):
        return self.range(0, 17, 2).range(0, 30, ms)

    def step(self, pieces):
        return self.range(0, 17, 3).range(1, 8, pieces)

    def lie_register(self, name, value, times=1):
        return (self.range(0, 17, 4).range(0, 2, 0).range(0, 7, REGISTERS[name])
                .uint(8, value).range(1, 4, times))

    def lie_mailbox(self, name, value, times=1, answer_byte=0):
        self.range(0, 17, 4).range(0, 2, 1).range(0, 5, MAILBOX[name])
        if name == "answer":
            self.range(0, 9, answer_byte)
        return self.uint(8, value).range(1, 4, times)

    def lie_receive_status(self, ahead, word, times=1):
        return (self.range(0, 17, 4).range(0, 2, 2).range(0, 3, ahead).uint(32, word)
                .range(1, 4, times))

    def stream(self, data):
        return self.range(0, 17, 6).range(1, 32, len(data)).bytes(data)

    def spurious(self):
        return self.range(0, 17, 7)

    def withhold(self, ms):
        return self.range(0, 17, 8).range(0, 50, ms)

    def all_ones(self):
        return self.range(0, 17, 9).range(0, 7, 1)

    def remove(self):
        return self.range(0, 17, 9).range(0, 7, 0)

    def card_fault(self, kind, *values, command=None, always=False):
        self.range(0, 17, 10).bool(command is None)
        if command is not None:
            self.uint(8, command)
        self.range(0, 3, 0 if always else 1).range(0, 8, kind)
        for low, high, value in values:
            self.range(low, high, value)
        return self

    def line_fault(self, kind, down=0, up=0):
        self.range(0, 17, 11).range(0, 4, kind)
        if kind == 4:
            self.range(1, 800, down).range(1, 800, up)
        return self

    def statistics(self, clear=False):
        return self.range(0, 17, 12).bool(clear)

    def query(self, which=0):
        return self.range(0, 17, 13).range(0, 5, which)

    def hang_check(self):
        return self.range(0, 17, 14)

    def reset(self):
        return self.range(0, 17, 15)

    def start_again(self, stream=b""):
        return self.range(0, 17, 17).range(0, 3, 0).range(0, 64, len(stream)).bytes(stream)


def hostile_stories():
    yield "isr-all-ones", Hostile().send([100]).all_ones().spurious().advance(1).all_ones()
    yield "isr-unused-sources", (Hostile().lie_register("IMR", 0xFF).lie_register("ISR", 0xC0)
                                 .spurious().advance(1))
    yield "tx-index-beyond", (Hostile().send([1514, 1514, 1514]).lie_register("TX_HW_INDEX", 0x04)
                              .lie_register("ISR", 0x01).spurious()
                              .lie_register("TX_HW_INDEX", 0xFF).lie_register("ISR", 0x01)
                              .spurious().advance(20))
    yield "rx-index-beyond", (Hostile().lie_register("RX_HW_INDEX", 0x11).lie_register("ISR", 0x02)
                              .spurious().advance(1).from_line([300] * 5).advance(10))
    yield "sw-index-readback", (Hostile().lie_register("TX_SW_INDEX", 0xFF).send([100, 100])
                                .lie_register("RX_SW_INDEX", 0x60, 3).from_line([100] * 3)
                                .advance(10))
    yield "bring-up-claims-frames", Hostile().start_again(bytes([0x0D, 0x0D, 0xD7]))
    yield "bring-up-stream", Hostile().start_again(bytes([0x05, 0x80, 0x2F, 0x40, 0xA0, 0x01,
                                                          0xE0, 0xF0, 0x10, 0xC4]))
    lied = Hostile().lie_mailbox("line", 0x00).card_fault(5, (0, 255, 2), (0, 255, 0x81))
    for _ in range(18):  # the line check comes 500 ms after the event
        lied.advance(30)
    yield "index-lies-line-down", (lied.lie_register("TX_HW_INDEX", 0x7F, 4)
                                   .send([100, 100, 100]).advance(10).hang_check())
    yield "length-lies", (Hostile().lie_receive_status(0, 1600).lie_receive_status(1, 10)
                          .from_line([100, 100, 100]).advance(5))
    yield "mailbox-lies", (Hostile().statistics().lie_mailbox("flag", 0xFE).lie_mailbox("status", 0x81)
                           .lie_mailbox("events", 0x02).spurious().lie_mailbox("status", 0x00)
                           .lie_mailbox("answer", 0x99, answer_byte=3).advance(5))
    yield "withheld-answer", (Hostile().card_fault(6, command=0x83).statistics()
                              .advance(30).hang_check().hang_check())
    yield "stream-traffic", (Hostile().stream(bytes([0x03, 0x81, 0x05, 0xB0, 0x01, 0xC8, 0xF1,
                                                     0x02, 0xA0, 0xFF, 0xFF, 0xFF, 0xFF]))
                             .send([60, 1514]).from_line([100, 1514]).advance(20))
    yield "reset-between-interrupt-and-deferred-call", (
        Hostile().send([100, 100]).from_line([100]).step(2).reset().step(8).statistics().step(3)
        .lie_register("ISR", 0x21).spurious().step(1).reset().advance(5))
    yield "withheld-interrupt", (Hostile().withhold(40).send([100] * 4).from_line([100] * 2)
                                 .advance(30))
    yield "line-flap", (Hostile().line_fault(4, 300, 300).send([1000] * 6).advance(30)
                        .statistics().advance(30))
    yield "surprise-removal", Hostile().send([100] * 3).statistics().remove().advance(10).reset()
    yield "card-faults", (Hostile().card_fault(0, (1, 3, 2)).card_fault(1).card_fault(2, (1, 3, 1))
                          .card_fault(3).card_fault(4, (0, 65535, 1600)).send([100] * 4)
                          .from_line([100] * 3).advance(30).hang_check().hang_check())


# ---------------------------------------------------------------------------
# configuration_fuzzer
# ---------------------------------------------------------------------------
KEYWORDS = ["SlotNumber", "LineRate", "TerminalType", "ConfigType", "AnnexType",
            "AlwaysConnected", "LineCode", "CRC", "FillByte", "DataPolarity", "ReadBurst",
            "WriteBurst", "XmtQueueLen", "RcvQueueLen", "NetworkAddress"]
DIGITS = "0123456789abcdefABCDEFx -"


class Configuration(Input):
    def __init__(self, values, frames=(), statistics=False, shutdown=False):
        super().__init__()
        for keyword in KEYWORDS:
            value = values.get(keyword)
            if value is None:
                self.range(0, 3, 0)
                continue
            self.range(0, 3, 3 if isinstance(value, str) else 1).range(0, 7, 1)  # as spelled
            if isinstance(value, str):
                self.range(0, 16, len(value))
                for c in value:
                    if c in DIGITS:
                        self.bool(True).range(0, len(DIGITS) - 1, DIGITS.index(c))
                    else:
                        self.bool(False).uint(16, ord(c))
            elif value <= 16:
                self.range(0, 3, 0).range(0, 16, value)
            elif value <= 0x3000:
                self.range(0, 3, 1).range(0, 0x3000, value)
            else:
                self.range(0, 3, 3).uint(32, value)
        # The adapter comes up: frames, a statistics read, perhaps a shutdown.
        self.range(0, 4, len(frames))
        for length in frames:
            self.range(14, 1514, length)
        self.bool(statistics).range(0, 7, 0 if shutdown else 1)


def configuration_stories():
    yield "defaults", Configuration({}, frames=[100, 1514], statistics=True)
    yield "every-flag", Configuration({"TerminalType": 1, "ConfigType": 1, "AlwaysConnected": 1,
                                       "CRC": 1, "FillByte": 1, "DataPolarity": 1,
                                       "ReadBurst": 0, "WriteBurst": "0", "AnnexType": 3,
                                       "XmtQueueLen": 1, "RcvQueueLen": 200}, frames=[60])
    yield "line-rates", Configuration({"LineRate": 2048 + 32, "LineCode": 5, "TerminalType": 1},
                                      frames=[100], statistics=True)
    yield "unreadable", Configuration({"LineRate": "fast", "ReadBurst": "no", "XmtQueueLen": "-3"})
    yield "address", Configuration({"NetworkAddress": "0012ab34CD56"}, frames=[100])
    yield "address-short", Configuration({"NetworkAddress": "0012ab34CD"}, shutdown=True)
    yield "address-zero", Configuration({"NetworkAddress": "000000000000"})
    yield "queues-zero", Configuration({"XmtQueueLen": 0, "RcvQueueLen": 0}, frames=[100, 100])
    yield "queues-huge", Configuration({"XmtQueueLen": 0xFFFFFFFF, "RcvQueueLen": 0x24AD},
                                       frames=[100])
    yield "wrong-slot", Configuration({"SlotNumber": 3})
    yield "hex-slot", Configuration({"SlotNumber": "10000"})


class Text:
    """An input of the simulator's targets: a configuration file's text, or
    control request lines."""

    def __init__(self, text):
        self.text = text

    def data(self):
        return self.text.encode("latin-1")


def sim_config_stories():
    pair = "[adapter a]\nline = l1\n[adapter b]\nline = l1\n"
    yield "conf-full", Text("# two ends\n[adapter a]\nlinerate = 4096 ; any case\n"
                            "TerminalType = 0x1\nLineCode = \"3\"\nNetworkAddress = 001122334455\n"
                            "line = l1\n[adapter b]\nline = l1\ntap = tapb\nXmtQueueLen = 010\n"
                            "[line l1]\ndelay_us = 25\nloss = 0.01\nbit_errors = 1e-7\nseed = 9\n")
    yield "conf-crlf", Text(pair.replace("\n", "\r\n"))
    yield "conf-notes", Text("[adapter a]\nline = l\nNetworkAddress = 000000000000\n"
                             "LineRate = 1000\nConfigType = 1\nLineCode = 0\n"
                             "[adapter b]\nline = l\nNetworkAddress = \"000000000000\"\n"
                             "AnnexType = 3\nTerminalType = 1\nLineRate = \"6016\"\n")
    yield "conf-loopbacks", Text("[adapter a]\nline = loopback\n[adapter b]\nline = loopback\n"
                                 "[adapter c]\nline = l\n[adapter d]\nline = l\n")
    mistakes = ["LineRate = abc", "LineRate = -5", "LineRate = 99999999999", "LineRate = 20 48",
                "LineRate =", "LineRate = 0x", "LineRate = \"abc\"", "LineRate = \"2048",
                "TerminalType = yes", "NetworkAddress = 01005E000001",
                "NetworkAddress = 02:48:00:00:00:01", "SlotNumber = 3", "LineRat = 2048",
                "tap = a/b", "firmware =", "firmware = /dev/null", "line = l 1", "just words"]
    yield "conf-mistakes", Text("[adapter a]\n" + "\n".join(mistakes) + "\n")
    for i, m in enumerate(mistakes):
        yield "conf-mistake-%d" % i, Text("[adapter a]\nline = loopback\n" + m + "\n")
    yield "conf-lines", Text(pair + "[line l1]\nloss = nan\nbit_errors = 0x1p-3\n"
                             "delay_us = 10000001\nseed = x\n[wire x]\n[adapter a\n")
    yield "conf-many", Text("".join("[adapter a%d]\nline = loopback\n" % i for i in range(17)))


def sim_control_stories():
    yield "control-strict", Text("\n".join([
        "STATUS now", "ADAPTERS x", "STOP please", "RESET", "RESET a b", "LINE l1 flap 10abc",
        "LINE l1 flap 0", "LINE l1 loss nan", "LINE l1 loss 1.5", "LINE l1 loss 0x1",
        "LINE l1 cut now", "WAIT_LINK", "WAIT_LINK -1", "WAIT_LINK abc", "WAIT_LINK 601",
        "WAITLINK 1", "NOTE", "NOTE   spaced   words", "", "LINE l2 cut", "RESET z"]))
    yield "control-views", Text("ADAPTERS\nLINES\nSTATUS\nWAIT_LINK 0\n")
    yield "control-queries", Text("QUERY a 0x00010112 00000000\nQUERY b 0x00010202 -\n"
                                  "QUERY a 0xFF020210 74617473" + "00" * 60 + "\n"
                                  "SET a 0x0001010E 03000000\nSET b 0xFF020211 -\n"
                                  "QUERY a 0x01010102 000000000000\nQUERY a 12 zz\n")
    yield "control-cut", Text("LINE l1 cut\nWAIT_LINK 5\nSTATUS\nLINE l1 restore\nWAIT_LINK 10\n")
    yield "control-reset", Text("RESET a\nQUERY a 0x00010114 00000000\nRESET b\nRESET b\n")
    yield "control-flap", Text("LINE l1 flap 100 200 300\nWAIT_LINK 1\nSTATUS\n")
    yield "control-loss", Text("LINE l1 loss 1\nLINE l1 bit_errors 0.5\nWAIT_LINK 2\n")


STORIES = {
    "requests_fuzzer": request_stories,
    "hostile_card_fuzzer": hostile_stories,
    "configuration_fuzzer": configuration_stories,
    "sim_config_fuzzer": sim_config_stories,
    "sim_control_fuzzer": sim_control_stories,
}


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "corpus")
    for target, stories in STORIES.items():
        directory = os.path.join(root, target)
        os.makedirs(directory, exist_ok=True)
        for name, story in stories():
            with open(os.path.join(directory, "seed-" + name), "wb") as f:
                f.write(story.data())


if __name__ == "__main__":
    main()
