"""A program started by a test whose standard error is collected line by
line while it runs (a server's log), and stopped by a signal."""

from __future__ import annotations

import re
import signal
import subprocess
import threading
import time


class LoggedProcess:
    def __init__(self, command: list, env: dict, stdout=subprocess.DEVNULL) -> None:
        self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=stdout,
                                        stderr=subprocess.PIPE, env=env)
        self.lines: list = []
        self._reader = threading.Thread(target=self._read_log, daemon=True)
        self._reader.start()

    def _read_log(self) -> None:
        for raw in self.process.stderr:
            self.lines.append(raw.decode("utf-8", "replace").rstrip("\n"))

    def wait_for_log(self, pattern: str, timeout: float = 30):
        """The first log line matching the pattern, waiting for it."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for line in list(self.lines):
                match = re.search(pattern, line)
                if match:
                    return match
            if self.process.poll() is not None and not self._reader.is_alive():
                break
            time.sleep(0.02)
        raise AssertionError(f"no log line matching {pattern!r}; log:\n" + "\n".join(self.lines))

    def stop(self, signum=signal.SIGTERM) -> int:
        """Its exit code after the signal (30 s at most)."""
        if self.process.poll() is None:
            self.process.send_signal(signum)
        code = self.process.wait(timeout=30)
        self._reader.join(timeout=10)
        return code
