"""A setting the meter could not take in time (it was busy reading its
memory for another page) is refused with 503 and then never made: the
refusal means nothing changed."""

from __future__ import annotations

import threading
import time


def test_a_setting_that_timed_out_is_never_applied(start):
    # Each exchange takes 0.15 s: reading the memory keeps the meter busy
    # for longer than a setting may wait to begin (10 s).
    web = start(scpi=False, latency=0.15)
    before = web.get_json("/api/state")["reading"]["unitsCode"]
    assert before == 0  # gauss
    dump = {}
    reader = threading.Thread(target=lambda: dump.update(result=web.request("GET", "/api/memory.bin", timeout=90)))
    reader.start()
    time.sleep(0.5)
    status, _, body = web.change("/api/settings", {"units": "T"})
    assert status == 503, body
    assert b"nothing was changed" in body
    reader.join(timeout=90)
    assert dump["result"][0] == 200
    time.sleep(1.0)  # a setting applied late would have been by now
    assert web.get_json("/api/state")["reading"]["unitsCode"] == before
