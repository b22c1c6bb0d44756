#!/usr/bin/python3
"""Read the field ten times from a Korvel meter, from Python.

Talks to the library directly through ctypes. Which library:
  KORVEL_LIBRARY=/path/to/libkorvel-x64-sim.so.1 python3 read_field.py
  python3 read_field.py --simulate      # the simulated meter, no hardware
Exit status: 0 fine, 1 the meter stopped answering, 3 no meter found.
"""
import argparse
import ctypes
import os
import sys


def load_library(simulate):
    """The library named by KORVEL_LIBRARY, else the installed one."""
    path = os.environ.get("KORVEL_LIBRARY")
    if not path:
        path = "libkorvel-x64-sim.so.1" if simulate else "libkorvel-x64.so.1"
    lib = ctypes.CDLL(path)
    lib.openKorvel.restype = ctypes.c_uint
    lib.openKorvel.argtypes = []
    lib.closeKorvel.restype = None
    lib.closeKorvel.argtypes = [ctypes.c_uint]
    lib.scpiCommand.restype = ctypes.c_int
    lib.scpiCommand.argtypes = [ctypes.c_uint, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int]
    return lib


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--simulate", action="store_true", help="use the simulated meter")
    parser.add_argument("-n", type=int, default=10, help="number of readings (default 10)")
    args = parser.parse_args()

    lib = load_library(args.simulate)
    meter = lib.openKorvel()
    if meter == 0:
        print("no meter found (plugged in? permitted by the udev rule?)", file=sys.stderr)
        return 3
    reply = ctypes.create_string_buffer(128)

    def scpi(line):
        lib.scpiCommand(meter, line.encode("ascii"), reply, len(reply))
        text = reply.value.decode("ascii", "replace")
        if text == "USB Connection Problem":
            raise ConnectionError("the meter stopped answering (%s)" % line)
        return text

    try:
        print("meter:", scpi("*IDN?"))
        for i in range(1, args.n + 1):
            print("reading %2d: %s" % (i, scpi(":MEAS:FLUX?")))
    except ConnectionError as error:
        print(error, file=sys.stderr)
        return 1
    finally:
        lib.closeKorvel(meter)
    return 0


if __name__ == "__main__":
    sys.exit(main())
