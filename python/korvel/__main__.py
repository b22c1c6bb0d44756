"""``python3 -m korvel``: take readings, and plot a logged run.

    python3 -m korvel read --simulate -n 10
    python3 -m korvel read -n 600 --interval 1 --format csv -o run.csv
    python3 -m korvel plot run.csv -o field.png

``read`` writes the same text, CSV and JSON-lines records as ``korvel read``,
so logs from either can be plotted. Exit codes as the korvel program: 0 done,
1 the meter refused or the connection was lost, 2 usage error, 3 no meter.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import random
import signal
import sys
import threading
import time
from datetime import datetime, timezone
from typing import IO, List, Optional, Sequence

from . import __version__
from .errors import ConnectionLost, KorvelError, LibraryNotFound, MeterNotFound
from .types import Reading

EXIT_OK, EXIT_METER, EXIT_USAGE, EXIT_NO_METER = 0, 1, 2, 3
DEFAULT_SIMULATED_FIELD = 0.0125  # as korvel --simulate: near a small magnet

CSV_HEADER = "timestamp,elapsed_s,tesla,text,units,range,acdc,counts\n"


class UsageError(Exception):
    pass


# ------------------------------------------------------------------ records

def iso_timestamp(moment: datetime) -> str:
    """ISO-8601 UTC with microseconds, as korvel writes it."""
    return moment.astimezone(timezone.utc).strftime("%Y-%m-%dT%H:%M:%S.%fZ")


def format_tesla(tesla: float) -> str:
    """Every digit the meter resolves (the same as korvel's %.7g)."""
    return "%.7g" % tesla


def _csv_field(text: str) -> str:
    if not any(c in text for c in ",\"\r\n"):
        return text
    return '"' + text.replace('"', '""') + '"'


def format_record(fmt: str, reading: Reading, elapsed: float) -> str:
    """One record of a run, ending in a line feed (text, csv or jsonl)."""
    stamp = iso_timestamp(reading.timestamp)
    units = reading.units.symbol
    acdc = reading.acdc.name
    if fmt == "csv":
        return (f"{stamp},{elapsed:.6f},{format_tesla(reading.tesla)},{_csv_field(reading.text)},"
                f"{_csv_field(units)},{reading.range},{acdc},{reading.count}\n")
    if fmt == "jsonl":
        record = {"timestamp": stamp, "elapsed_s": round(elapsed, 6),
                  "tesla": float(format_tesla(reading.tesla)), "text": reading.text,
                  "units": units, "range": reading.range, "acdc": acdc, "counts": reading.count}
        return json.dumps(record, separators=(",", ":")) + "\n"
    tesla = format_tesla(reading.tesla) + " T"
    return "%s  %10.3f s  %10s  %14s  %s  range %d\n" % (
        stamp, elapsed, reading.text.lstrip(" "), tesla, acdc, reading.range)


class Statistics:
    """Count, extremes, mean and sample standard deviation (Welford)."""

    def __init__(self) -> None:
        self.count = 0
        self.min = self.max = self.mean = 0.0
        self._m2 = 0.0

    def add(self, value: float) -> None:
        self.count += 1
        if self.count == 1:
            self.min = self.max = self.mean = value
            return
        self.min = min(self.min, value)
        self.max = max(self.max, value)
        delta = value - self.mean
        self.mean += delta / self.count
        self._m2 += delta * (value - self.mean)

    @property
    def standard_deviation(self) -> float:
        return math.sqrt(self._m2 / (self.count - 1)) if self.count > 1 else 0.0


def format_summary(readings: int, seconds: float, field: Statistics) -> str:
    rate = readings / seconds if seconds > 0 else 0.0
    out = "%d reading%s in %.3f s (%.1f readings/s)\n" % (
        readings, "" if readings == 1 else "s", seconds, rate)
    if field.count:
        out += "field: min %s T, max %s T, mean %s T, standard deviation %s T\n" % (
            format_tesla(field.min), format_tesla(field.max), format_tesla(field.mean),
            format_tesla(field.standard_deviation))
    return out


# --------------------------------------------------------------------- read

class _Interrupted(Exception):
    pass


def _open_meter(args: argparse.Namespace):
    from .meter import Meter
    from .simulator import Simulator
    for option, value in (("--field", args.field), ("--unplug-after", args.unplug_after)):
        if value is not None and not args.simulate:
            raise UsageError(f"{option} sets up the simulated meter: add --simulate")
    simulator = None
    if args.simulate:
        simulator = Simulator(args.library)
        dc = DEFAULT_SIMULATED_FIELD if args.field is None else args.field
        seed = random.getrandbits(32)
        for index in range(simulator.meter_count):
            simulator.set_field_source(index, dc=dc, noise=1e-5 + 2e-4 * abs(dc),
                                       drift=2e-5 + 1e-3 * abs(dc), seed=seed + index)
    meter = Meter(simulate=args.simulate, library=args.library, serial=args.meter)
    if simulator is not None and args.unplug_after is not None:
        index = simulator.index_of(meter)
        if index is not None:
            timer = threading.Timer(args.unplug_after, simulator.unplug, args=(index,))
            timer.daemon = True
            timer.start()
    return meter


def command_read(args: argparse.Namespace) -> int:
    if args.count is not None and args.count < 1:
        raise UsageError("-n must be 1 or more")
    if args.duration is not None and args.duration <= 0:
        raise UsageError("--duration must be more than 0 seconds")
    if args.interval is not None and args.interval < 0:
        raise UsageError("--interval must be 0 or more seconds")
    # As korvel read: one reading unless told how many or how long.
    count = args.count
    if count is None and not args.continuous and args.duration is None:
        count = 1
    meter = _open_meter(args)
    out: IO[str] = sys.stdout
    if args.output and args.output != "-":
        out = open(args.output, "w", encoding="utf-8", newline="")
    progress = out is not sys.stdout and sys.stderr.isatty() and not args.quiet
    field = Statistics()
    taken = 0
    status = EXIT_OK
    first: Optional[float] = None
    last: Optional[float] = None

    def interrupt(_signum, _frame):
        raise _Interrupted()

    previous = signal.signal(signal.SIGINT, interrupt)
    try:
        if args.format == "csv":
            out.write(CSV_HEADER)
        for reading in meter.stream(interval=args.interval, count=count, duration=args.duration):
            now = last = time.monotonic()
            if first is None:
                first = now
            out.write(format_record(args.format, reading, now - first))
            taken += 1
            field.add(reading.tesla)
            if progress:
                sys.stderr.write(f"\r{taken} readings, last {reading.text.strip()}  ")
                sys.stderr.flush()
    except _Interrupted:
        pass
    except ConnectionLost:
        status = EXIT_METER
    finally:
        signal.signal(signal.SIGINT, previous)
        out.flush()
        if out is not sys.stdout:
            out.close()
        meter.close()
        if progress:
            sys.stderr.write("\n")
        if not args.quiet:
            seconds = last - first if first is not None and last is not None else 0.0
            sys.stderr.write(format_summary(taken, seconds, field))
    if status == EXIT_METER:
        where = f"in {args.output}" if args.output and args.output != "-" else "on standard output"
        sys.stderr.write(f"korvel: the meter stopped answering after {taken} reading(s): the "
                         f"connection was lost. Every reading taken is {where}. Check the cable "
                         "and run again.\n")
    return status


# --------------------------------------------------------------------- plot

# Display units: (name, tesla per unit) for each measurement unit family,
# largest first; the first whose numbers stay >= 1 is used.
_PREFIXES = {
    "T": [("T", 1.0), ("mT", 1e-3), ("µT", 1e-6), ("nT", 1e-9)],
    "G": [("kG", 1e-1), ("G", 1e-4), ("mG", 1e-7)],
    "A/m": [("kA/m", 1e3 * 4e-7 * math.pi), ("A/m", 4e-7 * math.pi),
            ("mA/m", 1e-3 * 4e-7 * math.pi)],
}


def choose_display_unit(teslas: Sequence[float], family: str) -> tuple:
    """(unit name, tesla per unit) that shows the run with readable numbers."""
    choices = _PREFIXES.get(family, _PREFIXES["T"])
    largest = max((abs(t) for t in teslas), default=0.0)
    for name, per in choices:
        if largest >= per:
            return name, per
    return choices[-1] if largest > 0 else choices[0]


def read_log(path: str):
    """(elapsed seconds, tesla, units) lists from a korvel CSV or JSON-lines log.

    Rows without a value in tesla (a reading the meter could not mean) are
    skipped; a file with neither format raises UsageError.
    """
    import csv
    elapsed: List[float] = []
    teslas: List[float] = []
    units: List[str] = []
    with open(path, encoding="utf-8", newline="") as handle:
        first = handle.readline()
        handle.seek(0)
        if first.startswith("{"):
            rows = (json.loads(line) for line in handle if line.strip())
        elif first.startswith("timestamp,"):
            rows = csv.DictReader(handle)
        else:
            raise UsageError(f"{path} is not a korvel read log (--format csv or jsonl)")
        for number, row in enumerate(rows, start=2):
            try:
                tesla = row.get("tesla")
                if tesla in (None, ""):
                    continue
                elapsed.append(float(row["elapsed_s"]))
                teslas.append(float(tesla))
                units.append(str(row.get("units") or "T"))
            except (KeyError, ValueError, TypeError) as error:
                raise UsageError(f"{path}: record {number - 1} is damaged ({error})") from None
    return elapsed, teslas, units


def command_plot(args: argparse.Namespace) -> int:
    try:
        elapsed, teslas, units = read_log(args.log)
    except OSError as error:
        raise UsageError(f"cannot read {args.log}: {error.strerror}") from None
    if not teslas:
        raise UsageError(f"{args.log} holds no reading with a value to plot")
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    family = args.unit_family or max(set(units), key=units.count)
    name, per = choose_display_unit(teslas, family)
    span = elapsed[-1] - elapsed[0] if len(elapsed) > 1 else 0.0
    time_unit, time_div = ("h", 3600.0) if span >= 7200 else (
        ("min", 60.0) if span >= 300 else ("s", 1.0))
    figure, axes = plt.subplots(figsize=(9, 4.5), dpi=100)
    axes.plot([t / time_div for t in elapsed], [v / per for v in teslas],
              marker="." if len(teslas) < 200 else None, linewidth=1)
    axes.set_xlabel(f"time ({time_unit})")
    axes.set_ylabel(f"field ({name})")
    axes.set_title(args.title or os.path.basename(args.log))
    axes.grid(True, alpha=0.3)
    figure.tight_layout()
    output = args.output or os.path.splitext(args.log)[0] + ".png"
    figure.savefig(output)
    plt.close(figure)
    sys.stderr.write(f"{len(teslas)} readings plotted to {output}\n")
    return EXIT_OK


# --------------------------------------------------------------------- main

def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python3 -m korvel", description="Korvel magnetic-field meter from Python.",
        epilog="exit codes: 0 done, 1 meter error or connection lost, 2 usage error, "
               "3 no meter found")
    parser.add_argument("--version", action="version", version=f"korvel {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    read = commands.add_parser(
        "read", help="take readings (like korvel read)",
        description="Take readings and write them as text, CSV or JSON lines; without -n, "
                    "--duration or --continuous one reading. A summary goes to standard error. "
                    "Ctrl-C ends the run cleanly.",
        epilog="example: python3 -m korvel read --simulate -n 10 --format csv -o run.csv")
    read.add_argument("-n", "--count", type=int, help="number of readings (default 1)")
    read.add_argument("--duration", type=float, metavar="SECONDS", help="take readings this long")
    read.add_argument("--continuous", action="store_true", help="take readings until Ctrl-C")
    read.add_argument("--interval", type=float, metavar="SECONDS",
                      help="time between readings (default: as fast as the meter answers)")
    read.add_argument("--format", choices=("text", "csv", "jsonl"), default="text")
    read.add_argument("-o", "--output", metavar="FILE", help="write records to FILE")
    read.add_argument("-q", "--quiet", action="store_true", help="no summary, no progress line")
    read.add_argument("--simulate", action="store_true", help="use the simulated meter")
    read.add_argument("--field", type=float, metavar="TESLA",
                      help="field of the simulated meter (default 0.0125 T, with noise and drift)")
    read.add_argument("--library", metavar="PATH", help="load this library file")
    read.add_argument("--meter", metavar="SERIAL", help="the meter with this serial number")
    read.add_argument("--unplug-after", type=float, metavar="SECONDS",
                      help="pull the simulated meter's cable after this long (try a lost meter)")
    read.set_defaults(run=command_read)

    plot = commands.add_parser(
        "plot", help="plot a logged run",
        description="Plot the field against time from a korvel read log (csv or jsonl).",
        epilog="example: python3 -m korvel plot run.csv -o field.png")
    plot.add_argument("log", help="log file written by korvel read --format csv|jsonl")
    plot.add_argument("-o", "--output", metavar="FILE",
                      help="image file (default: the log's name with .png)")
    plot.add_argument("--unit-family", choices=("T", "G", "A/m"),
                      help="plot in tesla, gauss or A/m (default: the units the meter used)")
    plot.add_argument("--title", help="title of the plot")
    plot.set_defaults(run=command_plot)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exit_:
        return EXIT_USAGE if exit_.code not in (0, None) else EXIT_OK
    try:
        return args.run(args)
    except UsageError as error:
        sys.stderr.write(f"korvel: {error}\n")
        return EXIT_USAGE
    except (MeterNotFound, LibraryNotFound) as error:
        sys.stderr.write(f"korvel: {error}\n")
        return EXIT_NO_METER if isinstance(error, MeterNotFound) else EXIT_METER
    except KorvelError as error:
        sys.stderr.write(f"korvel: {error}\n")
        return EXIT_METER


if __name__ == "__main__":
    sys.exit(main())
