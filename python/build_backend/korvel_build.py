"""Build backend of the korvel package: the standard library and nothing else.

pip builds a package in an isolated environment and would fetch a backend
(setuptools) from a package index into it; on a machine without an index, or
with a Python whose setuptools is not Debian's, that fails. This backend needs
nothing fetched and works with any CPython >= 3.9.

The wheel carries the built Korvel libraries, so the installed package works
with no environment variable:

    korvel/lib/libkorvel-x64.so.1        the library for a meter on USB
    korvel/lib/libkorvel-x64-sim.so.1    the simulated meter

They are taken from the checkout's build folder (``build/``, what
``bash scripts/demo.sh`` and ``cmake --preset default`` build), or from the
folder named by the config setting ``build-dir`` (``pip install
--config-settings build-dir=PATH ./python``) or the environment variable
``KORVEL_BUILD_DIR``. The value ``system`` carries no library: the package
then loads the system's installed one. Built outside a checkout (from the
sdist) with neither set, the wheel carries no library either.
"""

from __future__ import annotations

import base64
import hashlib
import io
import os
import re
import sys
import sysconfig
import tarfile
import time
import zipfile
from pathlib import Path
from typing import Dict, List, Optional, Tuple

HERE = Path(__file__).resolve().parent
PACKAGE_ROOT = HERE.parent                    # python/
CHECKOUT = PACKAGE_ROOT.parent                # the repository, when built from one
LIBRARIES = ("libkorvel-x64.so.1", "libkorvel-x64-sim.so.1")
SYSTEM = "system"
BUILD_HINT = ("build them first with 'bash scripts/demo.sh' (or 'cmake --preset default && "
              "cmake --build --preset default'), or name their folder with KORVEL_BUILD_DIR=PATH "
              "(KORVEL_BUILD_DIR=system: use the installed library)")


class BuildError(Exception):
    """A build that cannot go on; its message is the whole story for the user."""


def _fail(error: BuildError):
    # pip shows what a hook writes; one sentence reads better than a traceback.
    sys.stderr.write(f"korvel: {error}\n")
    sys.stderr.flush()
    raise SystemExit(1)


# ------------------------------------------------------------- pyproject.toml

_TABLE = re.compile(r"^\[([A-Za-z0-9_.\-]+)\]\s*(#.*)?$")
_KEY = re.compile(r'^("?)([A-Za-z0-9_\-]+)\1\s*=\s*(.*)$')


def _toml_value(text: str):
    """A string, a boolean or an array of strings: all pyproject.toml uses."""
    text = text.strip()
    if text.startswith("["):
        return [_toml_value(item) for item in _split_array(text[1:text.rindex("]")])]
    if text in ("true", "false"):
        return text == "true"
    for quote in ('"', "'"):
        if text.startswith(quote):
            end = text.index(quote, 1)
            value = text[1:end]
            return value.encode().decode("unicode_escape") if quote == '"' else value
    raise ValueError(f"unsupported value in pyproject.toml: {text}")


def _split_array(body: str) -> List[str]:
    items, current, quote = [], "", ""
    for char in body:
        if quote:
            current += char
            if char == quote:
                quote = ""
        elif char in "\"'":
            quote = char
            current += char
        elif char == ",":
            items.append(current)
            current = ""
        elif char == "#":
            break
        else:
            current += char
    items.append(current)
    return [item for item in (entry.strip() for entry in items) if item]


def parse_pyproject(text: str) -> Dict[str, Dict[str, object]]:
    """The tables of a pyproject.toml as nested dicts (the subset this
    project writes: tables, strings, booleans, string arrays over lines)."""
    tables: Dict[str, Dict[str, object]] = {}
    current = tables.setdefault("", {})
    lines = iter(text.splitlines())
    for line in lines:
        stripped = line.strip()
        if not stripped or stripped.startswith("#"):
            continue
        table = _TABLE.match(stripped)
        if table:
            current = tables.setdefault(table.group(1), {})
            continue
        key = _KEY.match(stripped)
        if not key:
            raise ValueError(f"unsupported line in pyproject.toml: {line}")
        value = _without_comment(key.group(3))
        if value.startswith("[") and "]" not in _without_strings(value):
            for more in lines:  # an array over several lines
                more = _without_comment(more)
                value += "\n" + more
                if "]" in _without_strings(more):
                    break
        current[key.group(2)] = _toml_value(value)
    return tables


def _without_strings(text: str) -> str:
    return re.sub(r'"[^"]*"|\'[^\']*\'', "", text)


def _without_comment(text: str) -> str:
    out, quote = "", ""
    for char in text:
        if quote:
            quote = "" if char == quote else quote
        elif char in "\"'":
            quote = char
        elif char == "#":
            break
        out += char
    return out


def _load_pyproject(root: Path) -> Dict[str, Dict[str, object]]:
    text = (root / "pyproject.toml").read_text(encoding="utf-8")
    try:
        import tomllib  # Python >= 3.11
    except ImportError:
        return parse_pyproject(text)
    document = tomllib.loads(text)
    tables: Dict[str, Dict[str, object]] = {"project": document.get("project", {})}
    for name, value in document.get("project", {}).items():
        if isinstance(value, dict):
            tables[f"project.{name}"] = value
    return tables


class Project:
    """What the wheel needs to know from pyproject.toml."""

    def __init__(self, root: Path) -> None:
        tables = _load_pyproject(root)
        project = tables["project"]
        self.root = root
        self.name = str(project["name"])
        self.version = str(project["version"])
        self.summary = str(project.get("description", ""))
        self.requires_python = str(project.get("requires-python", ""))
        self.classifiers = [str(c) for c in project.get("classifiers", [])]
        self.dependencies = [str(d) for d in project.get("dependencies", [])]
        self.extras = {str(k): [str(d) for d in v]
                       for k, v in (project.get("optional-dependencies")
                                    or tables.get("project.optional-dependencies", {})).items()}
        self.scripts = {str(k): str(v) for k, v in (project.get("scripts")
                                                    or tables.get("project.scripts", {})).items()}
        self.readme = str(project.get("readme", ""))

    @property
    def dist_info(self) -> str:
        return f"{self.name}-{self.version}.dist-info"

    def metadata(self) -> str:
        lines = ["Metadata-Version: 2.1", f"Name: {self.name}", f"Version: {self.version}"]
        if self.summary:
            lines.append(f"Summary: {self.summary}")
        if self.requires_python:
            lines.append(f"Requires-Python: {self.requires_python}")
        lines += [f"Classifier: {c}" for c in self.classifiers]
        lines += [f"Requires-Dist: {d}" for d in self.dependencies]
        for extra, needs in self.extras.items():
            lines.append(f"Provides-Extra: {extra}")
            lines += [f'Requires-Dist: {d}; extra == "{extra}"' for d in needs]
        body = ""
        if self.readme:
            lines.append("Description-Content-Type: text/markdown")
            body = (self.root / self.readme).read_text(encoding="utf-8")
        return "\n".join(lines) + "\n\n" + body

    def entry_points(self) -> str:
        if not self.scripts:
            return ""
        return "[console_scripts]\n" + "".join(f"{k} = {v}\n" for k, v in self.scripts.items())


# ------------------------------------------------------------------ libraries

def _setting(config_settings: Optional[dict]) -> Optional[str]:
    value = (config_settings or {}).get("build-dir")
    if isinstance(value, list):  # pip passes a repeated setting as a list
        value = value[-1]
    return value or os.environ.get("KORVEL_BUILD_DIR") or None


def find_libraries(config_settings: Optional[dict] = None) -> List[Tuple[str, Path]]:
    """(soname, file) of each library the wheel carries (none: it uses the
    system's). The build folder holds symlinks; the wheel gets the files."""
    chosen = _setting(config_settings)
    in_checkout = (CHECKOUT / "include" / "korvel.h").is_file()
    if chosen == SYSTEM or (chosen is None and not in_checkout):
        return []
    if chosen is None:
        folder = CHECKOUT / "build"
    else:
        folder = Path(chosen).expanduser()
        if not folder.is_absolute():
            folder = (CHECKOUT if in_checkout else Path.cwd()) / folder
    missing = [name for name in LIBRARIES if not (folder / name).is_file()]
    if missing:
        raise BuildError(f"the Korvel libraries are not built ({' and '.join(missing)} "
                         f"missing in {folder}): {BUILD_HINT}.")
    return [(name, (folder / name).resolve()) for name in LIBRARIES]


# ---------------------------------------------------------------------- wheel

def _timestamp() -> Tuple[int, int, int, int, int, int]:
    epoch = max(int(os.environ.get("SOURCE_DATE_EPOCH", "315532800")), 315532800)
    return time.gmtime(epoch)[:6]


def _record_hash(data: bytes) -> str:
    digest = hashlib.sha256(data).digest()
    return "sha256=" + base64.urlsafe_b64encode(digest).rstrip(b"=").decode()


class _Wheel:
    def __init__(self, path: Path, dist_info: str) -> None:
        self.zip = zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED)
        self.dist_info = dist_info
        self.records: List[str] = []

    def add(self, name: str, data: bytes, mode: int = 0o644) -> None:
        info = zipfile.ZipInfo(name, _timestamp())
        info.external_attr = (0o100000 | mode) << 16
        info.compress_type = zipfile.ZIP_DEFLATED
        self.zip.writestr(info, data)
        self.records.append(f"{name},{_record_hash(data)},{len(data)}")

    def close(self) -> None:
        record = f"{self.dist_info}/RECORD"
        lines = self.records + [f"{record},,"]
        info = zipfile.ZipInfo(record, _timestamp())
        info.external_attr = 0o100644 << 16
        self.zip.writestr(info, "\n".join(lines) + "\n")
        self.zip.close()


def _platform_tag() -> str:
    return re.sub(r"[^A-Za-z0-9]", "_", sysconfig.get_platform())


def _package_files(root: Path) -> List[Tuple[str, Path]]:
    """(name in the wheel, file) for every file of the korvel package."""
    files = []
    for path in sorted((root / "korvel").rglob("*")):
        relative = path.relative_to(root)
        if path.is_dir() or "__pycache__" in relative.parts or path.suffix in (".pyc", ".so") \
                or ".so." in path.name or relative.parts[1:2] == ("lib",):
            continue
        files.append((relative.as_posix(), path))
    return files


def _write_metadata_files(project: Project, add, tag: str) -> None:
    dist = project.dist_info
    add(f"{dist}/METADATA", project.metadata().encode())
    wheel = ("Wheel-Version: 1.0\nGenerator: korvel_build\n"
             f"Root-Is-Purelib: {'true' if tag.endswith('-any') else 'false'}\nTag: {tag}\n")
    add(f"{dist}/WHEEL", wheel.encode())
    if project.entry_points():
        add(f"{dist}/entry_points.txt", project.entry_points().encode())
    add(f"{dist}/top_level.txt", b"korvel\n")


def _wheel_tag(libraries: List[Tuple[str, Path]]) -> str:
    # The libraries are loaded through ctypes: any Python 3, this platform only.
    return f"py3-none-{_platform_tag()}" if libraries else "py3-none-any"


def get_requires_for_build_wheel(config_settings=None):
    return []  # the standard library is enough


def get_requires_for_build_sdist(config_settings=None):
    return []


def get_requires_for_build_editable(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    project = Project(PACKAGE_ROOT)
    target = Path(metadata_directory) / project.dist_info
    target.mkdir(parents=True, exist_ok=True)
    try:
        tag = _wheel_tag(find_libraries(config_settings))
    except BuildError:
        tag = f"py3-none-{_platform_tag()}"  # build_wheel reports the missing libraries

    def add(name: str, data: bytes) -> None:
        (Path(metadata_directory) / name).write_bytes(data)
    _write_metadata_files(project, add, tag)
    return project.dist_info


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    try:
        libraries = find_libraries(config_settings)
    except BuildError as error:
        _fail(error)
    project = Project(PACKAGE_ROOT)
    tag = _wheel_tag(libraries)
    name = f"{project.name}-{project.version}-{tag}.whl"
    wheel = _Wheel(Path(wheel_directory) / name, project.dist_info)
    try:
        for archived, path in _package_files(PACKAGE_ROOT):
            wheel.add(archived, path.read_bytes())
        for soname, library in libraries:
            wheel.add(f"korvel/lib/{soname}", library.read_bytes())
        _write_metadata_files(project, wheel.add, tag)
    finally:
        wheel.close()
    return name


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    """A wheel that puts this checkout's python/ folder on the path; the
    package then finds the libraries in the checkout's build folder."""
    project = Project(PACKAGE_ROOT)
    tag = "py3-none-any"
    name = f"{project.name}-{project.version}-{tag}.whl"
    wheel = _Wheel(Path(wheel_directory) / name, project.dist_info)
    try:
        wheel.add("korvel_editable.pth", (str(PACKAGE_ROOT) + "\n").encode())
        _write_metadata_files(project, wheel.add, tag)
    finally:
        wheel.close()
    return name


def prepare_metadata_for_build_editable(metadata_directory, config_settings=None):
    return prepare_metadata_for_build_wheel(metadata_directory, {"build-dir": SYSTEM})


# ---------------------------------------------------------------------- sdist

def build_sdist(sdist_directory, config_settings=None):
    """The package's sources; a wheel built from them carries no library
    unless KORVEL_BUILD_DIR names the built ones."""
    project = Project(PACKAGE_ROOT)
    base = f"{project.name}-{project.version}"
    name = f"{base}.tar.gz"
    mtime = int(os.environ.get("SOURCE_DATE_EPOCH") or time.time())
    files = [("pyproject.toml", PACKAGE_ROOT / "pyproject.toml"),
             ("build_backend/korvel_build.py", HERE / "korvel_build.py")]
    if project.readme:
        files.append((project.readme, PACKAGE_ROOT / project.readme))
    files += _package_files(PACKAGE_ROOT)
    with tarfile.open(Path(sdist_directory) / name, "w:gz", format=tarfile.PAX_FORMAT) as archive:
        def add(archived: str, data: bytes) -> None:
            info = tarfile.TarInfo(f"{base}/{archived}")
            info.size, info.mtime, info.mode = len(data), mtime, 0o644
            archive.addfile(info, io.BytesIO(data))
        add("PKG-INFO", project.metadata().encode())
        for archived, path in files:
            add(archived, path.read_bytes())
    return name
