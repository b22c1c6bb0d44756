"""Reading Korvel logs back: ``korvel.read_log``.

Reads what ``korvel read`` and ``python3 -m korvel read`` write (CSV, JSON
lines, text; docs/records.md): one file or several, runs appended to one file,
rotated sets (``field.0001.csv``, ``field.0002.csv``, ...)::

    log = korvel.read_log("field.csv")          # or a rotated set, or a list
    for reading in log.readings:
        print(reading.timestamp, reading.tesla, reading.over_range)
    frame = log.to_pandas()                     # needs pandas

Runs: every meta block starts a run, except the block at the top of a
rotated file whose first reading goes on counting ``elapsed_s`` (a run's
first reading is at 0): that file continues the run before it. A line that
is not a Korvel record - a log from another program, a line torn by a power
cut - raises :class:`LogError` naming the file and line; nothing is guessed.
"""

from __future__ import annotations

import csv
import glob
import json
import os
import re
from dataclasses import dataclass, field
from datetime import datetime, timezone
from typing import Dict, Iterable, List, Optional, Sequence, Union

from .errors import KorvelError

PathLike = Union[str, "os.PathLike[str]"]

_STAMP = "%Y-%m-%dT%H:%M:%S.%fZ"
# text: stamp, elapsed (3 decimals), the meter's text, tesla or "(no value)",
# AC/DC, range, and the over-range mark.
_TEXT = re.compile(r"^(\S+)  +(-?\d+\.\d+) s  +(\S+)  +(\S+ T|\(no value\))  (\S+(?: \d+)?)  range (\d+)"
                   r"(  OVER RANGE)?$")
_LETTERS_UNITS = (("Am", "A/m"), ("A", "A/m"), ("G", "G"), ("T", "T"))
_CSV_COLUMNS = ("timestamp", "elapsed_s", "tesla", "text", "units", "range", "acdc", "counts")
_META_NUMBERS = ("range", "records", "file")


class LogError(KorvelError):
    """A file is not a Korvel log, or a line of it is damaged; ``path`` and
    ``line`` (1-based) say where."""

    def __init__(self, path: str, line: int, problem: str) -> None:
        super().__init__(f"{path}, line {line}: {problem}")
        self.path = path
        self.line = line
        self.problem = problem


@dataclass(frozen=True)
class LoggedReading:
    """One reading record of a log."""

    timestamp: datetime       #: when the reading was asked for (UTC)
    elapsed_s: float          #: seconds since the run's first reading
    tesla: Optional[float]    #: the field in tesla (None: the reading had no value)
    text: str                 #: the meter's own text
    units: str                #: ``G``, ``T`` or ``A/m``
    range: int
    acdc: str                 #: ``DC`` or ``AC``
    counts: Optional[int]     #: the raw count (None in text logs, which do not hold it)
    over_range: bool          #: the field did not fit the range
    run: int                  #: run number, 1 for the first run read
    path: str                 #: the file it came from
    line: int                 #: its line there


@dataclass(frozen=True)
class Gap:
    """The meter was lost from ``start`` to ``end`` (UTC) during run ``run``."""

    start: datetime
    end: datetime
    run: int
    path: str
    line: int


@dataclass
class Run:
    """One run: its meta block (empty for a log without one, such as text
    captured from a terminal) and the meta blocks of the rotated files that
    continue it."""

    number: int
    meta: Dict[str, object]
    continued_in: List[Dict[str, object]] = field(default_factory=list)

    @property
    def serial(self) -> Optional[str]:
        value = self.meta.get("serial")
        return str(value) if value else None


@dataclass
class Log:
    """What :func:`read_log` returns."""

    files: List[str]
    runs: List[Run]
    readings: List[LoggedReading]
    gaps: List[Gap]
    #: lines left out by ``read_log(..., skip_damaged=True)``, each a LogError
    damaged: List[LogError] = field(default_factory=list)

    @property
    def meta(self) -> List[Dict[str, object]]:
        """The meta blocks, one per run."""
        return [run.meta for run in self.runs]

    @property
    def serials(self) -> List[str]:
        """The serial numbers of the meters in the log, in order of first appearance."""
        seen: List[str] = []
        for run in self.runs:
            if run.serial and run.serial not in seen:
                seen.append(run.serial)
        return seen

    def to_pandas(self):
        """A DataFrame: one row per reading with a UTC DatetimeIndex
        (``timestamp``), the record's columns and ``run``; ``.attrs`` holds
        ``meta`` (one block per run), ``gaps`` (start, end, run) and ``files``."""
        try:
            import pandas as pd
        except ImportError:
            raise KorvelError("to_pandas needs pandas: install python3-pandas (Debian) or "
                              "'pip install pandas'") from None
        columns = ("elapsed_s", "tesla", "text", "units", "range", "acdc", "counts", "over_range", "run")
        data = {name: [getattr(r, name) for r in self.readings] for name in columns}
        data["counts"] = pd.array(data["counts"], dtype="Int64")  # missing in text logs
        data["tesla"] = [float("nan") if t is None else t for t in data["tesla"]]
        index = pd.DatetimeIndex([r.timestamp for r in self.readings], name="timestamp")
        if index.tz is None:
            index = index.tz_localize("UTC")
        frame = pd.DataFrame(data, index=index)
        frame.attrs["meta"] = self.meta
        frame.attrs["gaps"] = [(g.start, g.end, g.run) for g in self.gaps]
        frame.attrs["files"] = list(self.files)
        return frame


def _numbered(path: str, number: int) -> str:
    """"field.csv", 3 -> "field.0003.csv" (as the writer names rotated files)."""
    folder, name = os.path.split(path)
    stem, extension = os.path.splitext(name)
    if not stem:  # ".csv" has no extension of its own
        stem, extension = name, ""
    return os.path.join(folder, f"{stem}.{number:04d}{extension}")


def _expand(path: str) -> List[str]:
    """A file, or the rotated set its name stands for when it does not exist itself."""
    if os.path.exists(path):
        return [path]
    found = []
    number = 1
    while os.path.exists(_numbered(path, number)):
        found.append(_numbered(path, number))
        number += 1
    if not found:
        # A set whose first files were removed: whatever numbers are there.
        folder, name = os.path.split(path)
        stem, extension = os.path.splitext(name)
        pattern = os.path.join(glob.escape(folder), glob.escape(stem) + ".[0-9][0-9][0-9][0-9]"
                               + glob.escape(extension))
        found = sorted(glob.glob(pattern))
    if not found:
        raise FileNotFoundError(2, "No such file or directory (nor a rotated set of that name)", path)
    return found


def _stamp(text: str, path: str, line: int) -> datetime:
    try:
        return datetime.strptime(text, _STAMP).replace(tzinfo=timezone.utc)
    except ValueError:
        raise LogError(path, line, f"{text!r} is not a UTC timestamp") from None


def _units_of_text(text: str) -> str:
    for letters, units in _LETTERS_UNITS:
        if text.endswith(letters):
            return units
    return ""


class _Reader:
    """Turns the lines of the files into runs, readings and gaps."""

    def __init__(self) -> None:
        self.runs: List[Run] = []
        self.readings: List[LoggedReading] = []
        self.gaps: List[Gap] = []
        self._pending: Optional[Dict[str, object]] = None  # a meta block not yet given a run

    # A run is decided when its first reading (or the next block) arrives.
    def meta(self, block: Dict[str, object]) -> None:
        self._settle(None)
        self._pending = block

    def _settle(self, first_elapsed: Optional[float]) -> None:
        block = self._pending
        if block is None:
            if not self.runs and first_elapsed is not None:
                self.runs.append(Run(1, {}))  # a log without a meta block
            return
        self._pending = None
        rotated = isinstance(block.get("file"), int) and int(block["file"]) > 1
        if rotated and self.runs and first_elapsed is not None and first_elapsed > 0:
            self.runs[-1].continued_in.append(block)
        else:
            self.runs.append(Run(len(self.runs) + 1, block))

    def reading(self, path: str, line: int, stamp: datetime, elapsed: float, tesla: Optional[float],
                text: str, units: str, range_: int, acdc: str, counts: Optional[int], over: bool) -> None:
        self._settle(elapsed)
        self.readings.append(LoggedReading(stamp, elapsed, tesla, text, units, range_, acdc, counts, over,
                                           self.runs[-1].number, path, line))

    def gap(self, path: str, line: int, start: datetime, end: datetime) -> None:
        self._settle(1.0)  # a gap comes after readings: the run goes on
        self.gaps.append(Gap(start, end, self.runs[-1].number, path, line))

    def finish(self) -> None:
        self._settle(None)


def _meta_value(key: str, value: str):
    if key == "auto_range":
        return value == "on"
    if key in _META_NUMBERS and re.fullmatch(r"-?\d+", value):
        return int(value)
    return value


def _read_commented(path: str, lines: Sequence[str], reader: _Reader,
                    damaged: Optional[List[LogError]]) -> None:
    """CSV and text: ``#`` meta blocks and gap lines, then records."""
    columns: Optional[List[str]] = None
    block: Optional[Dict[str, object]] = None
    kind: Optional[str] = None  # "csv" or "text", from the meta block or the first record
    for number, line in enumerate(lines, start=1):
        try:
            if line.startswith("# korvel "):
                block = {"korvel": line[len("# korvel "):]}
                reader.meta(block)
                continue
            if line.startswith("# gap: "):
                match = re.fullmatch(r"# gap: from (\S+) to (\S+) \(.*\)", line)
                if not match:
                    raise LogError(path, number, "a damaged gap line")
                block = None
                reader.gap(path, number, _stamp(match.group(1), path, number),
                           _stamp(match.group(2), path, number))
                continue
            if line.startswith("# ") and block is not None and ": " in line:
                key, _, value = line[2:].partition(": ")
                block[key] = _meta_value(key, value)
                if key == "format" and value in ("csv", "text"):
                    kind = value
                continue
            if line.startswith("#"):
                raise LogError(path, number, "a comment line the Korvel writers never write")
            block = None
            if line.startswith("timestamp,"):
                columns = next(csv.reader([line]))
                if tuple(columns[:len(_CSV_COLUMNS)]) != _CSV_COLUMNS:
                    raise LogError(path, number, "a CSV header that is not Korvel's")
                kind = "csv"
                continue
            if kind == "csv" or (kind is None and columns is not None):
                if columns is None:
                    raise LogError(path, number, "a CSV record before the header line")
                _csv_record(path, number, line, columns, reader)
            else:
                _text_record(path, number, line, reader)
        except LogError as error:
            if damaged is None:
                raise
            damaged.append(error)


def _csv_record(path: str, number: int, line: str, columns: List[str], reader: _Reader) -> None:
    values = next(csv.reader([line]), [])
    if len(values) != len(columns):
        raise LogError(path, number, f"{len(values)} fields where the header has {len(columns)} "
                                     "(a torn or foreign line)")
    row = dict(zip(columns, values))
    try:
        counts = int(row["counts"])
        tesla = float(row["tesla"]) if row["tesla"] else None
        over = row["over_range"] == "true" if "over_range" in row else abs(counts) >= 32767
        if "over_range" in row and row["over_range"] not in ("true", "false"):
            raise ValueError("over_range is neither true nor false")
        reader.reading(path, number, _stamp(row["timestamp"], path, number), float(row["elapsed_s"]), tesla,
                       row["text"], row["units"], int(row["range"]), row["acdc"], counts, over)
    except ValueError as error:
        raise LogError(path, number, f"a damaged record ({error})") from None


def _text_record(path: str, number: int, line: str, reader: _Reader) -> None:
    match = _TEXT.match(line)
    if not match:
        raise LogError(path, number, "not a Korvel record (a torn line, or a file another program wrote)")
    stamp, elapsed, text, tesla, acdc, range_, over = match.groups()
    value = None if tesla == "(no value)" else float(tesla[:-2])
    reader.reading(path, number, _stamp(stamp, path, number), float(elapsed), value, text,
                   _units_of_text(text), int(range_), acdc, None, over is not None)


def _read_jsonl(path: str, lines: Sequence[str], reader: _Reader,
                damaged: Optional[List[LogError]]) -> None:
    for number, line in enumerate(lines, start=1):
        try:
            try:
                record = json.loads(line)
            except ValueError:
                raise LogError(path, number, "not a JSON record (a torn line, or a file another program "
                                             "wrote)") from None
            if not isinstance(record, dict):
                raise LogError(path, number, "not a Korvel record")
            kind = record.get("type")
            try:
                if kind == "meta":
                    block = {key: value for key, value in record.items() if key != "type"}
                    reader.meta(block)
                elif kind == "gap":
                    reader.gap(path, number, _stamp(record["from"], path, number), _stamp(record["to"], path, number))
                elif kind is None:
                    counts = int(record["counts"])
                    tesla = record["tesla"]
                    over = record.get("over_range", abs(counts) >= 32767)
                    if not isinstance(over, bool):
                        raise ValueError("over_range is not true or false")
                    reader.reading(path, number, _stamp(record["timestamp"], path, number),
                                   float(record["elapsed_s"]), None if tesla is None else float(tesla),
                                   str(record["text"]), str(record["units"]), int(record["range"]),
                                   str(record["acdc"]), counts, over)
                else:
                    raise LogError(path, number, f"a record of type {kind!r} the Korvel writers never write")
            except (KeyError, TypeError, ValueError) as error:
                raise LogError(path, number, f"a damaged record ({error!r})") from None
        except LogError as error:
            if damaged is None:
                raise
            damaged.append(error)


def read_log(paths: Union[PathLike, Iterable[PathLike]], as_frame: bool = False,
             skip_damaged: bool = False):
    """Read one Korvel log or several (in the order given), as a :class:`Log`
    (or its DataFrame with ``as_frame=True``).

    A name that does not exist itself but has a rotated set (``field.csv``
    for ``field.0001.csv``, ``field.0002.csv``, ...) reads the whole set in
    order. Raises :class:`LogError` (with the file and line) for a line that
    is not a Korvel record, and OSError for a file that cannot be read.
    With ``skip_damaged=True`` such lines (a record torn by a power cut, which
    an appended run leaves in the middle of a file) are left out instead and
    listed in ``Log.damaged``.
    """
    if isinstance(paths, (str, os.PathLike)):
        paths = [paths]
    files: List[str] = []
    for path in paths:
        files.extend(_expand(os.fspath(path)))
    if not files:
        raise ValueError("read_log needs at least one file")
    reader = _Reader()
    damaged: Optional[List[LogError]] = [] if skip_damaged else None
    for path in files:
        with open(path, "rb") as handle:
            data = handle.read()
        try:
            text = data.decode("utf-8")
        except UnicodeDecodeError as error:
            line = data[:error.start].count(b"\n") + 1
            raise LogError(path, line, "not UTF-8 text: not a Korvel log") from None
        lines = text.split("\n")
        if lines and lines[-1] == "":
            lines.pop()  # the line feed that ends the last record
        elif lines:
            # The writers end every record with a line feed: this one was cut off.
            torn = LogError(path, len(lines), "the last line is torn (no line end): the run was cut off "
                                              "while writing it")
            if damaged is None:
                raise torn
            damaged.append(torn)
            lines.pop()
        lines = [line[:-1] if line.endswith("\r") else line for line in lines]
        first = next((line for line in lines if line.strip()), "")
        if not first:
            continue
        if first.startswith("{"):
            _read_jsonl(path, lines, reader, damaged)
        else:
            _read_commented(path, lines, reader, damaged)
    reader.finish()
    log = Log(files, reader.runs, reader.readings, reader.gaps, damaged or [])
    return log.to_pandas() if as_frame else log
