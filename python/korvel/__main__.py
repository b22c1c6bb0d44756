"""``python3 -m korvel``: take readings, and plot a logged run.

    python3 -m korvel read --simulate -n 10
    python3 -m korvel read -n 600 --interval 1 --format csv -o run.csv
    python3 -m korvel plot run.0001.csv run.0002.csv -o field.png

``read`` writes the same text, CSV and JSON-lines records as ``korvel read``,
so logs from either can be plotted (``plot`` takes several files, on
absolute time). Exit codes as the korvel program: 0 done,
1 the meter refused or the connection was lost, 2 usage error, 3 no meter.
"""

from __future__ import annotations

import argparse
import errno
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
from typing import Optional, Sequence

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


def format_summary(readings: int, seconds: float, field: Statistics, over_range: int = 0) -> str:
    """The end-of-run summary; the field statistics leave over-range readings
    out (their value is only the range's limit) and say how many there were."""
    if readings == 1:  # one reading has no rate
        out = "1 reading\n"
    else:
        rate = readings / seconds if seconds > 0 else 0.0
        out = "%d readings in %.3f s (%.1f readings/s)\n" % (readings, seconds, rate)
    if field.count:
        out += "field: min %s T, max %s T, mean %s T, standard deviation %s T\n" % (
            format_tesla(field.min), format_tesla(field.max), format_tesla(field.mean),
            format_tesla(field.standard_deviation))
    if over_range:
        out += "over range: %d reading%s, left out of the field figures\n" % (
            over_range, "" if over_range == 1 else "s")
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
                          ("--seed", args.seed), ("--latency", args.latency), ("--scale", args.scale)):
        if value is not None and not args.simulate:
            raise UsageError(f"{option} sets up the simulated meter: add --simulate")
    simulator = None
    if args.simulate:
        simulator = Simulator(args.library)
        if args.latency is not None:
            simulator.set_latency(_number("--latency", args.latency, "a number of seconds", 0))
        if args.scale is not None:
            try:
                scale = int(args.scale, 10)
            except ValueError:
                scale = -1
            if not 0 <= scale <= 255:
                raise UsageError("--scale must be a whole number from 0 to 255")
            for index in range(simulator.meter_count):
                simulator.set_scale(index, scale)
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


_MOST_FILES = 9999


def numbered_path(path: str, number: int) -> str:
    """"field.csv", 3 -> "field.0003.csv"; "field" -> "field.0003" (as korvel read)."""
    folder, name = os.path.split(path)
    stem, extension = os.path.splitext(name)
    return os.path.join(folder, f"{stem}.{number:04d}{extension}")


class _Log:
    """Standard output or a file, written a whole record at a time: a write
    that fails part way is cut back, so the file ends at a whole record.

    Rotated (--rotate-size, --rotate-time): numbered files, field.0001.csv,
    field.0002.csv, ...; --append onto a rotated set goes on in its last file,
    or in the next number when the run would not fit, so no full file gets
    another meta block."""

    def __init__(self, path: Optional[str], append: bool, force: bool, rotate_bytes: int = 0,
                 rotate_seconds: float = 0.0) -> None:
        self.path = path
        self.force = force
        self.rotate_bytes = rotate_bytes
        self.rotate_seconds = rotate_seconds
        self.number = 0
        self.continued = False
        self.existing_format: Optional[str] = None  # of the log appended to
        if not path or path == "-":
            if self.rotating:
                raise UsageError("--rotate-size and --rotate-time need a file: give -o FILE")
            if append or force:
                raise UsageError("--append and --force need a file: give -o FILE")
            self.fd = sys.stdout.fileno()
            sys.stdout.flush()
            self.size = 0
            return
        if self.rotating:
            self.number = 1
            if append:
                while self.number < _MOST_FILES and os.path.exists(numbered_path(path, self.number + 1)):
                    self.number += 1
                last = numbered_path(path, self.number)
                if os.path.isfile(last) and os.path.getsize(last) > 0:
                    # Goes on in the last file; a run that would not fit opens the next (run()).
                    self._open(last, True)
                    return
            elif not force and os.path.isfile(numbered_path(path, 1)):
                raise UsageError(f"{numbered_path(path, 1)} exists: --append continues that log, --force "
                                 "starts it afresh")
            self._open(numbered_path(path, self.number), False)
            return
        if os.path.isfile(path) and not (append or force):  # /dev/null is no log to keep
            raise UsageError(f"{path} exists: --append adds this run to it, --force overwrites it")
        self._open(path, append)
        if self.continued:
            self.existing_format = _format_of_file(path)
            if os.pread(self.fd, 1, self.size - 1) != b"\n":
                self.write("\n")  # a torn line from a power cut: end it

    @property
    def rotating(self) -> bool:
        return self.rotate_bytes > 0 or self.rotate_seconds > 0

    @property
    def name(self) -> str:
        return self.current if self.to_file else "standard output"

    def _open(self, path: str, append: bool) -> None:
        flags = os.O_CREAT | (os.O_RDWR | os.O_APPEND if append else os.O_WRONLY | os.O_TRUNC)
        try:
            self.fd = os.open(path, flags, 0o666)
        except OSError as error:
            raise UsageError(f"cannot create {path}: {error.strerror}") from None
        self.current = path
        self.size = os.fstat(self.fd).st_size
        self.continued = append and self.size > 0
        self.opened = time.monotonic()

    def _next_number(self) -> None:
        # A numbered file left by an older run is overwritten only under --force.
        while True:
            if self.number >= _MOST_FILES:
                raise OSError(errno.EMFILE, f"no number left after {numbered_path(self.path, self.number)}")
            self.number += 1
            if self.force or not os.path.exists(numbered_path(self.path, self.number)):
                return

    @property
    def to_file(self) -> bool:
        return bool(self.path) and self.path != "-"

    def wants_rotation(self, next_bytes: int) -> bool:
        """True when ``next_bytes`` more would pass --rotate-size, or the file
        has been open --rotate-time seconds (never for an empty file)."""
        if not self.rotating or self.size == 0:
            return False
        if self.rotate_bytes and self.size + next_bytes > self.rotate_bytes:
            return True
        return bool(self.rotate_seconds) and time.monotonic() - self.opened >= self.rotate_seconds

    def rotate(self) -> None:
        """Closes this file (synced) and opens the next number."""
        self.finish()
        self._next_number()
        self._open(numbered_path(self.path, self.number), False)

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


def _format_of_file(path: str) -> Optional[str]:
    """The format of a log appended to: JSON lines by its first byte,
    otherwise its meta block's ``# format:`` line, or CSV by its header line
    (a log from before the format key); None when it cannot be told (text)."""
    with open(path, "rb") as handle:
        head = handle.read(8192)
    if head[:1] == b"{":
        return "jsonl"
    for line in head.decode("utf-8", "replace").split("\n")[:-1]:
        if line.startswith("# format: "):
            return line[len("# format: "):]
        if line.startswith("timestamp,"):
            return "csv"
        if not line.startswith("#"):
            break
    return None


def command_read(args: argparse.Namespace) -> int:
    count = None if args.count is None else int(_number("-n", args.count, "a whole number", 1,
                                                        whole=True))
    duration = None if args.duration is None else _number("--duration", args.duration,
                                                          "a number of seconds", 0, low_open=True)
    interval = None if args.interval is None else _number("--interval", args.interval,
                                                          "a number of seconds", 0)
    rotate_bytes = 0 if args.rotate_size is None else int(_number(
        "--rotate-size", args.rotate_size, "a whole number of bytes", 1, whole=True))
    rotate_seconds = 0.0 if args.rotate_time is None else _number(
        "--rotate-time", args.rotate_time, "a number of seconds", 0, low_open=True)
    if args.append and args.force:
        raise UsageError("--append and --force exclude each other: choose one")
    to_file = bool(args.output) and args.output != "-"
    # -o names the format by its extension unless --format says otherwise.
    if args.format is None:
        args.format = _records.format_for_path(args.output) if to_file else "text"
    # As korvel read: one reading unless told how many or how long.
    if count is None and not args.continuous and duration is None:
        count = 1
    # Refused before the meter is touched.
    rotating = rotate_bytes > 0 or rotate_seconds > 0
    if to_file and not (args.append or args.force):
        if rotating and os.path.isfile(numbered_path(args.output, 1)):
            raise UsageError(f"{numbered_path(args.output, 1)} exists: --append continues that log, "
                             "--force starts it afresh")
        if not rotating and os.path.isfile(args.output):
            raise UsageError(f"{args.output} exists: --append adds this run to it, --force overwrites it")
    if rotating and not to_file:
        raise UsageError("--rotate-size and --rotate-time need a file: give -o FILE")
    meter = _open_meter(args)
    try:
        first_reading = _apply_settings(meter, args)
        log = _Log(args.output, args.append, args.force, rotate_bytes, rotate_seconds)
    except BaseException:
        meter.close()
        raise
    if log.existing_format not in (None, args.format):
        log.finish()
        meter.close()
        raise UsageError(f"{args.output} is not a {args.format} log: --append adds to a log of the "
                         "same --format")
    progress = log.to_file and sys.stderr.isatty() and not args.quiet
    field = Statistics()
    taken = 0
    over_range = 0
    status = EXIT_OK
    failure = ""
    first: Optional[float] = None
    last: Optional[float] = None

    def interrupt(_signum, _frame):
        raise _Interrupted()

    command = "python3 -m korvel " + " ".join(shlex.quote(word) for word in sys.argv[1:])

    def head() -> str:
        """The meta block (and CSV header) at the top of a file or an appended run."""
        # Text on a terminal gets no meta block; a text log file does.
        if args.format == "text" and not log.to_file:
            return ""
        out = _records.format_meta(
            args.format, __version__, meter.identity, meter.serial, meter.probe,
            first_reading.units.symbol, first_reading.acdc.name, first_reading.range,
            bool(first_reading.aux & 0x08), datetime.now(timezone.utc), socket.gethostname(), command,
            log.number)
        return out + (CSV_HEADER if args.format == "csv" and not log.continued else "")

    previous = signal.signal(signal.SIGINT, interrupt)
    try:
        if log.continued and log.wants_rotation(len(head().encode("utf-8"))):
            log.rotate()  # the appended run would overflow the last file of the set
        log.write(head())
        for reading in meter.stream(interval=interval, count=count, duration=duration):
            now = time.monotonic()
            if first is None:
                first = now
            record = format_record(args.format, reading, now - first)
            if log.wants_rotation(len(record.encode("utf-8"))):
                log.rotate()
                log.write(head())
            log.write(record)
            last = now
            taken += 1  # once it is in the file: the summary tells what the file holds
            if reading.over_range:
                over_range += 1
            else:
                field.add(reading.tesla)
            if progress:
                sys.stderr.write(f"\r{taken} readings, last {reading.text.strip()}  ")
                sys.stderr.flush()
    except _Interrupted:
        pass
    except ConnectionLost:
        status = EXIT_METER
        where = f"in {args.output}" if log.to_file and not rotating else (
            f"in {args.output}'s numbered files" if log.to_file else "on standard output")
        failure = (f"the meter stopped answering after {taken} reading(s): the connection was lost. "
                   f"Every reading taken is {where}. Check the cable and run again.")
    except OSError as error:
        status = EXIT_METER
        name = log.name
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
                failure = f"cannot write {log.name}: {error.strerror}"
        meter.close()
        if progress:
            sys.stderr.write("\n")
        if not args.quiet:
            seconds = last - first if first is not None and last is not None else 0.0
            sys.stderr.write(format_summary(taken, seconds, field, over_range))
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


def _segments(log) -> list:
    """The readings cut where the line must break: between runs and at gaps.
    Each segment is a list of readings in time order."""
    gap_starts = sorted((gap.run, gap.start) for gap in log.gaps)
    segments: list = []
    current: list = []
    for reading in log.readings:
        if current:
            previous = current[-1]
            broken = reading.run != previous.run or any(
                run == reading.run and previous.timestamp <= start < reading.timestamp
                for run, start in gap_starts)
            if broken:
                segments.append(current)
                current = []
        current.append(reading)
    if current:
        segments.append(current)
    return segments


def command_plot(args: argparse.Namespace) -> int:
    from .logs import LogError, read_log
    try:
        log = read_log(args.logs)
    except LogError as error:
        raise UsageError(str(error)) from None
    except OSError as error:
        raise UsageError(f"cannot read {error.filename}: {error.strerror}") from None
    with_value = [r for r in log.readings if r.tesla is not None]
    if not with_value:
        raise UsageError(f"{', '.join(args.logs)}: no reading with a value to plot")
    try:
        import matplotlib
    except ImportError:
        raise PlotUnavailable() from None
    matplotlib.use("Agg")
    import matplotlib.dates as mdates
    import matplotlib.pyplot as plt

    units = [r.units for r in with_value if r.units]
    family = args.unit_family or (max(set(units), key=units.count) if units else "T")
    valid = [r.tesla for r in with_value if not r.over_range]
    name, per = choose_display_unit(valid or [r.tesla for r in with_value], family)
    figure, axes = plt.subplots(figsize=(10, 4.5), dpi=100)
    serials = log.serials
    colours = {serial: f"C{i}" for i, serial in enumerate(serials)}
    labelled = set()
    for segment in _segments(log):
        run = log.runs[segment[0].run - 1]
        colour = colours.get(run.serial, "C0")
        # The line joins measured values only; a pinned reading is a mark.
        times = [r.timestamp for r in segment]
        values = [float("nan") if r.tesla is None or r.over_range else r.tesla / per for r in segment]
        label = run.serial if run.serial and run.serial not in labelled and len(serials) > 1 else None
        labelled.add(run.serial)
        axes.plot(times, values, color=colour, linewidth=1, label=label,
                  marker="." if len(log.readings) < 200 else None, markersize=3)
    pinned = [r for r in with_value if r.over_range]
    if pinned:
        axes.plot([r.timestamp for r in pinned], [r.tesla / per for r in pinned], linestyle="none",
                  marker="x", color="red", label="over range (the field is beyond this)")
    axes.xaxis.set_major_formatter(mdates.ConciseDateFormatter(axes.xaxis.get_major_locator(), tz="UTC"))
    axes.set_xlabel("time (UTC)")
    axes.set_ylabel(f"field ({name})")
    title = args.title
    if not title:
        title = (("meter " if len(serials) == 1 else "meters ") + ", ".join(serials)) if serials else \
            os.path.basename(args.logs[0])
    axes.set_title(title)
    if pinned or len(serials) > 1:
        axes.legend(loc="best")
    axes.grid(True, alpha=0.3)
    figure.tight_layout()
    output = args.output or os.path.splitext(log.files[0])[0] + ".png"
    if output == "-":  # standard output, as -o - everywhere
        figure.savefig(sys.stdout.buffer, format="png")
        sys.stdout.buffer.flush()
    else:
        figure.savefig(output)
    plt.close(figure)
    sys.stderr.write(f"{len(with_value)} readings from {len(log.files)} file(s), {len(log.runs)} run(s) "
                     f"plotted to {'standard output' if output == '-' else output}\n")
    return EXIT_OK


class PlotUnavailable(Exception):
    """matplotlib is missing."""


# --------------------------------------------------------------------- main

def program_name(argv0: Optional[str] = None) -> str:
    """The program as it was run: ``korvel-py`` (or whatever the entry point
    is called), or ``python3 -m korvel``."""
    argv0 = sys.argv[0] if argv0 is None else argv0
    base = os.path.basename(argv0 or "")
    if not base or base in ("__main__.py", "-c") or base.startswith("python"):
        return "python3 -m korvel"
    return base


def build_parser(prog: Optional[str] = None) -> argparse.ArgumentParser:
    prog = prog or program_name()
    parser = argparse.ArgumentParser(
        prog=prog, description="Korvel magnetic-field meter from Python.",
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
        epilog=f"example: {prog} read --simulate -n 10 -o run.csv")
    read.add_argument("-n", "--count", metavar="COUNT", help="number of readings (default 1)")
    read.add_argument("--duration", metavar="SECONDS", help="take readings this long")
    read.add_argument("--continuous", action="store_true", help="take readings until Ctrl-C")
    read.add_argument("--interval", metavar="SECONDS",
                      help="time between readings (default: as fast as the meter answers)")
    read.add_argument("--format", choices=("text", "csv", "jsonl"),
                      help="record format (default: by the extension of -o FILE - .csv, .jsonl or "
                           ".ndjson - otherwise text)")
    read.add_argument("-o", "--output", metavar="FILE",
                      help="write records to FILE ('-': standard output); an existing FILE is "
                           "refused unless --append or --force")
    read.add_argument("--append", action="store_true",
                      help="add this run to an existing FILE (after a new meta block)")
    read.add_argument("--force", action="store_true", help="overwrite an existing FILE")
    read.add_argument("--rotate-size", metavar="BYTES",
                      help="start a new numbered file (FILE.0001.csv, ...) before one grows past BYTES; "
                           "with --append the run starts in the next number")
    read.add_argument("--rotate-time", metavar="SECONDS", help="start a new numbered file every SECONDS")
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
    read.add_argument("--scale", metavar="N",
                      help="scale code the simulated meter reports (0 to 255; 4 and 5 count A/m in "
                           "kA/m)")
    read.add_argument("--seed", type=int, metavar="N",
                      help="simulated meter: seed its noise and leave out the drift, so runs repeat")
    read.add_argument("--library", metavar="PATH", help="load this library file")
    read.add_argument("--meter", metavar="SERIAL", help="the meter with this serial number")
    read.add_argument("--unplug-after", type=float, metavar="SECONDS",
                      help="pull the simulated meter's cable after this long (try a lost meter)")
    read.set_defaults(run=command_read)

    plot = commands.add_parser(
        "plot", help="plot logged runs",
        description="Plot the field against time (UTC) from korvel read logs: CSV, JSON lines or "
                    "text, one file or several (appended runs and rotated sets in order). The line "
                    "breaks between runs and where the meter was lost; over-range readings are "
                    "marked. Needs matplotlib.",
        epilog=f"example: {prog} plot field.0001.csv field.0002.csv -o field.png")
    plot.add_argument("logs", nargs="+", metavar="FILE",
                      help="log written by korvel read (a rotated set's name reads the whole set)")
    plot.add_argument("-o", "--output", metavar="FILE",
                      help="image file (default: the first log's name with .png; '-': standard output)")
    plot.add_argument("--unit-family", choices=("T", "G", "A/m"),
                      help="plot in tesla, gauss or A/m (default: the units of the log)")
    plot.add_argument("--title", help="title of the plot (default: the meters' serial numbers)")
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
    except PlotUnavailable:
        sys.stderr.write("korvel: plotting needs matplotlib: install it with 'sudo apt install "
                         "python3-matplotlib' (Debian) or 'pip install matplotlib'.\n")
        return EXIT_METER
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
