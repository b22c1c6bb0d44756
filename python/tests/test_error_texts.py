"""The package's error texts against the library's: every number the meter's
queue can be asked to hold is posted, read back with :SYST:ERR? (which the
library words), and must read the same as korvel.error_text() and
Meter.errors()."""

from __future__ import annotations

from korvel.meter import ERROR_TEXTS, UNKNOWN_ERROR, error_text

# Every listed number, the span around them, and the ends of the 16-bit range.
CODES = sorted(set(ERROR_TEXTS) | set(range(-400, 201)) | {-32768, -1000, 1000, 32767})


def test_every_error_number_reads_as_the_library_words_it(meter):
    meter.clear_errors()
    differ = []
    for code in CODES:
        if code == 0:
            continue  # 0 is "the queue is empty", never queued
        meter.post_error(code)
        reply = meter.scpi(":SYST:ERR?")
        if reply != f"{code}, {error_text(code)}":
            differ.append((code, reply, error_text(code)))
    assert differ == []


def test_errors_drains_with_the_same_texts(meter):
    meter.clear_errors()
    for code in (-102, 43, 7):
        meter.post_error(code)
    assert meter.errors() == [(-102, "SYNTAX ERROR"), (43, "INVALID PROBE CAL DATA"), (7, UNKNOWN_ERROR)]
    assert meter.scpi(":SYST:ERR?") == "0, NO ERROR"
