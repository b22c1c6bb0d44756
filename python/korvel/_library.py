"""Finding and loading the Korvel shared library, and its C declarations.

The real library (``libkorvel-x64.so.1``) talks to a meter on USB; the
simulated one (``libkorvel-x64-sim.so.1``) is the same code over a simulated
meter and additionally exports the ``korvelSim*`` control functions.

Search order for a library:

1. an explicit ``library=`` path;
2. the environment variable ``KORVEL_LIBRARY`` (``KORVEL_SIM_LIBRARY`` for the
   simulated library);
3. the library this package carries (``korvel/lib``, put there by
   ``pip install ./python`` from a checkout where the libraries are built);
4. the system's installed library: next to an installed ``korvel`` program
   (``../lib``), and the library folders of this Python's prefix,
   ``/usr/local`` and ``/usr``;
5. the build folder of a source checkout, when this package is used from one;
6. the dynamic loader's default search (``LD_LIBRARY_PATH``, ldconfig cache).

On Windows the library is ``korvel-x64.dll`` (``korvel-x64-sim.dll``), in the
same order: ``library=``, the environment variable, ``korvel/lib``, the
``bin`` folder of the Windows package this package came in
(``korvel-VERSION-win64/python/korvel`` beside ``.../bin``), the folder of
a ``korvel.exe`` on ``PATH``, the build folder of a checkout, then Windows'
own search (``PATH``).

An explicit path or an environment variable is final: if it does not load,
nothing else is tried, so a typo never silently picks up another build.
"""

from __future__ import annotations

import ctypes
import os
import shutil
import sys
import sysconfig
import threading
from pathlib import Path
from typing import Dict, List, Optional, Tuple

from .errors import KorvelError, LibraryNotFound

# ----------------------------------------------------------------- C records

MeterHandle = ctypes.c_uint


class MeterReading(ctypes.Structure):
    """``MeterReading`` of korvel.h."""

    _fields_ = [
        ("value", ctypes.c_short),
        ("units", ctypes.c_int),
        ("range", ctypes.c_int),
        ("aux", ctypes.c_int),
        ("acdc", ctypes.c_int),
        ("scale", ctypes.c_int),
    ]


class LcdSnapshot(ctypes.Structure):
    """``LcdSnapshot`` of korvel.h."""

    _fields_ = [
        ("text", ctypes.c_char * 5),
        ("code", ctypes.c_int),
        ("flags", ctypes.c_int * 13),
    ]


class TransferInfo(ctypes.Structure):
    """``TransferInfo`` of korvel.h."""

    _fields_ = [("values", ctypes.c_int * 11)]


class MbPdu(ctypes.Structure):
    """``MB_PDU`` of korvel.h: one frame as it crosses the cable."""

    _fields_ = [("length", ctypes.c_ubyte), ("frame", ctypes.c_ubyte * 64)]


class KorvelSimField(ctypes.Structure):
    """``KorvelSimField`` of korvel_sim.h."""

    _fields_ = [
        ("dc", ctypes.c_double),
        ("acAmplitude", ctypes.c_double),
        ("acFrequency", ctypes.c_double),
        ("noise", ctypes.c_double),
        ("drift", ctypes.c_double),
        ("seed", ctypes.c_uint),
    ]


class KorvelSimCall(ctypes.Structure):
    """``KorvelSimCall`` of korvel_sim.h."""

    _fields_ = [
        ("name", ctypes.c_char * 32),
        ("device", ctypes.c_int),
        ("argument", ctypes.c_int),
        ("timeout", ctypes.c_int),
        ("result", ctypes.c_int),
        ("data", ctypes.c_ubyte * 64),
        ("dataLength", ctypes.c_int),
    ]


_U = ctypes.c_uint
_I = ctypes.c_int
_PU = ctypes.POINTER(ctypes.c_uint)
_PI = ctypes.POINTER(ctypes.c_int)

# name: (result, argument types). Only what the package calls.
_PROTOTYPES: Dict[str, Tuple[object, List[object]]] = {
    "openKorvel": (MeterHandle, []),
    "closeKorvel": (None, [MeterHandle]),
    "mtrGetReading": (_I, [MeterHandle, ctypes.POINTER(MeterReading)]),
    "mtrGetLCDSnapshot": (_I, [MeterHandle, ctypes.POINTER(LcdSnapshot)]),
    "mtrSetUnits": (_I, [MeterHandle, _I, _I]),
    "mtrSetRange": (_I, [MeterHandle, _I]),
    "mtrGetRange": (_I, [MeterHandle, _PU]),
    "mtrSetAnalogOut": (_I, [MeterHandle, _I]),
    "mtrRecal": (_I, [MeterHandle]),
    "mtrAutoZero": (_I, [MeterHandle]),
    "mtrAutoRange": (_I, [MeterHandle, _I]),
    "mtrSetRelative": (_I, [MeterHandle, _I]),
    "mtrGetRelative": (_I, [MeterHandle, _PU]),
    "mtrGetFrequency": (_I, [MeterHandle, _PU]),
    "mtrSetLimit": (_I, [MeterHandle, _I]),
    "mtrGetProbeData": (_I, [MeterHandle, _I, _PU]),
    "mtrSetHold": (_I, [MeterHandle, _I]),
    "mtrGetHold": (_I, [MeterHandle, _PU]),
    "mtrResetHold": (_I, [MeterHandle]),
    "mtrSetPwroffTimer": (_I, [MeterHandle, _I]),
    "mtrSetEnableRegister": (_I, [MeterHandle, _I, _I]),
    "mtrGetEnableRegister": (_I, [MeterHandle, _I, _PU]),
    "mtrGetEventRegister": (_I, [MeterHandle, _I, _PU]),
    "mtrGetConditionRegister": (_I, [MeterHandle, _I, _PU]),
    "mtrClearEventRegisters": (_I, [MeterHandle]),
    "mtrSetStatusEnable": (_I, [MeterHandle, _I]),
    "mtrGetStatusEnable": (_I, [MeterHandle, _PU]),
    "mtrGetStatusByte": (_I, [MeterHandle, _PU]),
    "mtrGetNextError": (_I, [MeterHandle, ctypes.POINTER(ctypes.c_short)]),
    "mtrClearErrorQueue": (_I, [MeterHandle]),
    "mtrPostError": (_I, [MeterHandle, _I]),
    "mtrClearEnableRegisters": (_I, [MeterHandle]),
    "mtrKeypadLockout": (_I, [MeterHandle, _I]),
    "mtrRaiseEvent": (_I, [MeterHandle, _I, _I]),
    "mtrWriteEEPROM": (_I, [MeterHandle, _I, _I, _PI]),
    "mtrSendKey": (_I, [MeterHandle, _I]),
    "mtrGetMeterInfo": (_I, [MeterHandle, ctypes.c_char_p]),
    "mtrGetProbeInfo": (_I, [MeterHandle, ctypes.c_char_p]),
    "mtrDspGetVersion": (_I, [MeterHandle, _PU]),
    "mtrStartDataTransfer": (_I, [MeterHandle, _I, _I, _I, ctypes.POINTER(TransferInfo)]),
    "mtrReadNextDataPacket": (_I, [MeterHandle, _PU, _PU]),
    "scpiCommand": (_I, [MeterHandle, ctypes.c_char_p, ctypes.c_char_p, _I]),
    # The raw exchange carries its C++ name.
    "_Z14mtrTransactionjP6MB_PDUS0_": (_I, [MeterHandle, ctypes.POINTER(MbPdu),
                                            ctypes.POINTER(MbPdu)]),
}

_SIM_PROTOTYPES: Dict[str, Tuple[object, List[object]]] = {
    "korvelSimReset": (_I, [_I]),
    "korvelSimAddMeter": (_I, []),
    "korvelSimAddForeignDevice": (_I, [_U, _U]),
    "korvelSimMeterCount": (_I, []),
    "korvelSimUnplug": (_I, [_I]),
    "korvelSimReplug": (_I, [_I]),
    "korvelSimIndexOf": (_I, [MeterHandle]),
    "korvelSimSetTimeScale": (_I, [ctypes.c_double]),
    "korvelSimPowerCycle": (_I, [_I]),
    "korvelSimSetField": (_I, [_I, ctypes.c_double]),
    "korvelSimSetFieldSource": (_I, [_I, ctypes.POINTER(KorvelSimField)]),
    "korvelSimInjectFault": (_I, [_I, _I, _I]),
    "korvelSimSetRandomFaults": (_I, [_I, ctypes.c_double, _U]),
    "korvelSimSetClaimRefused": (_I, [_I, _I]),
    "korvelSimSetOpenFails": (_I, [_I, _I]),
    "korvelSimGetSetting": (_I, [_I, _I]),
    "korvelSimGetDac": (_I, [_I, _I]),
    "korvelSimGetRegister": (_I, [_I, _I, _I]),
    "korvelSimPeekErrors": (_I, [_I, ctypes.POINTER(ctypes.c_short), _I]),
    "korvelSimEepromSize": (_I, [_I]),
    "korvelSimReadEeprom": (_I, [_I, _I, ctypes.POINTER(ctypes.c_ubyte), _I]),
    "korvelSimWriteEeprom": (_I, [_I, _I, ctypes.POINTER(ctypes.c_ubyte), _I]),
    "korvelSimClearCalls": (_I, []),
    "korvelSimCallCount": (ctypes.c_longlong, []),
    "korvelSimGetCall": (_I, [ctypes.c_longlong, ctypes.POINTER(KorvelSimCall)]),
}

TRANSACTION = "_Z14mtrTransactionjP6MB_PDUS0_"


class Library:
    """One loaded Korvel library with its functions declared.

    Functions are attributes named as in korvel.h (``lib.mtrGetReading``). A
    function the loaded build lacks raises :class:`KorvelError` when called,
    naming the function and the file, instead of failing at load time.
    """

    def __init__(self, path: str, cdll: ctypes.CDLL) -> None:
        self.path = path
        #: The file the loader mapped (``path`` may be a bare soname).
        self.file = _mapped_file(cdll) or (os.path.abspath(path) if _is_path(path) else path)
        self._cdll = cdll
        self.simulated = hasattr(cdll, "korvelSimReset")
        table = dict(_PROTOTYPES)
        if self.simulated:
            table.update(_SIM_PROTOTYPES)
        for name, (restype, argtypes) in table.items():
            try:
                function = getattr(cdll, name)
            except AttributeError:
                setattr(self, name, _missing(name, path))
                continue
            function.restype = restype
            function.argtypes = argtypes
            setattr(self, name, function)

    def has(self, name: str) -> bool:
        """True when the loaded library exports ``name``."""
        return hasattr(self._cdll, name)

    def __repr__(self) -> str:
        kind = "simulated" if self.simulated else "real"
        return f"<korvel {kind} library {self.path}>"


class _DlInfo(ctypes.Structure):
    _fields_ = [("dli_fname", ctypes.c_char_p), ("dli_fbase", ctypes.c_void_p),
                ("dli_sname", ctypes.c_char_p), ("dli_saddr", ctypes.c_void_p)]


def _mapped_file(cdll: ctypes.CDLL) -> Optional[str]:
    """The file a loaded library came from, asked of the loader (dladdr), so
    that a library found by soname still names its folder."""
    if sys.platform == "win32":
        return _module_file(cdll)
    try:
        dladdr = ctypes.CDLL(None).dladdr
        symbol = cdll.openKorvel
    except (AttributeError, OSError):
        return None
    dladdr.argtypes = [ctypes.c_void_p, ctypes.POINTER(_DlInfo)]
    dladdr.restype = ctypes.c_int
    info = _DlInfo()
    if not dladdr(ctypes.cast(symbol, ctypes.c_void_p), ctypes.byref(info)) or not info.dli_fname:
        return None
    return os.path.abspath(os.fsdecode(info.dli_fname))


def _module_file(cdll: ctypes.CDLL) -> Optional[str]:
    """Windows: the file of a loaded DLL (GetModuleFileNameW on its handle)."""
    try:
        kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)  # type: ignore[attr-defined]
    except (AttributeError, OSError):
        return None
    buffer = ctypes.create_unicode_buffer(32768)
    kernel32.GetModuleFileNameW.argtypes = [ctypes.c_void_p, ctypes.c_wchar_p, ctypes.c_uint32]
    kernel32.GetModuleFileNameW.restype = ctypes.c_uint32
    n = kernel32.GetModuleFileNameW(ctypes.c_void_p(cdll._handle), buffer, len(buffer))
    return os.path.abspath(buffer.value) if 0 < n < len(buffer) else None


def _missing(name: str, path: str):
    def call(*_args):
        raise KorvelError(f"the library {path} has no function {name}; "
                          "it is older than this package - rebuild or update it")
    return call


# ------------------------------------------------------------------- search

def _base_name(simulate: bool) -> str:
    base = "korvel-x64" if ctypes.sizeof(ctypes.c_void_p) == 8 else "korvel"
    return base + "-sim" if simulate else base


def library_name(simulate: bool) -> str:
    """The file name of the library for this platform (with its soname version)."""
    base = _base_name(simulate)
    if sys.platform == "win32":
        return base + ".dll"
    if sys.platform == "darwin":
        return f"lib{base}.1.dylib"
    return f"lib{base}.so.1"


def _installed_folders() -> List[Path]:
    folders = [Path(__file__).resolve().parent / "lib"]
    if sys.platform == "win32":
        return folders + _windows_folders()
    program = shutil.which("korvel")
    if program:
        bindir = Path(program).resolve().parent
        folders += [bindir, bindir.parent / "lib"]
    multiarch = sysconfig.get_config_var("MULTIARCH") or ""
    for prefix in dict.fromkeys([sys.prefix, "/usr/local", "/usr"]):
        lib = Path(prefix) / "lib"
        if multiarch:
            folders.append(lib / multiarch)
        folders.append(lib)
    return folders


def _windows_folders() -> List[Path]:
    """Windows: the package's ``bin`` folder (``python/korvel`` sits two
    levels below the package's top), then the folder of a ``korvel.exe`` on
    PATH, where the DLLs lie beside it."""
    folders = [Path(__file__).resolve().parent.parent.parent / "bin"]
    program = shutil.which("korvel")
    if program:
        folders.append(Path(program).resolve().parent)
    return folders


def _is_path(place: str) -> bool:
    """A file path rather than a bare name for the loader's search (Windows
    takes both slashes and drive letters)."""
    if os.sep in place or (os.altsep and os.altsep in place):
        return True
    return sys.platform == "win32" and ("\\" in place or "/" in place or ":" in place)


def _source_tree_folders() -> List[Path]:
    """Build folders of the checkout this package sits in, if it sits in one."""
    root = Path(__file__).resolve().parent.parent.parent
    if not (root / "include" / "korvel.h").is_file():
        return []
    return [root / "build"]


def candidates(simulate: bool, library: Optional[str] = None) -> List[str]:
    """Where the library would be looked for, in order (explicit ones alone)."""
    if library is not None:
        return [os.fspath(library)]
    variable = "KORVEL_SIM_LIBRARY" if simulate else "KORVEL_LIBRARY"
    if os.environ.get(variable):
        return [os.environ[variable]]
    name = library_name(simulate)
    found = [str(folder / name) for folder in _installed_folders() + _source_tree_folders()]
    import ctypes.util  # costly (it may run ldconfig): only when the search gets this far
    default = ctypes.util.find_library(_base_name(simulate))
    if default:
        found.append(default)
    found.append(name)  # plain soname: the loader's own search
    return list(dict.fromkeys(found))


_loaded: Dict[str, Library] = {}
_loaded_lock = threading.Lock()


def load(simulate: bool = False, library: Optional[str] = None) -> Library:
    """Load (once per file) and return the Korvel library.

    Raises :class:`LibraryNotFound` listing every place tried.
    """
    places = candidates(simulate, library)
    explicit = library is not None or bool(
        os.environ.get("KORVEL_SIM_LIBRARY" if simulate else "KORVEL_LIBRARY"))
    failures = []
    for place in places:
        is_path = _is_path(place)
        if is_path and not os.path.exists(place):
            failures.append(f"{place}: no such file")
            continue
        key = os.path.realpath(place) if is_path else place
        with _loaded_lock:
            if key in _loaded:
                lib = _loaded[key]
            else:
                try:
                    cdll = ctypes.CDLL(place)
                except OSError as error:
                    failures.append(f"{place}: {error}")
                    continue
                lib = Library(place, cdll)
                _loaded[key] = lib
        if simulate and not lib.simulated:
            failures.append(f"{place}: not the simulated library (no korvelSim* functions)")
            continue
        return lib
    kind = "simulated " if simulate else ""
    hint = ("install this package with 'pip install ./python' from a checkout where the "
            "libraries are built ('bash scripts/demo.sh'), install the libraries, or pass "
            "library=PATH or set " + ("KORVEL_SIM_LIBRARY" if simulate else "KORVEL_LIBRARY"))
    if explicit:
        hint = "check the path given"
    raise LibraryNotFound(f"cannot load the {kind}Korvel library ({hint}); tried:\n  "
                          + "\n  ".join(failures))


# ---------------------------------------------------------------- framing

def checksum(data: bytes) -> int:
    """CRC-16/MODBUS of ``data`` (the frame checksum; sent high byte first)."""
    crc = 0xFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def request_frame(command: int, payload: bytes) -> bytes:
    """A complete 60-byte request frame for the raw exchange."""
    if len(payload) > 54:
        raise ValueError("a request carries at most 54 payload bytes")
    head = bytes([0x01, 0x2B, command & 0xFF, len(payload)]) + payload
    crc = checksum(head)
    frame = head + bytes([crc >> 8, crc & 0xFF])
    return frame + bytes(60 - len(frame))
