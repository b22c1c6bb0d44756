"""The records of a logged run, as ``korvel read`` writes them.

The one definition for the Python side of the schema in docs/records.md: the
CSV columns, the JSON-lines keys and how every number is written. The korvel
program writes the same bytes for the same reading (a test runs both on one
seeded simulated meter and compares them field by field).
"""

from __future__ import annotations

import os
from datetime import datetime, timezone
from typing import Optional, Sequence, Tuple

#: The CSV columns, in order.
COLUMNS = ("timestamp", "elapsed_s", "tesla", "text", "units", "range", "acdc", "counts", "over_range")
CSV_HEADER = ",".join(COLUMNS) + "\n"
#: The meta block's keys, in order (``file`` only in a rotated log).
META_KEYS = ("korvel", "format", "records", "meter", "serial", "probe", "units", "acdc", "range",
             "auto_range", "start", "host", "command")
#: The version of the record layout the meta block's ``records`` names (logs
#: from before it have no ``format`` and ``records`` keys and no over_range).
RECORDS_VERSION = 2
#: The formats, and the one an output file's extension chooses.
FORMATS = ("text", "csv", "jsonl")


def format_for_path(path: str) -> str:
    """The format ``-o PATH`` writes when no --format is given: .csv is CSV,
    .jsonl and .ndjson JSON lines, anything else text."""
    extension = os.path.splitext(path)[1].lower()
    return {".csv": "csv", ".jsonl": "jsonl", ".ndjson": "jsonl"}.get(extension, "text")


def iso_timestamp(moment: datetime) -> str:
    """ISO-8601 UTC with microseconds: 2024-05-01T12:34:56.789012Z."""
    return moment.astimezone(timezone.utc).strftime("%Y-%m-%dT%H:%M:%S.%fZ")


def format_tesla(tesla: float) -> str:
    """Every digit the meter resolves: C's %.7g."""
    return "%.7g" % tesla


def format_elapsed(seconds: float) -> str:
    """Seconds since the first reading, six decimals (microseconds)."""
    return "%.6f" % seconds


def csv_field(text: str) -> str:
    if not any(c in text for c in ",\"\r\n"):
        return text
    return '"' + text.replace('"', '""') + '"'


def json_string(text: str) -> str:
    """A JSON string as the korvel program writes it: only ``"`` and ``\\``
    escaped by a backslash, other control characters as \\u00XX."""
    out = ['"']
    for c in text:
        if c in '"\\':
            out.append("\\" + c)
        elif ord(c) < 0x20 or ord(c) == 0x7F:
            out.append("\\u%04x" % ord(c))
        else:
            out.append(c)
    out.append('"')
    return "".join(out)


def _one_line(text: str) -> str:
    return "".join("?" if ord(c) < 0x20 or ord(c) == 0x7F else c for c in text)


def is_over_range(counts: int) -> bool:
    """The meter pins at +32767 / -32767 when the field does not fit the
    range (-32768 is over range too)."""
    return abs(counts) >= 32767


def format_record(fmt: str, stamp: datetime, elapsed: float, tesla: Optional[float], text: str,
                  units: str, range_: int, acdc: str, counts: int) -> str:
    """One reading record, ending in a line feed (text, csv or jsonl)."""
    when = iso_timestamp(stamp)
    over = is_over_range(counts)
    if fmt == "csv":
        return (f"{when},{format_elapsed(elapsed)},{'' if tesla is None else format_tesla(tesla)},"
                f"{csv_field(text)},{csv_field(units)},{range_},{csv_field(acdc)},{counts},"
                f"{'true' if over else 'false'}\n")
    if fmt == "jsonl":
        return (f'{{"timestamp":{json_string(when)},"elapsed_s":{format_elapsed(elapsed)},'
                f'"tesla":{"null" if tesla is None else format_tesla(tesla)},"text":{json_string(text)},'
                f'"units":{json_string(units)},"range":{range_},"acdc":{json_string(acdc)},'
                f'"counts":{counts},"over_range":{"true" if over else "false"}}}\n')
    shown = "(no value)" if tesla is None else format_tesla(tesla) + " T"
    return "%s  %10.3f s  %10s  %14s  %s  range %d%s\n" % (when, elapsed, text.lstrip(" "), shown, acdc,
                                                           range_, "  OVER RANGE" if over else "")


def format_meta(fmt: str, version: str, meter: str, serial: str, probe: str, units: str, acdc: str,
                range_: int, auto_range: bool, start: datetime, host: str, command: str,
                file: int = 0) -> str:
    """The meta block: comment lines in CSV and in a text log file, one JSON
    record in JSON lines. (Text on a terminal gets none: the caller asks for
    it only when writing a file.)"""
    values: Sequence[Tuple[str, object]] = (
        ("format", fmt), ("records", RECORDS_VERSION), ("meter", meter), ("serial", serial), ("probe", probe), ("units", units), ("acdc", acdc),
        ("range", range_), ("auto_range", auto_range), ("start", iso_timestamp(start)),
        ("host", host), ("command", command))
    if fmt in ("csv", "text"):
        out = f"# korvel {_one_line(version)}\n"
        for key, value in values:
            shown = ("on" if value else "off") if isinstance(value, bool) else str(value)
            out += f"# {key}: {_one_line(shown)}\n"
        if file > 0:
            out += f"# file: {file}\n"
        return out
    if fmt == "jsonl":
        parts = ['"type":"meta"', f'"korvel":{json_string(version)}']
        for key, value in values:
            if isinstance(value, bool):
                shown = "true" if value else "false"
            elif isinstance(value, int):
                shown = str(value)
            else:
                shown = json_string(str(value))
            parts.append(f'"{key}":{shown}')
        if file > 0:
            parts.append(f'"file":{file}')
        return "{" + ",".join(parts) + "}\n"
    raise ValueError(f"unknown log format {fmt!r}")


def format_gap(fmt: str, start: datetime, end: datetime) -> str:
    """An outage of the meter: a CSV/text comment line or a JSON-lines record."""
    if fmt == "jsonl":
        return (f'{{"type":"gap","from":{json_string(iso_timestamp(start))},'
                f'"to":{json_string(iso_timestamp(end))}}}\n')
    return (f"# gap: from {iso_timestamp(start)} to {iso_timestamp(end)} "
            "(the meter was lost and came back)\n")
