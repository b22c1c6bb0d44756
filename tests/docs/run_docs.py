#!/usr/bin/env python3
"""Runs the documentation: every fenced code block of README.md, HACKING.md,
python/README.md and docs/*.md (the commands' examples among them, in the
generated docs/cli-reference.md), on the simulated meter. A snippet that fails fails the
run. tests/docs/README.md describes the conventions for writers.

Each Markdown file is one terminal session, as a reader pastes it: blocks run
in order in a scratch folder that shows the checkout's top-level entries (so
`pip install ./python` and `bash scripts/demo.sh` work as written), with a
scratch HOME; the environment and folder a shell block leaves (an activated
venv, a `cd`) carry over to the blocks after it. The installed system is a
staged `cmake --install` of the build folder: `korvel`, pkg-config, CMake
package and libraries are found there, and KORVEL_LIBRARY names the simulated
library, so commands written for a meter on USB talk to the simulated one.

Usage: run_docs.py [--build DIR] [--only SUBSTRING] [--list] [--keep] [--verbose]
"""

from __future__ import annotations

import argparse
import getpass
import os
import re
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Dict, List, Optional, Tuple

CHECKOUT = Path(__file__).resolve().parents[2]
DOCUMENTS = ["README.md", "HACKING.md", "python/README.md", "docs/*.md"]
SHELL = {"sh", "bash", "shell"}
RUNS = SHELL | {"python", "c", "cmake", "console"}
SHOWN = {"text", "output", "json", "yaml"}      # output or file contents: never run
BRIDGE_PORT = "5025"
BRIDGE = re.compile(r"127\.0\.0\.1(?:::|:|['\"],\s*)5025")  # VISA, host:port, (host, port)
SERVE = re.compile(r"\bkorvel\b(?:\s+--?[\w-]+(?:\s+[^\s-][^\s]*)?)*\s+serve\b")  # korvel [options] serve
LONG_RUNNING = re.compile(SERVE.pattern + r"|--continuous\b")
PAGE_PORT = "8080"
PAGE = re.compile(r"(?:127\.0\.0\.1|localhost):8080")  # the live page of a server here
BROKER_PORT = "1883"
BROKER = re.compile(r"127\.0\.0\.1\b.*\b1883\b|\b1883\b.*127\.0\.0\.1\b")  # an MQTT broker here
BLOCK_TIMEOUT = 300                            # `bash scripts/demo.sh` may build
READY_TIMEOUT = 15


@dataclass
class Block:
    where: str                                 # file:line of the opening fence
    language: str
    text: str
    attributes: List[str] = field(default_factory=list)

    @property
    def runs(self) -> bool:
        return self.language in RUNS and "norun" not in self.attributes


class Failure(Exception):
    pass


# ------------------------------------------------------------------ sources

_FENCE = re.compile(r"^(\s*)(```+|~~~+)\s*(.*)$")


def markdown_blocks(path: Path) -> List[Block]:
    """Every fenced block with its info string; an unlabelled one is an error
    (say what it is: a language, or `text` for output)."""
    blocks, lines = [], path.read_text(encoding="utf-8").splitlines()
    index = 0
    while index < len(lines):
        opening = _FENCE.match(lines[index])
        if not opening:
            index += 1
            continue
        indent, fence, info = opening.groups()
        start, body = index + 1, []
        index += 1
        while index < len(lines) and not lines[index].strip().startswith(fence):
            line = lines[index]
            body.append(line[len(indent):] if line.startswith(indent) else line)
            index += 1
        index += 1
        words = info.split()
        language = words[0].lower() if words else ""
        blocks.append(Block(f"{path.relative_to(CHECKOUT)}:{start}", language,
                            "\n".join(body) + "\n", words[1:]))
    return blocks


# ---------------------------------------------------------------- processes

def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def accepts(port: int) -> bool:
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=0.5):
            return True
    except OSError:
        return False


def stop(process: subprocess.Popen, how: int = signal.SIGINT) -> None:
    """Signals the block's process group, waits, then ends whatever of the
    group is left (a command a block left running in the background)."""
    if process.poll() is None:
        _signal_group(process, how)
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            _signal_group(process, signal.SIGKILL)
            process.wait()
    _signal_group(process, signal.SIGKILL)


def _signal_group(process: subprocess.Popen, how: int) -> None:
    try:
        os.killpg(process.pid, how)  # the group the block was started in
    except (ProcessLookupError, PermissionError):
        pass


def with_port(text: str, port: int, page_port: int = 0) -> str:
    """The block as run: port 5025 becomes a free one, and a `korvel serve`
    without --port gets one (tests never listen on a fixed port); so does
    the live page's 8080."""
    text = text.replace(BRIDGE_PORT, str(port))
    if page_port:
        text = re.sub(rf"\b{PAGE_PORT}\b", str(page_port), text)
    return re.sub(SERVE.pattern + r"(?![^\n|;&]*--port)", lambda m: f"{m.group(0)} --port {port}", text)


class Bridge:
    """`korvel serve --simulate` on a free loopback port, for blocks that
    reach the meter through the network (with the live page on another free
    port for blocks that reach the page)."""

    def __init__(self, environment: Dict[str, str], log: Path, page: bool = False) -> None:
        self.log = log
        self.page_port = 0
        for _ in range(3):
            self.port = free_port()
            command = ["korvel", "serve", "--simulate", "--bind", "127.0.0.1", "--port", str(self.port)]
            if page:
                self.page_port = free_port()
                command += ["--http", str(self.page_port)]
            with log.open("w") as output:
                self.process = subprocess.Popen(command, env=environment, stdin=subprocess.DEVNULL,
                                                stdout=output, stderr=subprocess.STDOUT, start_new_session=True)
            deadline = time.monotonic() + READY_TIMEOUT
            while time.monotonic() < deadline and self.process.poll() is None:
                if accepts(self.port) and (not page or accepts(self.page_port)):
                    return
                time.sleep(0.05)
            stop(self.process, signal.SIGKILL)
        raise Failure(f"the bridge did not start:\n{log.read_text()}")

    def close(self) -> None:
        stop(self.process, signal.SIGTERM)
        if self.process.returncode != 0:
            raise Failure(f"the bridge exited with {self.process.returncode}:\n{self.log.read_text()}")


class Broker:
    """A Mosquitto on a free loopback port with a config written here, for
    blocks that publish to or subscribe at the broker on this machine."""

    def __init__(self, folder: Path, log: Path) -> None:
        self.log = log
        self.port = free_port()
        config = folder / f"mosquitto-{self.port}.conf"
        config.write_text(f"user {getpass.getuser()}\nlistener {self.port} 127.0.0.1\nallow_anonymous true\n")
        with log.open("w") as output:
            self.process = subprocess.Popen(["mosquitto", "-c", str(config)], stdin=subprocess.DEVNULL,
                                            stdout=output, stderr=subprocess.STDOUT, start_new_session=True)
        deadline = time.monotonic() + READY_TIMEOUT
        while time.monotonic() < deadline and self.process.poll() is None:
            if accepts(self.port):
                return
            time.sleep(0.05)
        stop(self.process, signal.SIGKILL)
        raise Failure(f"mosquitto did not start:\n{log.read_text()}")

    def close(self) -> None:
        stop(self.process, signal.SIGTERM)


# ----------------------------------------------------------------- sessions

class Session:
    """One reader's terminal: environment and folder carry from block to block."""

    def __init__(self, scratch: Path, environment: Dict[str, str]) -> None:
        self.scratch = scratch
        self.home = scratch / "home"
        self.cwd = scratch / "work"
        self.home.mkdir(parents=True)
        self.cwd.mkdir()
        for entry in sorted(CHECKOUT.iterdir()):
            if entry.name == ".git" or (entry.name.startswith("build") and entry.name != "build"):
                continue
            (self.cwd / entry.name).symlink_to(entry)
        self.environment = dict(environment, HOME=str(self.home))
        self.count = 0

    def _file(self, suffix: str) -> Path:
        self.count += 1
        return self.scratch / f"block{self.count}{suffix}"

    def run(self, block: Block) -> str:
        bridge = broker = None
        text = block.text
        serves = block.language in SHELL and LONG_RUNNING.search(text)
        if (BRIDGE.search(text) or PAGE.search(text)) and not serves:
            bridge = Bridge(self.environment, self._file(".bridge.log"), page=bool(PAGE.search(text)))
            text = with_port(text, bridge.port, bridge.page_port)
        if BROKER.search(text):
            broker = Broker(self.scratch, self._file(".broker.log"))
            text = re.sub(rf"\b{BROKER_PORT}\b", str(broker.port), text)
        try:
            runner = {"python": self._python, "c": self._c, "cmake": self._cmake,
                      "console": self._console}.get(block.language, self._shell)
            return runner(text)
        finally:
            if bridge:
                bridge.close()
            if broker:
                broker.close()

    def _execute(self, command: List[str], long_running: bool = False, port: int = 0,
                 cwd: Optional[Path] = None) -> str:
        log = self._file(".log")
        with log.open("w") as output:
            process = subprocess.Popen(command, cwd=cwd or self.cwd, env=self.environment,
                                       stdin=subprocess.DEVNULL, stdout=output,
                                       stderr=subprocess.STDOUT, start_new_session=True)
            if long_running:
                return self._until_ready(process, log, port)
            try:
                process.wait(timeout=BLOCK_TIMEOUT)
            except subprocess.TimeoutExpired:
                raise Failure(f"still running after {BLOCK_TIMEOUT} s:\n{log.read_text()}")
            finally:
                stop(process, signal.SIGKILL)
        if process.returncode != 0:
            raise Failure(f"exit code {process.returncode}:\n{log.read_text()}")
        return log.read_text()

    def _until_ready(self, process: subprocess.Popen, log: Path, port: int) -> str:
        """A block that runs until stopped passes when it is serving (its
        port accepts) or producing output, still running; then Ctrl-C."""
        deadline = time.monotonic() + READY_TIMEOUT
        try:
            while time.monotonic() < deadline and process.poll() is None:
                ready = accepts(port) if port else bool(log.read_text().strip())
                if ready:
                    time.sleep(0.3)
                    if process.poll() is None:
                        return log.read_text()
                time.sleep(0.05)
            if process.poll() is None:
                raise Failure(f"not ready after {READY_TIMEOUT} s:\n{log.read_text()}")
            raise Failure(f"ended (exit code {process.returncode}) instead of running on:\n"
                          f"{log.read_text()}")
        finally:
            stop(process)

    def _shell(self, text: str) -> str:
        state = self._file(".env")
        long_running = bool(LONG_RUNNING.search(text))
        port = 0
        if long_running and SERVE.search(text):
            port = free_port()
            page_port = free_port() if re.search(rf"--http\s+{PAGE_PORT}\b", text) else 0
            text = with_port(text, port, page_port)
        script = self._file(".sh")
        script.write_text("set -e -o pipefail\n" + text +
                          f"\nenv -0 > {shlex.quote(str(state))}; pwd >> {shlex.quote(str(state))}\n")
        output = self._execute(["bash", str(script)], long_running, port)
        if state.exists() and not long_running:
            *variables, folder = state.read_text().split("\0")
            self.environment = dict(v.split("=", 1) for v in variables if "=" in v)
            self.cwd = Path(folder.strip())
        return output

    def _python(self, text: str) -> str:
        script = self._file(".py")
        script.write_text(text)
        python = shutil.which("python3", path=self.environment["PATH"])
        return self._execute([python, str(script)])

    def _c(self, text: str) -> str:
        """Compiled against the staged install with pkg-config (korvel-sim:
        the simulated meter), warnings as errors, then run."""
        if not re.search(r"\bmain\s*\(", text):
            includes = [line for line in text.splitlines() if line.startswith("#include")]
            statements = [line for line in text.splitlines() if not line.startswith("#include")]
            text = "\n".join(includes) + "\nint main(void)\n{\n" + "\n".join(statements) + \
                "\nreturn 0;\n}\n"
        source = self._file(".c")
        source.write_text(text)
        program = source.with_suffix("")
        flags = subprocess.run(["pkg-config", "--cflags", "--libs", "korvel-sim"], env=self.environment,
                               capture_output=True, text=True, check=True).stdout.split()
        self._execute(["cc", "-std=c99", "-Wall", "-Wextra", "-Werror", "-pedantic", str(source),
                       *flags, "-o", str(program)])
        output = self._execute([str(program)])
        if not output.strip():
            raise Failure("the program printed nothing")
        return output

    def _cmake(self, text: str) -> str:
        """A fragment gets a project around it: an executable `app` whose
        source opens a meter; it must configure, build and run."""
        project = self._file(".cmake")
        project.mkdir()
        if "project(" not in text:
            text = ("cmake_minimum_required(VERSION 3.16)\nproject(snippet C)\n"
                    "add_executable(app app.c)\n" + text)
            (project / "app.c").write_text(
                "#include <stdio.h>\n#include <korvel.h>\n"
                "int main(void)\n{\n    MeterHandle h = openKorvel();\n"
                "    printf(\"handle %u\\n\", h);\n    if (h) closeKorvel(h);\n    return 0;\n}\n")
        (project / "CMakeLists.txt").write_text(text)
        self._execute(["cmake", "-S", str(project), "-B", str(project / "build"), "-G", "Ninja"])
        self._execute(["cmake", "--build", str(project / "build")])
        if (project / "build" / "app").exists():
            return self._execute([str(project / "build" / "app")])
        return ""

    def _console(self, text: str) -> str:
        """A transcript: each `$ ` line runs; the output must show the
        transcript's lines in order, compared by their labels (the words
        before a gap of two spaces or more), since readings vary."""
        commands, expected = [], []
        for line in text.splitlines():
            if line.startswith("$ "):
                commands.append(line[2:])
            elif line.strip() and commands:
                expected.append(_label(line))
        output = "".join(self._shell(command + "\n") for command in commands)
        labels = iter([_label(line) for line in output.splitlines() if line.strip()])
        for label in expected:
            if not any(label == seen for seen in labels):
                raise Failure(f"the transcript shows '{label}', the program did not:\n{output}")
        return output


def _label(line: str) -> str:
    return re.split(r"\s{2,}", line.strip(), maxsplit=1)[0]


# --------------------------------------------------------------------- main

def stage_install(build: Path, scratch: Path) -> Dict[str, str]:
    """Installs the build folder into a staging root and returns an
    environment that sees that install as the system's."""
    stage = scratch / "stage"
    done = subprocess.run(["cmake", "--install", str(build)], env=dict(os.environ, DESTDIR=str(stage)),
                          capture_output=True, text=True)
    if done.returncode != 0:
        raise Failure(f"cmake --install {build}: {done.stdout}{done.stderr}")
    prefix = stage / Path(_cache(build, "CMAKE_INSTALL_PREFIX")).relative_to("/")
    libdir = prefix / _cache(build, "CMAKE_INSTALL_LIBDIR", "lib")
    bins = scratch / "bin"                     # python3 is Debian's: it has pyvisa, pymeasure
    bins.mkdir()
    for name in ("python3", "python"):
        (bins / name).symlink_to("/usr/bin/python3")
    environment = {key: value for key, value in os.environ.items()
                   if not key.startswith(("KORVEL_", "PYTHON", "VIRTUAL_ENV", "PIP_"))}
    environment.update(
        PATH=f"{bins}:{prefix / 'bin'}:{os.environ['PATH']}",
        KORVEL_LIBRARY=str(libdir / "libkorvel-x64-sim.so.1"),
        LD_LIBRARY_PATH=str(libdir),
        PKG_CONFIG_PATH=str(libdir / "pkgconfig"), PKG_CONFIG_SYSROOT_DIR=str(stage),
        CMAKE_PREFIX_PATH=str(prefix),
        MANPAGER="cat", PAGER="cat", MANWIDTH="80",
        PYTHONDONTWRITEBYTECODE="1", MPLBACKEND="Agg",
        PIP_NO_INDEX="1", PIP_DISABLE_PIP_VERSION_CHECK="1", LC_ALL="C.UTF-8")
    if build != CHECKOUT / "build":  # `pip install ./python` takes the libraries from there
        environment["KORVEL_BUILD_DIR"] = str(build)
    return environment


def _cache(build: Path, name: str, default: str = "") -> str:
    for line in (build / "CMakeCache.txt").read_text().splitlines():
        if line.startswith(name + ":"):
            return line.split("=", 1)[1]
    return default


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=str(CHECKOUT / "build"), help="build folder (default build)")
    parser.add_argument("--only", default=os.environ.get("KORVEL_DOCS_ONLY"),
                        help="run only sources whose name contains this (default KORVEL_DOCS_ONLY)")
    parser.add_argument("--list", action="store_true", help="list the blocks, run nothing")
    parser.add_argument("--keep", action="store_true", help="keep the scratch folder")
    parser.add_argument("--verbose", action="store_true", help="show what each block printed")
    args = parser.parse_args()

    documents = sorted({path for pattern in DOCUMENTS for path in CHECKOUT.glob(pattern)})
    scratch = Path(tempfile.mkdtemp(prefix="korvel-docs-"))
    started = time.monotonic()
    ran = shown = 0
    failures: List[str] = []
    try:
        environment = stage_install(Path(args.build).resolve(), scratch)
        sources: List[Tuple[str, List[Block]]] = [
            (str(path.relative_to(CHECKOUT)), markdown_blocks(path)) for path in documents]
        for number, (source, blocks) in enumerate(sources):
            if args.only and args.only not in source:
                continue
            session = None
            for block in blocks:
                label = f"{block.where} [{block.language or 'unlabelled'}]"
                if not block.language:
                    failures.append(f"{label}: say what the block is (sh, python, c, cmake, console, "
                                    "or text for output)")
                    continue
                if block.language not in RUNS | SHOWN:
                    failures.append(f"{label}: unknown language '{block.language}'")
                    continue
                if not block.runs or args.list:
                    shown += not block.runs
                    print(f"   {'run ' if block.runs else 'shown'} {label}", flush=True)
                    continue
                session = session or Session(scratch / f"session{number}", environment)
                began = time.monotonic()
                try:
                    output = session.run(block)
                except (Failure, OSError, subprocess.SubprocessError) as error:
                    failures.append(f"{label}:\n{block.text}{error}")
                    print(f"FAIL {label}", flush=True)
                    continue
                ran += 1
                print(f"ok   {label} ({time.monotonic() - began:.1f} s)", flush=True)
                if args.verbose:
                    print("     " + output.rstrip().replace("\n", "\n     "), flush=True)
    except Failure as error:
        failures.append(str(error))
    finally:
        if args.keep:
            print(f"scratch folder: {scratch}")
        else:
            shutil.rmtree(scratch, ignore_errors=True)
    for failure in failures:
        print(f"\n--- {failure.rstrip()}", file=sys.stderr)
    print(f"\n{ran} blocks ran, {shown} shown only, {len(failures)} failed, "
          f"{time.monotonic() - started:.1f} s")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
