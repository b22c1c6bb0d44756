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
import errno
import json
import math
import os
import random
import shlex
import signal
import socket
import sys
import threading
import time
from datetime import datetime, timezone
from typing import IO, List, Optional, Sequence

from . import __version__
from .errors import ConnectionLost, KorvelError, LibraryNotFound, MeterNotFound
from .types import Reading

from . import _records
from ._records import CSV_HEADER, format_tesla, iso_timestamp  # noqa: F401 (public before)

EXIT_OK, EXIT_METER, EXIT_USAGE, EXIT_NO_METER = 0, 1, 2, 3
DEFAULT_SIMULATED_FIELD = 0.0125  # as korvel --simulate: near a small magnet


class UsageError(Exception):
    pass


# ------------------------------------------------------------------ records

def format_record(fmt: str, reading: Reading, elapsed: float) -> str:
    """One record of a run, ending in a line feed (text, csv or jsonl)."""
    return _records.format_record(fmt, reading.timestamp, elapsed, reading.tesla, reading.text,
                                  reading.units.symbol, reading.range, reading.acdc.name, reading.count)


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
    if readings == 1:  # one reading has no rate
        out = "1 reading\n"
    else:
        rate = readings / seconds if seconds > 0 else 0.0
        out = "%d readings in %.3f s (%.1f readings/s)\n" % (readings, seconds, rate)
    if field.count:
        out += "field: min %s T, max %s T, mean %s T, standard deviation %s T\n" % (
            format_tesla(field.min), format_tesla(field.max), format_tesla(field.mean),
            format_tesla(field.standard_deviation))
    return out


# ------------------------------------------------------------ option values

def _number(option: str, text: str, what: str, low: float, low_open: bool = False,
            whole: bool = False) -> float:
    """The value of an option, or UsageError with one sentence saying what it takes
    (the same sentences as the korvel program)."""
    bound = f"greater than {low:g}" if low_open else f"of {low:g} or more"
    try:
        value = int(text, 10) if whole else float(text)
    except ValueError:
        value = None
    if value is None or not math.isfinite(value) or value < low or (low_open and value == low):
        raise UsageError(f"{option} must be {what} {bound}")
    return value


def _field_value(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (math.isfinite(value) and -10 <= value <= 10):
        raise UsageError("--field must be a number of tesla from -10 to 10")
    return value


# --------------------------------------------------------------------- read

class _Interrupted(Exception):
    pass


def _open_meter(args: argparse.Namespace):
    from .meter import EEPROM_ADDRESS_SPACE, Meter
    from .simulator import Simulator
    for option, value in (("--field", args.field), ("--unplug-after", args.unplug_after),
                          ("--seed", args.seed), ("--latency", args.latency)):
        if value is not None and not args.simulate:
            raise UsageError(f"{option} sets up the simulated meter: add --simulate")
    simulator = None
    if args.simulate:
        simulator = Simulator(args.library)
        if args.latency is not None:
            simulator.set_latency(_number("--latency", args.latency, "a number of seconds", 0))
        # Without --field or --seed the library's own field (12.5 mT, noisy).
        if args.field is not None or args.seed is not None:
            dc = DEFAULT_SIMULATED_FIELD if args.field is None else _field_value(args.field)
            # --seed: repeatable noise and no drift, so two runs read alike.
            seed = random.getrandbits(32) if args.seed is None else int(args.seed)
            drift = 0.0 if args.seed is not None else 2e-5 + 1e-3 * abs(dc)
            for index in range(simulator.meter_count):
                simulator.set_field_source(index, dc=dc, noise=1e-5 + 2e-4 * abs(dc), drift=drift,
                                           seed=seed + index)
    # The memory size is of no use here; left unasked, the open stays the
    # korvel program's (a seeded simulated meter then reads alike in both).
    meter = Meter(simulate=args.simulate, library=args.library, serial=args.meter,
                  eeprom_size=EEPROM_ADDRESS_SPACE)
    if simulator is not None and args.unplug_after is not None:
        index = simulator.index_of(meter)
        if index is not None:
            timer = threading.Timer(args.unplug_after, simulator.unplug, args=(index,))
            timer.daemon = True
            timer.start()
    return meter


_UNITS = {"G": 0, "T": 1, "A/m": 2}


def _apply_settings(meter, args: argparse.Namespace):
    """Set units, AC/DC and range as asked, then take one reading to check
    them; KorvelError (exit 1) when the meter reads otherwise."""
    from .types import AcDc, Units
    if args.units is not None or args.acdc is not None:
        # The half not asked for stays as the meter has it.
        now = meter.read() if args.units is None or args.acdc is None else None
        units = Units(_UNITS[args.units]) if args.units is not None else now.units
        acdc = AcDc(args.acdc) if args.acdc is not None else now.acdc
        meter.set_units(units, acdc)
    if args.range not in (None, "auto"):
        meter.range = int(args.range)
    elif args.range == "auto":
        meter.set_auto_range(True)
    reading = meter.read()
    auto = bool(reading.aux & 0x08)

    def refuse(asked: str, got: str):
        raise KorvelError(f"the meter did not take {asked}: it reads {got} (no reading was logged)")
    if args.units is not None and reading.units.symbol != args.units:
        refuse(f"--units {args.units}", f"in {reading.units.symbol}")
    if args.acdc is not None and int(reading.acdc) != args.acdc:
        refuse("--ac" if args.acdc else "--dc", reading.acdc.name)
    if args.range not in (None, "auto") and (reading.range != int(args.range) or auto):
        refuse(f"--range {args.range}", f"on range {reading.range}" + (" with auto-range on" if auto else ""))
    if args.range == "auto" and not auto:
        refuse("--range auto", "with auto-range off")
    return reading


class _Log:
    """Standard output or a file, written a whole record at a time: a write
    that fails part way is cut back, so the file ends at a whole record."""

    def __init__(self, path: Optional[str], append: bool, force: bool) -> None:
        self.path = path
        self.continued = False
        self.first = b""
        if not path or path == "-":
            if append or force:
                raise UsageError("--append and --force need a file: give -o FILE")
            self.fd = sys.stdout.fileno()
            sys.stdout.flush()
            self.size = 0
            return
        if os.path.isfile(path) and not (append or force):  # /dev/null is no log to keep
            raise UsageError(f"{path} exists: --append adds this run to it, --force overwrites it")
        flags = os.O_CREAT | (os.O_RDWR | os.O_APPEND if append else os.O_WRONLY | os.O_TRUNC)
        try:
            self.fd = os.open(path, flags, 0o666)
        except OSError as error:
            raise UsageError(f"cannot create {path}: {error.strerror}") from None
        self.size = os.fstat(self.fd).st_size
        self.continued = append and self.size > 0
        if self.continued:
            self.first = os.pread(self.fd, 1, 0)
            if os.pread(self.fd, 1, self.size - 1) != b"\n":
                self.write("\n")  # a torn line from a power cut: end it

    @property
    def to_file(self) -> bool:
        return bool(self.path) and self.path != "-"

    def write(self, text: str) -> None:
        data = text.encode("utf-8")
        done = 0
        try:
            while done < len(data):
                done += os.write(self.fd, data[done:])
        except OSError:
            if done and self.to_file:
                os.ftruncate(self.fd, self.size)
            raise
        self.size += len(data)

    def finish(self) -> None:
        if self.to_file:
            try:
                os.fsync(self.fd)
            except OSError as error:
                if error.errno != errno.EINVAL:  # /dev/null, a FIFO: nothing to sync
                    raise
            finally:
                os.close(self.fd)


def command_read(args: argparse.Namespace) -> int:
    count = None if args.count is None else int(_number("-n", args.count, "a whole number", 1,
                                                        whole=True))
    duration = None if args.duration is None else _number("--duration", args.duration,
                                                          "a number of seconds", 0, low_open=True)
    interval = None if args.interval is None else _number("--interval", args.interval,
                                                          "a number of seconds", 0)
    if args.append and args.force:
        raise UsageError("--append and --force exclude each other: choose one")
    # As korvel read: one reading unless told how many or how long.
    if count is None and not args.continuous and duration is None:
        count = 1
    if args.output and args.output != "-" and os.path.isfile(args.output) and not (
            args.append or args.force):
        raise UsageError(f"{args.output} exists: --append adds this run to it, --force overwrites it")
    meter = _open_meter(args)
    try:
        first_reading = _apply_settings(meter, args)
        log = _Log(args.output, args.append, args.force)
    except BaseException:
        meter.close()
        raise
    if log.continued and args.format != "text" and (log.first == b"{") != (args.format == "jsonl"):
        meter.close()
        raise UsageError(f"{args.output} is not a {args.format} log: --append adds to a log of the "
                         "same --format")
    progress = log.to_file and sys.stderr.isatty() and not args.quiet
    field = Statistics()
    taken = 0
    status = EXIT_OK
    failure = ""
    first: Optional[float] = None
    last: Optional[float] = None

    def interrupt(_signum, _frame):
        raise _Interrupted()

    previous = signal.signal(signal.SIGINT, interrupt)
    try:
        head = _records.format_meta(
            args.format, __version__, meter.identity, meter.serial, meter.probe,
            first_reading.units.symbol, first_reading.acdc.name, first_reading.range,
            bool(first_reading.aux & 0x08), datetime.now(timezone.utc), socket.gethostname(),
            "python3 -m korvel " + " ".join(shlex.quote(word) for word in sys.argv[1:]))
        if args.format == "csv" and not log.continued:
            head += CSV_HEADER
        if head:
            log.write(head)
        for reading in meter.stream(interval=interval, count=count, duration=duration):
            now = time.monotonic()
            if first is None:
                first = now
            log.write(format_record(args.format, reading, now - first))
            last = now
            taken += 1  # once it is in the file: the summary tells what the file holds
            field.add(reading.tesla)
            if progress:
                sys.stderr.write(f"\r{taken} readings, last {reading.text.strip()}  ")
                sys.stderr.flush()
    except _Interrupted:
        pass
    except ConnectionLost:
        status = EXIT_METER
        where = f"in {args.output}" if log.to_file else "on standard output"
        failure = (f"the meter stopped answering after {taken} reading(s): the connection was lost. "
                   f"Every reading taken is {where}. Check the cable and run again.")
    except OSError as error:
        status = EXIT_METER
        name = args.output if log.to_file else "standard output"
        failure = (f"cannot write {name}: {error.strerror}. "
                   + ("It ends at the last whole record; " if log.to_file else "")
                   + f"{taken} reading(s) were written")
    finally:
        signal.signal(signal.SIGINT, previous)
        try:
            log.finish()
        except OSError as error:
            if status == EXIT_OK:
                status = EXIT_METER
                failure = f"cannot write {args.output}: {error.strerror}"
        meter.close()
        if progress:
            sys.stderr.write("\n")
        if not args.quiet:
            seconds = last - first if first is not None and last is not None else 0.0
            sys.stderr.write(format_summary(taken, seconds, field))
    if failure:
        sys.stderr.write(f"korvel: {failure}\n")
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
    """(elapsed seconds, tesla, units, meta) from a korvel CSV or JSON-lines log.

    ``meta`` is the first meta block (a dict; empty for a log without one).
    Comment lines, meta and gap records and rows without a value in tesla are
    skipped; a file with neither format raises UsageError.
    """
    import csv
    elapsed: List[float] = []
    teslas: List[float] = []
    units: List[str] = []
    meta: dict = {}
    with open(path, encoding="utf-8", newline="") as handle:
        lines = handle.read().splitlines(keepends=True)
    comments = [line for line in lines if line.startswith("#")]
    body = [line for line in lines if not line.startswith("#")]
    first = body[0] if body else ""
    if first.startswith("{"):
        rows = []
        for line in body:
            if not line.strip():
                continue
            try:
                record = json.loads(line)
            except ValueError as error:
                raise UsageError(f"{path}: a line is damaged ({error})") from None
            if record.get("type") == "meta":
                meta = meta or record
            elif "type" not in record:
                rows.append(record)
    elif first.startswith("timestamp,"):
        rows = csv.DictReader(body)
        for line in comments:
            key, _, value = line[1:].strip().partition(": ")
            if key and value and key not in meta:
                meta[key] = value
    else:
        raise UsageError(f"{path} is not a korvel read log (--format csv or jsonl)")
    for number, row in enumerate(rows, start=1):
        try:
            tesla = row.get("tesla")
            if tesla in (None, ""):
                continue
            elapsed.append(float(row["elapsed_s"]))
            teslas.append(float(tesla))
            units.append(str(row.get("units") or "T"))
            if "start" not in meta and number == 1 and row.get("timestamp"):
                meta["start"] = row["timestamp"]
        except (KeyError, ValueError, TypeError) as error:
            raise UsageError(f"{path}: record {number} is damaged ({error})") from None
    return elapsed, teslas, units, meta


def command_plot(args: argparse.Namespace) -> int:
    try:
        elapsed, teslas, units, meta = read_log(args.log)
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
    start = str(meta.get("start", ""))
    started = start.replace("T", " ")[:19] + " UTC" if start else ""
    axes.set_xlabel(f"time ({time_unit})" + (f" from {started}" if started else ""))
    axes.set_ylabel(f"field ({name})")
    serial = meta.get("serial")
    axes.set_title(args.title or os.path.basename(args.log) + (f" - meter {serial}" if serial else ""))
    axes.grid(True, alpha=0.3)
    figure.tight_layout()
    output = args.output or os.path.splitext(args.log)[0] + ".png"
    if output == "-":  # standard output, as -o - everywhere
        figure.savefig(sys.stdout.buffer, format="png")
        sys.stdout.buffer.flush()
    else:
        figure.savefig(output)
    plt.close(figure)
    sys.stderr.write(f"{len(teslas)} readings plotted to "
                     f"{'standard output' if output == '-' else output}\n")
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
    read.add_argument("-n", "--count", metavar="COUNT", help="number of readings (default 1)")
    read.add_argument("--duration", metavar="SECONDS", help="take readings this long")
    read.add_argument("--continuous", action="store_true", help="take readings until Ctrl-C")
    read.add_argument("--interval", metavar="SECONDS",
                      help="time between readings (default: as fast as the meter answers)")
    read.add_argument("--format", choices=("text", "csv", "jsonl"), default="text")
    read.add_argument("-o", "--output", metavar="FILE",
                      help="write records to FILE ('-': standard output); an existing FILE is "
                           "refused unless --append or --force")
    read.add_argument("--append", action="store_true",
                      help="add this run to an existing FILE (after a new meta block)")
    read.add_argument("--force", action="store_true", help="overwrite an existing FILE")
    read.add_argument("--units", choices=("G", "T", "A/m"), help="measure in G, T or A/m")
    acdc = read.add_mutually_exclusive_group()
    acdc.add_argument("--ac", dest="acdc", action="store_const", const=1, help="measure AC (RMS)")
    acdc.add_argument("--dc", dest="acdc", action="store_const", const=0, help="measure DC")
    read.add_argument("--range", choices=("0", "1", "2", "auto"),
                      help="fixed range 0-2 (0 is the finest), or auto")
    read.add_argument("-q", "--quiet", action="store_true", help="no summary, no progress line")
    read.add_argument("--simulate", action="store_true", help="use the simulated meter")
    read.add_argument("--field", metavar="TESLA",
                      help="field of the simulated meter (default 0.0125 T, with noise and drift)")
    read.add_argument("--latency", metavar="SECONDS",
                      help="seconds each exchange with the simulated meter takes (default 0.001)")
    read.add_argument("--seed", type=int, metavar="N",
                      help="simulated meter: seed its noise and leave out the drift, so runs repeat")
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
                      help="image file (default: the log's name with .png; '-': standard output)")
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
