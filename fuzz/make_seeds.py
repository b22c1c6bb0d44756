#!/usr/bin/python3
"""Writes the seed corpora of the fuzz targets (fuzz/corpus/<target>/).

The seeds are real frames and real command lines put into each target's input
layout (see the comment at the top of each *_fuzz.cpp and FuzzMeter in
fuzz_support.h). Run it again after changing a layout; the files are kept in
the repository so that CI starts from them.
"""
import hashlib
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def crc16(data):
    crc = 0xFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def hexbytes(text):
    return bytes(int(x, 16) for x in text.split())


def frame(code, data):
    body = bytes([0x01, 0x2B, code, len(data)]) + bytes(data)
    c = crc16(body)
    return body + bytes([c >> 8, c & 0xFF])


def write(target, name, blob):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(blob)


# ------------------------------------------------------------------ frame

# Responses as meters send them, and a request to build from each.
RESPONSES = {
    "eeprom_read": "01 2B 14 05 00 10 00 01 5A F4 95",
    "packet": "01 2B 63 07 00 02 01 12 34 AB CD B2 49",
    "transfer_refused": "01 2B 62 01 00 6A B0",
    "dsp_version": "01 2B 60 02 01 F4 1B 9A",
    "adc": "01 2B 3A 02 FF 01 E4 08",
    "diag_operation": "01 2B 6A 10 00 01 00 02 00 03 00 04 00 05 00 06 00 07 00 08 E8 92",
    "reading_diag": "01 2B 68 24 05 01 02 03 04 05 06 07 08 06 00 00 00 00 00 00 00 FF 07 11 11 22 22 "
                    "33 33 44 44 08 FF FF FF FF FF FF FF F0 66 AE",
    "get_range_request": "01 2B 1A 00 B0 7A",
    "modbus_order": "01 2B 1A 00 7A B0",
    "count_over_59": "01 2B 1A 3C",
}
REQUESTS = [
    (0x10, b""), (0x12, hexbytes("01 00")), (0x19, hexbytes("02")), (0x15, hexbytes("00 10 00 01 5A")),
    (0x62, hexbytes("01 00 02 01 00")), (0x6A, hexbytes("00 01 00 02 00 03")), (0x15, bytes(range(54))),
]


def frame_seeds():
    for i, (name, text) in enumerate(RESPONSES.items()):
        raw = hexbytes(text)
        area = raw + bytes(64 - len(raw))
        code, payload = REQUESTS[i % len(REQUESTS)]
        blob = bytes([60, 0]) + area + bytes([code, len(payload)]) + payload + bytes([len(raw)]) + raw
        write("frame", name, blob)
    # A short read of a sound frame.
    raw = hexbytes(RESPONSES["eeprom_read"])
    write("frame", "short_read", bytes([9, 0]) + raw + bytes(64 - len(raw)) + bytes([0x10, 0xF6]))


# --------------------------------------------------------- meter_response

# Operation numbers in the order of the tables of meter_response_fuzz.cpp.
NO_ARG = ["mtrRecal", "mtrAutoZero", "mtrResetHold", "mtrClearEventRegisters", "mtrClearErrorQueue",
          "mtrClearEnableRegisters"]
ONE_ARG = ["mtrSetRange", "mtrSetAnalogOut", "mtrAutoRange", "mtrSetRelative", "mtrSetLimit", "mtrSetHold",
           "mtrSetPwroffTimer", "mtrSetStatusEnable", "mtrPostError", "mtrKeypadLockout", "mtrSendKey",
           "mtrSetDiagMode", "mtrDiagSetRange", "mtrDiagSetAmpin", "mtrDspSetRange", "mtrDspSetAnalogOut",
           "mtrDspSetDacFilterBits", "mtrDspSetDiagMode"]
TWO_ARG = ["mtrSetUnits", "mtrSetEnableRegister", "mtrRaiseEvent", "mtrSetDAC", "mtrDspSetDAC"]
GETTERS = ["mtrGetRange", "mtrGetRelative", "mtrGetFrequency", "mtrGetHold", "mtrGetStatusEnable",
           "mtrGetStatusByte", "mtrDiagGetAdc", "mtrDspGetVersion"]
ARG_GETTERS = ["mtrGetProbeData", "mtrGetEnableRegister", "mtrGetEventRegister", "mtrGetConditionRegister"]
SPECIAL = ["mtrGetReading", "mtrGetLCDSnapshot", "mtrGetNextError", "mtrGetMeterInfo", "mtrGetProbeInfo",
           "mtrReadEEPROM", "mtrWriteEEPROM", "mtrStartDataTransfer", "mtrReadNextDataPacket",
           "mtrDspGetReadingDiag", "mtrDspDiagOperation", "mtrTransaction"]
ORDER = NO_ARG + ONE_ARG + TWO_ARG + GETTERS + ARG_GETTERS + SPECIAL


def op(name):
    return bytes([ORDER.index(name)])


def arg(value):
    """An argument as Input::argument() reads it."""
    if 0 <= value < 0xC0:
        return bytes([value])
    if -0x8000 <= value < 0x8000:
        return bytes([0xC0]) + struct.pack(">h", value)
    return bytes([0xF0]) + struct.pack(">i", value)


def sound(data):
    """FuzzMeter: a sound answer carrying these data bytes."""
    return bytes([0, len(data)]) + bytes(data)


def fault(mode, *extra):
    return bytes([mode, 0]) + bytes(extra)


IDN = b"KORVEL KV100 KV0001 FW 1.00".ljust(40, b"\0")
PROBE = b"HALL-T 2T PRB0042".ljust(24, b"\0")

METER_CALLS = {
    "reading": op("mtrGetReading") + sound(hexbytes("FF 38 01 02 00 01 04")),
    "snapshot": op("mtrGetLCDSnapshot") + sound(b"12.3" + bytes(range(1, 15))),
    "next_error": op("mtrGetNextError") + sound(hexbytes("FF 88")),
    "idn": op("mtrGetMeterInfo") + sound(IDN),
    "probe": op("mtrGetProbeInfo") + sound(PROBE),
    "eeprom_read": op("mtrReadEEPROM") + arg(0x10) + bytes([0, 1]) + sound(hexbytes("00 10 00 01 5A")),
    "eeprom_read_overstated": op("mtrReadEEPROM") + arg(0) + bytes([0, 50]) + sound(hexbytes("00 00 FF FF 01 02")),
    "eeprom_write": op("mtrWriteEEPROM") + arg(0x10) + bytes([1]) + arg(0x5A) + sound(b""),
    "eeprom_write_too_many": op("mtrWriteEEPROM") + arg(0) + bytes([51]) + b"\x01" * 51,
    "transfer": op("mtrStartDataTransfer") + arg(1) + arg(2) + arg(0x100) + sound(bytes([1]) + bytes(range(2, 20))),
    "transfer_refused": op("mtrStartDataTransfer") + arg(1) + arg(2) + arg(0x100) + sound(b"\0"),
    "packet": op("mtrReadNextDataPacket") + sound(hexbytes("00 02 01 12 34 AB CD")),
    "packet_overstated": op("mtrReadNextDataPacket") + sound(hexbytes("FF FF 00 12 34")),
    "reading_diag": op("mtrDspGetReadingDiag") + sound(hexbytes(RESPONSES["reading_diag"])[4:-2]),
    "diag_operation": op("mtrDspDiagOperation") + arg(1) + arg(2) + arg(3) +
                      sound(hexbytes(RESPONSES["diag_operation"])[4:-2]),
    "transaction": op("mtrTransaction") + bytes([0]) + hexbytes("01 2B 30 00 D0 65").ljust(64, b"\0") + sound(b"\xC4"),
    "transaction_wrong_checksum": op("mtrTransaction") + bytes([0]) + hexbytes("01 2B 30 00 FF FF").ljust(64, b"\0") +
                                  fault(5),
}


def meter_seeds():
    for name, blob in METER_CALLS.items():
        write("meter_response", name, blob)
    # Every simple command once with a sound answer, then once with each fault.
    simple = b""
    for name in NO_ARG:
        simple += op(name) + sound(b"")
    for name in ONE_ARG:
        simple += op(name) + arg(258) + sound(b"")
    for name in TWO_ARG:
        simple += op(name) + arg(1) + arg(0x8000) + sound(b"")
    write("meter_response", "setters", simple)
    getters = b""
    for name in GETTERS:
        getters += op(name) + sound(hexbytes("12 34"))
    for name in ARG_GETTERS:
        getters += op(name) + arg(5) + sound(hexbytes("C4"))
    write("meter_response", "getters", getters)
    faults = b""
    for mode, extra in [(3, (20,)), (5, ()), (6, ()), (7, ()), (8, (3,)), (9, tuple(range(61)))]:
        faults += op("mtrGetRange") + bytes([mode, 1]) + (b"\x02" if mode in (3, 6, 8) else b"") + bytes(extra)
    faults += op("mtrGetRange") + bytes([4, 0]) + hexbytes("01 2B 1A 01 02").ljust(60, b"\0") + bytes([7])
    write("meter_response", "faults", faults)
    write("meter_response", "unplug_and_close",
          op("mtrGetRange") + sound(b"\x01") + b"\xFF" + op("mtrGetRange") + sound(b"\x02") + b"\xFE" +
          op("mtrGetReading") + sound(hexbytes("04 D2 00 00 00 00 00")))
    write("meter_response", "answer_with_other_code", op("mtrGetStatusByte") + bytes([0x80, 1, 0x31]) + b"\x05")


# -------------------------------------------------------------- scpi_line

def line(text, *answers, size=128):
    raw = text.encode()
    return bytes([size, len(raw)]) + raw + b"".join(answers)


READING = sound(hexbytes("04 D2 00 00 00 00 00"))
LINES = {
    "idn": line("*IDN?", sound(IDN)),
    "idn_lower": line("*idn?", sound(IDN)),
    "idn_stb": line("*IDN?;*STB?", sound(IDN), sound(b"\x05")),
    "meas": line(":MEAS:FLUX?", READING),
    "meas_lower": line(":meas:flux?", READING),
    "unit": line(":UNIT:FLUX?", READING),
    "unit_set": line(":UNIT:FLUX:AC:TESL", sound(b"")),
    "range": line(":SENS:FLUX:RANG 2;:SENS:FLUX:RANG?", sound(b""), sound(b"\x02")),
    "auto_range": line(":SENS:FLUX:RANGE:AUTO 1", sound(b"")),
    "hold": line(":SENS:HOLD:STAT 3;:SENS:HOLD:STAT?;:SENS:HOLD:RES", sound(b""), sound(b"\x03"), sound(b"")),
    "err": line(":SYST:ERR?", sound(hexbytes("FE 95"))),
    "err_long": line(":SYSTEM:ERROR?", sound(hexbytes("00 00"))),
    "ese": line("*ESE 32;*ESE?", sound(b""), sound(b"\x20")),
    "ese_range": line("*ESE 256", sound(b"")),
    "opc": line("*STB?;*OPC?", sound(b"\x05"), sound(b"")),
    "cls": line(";;*CLS;;", sound(b"")),
    "stat": line(":STAT:QUES:COND?;:STAT:MEAS:ENAB 7;:STAT:OPER:EVEN?", sound(b"\x07"), sound(b""), sound(b"\x01")),
    "arel": line(":SYST:AREL:STAT?", sound(b"\x01")),
    "out": line(":syst:out 0", sound(b"")),
    "kloc": line(":SYST:KLOC 2", sound(b"")),
    "diag_eepr": line(":DIAG:DAT:EEPR? 16;:DIAG:DAT:EEPR 16 7", sound(hexbytes("00 10 00 01 07")), sound(b"")),
    "diag_dac": line(":DIAG:DAT:DAC 3 65535", sound(b"")),
    "diag_prob": line(":DIAG:DAT:PROB? 5", sound(b"\x07")),
    "diag_freq": line(":DIAG:DAT:FREQ?;:DIAG:DAT:ADC?", sound(hexbytes("12 34")), sound(hexbytes("FF 01"))),
    "diag_mux": line(":DIAG:MUX:RANG 6;:DIAG:MUX:AMP 1;:DIAG:MUX:CURR;:DIAG:SWV:DRIV", sound(b""), sound(b"")),
    "diag_modes": line(":DIAG:MOD 1;:DIAG:PWR 0;:DIAG:DAT:LIM 1;:DIAG:REC", sound(b""), sound(b""), sound(b""),
                       sound(b"")),
    "unknown": line("foo;:SYST;SYST:ERR?", sound(b""), sound(b""), sound(b"")),
    "blank_first": line(" *IDN?", sound(b"")),
    "too_long": line("*ESR?" + " " * 75, sound(b"")),
    "line_128": line(":SYST:ERR?" + ";" * 118, sound(hexbytes("00 00"))),
    "line_129": line("*CLS" + ";" * 125),
    "small_reply": line("*STB?", sound(b"\x05"), size=4),
    "reply_5": line("*STB?", sound(b"\x05"), size=5),
    "negative_size": bytes([0xE0]) + bytes([5]) + b"*IDN?",
    "silent_meter": line("*IDN?;*STB?", fault(5)),
    "corrupt_meter": line(":MEAS:FLUX?", fault(8, 1)),
    "late_meter": line(":MEAS:FLUX?;:MEAS:FLUX?", fault(6), READING),
    "tab_first": line("\t*IDN?"),
}


def scpi_seeds():
    for name, blob in LINES.items():
        write("scpi_line", name, blob)
    # Several lines in one input.
    write("scpi_line", "session", LINES["idn"] + LINES["meas"] + LINES["err"] + LINES["opc"])


if __name__ == "__main__":
    frame_seeds()
    meter_seeds()
    scpi_seeds()
    for target in ("frame", "meter_response", "scpi_line"):
        folder = os.path.join(HERE, "corpus", target)
        print(target, len(os.listdir(folder)), "seeds")
