"""Control of the simulated meters (the ``-sim`` library only).

The simulated library is the real library's code over a virtual USB bus with
simulated meters on it. :class:`Simulator` sets what those meters measure,
plugs and unplugs them, injects faults and looks inside::

    import korvel
    sim = korvel.Simulator()
    sim.set_field(0, 0.0125)          # meter 0 sits in 12.5 mT
    with korvel.Meter(simulate=True) as meter:
        print(meter.read().tesla)
        sim.unplug(0)                 # the next exchange fails: ConnectionLost

All Simulator objects of one process control the same bus, which is also the
one every ``Meter(simulate=True)`` of that library talks to.
"""

from __future__ import annotations

import ctypes
import enum
from typing import TYPE_CHECKING, List, NamedTuple, Optional

from . import _library
from .errors import KorvelError

if TYPE_CHECKING:
    from .meter import Meter


class Fault(enum.IntEnum):
    """Faults the simulated meter can suffer in an exchange."""

    NONE = 0
    SILENCE = 1            #: no answer: the read times out
    LATE = 2               #: the answer comes after the read timed out
    WRITE_FAIL = 3         #: the request write is not accepted
    BAD_CHECKSUM = 4       #: one checksum bit flipped
    CHECKSUM_LOW_FIRST = 5  #: checksum in the other byte order
    COUNT_OVER_59 = 6      #: byte count 60 or more
    COUNT_55_TO_59 = 7     #: byte count 55 to 59
    OTHER_COMMAND = 8      #: a valid frame of another command
    SHORT_READ = 9         #: fewer bytes than the frame needs
    UNPLUG = 10            #: unplugged while the request is in flight
    STALL = 11             #: the exchange hangs for 3 s, then goes on (never at random)


class Setting(enum.IntEnum):
    """Settings and counters of a simulated meter (:meth:`Simulator.setting`)."""

    UNITS = 0
    ACDC = 1
    RANGE = 2
    AUTO_RANGE = 3
    HOLD = 4
    RELATIVE = 5
    ANALOG_OUT = 6
    LIMIT = 7
    POWER_OFF_TIMER = 8
    KEYPAD_LOCKOUT = 9
    DIAG_MODE = 10
    MUX_RANGE = 11
    AMP_INPUT = 12
    STATUS_BYTE = 13
    SERVICE_REQUEST_ENABLE = 14
    ERROR_COUNT = 15
    EXCHANGES = 16
    RECALIBRATIONS = 17
    AUTO_ZEROS = 18
    LAST_KEY = 19
    FAULTS = 20  # faults that struck so far


class Call(NamedTuple):
    """One usb_* call the library made on the simulated bus."""

    name: str      #: e.g. "usb_bulk_write"
    device: int    #: device index on the bus, -1 where none
    argument: int  #: configuration, interface, endpoint or debug level
    timeout: int   #: ms, bulk transfers
    result: int    #: what the call returned
    data: bytes    #: bytes written or read


#: The field every simulated meter finds itself in (the simulated library's
#: KORVEL_SIM_DEFAULT_FIELD): 12.5 mT DC with a little noise and drift.
DEFAULT_FIELD = 0.0125
#: What each exchange takes on the simulated cable unless set otherwise.
DEFAULT_LATENCY = 0.001


def _newer_function(lib: "_library.Library", name: str, argtypes: list):
    """A control function that older simulated libraries lack, declared here
    (so an older library still loads for everything else)."""
    function = getattr(lib._cdll, name, None)
    if function is None:
        raise KorvelError(f"the library {lib.path} has no function {name}; "
                          "it is older than this package - rebuild or update it")
    function.restype = ctypes.c_int
    function.argtypes = argtypes
    return function


def _set_latency(lib: "_library.Library"):
    """korvelSimSetLatency of a loaded simulated library."""
    return _newer_function(lib, "korvelSimSetLatency", [ctypes.c_double])


class Simulator:
    """The simulated USB bus and its meters (meters are numbered 0, 1, ...
    in bus order, the order in which ``Meter(simulate=True)`` tries them).

    Every method raises :class:`KorvelError` for an unknown meter or a bad
    argument (the control functions answered -1).
    """

    def __init__(self, library: Optional[str] = None) -> None:
        self._lib = _library.load(True, library)

    def _ok(self, result: int, what: str) -> int:
        if result < 0:
            raise KorvelError(f"the simulator refused {what}")
        return result

    # ------------------------------------------------------------- the bus

    def reset(self, meters: int = 1) -> None:
        """Empty the bus and attach ``meters`` fresh meters (0 to 16).
        Meters opened before are lost."""
        self._ok(self._lib.korvelSimReset(meters), f"reset({meters})")

    def add_meter(self) -> int:
        """Attach one more meter; returns its number."""
        return self._ok(self._lib.korvelSimAddMeter(), "add_meter()")

    def add_foreign_device(self, vendor: int, product: int) -> None:
        """Attach a USB device that is not a meter."""
        self._ok(self._lib.korvelSimAddForeignDevice(vendor, product), "add_foreign_device()")

    @property
    def meter_count(self) -> int:
        """Number of simulated meters on the bus (plugged or not)."""
        return self._ok(self._lib.korvelSimMeterCount(), "meter_count")

    def unplug(self, meter: int) -> None:
        """Pull a meter's cable: its transfers fail from now on."""
        self._ok(self._lib.korvelSimUnplug(meter), f"unplug({meter})")

    def replug(self, meter: int) -> None:
        """Plug a meter back in (it keeps its state; a new open is needed)."""
        self._ok(self._lib.korvelSimReplug(meter), f"replug({meter})")

    def set_time_scale(self, scale: float) -> None:
        """Scale every USB timeout (1.0 real time, 0.01 makes 2 s last 20 ms)."""
        self._ok(self._lib.korvelSimSetTimeScale(float(scale)), f"set_time_scale({scale})")

    def set_latency(self, seconds: float) -> None:
        """How long every exchange takes on the simulated cable, in seconds
        (0 to 10; default 0.001, a USB round trip; 0 answers at once).
        Kept across :meth:`reset`."""
        self._ok(_set_latency(self._lib)(float(seconds)), f"set_latency({seconds})")

    def power_cycle(self, meter: int) -> None:
        """Return a meter to its power-on state."""
        self._ok(self._lib.korvelSimPowerCycle(meter), f"power_cycle({meter})")

    # ------------------------------------------------------------ the field

    def set_field(self, meter: int, tesla: float) -> None:
        """A steady DC field of ``tesla``, without noise."""
        self._ok(self._lib.korvelSimSetField(meter, float(tesla)), f"set_field({meter})")

    def set_field_source(self, meter: int, dc: float = 0.0, ac_amplitude: float = 0.0,
                         ac_frequency: float = 0.0, noise: float = 0.0, drift: float = 0.0,
                         seed: int = 1) -> None:
        """The full field: static part, AC peak and frequency, Gaussian noise
        (standard deviation), slow drift peak, all in tesla and hertz."""
        field = _library.KorvelSimField(float(dc), float(ac_amplitude), float(ac_frequency),
                                        float(noise), float(drift), seed & 0xFFFFFFFF)
        self._ok(self._lib.korvelSimSetFieldSource(meter, ctypes.byref(field)),
                 f"set_field_source({meter})")

    def set_scale(self, meter: int, scale: int) -> None:
        """The scale code (0 to 255) the meter sends with its readings from
        now on; its counts follow that code's resolution: 4 and 5 count A/m in
        kA/m (one count is 1, 10, 100 A/m in ranges 0-2 with 4; 10, 100,
        1000 A/m with 5), 2 gives range 1 finer steps (1 mG, 1e-7 T,
        0.01 A/m); every other code is the plain resolution (0, the default).
        Kept across :meth:`power_cycle`."""
        if isinstance(scale, bool) or not isinstance(scale, int):
            raise KorvelError(f"the simulator refused set_scale({meter}, {scale!r}): "
                              "the scale code is a whole number from 0 to 255")
        function = _newer_function(self._lib, "korvelSimSetScale", [ctypes.c_int, ctypes.c_int])
        self._ok(function(meter, scale), f"set_scale({meter}, {scale})")

    # --------------------------------------------------------------- faults

    def inject_fault(self, meter: int, fault: Fault, count: int = 1) -> None:
        """The next ``count`` exchanges of the meter suffer ``fault``."""
        self._ok(self._lib.korvelSimInjectFault(meter, int(fault), count),
                 f"inject_fault({meter}, {fault})")

    def set_random_faults(self, meter: int, probability: float, seed: int = 1) -> None:
        """Each exchange fails at random with ``probability`` (0 turns it off)."""
        self._ok(self._lib.korvelSimSetRandomFaults(meter, float(probability), seed & 0xFFFFFFFF),
                 f"set_random_faults({meter})")

    def set_claim_refused(self, meter: int, refused: bool) -> None:
        """Make claiming the meter fail, as when another program holds it."""
        self._ok(self._lib.korvelSimSetClaimRefused(meter, int(bool(refused))),
                 f"set_claim_refused({meter})")

    def set_open_fails(self, meter: int, fails: bool) -> None:
        """Make opening the meter fail, as without permission."""
        self._ok(self._lib.korvelSimSetOpenFails(meter, int(bool(fails))),
                 f"set_open_fails({meter})")

    # -------------------------------------------------------- looking inside

    def setting(self, meter: int, setting: Setting) -> int:
        """A setting or counter of a meter, as the meter holds it."""
        return self._ok(self._lib.korvelSimGetSetting(meter, int(setting)),
                        f"setting({meter}, {setting})")

    def dac(self, meter: int, dac: int) -> int:
        """Value of DAC 0 to 3 of a meter."""
        return self._ok(self._lib.korvelSimGetDac(meter, dac), f"dac({meter}, {dac})")

    def register(self, meter: int, register_set: int, which: str) -> int:
        """A register of a set: ``which`` is ``"event"``, ``"enable"`` or
        ``"condition"`` (looking does not clear it)."""
        kinds = {"event": 0, "enable": 1, "condition": 2}
        if which not in kinds:
            raise ValueError("which must be 'event', 'enable' or 'condition'")
        return self._ok(self._lib.korvelSimGetRegister(meter, int(register_set), kinds[which]),
                        f"register({meter}, {register_set}, {which})")

    def peek_errors(self, meter: int) -> List[int]:
        """The error numbers queued in a meter, oldest first (left queued)."""
        codes = (ctypes.c_short * 256)()
        queued = self._ok(self._lib.korvelSimPeekErrors(meter, codes, 256), f"peek_errors({meter})")
        return list(codes[:min(queued, 256)])

    def eeprom_size(self, meter: int) -> int:
        """Size of a meter's memory in bytes."""
        return self._ok(self._lib.korvelSimEepromSize(meter), f"eeprom_size({meter})")

    def read_eeprom(self, meter: int, address: int, length: int) -> bytes:
        """A meter's memory bytes, looked at directly (no exchange)."""
        buffer = (ctypes.c_ubyte * max(length, 1))()
        self._ok(self._lib.korvelSimReadEeprom(meter, address, buffer, length),
                 f"read_eeprom({meter}, {address}, {length})")
        return bytes(buffer[:length])

    def write_eeprom(self, meter: int, address: int, data: bytes) -> None:
        """Overwrite a meter's memory bytes directly (no exchange)."""
        data = bytes(data)
        buffer = (ctypes.c_ubyte * max(len(data), 1)).from_buffer_copy(data or b"\0")
        self._ok(self._lib.korvelSimWriteEeprom(meter, address, buffer, len(data)),
                 f"write_eeprom({meter}, {address})")

    def clear_calls(self) -> None:
        """Forget the recorded usb_* calls."""
        self._ok(self._lib.korvelSimClearCalls(), "clear_calls()")

    def calls(self) -> List[Call]:
        """The usb_* calls recorded since :meth:`clear_calls` (at most the
        last 4096)."""
        total = self._lib.korvelSimCallCount()
        out: List[Call] = []
        record = _library.KorvelSimCall()
        for i in range(max(0, total - 4096), total):
            if self._lib.korvelSimGetCall(i, ctypes.byref(record)) == 0:
                length = max(0, min(record.dataLength, 64))
                out.append(Call(record.name.decode("ascii", "replace"), record.device,
                                record.argument, record.timeout, record.result,
                                bytes(record.data[:length])))
        return out

    def index_of(self, meter: "Meter") -> Optional[int]:
        """The number of the simulated meter that ``meter`` is connected to;
        None when it cannot be told (its connection closed or lost)."""
        if getattr(self._lib._cdll, "korvelSimIndexOf", None) is not None:
            index = _newer_function(self._lib, "korvelSimIndexOf", [ctypes.c_uint])(meter.handle)
            return index if index >= 0 else None
        # An older library: the meter whose exchange counter moves when it
        # is asked something harmless.
        count = self._lib.korvelSimMeterCount()
        for _ in range(3):
            before = [self._lib.korvelSimGetSetting(i, int(Setting.EXCHANGES)) for i in range(count)]
            meter.range  # one exchange without side effects
            after = [self._lib.korvelSimGetSetting(i, int(Setting.EXCHANGES)) for i in range(count)]
            moved = [i for i in range(count) if after[i] != before[i]]
            if len(moved) == 1:
                return moved[0]
        return None
