#!/usr/bin/env python3
"""Collects the readings `korvel publish` sends from any number of meters
into one CSV file per meter, each reading once.

    python3 examples/mqtt_consumer.py --broker 127.0.0.1 --port 1883 --out readings/

Subscribes to PREFIX/+/reading at QoS 1 with a session the broker keeps
(fixed --client-id), so readings published while this program is away are
delivered when it comes back. A reading delivered twice (QoS 1 allows it) is
recognised by (serial, seq) and counted, not written again; a gap in a
meter's sequence numbers is reported on standard error (and again if the
missing readings arrive later). A gap record (the meter was lost and came
back) has a number of its own: it is accounted for and noted on standard
error, not written as a reading. Stops on Ctrl-C, or after --idle seconds
without a message; prints a summary line per meter at the end.

Needs paho-mqtt (Debian: python3-paho-mqtt).
"""

from __future__ import annotations

import argparse
import csv
import json
import os
import signal
import sys
import threading
import time

import paho.mqtt.client as mqtt

COLUMNS = ["seq", "timestamp", "elapsed_s", "tesla", "text", "units", "range", "acdc", "counts", "over_range",
           "dropped"]


class Meter:
    """What has arrived from one meter."""

    def __init__(self, serial: str, folder: str) -> None:
        self.serial = serial
        path = os.path.join(folder, f"{serial}.csv")
        fresh = not os.path.exists(path)
        self.file = open(path, "a", newline="", encoding="utf-8")
        self.writer = csv.DictWriter(self.file, fieldnames=COLUMNS, extrasaction="ignore")
        if fresh:
            self.writer.writeheader()
        self.seen: set = set()
        self.duplicates = 0
        self.dropped = 0  # readings the publisher's full spool dropped, as it reported

    def take(self, record: dict) -> None:
        seq = int(record["seq"])
        if seq in self.seen:
            self.duplicates += 1
            return
        if self.seen and seq > max(self.seen) + 1:
            print(f"{self.serial}: readings {max(self.seen) + 1} to {seq - 1} missing so far", file=sys.stderr)
        self.seen.add(seq)
        self.dropped += int(record.get("dropped", 0))
        if record.get("type") == "gap":
            print(f"{self.serial}: the meter was away from {record['from']} to {record['to']}", file=sys.stderr)
            return
        row = dict(record)
        if "over_range" in row:
            row["over_range"] = "true" if row["over_range"] else "false"
        self.writer.writerow(row)
        self.file.flush()

    def gaps(self) -> list:
        if not self.seen:
            return []
        return sorted(set(range(min(self.seen), max(self.seen) + 1)) - self.seen)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--broker", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=1883)
    parser.add_argument("--topic-prefix", default="korvel")
    parser.add_argument("--client-id", default="korvel-consumer")
    parser.add_argument("--out", default="readings", help="folder for one CSV per meter")
    parser.add_argument("--idle", type=float, default=0, help="stop after this many seconds without a message")
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)

    meters: dict = {}
    lock = threading.Lock()
    last = [time.monotonic()]
    stop = threading.Event()

    def on_connect(client, _userdata, _flags, rc):
        if rc == 0:
            client.subscribe(f"{args.topic_prefix}/+/reading", qos=1)
        else:
            print(f"the broker refused the connection: {mqtt.connack_string(rc)}", file=sys.stderr)
            stop.set()

    def on_subscribe(_client, _userdata, _mid, _granted_qos):
        # Said once the broker holds the subscription: from then on nothing published is missed.
        print(f"subscribed to {args.topic_prefix}/+/reading", file=sys.stderr, flush=True)

    def on_message(_client, _userdata, message):
        serial = message.topic.split("/")[-2]
        try:
            record = json.loads(message.payload)
        except ValueError:
            print(f"{message.topic}: not a JSON record", file=sys.stderr)
            return
        with lock:
            last[0] = time.monotonic()
            if serial not in meters:
                meters[serial] = Meter(serial, args.out)
            meters[serial].take(record)

    client = mqtt.Client(client_id=args.client_id, clean_session=False)
    client.on_connect = on_connect
    client.on_message = on_message
    client.on_subscribe = on_subscribe
    client.reconnect_delay_set(1, 5)
    client.connect_async(args.broker, args.port, keepalive=30)
    client.loop_start()
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    while not stop.wait(0.1):
        if args.idle and time.monotonic() - last[0] > args.idle:
            break
    client.disconnect()
    client.loop_stop()
    with lock:
        for serial, meter in sorted(meters.items()):
            gaps = meter.gaps()
            print(f"{serial}: {len(meter.seen)} readings, {meter.duplicates} duplicates, "
                  f"{len(gaps)} missing, {meter.dropped} dropped by the publisher")
            meter.file.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
