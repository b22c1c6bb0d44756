"""A PyMeasure instrument for the Korvel meter, reached through ``korvel serve``.

Run the bridge next to the meter (``korvel serve``, or ``korvel serve
--simulate`` to try it), then in a PyMeasure procedure::

    from korvel.pymeasure import KorvelMeter
    meter = KorvelMeter("TCPIP0::127.0.0.1::5025::SOCKET")
    meter.units = "DC TESLA"
    meter.range = 1
    print(meter.field)        # tesla, float
    print(meter.field_text)   # the meter's own text, e.g. "0.0125T"

Needs PyMeasure and PyVISA with a backend that speaks TCP sockets (Debian:
``python3-pymeasure``, ``python3-pyvisa``, ``python3-pyvisa-py``).
"""

from __future__ import annotations

import re
from typing import Any, Dict, Tuple

from pymeasure.instruments import Instrument
from pymeasure.instruments.validators import strict_discrete_set

from .types import MU0

#: Tesla per unit of the letters that end a ``:MEAS:FLUX?`` reply: "A" is
#: kA/m (the meter's A/m rows with scale codes 4 and 5), "Am" A/m.
_LETTERS = {"G": 1e-4, "T": 1.0, "A": 1000.0 * MU0, "AM": MU0}
_READING = re.compile(r"^\s*([-+]?\d+(?:\.\d*)?)\s*(G|T|Am|A)\s*$", re.IGNORECASE)

#: :UNIT:FLUX? replies and the command tail that selects each.
UNITS: Dict[str, str] = {
    "DC GAUSS": "DC:GAUS", "AC GAUSS": "AC:GAUS",
    "DC TESLA": "DC:TESL", "AC TESLA": "AC:TESL",
    "DC AM": "DC:AM", "AC AM": "AC:AM",
}


class MeterReplyError(ValueError):
    """The meter (or the bridge) answered with text that is not a value, or
    refused a command."""


def parse_field(reply: Any) -> float:
    """Tesla from a ``:MEAS:FLUX?`` reply such as ``"123.4G"`` or ``"  120G"``."""
    text = reply if isinstance(reply, str) else ",".join(str(part) for part in reply)
    match = _READING.match(text)
    if not match:
        raise MeterReplyError(f"the meter answered {text!r} instead of a reading")
    return float(match.group(1)) * _LETTERS[match.group(2).upper()]


def _parse_int(reply: Any) -> int:
    try:
        return int(float(reply))
    except (TypeError, ValueError):
        raise MeterReplyError(f"the meter answered {reply!r} instead of a number") from None


def _units_reply(reply: Any) -> str:
    text = str(reply).strip()
    if text not in UNITS:
        raise MeterReplyError(f"the meter answered {text!r} instead of its units")
    return text


class KorvelMeter(Instrument):
    """Korvel magnetic-field meter (gaussmeter/teslameter) over a VISA socket.

    ``adapter`` is a VISA resource name such as
    ``"TCPIP0::127.0.0.1::5025::SOCKET"`` (the ``korvel serve`` bridge) or a
    PyMeasure adapter. The VISA library defaults to ``"@py"`` (pyvisa-py) and
    the terminations to ``"\\n"``.
    """

    def __init__(self, adapter: Any = "TCPIP0::127.0.0.1::5025::SOCKET",
                 name: str = "Korvel magnetic-field meter", **kwargs: Any) -> None:
        if isinstance(adapter, str):
            kwargs.setdefault("visa_library", "@py")
            kwargs.setdefault("read_termination", "\n")
            kwargs.setdefault("write_termination", "\n")
            kwargs.setdefault("timeout", 5000)
        super().__init__(adapter, name, includeSCPI=True, **kwargs)

    field = Instrument.measurement(
        ":MEAS:FLUX?",
        """The field in tesla (float), from the meter's formatted reading.""",
        get_process=parse_field,
    )

    field_text = Instrument.measurement(
        ":MEAS:FLUX?",
        """The reading as the meter formats it, e.g. ``"123.4G"`` (str).""",
        get_process=lambda reply: reply if isinstance(reply, str) else ",".join(map(str, reply)),
        cast=str,
    )

    units = Instrument.control(
        ":UNIT:FLUX?", ":UNIT:FLUX:%s",
        """Units and coupling: one of ``"DC GAUSS"``, ``"AC GAUSS"``,
        ``"DC TESLA"``, ``"AC TESLA"``, ``"DC AM"``, ``"AC AM"`` (str).""",
        validator=strict_discrete_set,
        values=tuple(UNITS),
        get_process=_units_reply,
        set_process=lambda value: UNITS[value],
        cast=str,
    )

    range = Instrument.control(
        ":SENS:FLUX:RANG?", ":SENS:FLUX:RANG %d",
        """Measurement range, 0 (finest) to 2 (int).""",
        validator=strict_discrete_set,
        values=(0, 1, 2),
        get_process=_parse_int,
    )

    hold = Instrument.control(
        ":SENS:HOLD:STAT?", ":SENS:HOLD:STAT %d",
        """Hold mode, 0 (off) to 3 (int).""",
        validator=strict_discrete_set,
        values=(0, 1, 2, 3),
        get_process=_parse_int,
    )

    relative = Instrument.control(
        ":SYST:AREL:STAT?", ":SYST:AREL:STAT %d",
        """Relative mode, 0 (off) to 2 (int).""",
        validator=strict_discrete_set,
        values=(0, 1, 2),
        get_process=_parse_int,
    )

    auto_range = Instrument.setting(
        ":SENS:FLUX:RANG:AUT %d",
        """Automatic range selection, True or False (set only).""",
        validator=strict_discrete_set,
        values=(True, False, 0, 1),
        set_process=int,
    )

    def reset_hold(self) -> None:
        """Release the held value."""
        self.write(":SENS:HOLD:RES")

    def clear(self) -> None:
        """Clear the status event registers (``*CLS``)."""
        self.write("*CLS")

    def next_error(self) -> Tuple[int, str]:
        """The oldest entry of the meter's error queue as (code, text);
        ``(0, "NO ERROR")`` when it is empty."""
        reply = self.ask(":SYST:ERR?").strip()
        code, _, text = reply.partition(",")
        return _parse_int(code), text.strip()

    def check_errors(self) -> list:
        """Every entry of the error queue, drained (PyMeasure's convention)."""
        errors = []
        for _ in range(256):
            code, text = self.next_error()
            if code == 0:
                break
            errors.append((code, text))
        return errors
