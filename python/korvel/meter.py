"""The :class:`Meter` class: one open connection to a Korvel meter."""

from __future__ import annotations

import ctypes
import threading
import time
from datetime import datetime, timezone
from typing import Iterator, List, Optional, Sequence, Tuple, Union

from . import _format, _library
from .errors import (ConnectionLost, InvalidReading, KorvelError, MeterMemoryError,
                     MeterNotFound, TransferRefused)
from .types import AcDc, LcdImage, Packet, Reading, RegisterSet, Units

#: The texts of the meter's error numbers, as ``:SYST:ERR?`` gives them.
ERROR_TEXTS = {
    0: "NO ERROR",
    3: "INVALID METER CAL DATA",
    40: "UNABLE TO READ PROBE CAL DATA",
    43: "INVALID PROBE CAL DATA",
    44: "INVALID PROBE CAL DATA",
    45: "INVALID PROBE CAL DATA",
    98: "INVALID PROBE CAL DATA",
    99: "METER CALIBRATION ERROR",
    60: "METER CALIBRATION ERROR",
    61: "METER CALIBRATION ERROR",
    62: "METER CALIBRATION ERROR",
    63: "METER CALIBRATION ERROR",
    64: "METER CALIBRATION ERROR",
    65: "METER CALIBRATION ERROR",
    66: "METER CALIBRATION ERROR",
    67: "METER CALIBRATION ERROR",
    -120: "NUMERIC DATA ERROR",
    -103: "INVALID SEPARATOR",
    -201: "NOT IN MEASURE MODE",
    -224: "ILLEGAL PARAMETER ERROR",
    -363: "INPUT BUFFER OVERRUN",
    -102: "SYNTAX ERROR",
    -100: "COMMAND ERROR",
}
UNKNOWN_ERROR = "UNKNOWN ERROR"

#: The most bytes one memory frame carries (read or write).
EEPROM_CHUNK = 50
#: The meter addresses its memory with 16 bits.
EEPROM_ADDRESS_SPACE = 0x10000
#: Longest SCPI line the library takes, and the reply buffer it may fill.
SCPI_MAX_LINE = 128
SCPI_REPLY_SIZE = 128
CONNECTION_PROBLEM = "USB Connection Problem"

_READ_EEPROM = 0x14
_MAX_ERRORS_DRAINED = 1024
_MAX_METERS_SCANNED = 64
_MAX_PACKETS = 65536

# Looking for a serial number claims the meters in front of it for a moment;
# two such scans at once would each hold the meter the other is looking for.
_scan_lock = threading.Lock()


def _check_int(name: str, value: object, low: int, high: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if not low <= value <= high:
        raise ValueError(f"{name} must be {low} to {high}, not {value}")
    return value


def error_text(code: int) -> str:
    """The text of a meter error number (``"UNKNOWN ERROR"`` when it has none)."""
    return ERROR_TEXTS.get(code, UNKNOWN_ERROR)


class Meter:
    """One Korvel magnetic-field meter, opened through the Korvel library.

    Open a meter with a ``with`` block so it is closed again::

        import korvel
        with korvel.Meter(simulate=True) as meter:
            print(meter.identity)
            reading = meter.read()
            print(reading.text, reading.tesla)

    Arguments:
        simulate: use the simulated meter (the ``-sim`` library) instead of
            a meter on USB.
        library: path of the library file to load; overrides the search (see
            :func:`korvel.find_library`).
        serial: open the meter whose identification carries this serial
            number, in any letter case (benches with several meters); default:
            the first free one.
        eeprom_size: size of the meter's memory in bytes, for the bounds
            checks of :attr:`eeprom` (default: the simulated meter's size, or
            only the 16-bit address space for a real meter).
        latency: with ``simulate=True``, the seconds every exchange takes on
            the simulated cable (default 0.001, a USB round trip; 0 answers at
            once). It holds for every simulated meter of the process.

    Measurement: :meth:`read`, :meth:`stream`, :attr:`units`, :attr:`acdc`,
    :meth:`set_units`, :attr:`range`, :meth:`set_auto_range`, :attr:`hold`,
    :meth:`reset_hold`, :attr:`relative`, :meth:`set_analog_output`,
    :attr:`frequency`, :meth:`auto_zero`, :meth:`recalibrate`,
    :meth:`set_limit`, :meth:`set_power_off_timer`, :meth:`set_keypad_lock`,
    :meth:`lcd`.

    Identity: :attr:`identity`, :attr:`serial`, :attr:`probe`,
    :meth:`probe_data`, :attr:`dsp_version`.

    Status: :attr:`status_byte`, :attr:`service_request_enable`,
    :meth:`event_register`, :meth:`enable_register`,
    :meth:`set_enable_register`, :meth:`condition_register`,
    :meth:`raise_event`, :meth:`clear_status`, :meth:`clear_enable_registers`,
    :meth:`errors`, :meth:`clear_errors`, :meth:`post_error`.

    Memory and data: :attr:`eeprom` (``read`` / ``write``), :meth:`transfer`,
    :meth:`start_transfer`, :meth:`next_packet`, :meth:`send_key`.

    Text commands: :meth:`scpi` runs one SCPI line (``"*IDN?"``,
    ``":MEAS:FLUX?"``, ...) and returns the reply.

    Failures raise exceptions derived from :class:`korvel.KorvelError`:
    :class:`korvel.MeterNotFound` when no meter opens, and
    :class:`korvel.ConnectionLost` when an exchange fails - the library has
    then closed the connection; call :meth:`reopen` (or open a new Meter).
    Invalid arguments raise ``ValueError`` / ``TypeError`` before anything is
    sent.

    A Meter may be shared by several threads: its calls are serialised, and
    each caller gets its own answer.
    """

    def __init__(self, simulate: bool = False, library: Optional[str] = None, *,
                 serial: Optional[str] = None, eeprom_size: Optional[int] = None,
                 latency: Optional[float] = None) -> None:
        if latency is not None and not simulate:
            raise ValueError("latency sets up the simulated meter: give simulate=True")
        self._lib = _library.load(simulate, library)
        if latency is not None:
            from .simulator import _set_latency
            if isinstance(latency, bool) or not isinstance(latency, (int, float)) or \
                    not 0 <= latency <= 10:
                raise ValueError(f"latency must be a number of seconds from 0 to 10, not {latency!r}")
            _set_latency(self._lib)(float(latency))
        self._lock = threading.RLock()
        self._handle = 0
        self._lost = False
        self._closed = False
        self._wanted_serial = serial
        if eeprom_size is not None:
            _check_int("eeprom_size", eeprom_size, 0, EEPROM_ADDRESS_SPACE)
        self._eeprom_size = eeprom_size
        self.eeprom = Eeprom(self)
        self._open()
        if eeprom_size is None and self._lib.simulated:
            self._eeprom_size = self._simulated_eeprom_size()

    # ------------------------------------------------------------ connection

    def _open(self) -> None:
        if self._wanted_serial is None:
            handle = self._lib.openKorvel()
            if not handle:
                raise MeterNotFound(self._not_found_message())
        else:
            with _scan_lock:
                handle = self._scan_for_serial()
            if not handle:
                raise MeterNotFound(f"no meter with serial number {self._wanted_serial!r} "
                                    "could be opened; " + self._not_found_message())
        self._handle = handle
        self._lost = False
        self._closed = False

    def _scan_for_serial(self) -> int:
        """Open meters in turn until the one with the wanted serial; the
        others are closed again. Returns its handle, or 0."""
        lib = self._lib
        wanted = str(self._wanted_serial).upper()
        others: List[int] = []
        try:
            for _ in range(_MAX_METERS_SCANNED):
                candidate = lib.openKorvel()
                if not candidate:
                    return 0
                fields = _identity_fields(_read_info(lib, candidate, 40))
                if wanted in (field.upper() for field in fields):
                    return candidate
                others.append(candidate)
            return 0
        finally:
            for other in others:
                lib.closeKorvel(other)

    def _not_found_message(self) -> str:
        if self._lib.simulated:
            return ("no simulated meter is free: every meter on the simulated bus is "
                    "already open, unplugged or refusing")
        return ("no Korvel meter could be opened: check that it is plugged in and switched "
                "on; if it is listed by lsusb but still not found, this user may not access "
                "it - install the udev rule described in the README")

    def close(self) -> None:
        """Close the connection (safe to call more than once)."""
        with self._lock:
            if self._handle:
                self._lib.closeKorvel(self._handle)
            self._handle = 0
            self._closed = True

    def reopen(self) -> None:
        """Open the meter again, after :class:`ConnectionLost` or :meth:`close`.

        With ``serial=`` given at construction, the same meter is looked for.
        Raises :class:`MeterNotFound` when it cannot be opened (yet).
        """
        with self._lock:
            if self._handle:
                self._lib.closeKorvel(self._handle)
                self._handle = 0
            self._open()

    @property
    def connected(self) -> bool:
        """True while the connection is open (False after a loss or close)."""
        return bool(self._handle)

    @property
    def simulated(self) -> bool:
        """True when this is a simulated meter."""
        return self._lib.simulated

    @property
    def library(self) -> str:
        """Path (or name) of the library file in use."""
        return self._lib.path

    @property
    def handle(self) -> int:
        """The library's handle of this connection (0 when not connected)."""
        return self._handle

    def __enter__(self) -> "Meter":
        return self

    def __exit__(self, *_exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:
            pass

    def __repr__(self) -> str:
        kind = "simulated " if self.simulated else ""
        state = "open" if self._handle else ("lost" if self._lost else "closed")
        return f"<korvel.Meter {kind}{state} handle={self._handle}>"

    # ------------------------------------------------------------ the calls

    def _live_handle(self) -> int:
        if self._handle:
            return self._handle
        if self._lost:
            raise ConnectionLost("the connection to the meter was lost earlier; "
                                 "call reopen() or open a new Meter")
        raise KorvelError("the meter is closed; call reopen() to use it again")

    def _connection_lost(self, what: str, reply: Optional[str] = None) -> ConnectionLost:
        self._handle = 0
        self._lost = True
        return ConnectionLost(f"lost the connection to the meter during {what}; the library "
                              "has closed it - call reopen() or open a new Meter", reply)

    def _call(self, name: str, *args: object) -> int:
        """Run one meter command; raise ConnectionLost on a failed exchange."""
        with self._lock:
            result = getattr(self._lib, name)(self._live_handle(), *args)
            if result == -1:
                raise self._connection_lost(name)
            return result

    def _get(self, name: str, *args: object) -> int:
        value = ctypes.c_uint(0)
        self._call(name, *args, ctypes.byref(value))
        return value.value

    # ----------------------------------------------------------- measurement

    def read(self) -> Reading:
        """Take one reading: the field in tesla and the meter's own text, both
        from the same raw count (one exchange with the meter).

        Raises :class:`InvalidReading` when the meter reports a units, range
        or AC/DC code that has no meaning.
        """
        record = _library.MeterReading()
        timestamp = datetime.now(timezone.utc)  # when it was asked for, as every log stamps it
        self._call("mtrGetReading", ctypes.byref(record))
        return make_reading(record.value, record.units, record.range, record.acdc,
                            record.scale, record.aux, timestamp)

    def stream(self, interval: Optional[float] = None, count: Optional[int] = None,
               duration: Optional[float] = None) -> Iterator[Reading]:
        """Yield readings, one every ``interval`` seconds (default: as fast as
        the meter answers), until ``count`` readings or ``duration`` seconds
        (whichever comes first; neither given: forever).

        The schedule does not drift: reading n is due ``n * interval`` after
        the first. A lost meter ends the iteration with
        :class:`ConnectionLost`::

            for reading in meter.stream(interval=0.5, count=20):
                print(reading.timestamp, reading.tesla)
        """
        if interval is not None and (isinstance(interval, bool) or not interval >= 0):
            raise ValueError(f"interval must be a number of seconds >= 0, not {interval!r}")
        if count is not None:
            _check_int("count", count, 0, 2**63)
        if duration is not None and not duration >= 0:
            raise ValueError(f"duration must be >= 0 seconds, not {duration!r}")
        start = time.monotonic()
        taken = 0
        while count is None or taken < count:
            if duration is not None and time.monotonic() - start >= duration:
                return
            yield self.read()
            taken += 1
            if interval and (count is None or taken < count):
                delay = start + taken * interval - time.monotonic()
                if duration is not None:
                    delay = min(delay, start + duration - time.monotonic())
                if delay > 0:
                    time.sleep(delay)

    @property
    def units(self) -> Units:
        """Measurement units (``Units.GAUSS``, ``TESLA``, ``AMPERE_PER_METRE``).

        Setting keeps the AC/DC mode; a name such as ``"tesla"`` or ``"G"`` is
        accepted. Reading it takes one reading (the meter has no separate
        units query).
        """
        return self.read().units

    @units.setter
    def units(self, value: Union[Units, int, str]) -> None:
        units = Units.parse(value)
        with self._lock:
            self.set_units(units, self.read().acdc)

    @property
    def acdc(self) -> AcDc:
        """``AcDc.DC`` or ``AcDc.AC``. Setting keeps the units; ``"ac"`` and
        ``"dc"`` are accepted."""
        return self.read().acdc

    @acdc.setter
    def acdc(self, value: Union[AcDc, int, str]) -> None:
        acdc = AcDc.parse(value)
        with self._lock:
            self.set_units(self.read().units, acdc)

    def set_units(self, units: Union[Units, int, str],
                  acdc: Union[AcDc, int, str] = AcDc.DC) -> None:
        """Set units and AC/DC mode together (one exchange)."""
        self._call("mtrSetUnits", int(Units.parse(units)), int(AcDc.parse(acdc)))

    @property
    def range(self) -> int:
        """Measurement range: 0 (finest resolution) to 2."""
        return self._get("mtrGetRange")

    @range.setter
    def range(self, value: int) -> None:
        self._call("mtrSetRange", _check_int("range", value, 0, 2))

    def set_auto_range(self, enabled: bool = True) -> None:
        """Switch automatic range selection on or off."""
        self._call("mtrAutoRange", 1 if enabled else 0)

    @property
    def hold(self) -> int:
        """Hold mode, 0 (off) to 3; the meter defines what 1 to 3 hold."""
        return self._get("mtrGetHold")

    @hold.setter
    def hold(self, value: int) -> None:
        self._call("mtrSetHold", _check_int("hold", value, 0, 3))

    def reset_hold(self) -> None:
        """Release the held value."""
        self._call("mtrResetHold")

    @property
    def relative(self) -> int:
        """Relative mode, 0 (off) to 2."""
        return self._get("mtrGetRelative")

    @relative.setter
    def relative(self, value: int) -> None:
        self._call("mtrSetRelative", _check_int("relative", value, 0, 2))

    def set_analog_output(self, mode: int) -> None:
        """Set the analog output mode, 0 to 2."""
        self._call("mtrSetAnalogOut", _check_int("analog output mode", mode, 0, 2))

    @property
    def frequency(self) -> int:
        """The frequency value the meter reports (0 to 65535)."""
        return self._get("mtrGetFrequency")

    def auto_zero(self) -> None:
        """Start an auto-zero."""
        self._call("mtrAutoZero")

    def recalibrate(self) -> None:
        """Start a recalibration."""
        self._call("mtrRecal")

    def set_limit(self, enabled: bool) -> None:
        """Switch the limit setting on or off."""
        self._call("mtrSetLimit", 1 if enabled else 0)

    def set_power_off_timer(self, enabled: bool) -> None:
        """Switch the meter's automatic power-off on or off."""
        self._call("mtrSetPwroffTimer", 1 if enabled else 0)

    def set_keypad_lock(self, locked: bool) -> None:
        """Lock or unlock the meter's keypad."""
        self._call("mtrKeypadLockout", 1 if locked else 0)

    def send_key(self, key: int) -> None:
        """Press a key of the meter remotely (key code 0 to 255, the meter's)."""
        self._call("mtrSendKey", _check_int("key", key, 0, 255))

    def lcd(self) -> LcdImage:
        """What the display shows now."""
        snapshot = _library.LcdSnapshot()
        self._call("mtrGetLCDSnapshot", ctypes.byref(snapshot))
        return LcdImage(snapshot.text.decode("latin-1"), snapshot.code, tuple(snapshot.flags))

    # -------------------------------------------------------------- identity

    @property
    def identity(self) -> str:
        """The meter's identification text (what ``*IDN?`` answers)."""
        with self._lock:
            return _decode_text(self._info("mtrGetMeterInfo", 40))

    @property
    def serial(self) -> str:
        """The serial number field of the identification (``""`` if none)."""
        fields = _identity_fields(self._info("mtrGetMeterInfo", 40))
        return fields[2] if len(fields) > 2 else ""

    @property
    def probe(self) -> str:
        """The probe's identification text (what ``*OPT?`` answers)."""
        return _decode_text(self._info("mtrGetProbeInfo", 24))

    def _info(self, name: str, size: int) -> bytes:
        buffer = ctypes.create_string_buffer(size + 1)
        self._call(name, buffer)
        return buffer.raw[:size]

    def probe_data(self, index: int) -> int:
        """One byte (0 to 255) of the probe's data, index 0 to 255."""
        return self._get("mtrGetProbeData", _check_int("index", index, 0, 255))

    @property
    def dsp_version(self) -> int:
        """Version number of the meter's signal processor."""
        return self._get("mtrDspGetVersion")

    # ---------------------------------------------------------------- status

    @property
    def status_byte(self) -> int:
        """The status byte (``*STB?``), 0 to 255."""
        return self._get("mtrGetStatusByte")

    @property
    def service_request_enable(self) -> int:
        """The service-request enable mask (``*SRE``), 0 to 255."""
        return self._get("mtrGetStatusEnable")

    @service_request_enable.setter
    def service_request_enable(self, mask: int) -> None:
        self._call("mtrSetStatusEnable", _check_int("mask", mask, 0, 255))

    def event_register(self, register_set: Union[RegisterSet, int, str]) -> int:
        """Read a set's event register; the meter clears it by the reading.

        ``register_set``: ``"standard"`` (``*ESR?``), ``"measurement"``,
        ``"operation"`` or ``"questionable"`` (or a :class:`RegisterSet`).
        """
        return self._get("mtrGetEventRegister", int(RegisterSet.parse(register_set)))

    def enable_register(self, register_set: Union[RegisterSet, int, str]) -> int:
        """Read a set's enable mask (``"standard"`` is ``*ESE?``)."""
        return self._get("mtrGetEnableRegister", int(RegisterSet.parse(register_set)))

    def set_enable_register(self, register_set: Union[RegisterSet, int, str], mask: int) -> None:
        """Write a set's enable mask, 0 to 255."""
        self._call("mtrSetEnableRegister", int(RegisterSet.parse(register_set)),
                   _check_int("mask", mask, 0, 255))

    def condition_register(self, register_set: Union[RegisterSet, int, str]) -> int:
        """Read a set's condition register (what is true right now)."""
        return self._get("mtrGetConditionRegister", int(RegisterSet.parse(register_set)))

    def raise_event(self, register_set: Union[RegisterSet, int, str], bits: int) -> None:
        """Set event bits in a register set (``"standard"``, 1 is operation complete)."""
        self._call("mtrRaiseEvent", int(RegisterSet.parse(register_set)),
                   _check_int("bits", bits, 0, 255))

    def clear_status(self) -> None:
        """Clear every event register (``*CLS``)."""
        self._call("mtrClearEventRegisters")

    def clear_enable_registers(self) -> None:
        """Clear every enable register (``:STAT:PRES``)."""
        self._call("mtrClearEnableRegisters")

    def errors(self) -> List[Tuple[int, str]]:
        """Take every entry off the meter's error queue, oldest first, as
        ``(code, text)`` pairs; ``[]`` when the queue is empty."""
        drained: List[Tuple[int, str]] = []
        with self._lock:
            for _ in range(_MAX_ERRORS_DRAINED):
                code = ctypes.c_short(0)
                self._call("mtrGetNextError", ctypes.byref(code))
                if code.value == 0:
                    break
                drained.append((code.value, error_text(code.value)))
        return drained

    def clear_errors(self) -> None:
        """Empty the error queue without reading it."""
        self._call("mtrClearErrorQueue")

    def post_error(self, code: int) -> None:
        """Put an error number (-32768 to 32767) on the meter's queue."""
        self._call("mtrPostError", _check_int("error code", code, -32768, 32767))

    # ------------------------------------------------------------------ SCPI

    def scpi(self, line: str) -> str:
        """Run one SCPI line (commands separated by ``;``) and return the
        reply (``""`` for commands without one), e.g. ``meter.scpi("*IDN?")``.

        A trailing line end is removed. Command errors answer as text and land
        in the error queue (read them with :meth:`errors`); a failed exchange
        raises :class:`ConnectionLost` whose ``reply`` holds the reply text.
        """
        if not isinstance(line, str):
            raise TypeError(f"a SCPI line is a str, not {type(line).__name__}")
        if line.endswith("\r\n"):
            line = line[:-2]
        elif line.endswith("\n"):
            line = line[:-1]
        try:
            data = line.encode("ascii")
        except UnicodeEncodeError:
            raise ValueError("a SCPI line holds ASCII characters only") from None
        if b"\0" in data:
            raise ValueError("a SCPI line cannot hold a NUL character")
        if len(data) > SCPI_MAX_LINE:
            raise ValueError(f"a SCPI line holds at most {SCPI_MAX_LINE} characters, "
                             f"this one has {len(data)}")
        reply = ctypes.create_string_buffer(SCPI_REPLY_SIZE + 1)
        with self._lock:
            self._lib.scpiCommand(self._live_handle(), data, reply, SCPI_REPLY_SIZE)
            text = reply.value.decode("latin-1")
            if CONNECTION_PROBLEM in text.split(";"):
                raise self._connection_lost(f"the SCPI line {line!r}", text)
        return text

    # ---------------------------------------------------------- data transfer

    def start_transfer(self, selector: int, first: int = 0, second: int = 0) -> Tuple[int, ...]:
        """Start a data transfer; returns the ten values the meter reports.

        Raises :class:`TransferRefused` when the meter refuses (the connection
        stays open). Fetch the packets with :meth:`next_packet`.
        """
        info = _library.TransferInfo()
        info.values[10] = 2  # neither 0 (refused) nor 1 (accepted): tells a failure apart
        with self._lock:
            result = self._lib.mtrStartDataTransfer(
                self._live_handle(), _check_int("selector", selector, 0, 255),
                _check_int("first", first, 0, 0xFFFF), _check_int("second", second, 0, 0xFFFF),
                ctypes.byref(info))
            if result == 0:
                return tuple(info.values[:10])
            if info.values[10] == 0:
                raise TransferRefused(f"the meter refused data transfer {selector}")
            raise self._connection_lost("mtrStartDataTransfer")

    def next_packet(self) -> Packet:
        """Fetch the next packet of a started transfer."""
        count = ctypes.c_uint(0)
        values = (ctypes.c_uint * 28)()
        result = self._call("mtrReadNextDataPacket", ctypes.byref(count), values)
        stored = min(count.value, 28)
        return Packet(tuple(values[:stored]), result == 1)

    def transfer(self, selector: int, first: int = 0, second: int = 0) -> List[int]:
        """Run a whole data transfer: start it, then fetch packets until one
        says nothing more follows. Returns every value in order."""
        collected: List[int] = []
        with self._lock:
            self.start_transfer(selector, first, second)
            for _ in range(_MAX_PACKETS):
                packet = self.next_packet()
                collected.extend(packet.values)
                if not packet.more:
                    return collected
        raise KorvelError(f"data transfer {selector} did not end within {_MAX_PACKETS} packets")

    # ---------------------------------------------------------- for Eeprom

    def _exchange(self, command: int, payload: bytes) -> bytes:
        """One raw exchange; returns the response's data bytes."""
        request = _library.MbPdu()
        response = _library.MbPdu()
        frame = _library.request_frame(command, payload)
        for i, byte in enumerate(frame):
            request.frame[i] = byte
        self._call(_library.TRANSACTION, ctypes.byref(request), ctypes.byref(response))
        if response.frame[2] != command:
            raise KorvelError(f"the meter answered command 0x{command:02x} with a frame of "
                              f"command 0x{response.frame[2]:02x}")
        count = min(response.frame[3], 54)
        return bytes(response.frame[4:4 + count])

    def _simulated_eeprom_size(self) -> Optional[int]:
        if not self._lib.simulated:
            return None
        from .simulator import Simulator
        index = Simulator(self._lib.path).index_of(self)
        if index is None:
            return None
        size = self._lib.korvelSimEepromSize(index)
        return size if size >= 0 else None


class Eeprom:
    """The meter's non-volatile memory (``meter.eeprom``).

    It holds the meter's and the probe's calibration: write with care. Reads
    and writes go in whole frames of up to 50 bytes and are checked against
    :attr:`size`::

        backup = meter.eeprom.read(0, meter.eeprom.size)
        meter.eeprom.write(0x10, b"\\x01\\x02")
    """

    def __init__(self, meter: Meter) -> None:
        self._meter = meter

    @property
    def size(self) -> int:
        """Size of the memory in bytes (the whole 16-bit address space when
        the meter's size is not known)."""
        known = self._meter._eeprom_size
        return known if known is not None else EEPROM_ADDRESS_SPACE

    def _check_span(self, address: int, length: int) -> None:
        _check_int("address", address, 0, EEPROM_ADDRESS_SPACE - 1)
        _check_int("length", length, 0, EEPROM_ADDRESS_SPACE)
        if address + length > self.size:
            raise ValueError(f"{length} bytes from address 0x{address:04x} run past the end of "
                             f"the meter's memory ({self.size} bytes)")

    def read(self, address: int, length: int) -> bytes:
        """Read ``length`` bytes from ``address``.

        Raises :class:`MeterMemoryError` when the meter answers with another
        address or fewer bytes than asked.
        """
        self._check_span(address, length)
        out = bytearray()
        with self._meter._lock:
            while len(out) < length:
                at = address + len(out)
                want = min(EEPROM_CHUNK, length - len(out))
                data = self._meter._exchange(_READ_EEPROM, bytes(
                    [at >> 8, at & 0xFF, want >> 8, want & 0xFF]))
                if len(data) < 4:
                    raise MeterMemoryError(f"the meter's answer to a memory read at 0x{at:04x} "
                                           "is too short")
                echo = data[0] << 8 | data[1]
                got = data[2] << 8 | data[3]
                if echo != at:
                    raise MeterMemoryError(f"asked for memory at 0x{at:04x}, the meter answered "
                                           f"for 0x{echo:04x}")
                if got != want or len(data) - 4 < want:
                    raise MeterMemoryError(f"asked for {want} bytes at 0x{at:04x}, the meter "
                                           f"delivered {min(got, len(data) - 4)}")
                out += data[4:4 + want]
        return bytes(out)

    def write(self, address: int, data: Union[bytes, bytearray, Sequence[int]],
              verify: bool = True) -> None:
        """Write ``data`` (bytes, or ints 0 to 255) at ``address``.

        With ``verify`` (the default) every chunk is read back and compared;
        a difference raises :class:`MeterMemoryError` naming the first
        address that differs.
        """
        values = bytes(data)  # also checks ints are 0 to 255
        self._check_span(address, len(values))
        with self._meter._lock:
            for offset in range(0, len(values), EEPROM_CHUNK):
                chunk = values[offset:offset + EEPROM_CHUNK]
                array = (ctypes.c_int * len(chunk))(*chunk)
                self._meter._call("mtrWriteEEPROM", address + offset, len(chunk), array)
                if verify:
                    back = self.read(address + offset, len(chunk))
                    for i, (wrote, read) in enumerate(zip(chunk, back)):
                        if wrote != read:
                            raise MeterMemoryError(
                                f"memory at 0x{address + offset + i:04x} reads back 0x{read:02x} "
                                f"after writing 0x{wrote:02x}")


# ------------------------------------------------------------------ helpers

def make_reading(count: int, units: int, range_: int, acdc: int, scale: int, aux: int,
                 timestamp: datetime) -> Reading:
    """Build a :class:`Reading` from the raw fields of one meter reading."""
    text = _format.format_reading(count, units, range_, scale)
    tesla = _format.to_tesla(count, units, range_, scale)
    if text is None or tesla is None or acdc not in (0, 1):
        raise InvalidReading(f"the meter sent a reading it cannot mean (count {count}, units "
                             f"code {units}, range {range_}, AC/DC code {acdc}, scale {scale})",
                             count, units, range_, scale)
    return Reading(count=count, units=Units(units), range=range_, acdc=AcDc(acdc), scale=scale,
                   aux=aux, tesla=tesla, text=text, timestamp=timestamp)


def _decode_text(raw: bytes) -> str:
    return raw.split(b"\0", 1)[0].decode("latin-1")


def _identity_fields(raw: bytes) -> List[str]:
    return [field.strip() for field in _decode_text(raw).split(",")]


def _read_info(lib: "_library.Library", handle: int, size: int) -> bytes:
    buffer = ctypes.create_string_buffer(size + 1)
    if lib.mtrGetMeterInfo(handle, buffer) != 0:
        return b""
    return buffer.raw[:size]
