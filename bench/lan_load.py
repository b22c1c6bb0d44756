#!/usr/bin/env python3
"""korvel serve as a LAN instrument under load: 50 VXI-11 links (pyvisa-py's
VXI-11 client) and 50 raw socket clients at once on two simulated meters,
each asking :READ? in a loop, while one meter's cable is pulled and plugged
back. Reports per door the queries answered and the latency percentiles,
against the bound the round-robin worker promises: one meter exchange per
other busy client of that meter, plus 100 ms.

Usage: bench/lan_load.py [--build build] [--seconds 6] [--latency 0.001]

Figures, not pass/fail. As root it runs itself in a private network
namespace (unshare -n), so the port mapper it answers on port 111 is its own.
"""

from __future__ import annotations

import argparse
import os
import re
import signal
import socket
import statistics
import subprocess
import sys
import threading
import time

from pyvisa_py.protocols import rpc, vxi11

CLIENTS_PER_DOOR = 50


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))] if ordered else float("nan")


class Core(vxi11.CoreClient):
    """pyvisa-py's VXI-11 core client on a known port (no port mapper call)."""

    def __init__(self, port):
        self.packer = vxi11.Vxi11Packer()
        self.unpacker = vxi11.Vxi11Unpacker("")
        rpc.RawTCPClient.__init__(self, "127.0.0.1", vxi11.DEVICE_CORE_PROG, vxi11.DEVICE_CORE_VERS, port)


def vxi11_client(port, device, until, latencies, outages):
    core = Core(port)
    _, link, _, _ = core.create_link(0, 0, 0, device)
    while time.monotonic() < until:
        began = time.monotonic()
        core.device_write(link, 10000, 0, vxi11.OP_FLAG_END, b":READ?\n")
        error, _, data = core.device_read(link, 256, 10000, 0, 0, 0)
        (outages if b"Connection" in data else latencies).append(time.monotonic() - began)
    core.destroy_link(link)
    core.close()


def socket_client(port, until, latencies, outages):
    with socket.create_connection(("127.0.0.1", port), timeout=30) as sock:
        reader = sock.makefile("rb")
        while time.monotonic() < until:
            began = time.monotonic()
            sock.sendall(b":READ?\n")
            answer = reader.readline()
            (outages if b"Connection" in answer else latencies).append(time.monotonic() - began)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build")
    parser.add_argument("--seconds", type=float, default=6)
    parser.add_argument("--latency", type=float, default=0.001)
    args = parser.parse_args()
    if os.geteuid() == 0 and os.environ.get("KORVEL_BENCH_NAMESPACE") != "1":
        command = " ".join(["ip link set lo up &&", "KORVEL_BENCH_NAMESPACE=1", "exec", sys.executable,
                            *map(repr, sys.argv)])
        os.execvp("unshare", ["unshare", "-n", "--", "sh", "-c", command])
    program = os.path.join(args.build, "korvel")
    env = dict(os.environ, KORVEL_SIM_LIBRARY=os.path.join(args.build, "libkorvel-x64-sim.so.1"))
    server = subprocess.Popen([program, "--simulate", "--meters", "2", "--latency", str(args.latency), "serve",
                               "--all", "--port", "0", "--max-clients", "128"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env, text=True)
    log = []
    for line in server.stderr:
        log.append(line)
        if "VXI-11 on" in line or "VXI-11 is off" in line:
            break
    threading.Thread(target=lambda: [log.append(x) for x in server.stderr], daemon=True).start()
    text = "".join(log)
    socket_ports = [int(p) for p in re.findall(r"listening on 127\.0\.0\.1:(\d+)", text)]
    vxi_port = int(re.search(r"VXI-11 on 127\.0\.0\.1:(\d+)", text).group(1))
    until = time.monotonic() + args.seconds
    results = {"VXI-11": ([], []), "socket": ([], [])}
    threads = []
    for i in range(CLIENTS_PER_DOOR):
        threads.append(threading.Thread(target=vxi11_client, args=(vxi_port, f"inst{i % 2}", until,
                                                                      *results["VXI-11"])))
        threads.append(threading.Thread(target=socket_client, args=(socket_ports[i % 2], until, *results["socket"])))
    for thread in threads:
        thread.start()
    time.sleep(args.seconds / 3)
    server.send_signal(signal.SIGUSR1)  # a meter's cable pulled...
    time.sleep(args.seconds / 6)
    server.send_signal(signal.SIGUSR1)  # ...and plugged back
    for thread in threads:
        thread.join()
    server.send_signal(signal.SIGTERM)
    server.wait(timeout=30)
    per_meter = CLIENTS_PER_DOOR  # half of each door's clients per meter
    bound = per_meter * args.latency + 0.100
    print(f"{2 * CLIENTS_PER_DOOR} clients on 2 meters for {args.seconds:.0f} s, meter exchange {args.latency * 1000:.1f} ms; "
          f"bound: {per_meter} exchanges ahead + 100 ms = {bound * 1000:.0f} ms")
    for door, (latencies, outages) in results.items():
        ms = [x * 1000 for x in latencies]
        print(f"{door:7s} {len(ms):6d} answers ({len(ms) / args.seconds:7.0f}/s)  median {statistics.median(ms):6.1f} ms  "
              f"p99 {percentile(ms, 0.99):6.1f} ms  max {max(ms):6.1f} ms  "
              f"'USB Connection Problem' answers {len(outages)}")
    for line in log:
        if "cable" in line or "lost" in line or "opened again" in line:
            print("log:", line.rstrip().split(" korvel serve: ")[-1])


if __name__ == "__main__":
    main()
