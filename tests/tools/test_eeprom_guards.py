"""The meter's memory cannot be destroyed by accident: a backup never
overwritten unasked, an image of another meter refused, and a restore that
stops only between verified chunks when Ctrl-C, SIGTERM or SIGHUP arrive."""
import os
import pty
import re
import signal
import subprocess
import time

import pytest

from test_cli import KORVEL, sim

CHUNK = 50


def dump(path, *extra):
    result = sim(*extra, "eeprom", "dump", "-o", str(path))
    assert result.returncode == 0, result.stderr
    return path.read_bytes()


def test_dump_never_overwrites_unasked_and_writes_standard_output(tmp_path):
    backup = tmp_path / "backup.bin"
    backup.write_bytes(b"an older backup")
    refused = sim("eeprom", "dump", "-o", str(backup))
    assert refused.returncode == 2 and "exists" in refused.stderr and "--force" in refused.stderr
    assert backup.read_bytes() == b"an older backup"

    forced = sim("eeprom", "dump", "-o", str(backup), "--force")
    assert forced.returncode == 0, forced.stderr
    image = backup.read_bytes()
    assert len(image) > 1000 and image.startswith(b"KORVEL,KV-100,KV0001")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["backup.bin"]  # no .part left

    piped = subprocess.run([KORVEL, "--simulate", "eeprom", "dump", "-o", "-"], capture_output=True, timeout=30)
    assert piped.returncode == 0, piped.stderr
    assert piped.stdout == image and b"standard output" in piped.stderr
    assert not (tmp_path / "-").exists()


@pytest.mark.parametrize("target, says", [
    ("folder", "it is a folder"),
    ("afile/x.bin", "Not a directory"),
    ("missing/x.bin", "No such file or directory"),
])
def test_dump_names_the_real_reason_it_cannot_write(tmp_path, target, says):
    (tmp_path / "folder").mkdir()
    (tmp_path / "afile").write_text("x")
    result = sim("eeprom", "dump", "-o", str(tmp_path / target))
    assert result.returncode == 2
    assert says in result.stderr and "Success" not in result.stderr


def test_restore_refuses_another_meters_image_unless_asked(tmp_path):
    first = tmp_path / "kv0001.bin"
    image = dump(first, "--meters", "2")
    other = sim("--meters", "2", "--meter", "KV0002", "eeprom", "restore", str(first), "--yes")
    assert other.returncode == 2
    assert "meter KV0001, but this is meter KV0002" in other.stderr and "--other-meter" in other.stderr
    assert "restored" not in other.stdout
    # Its own image is taken; another's only with --other-meter.
    assert sim("--meters", "2", "eeprom", "restore", str(first), "--yes").returncode == 0
    forced = sim("--meters", "2", "--meter", "KV0002", "eeprom", "restore", str(first), "--yes", "--other-meter")
    assert forced.returncode == 0, forced.stderr
    # A part of the memory that does not hold the identification is not compared.
    part = tmp_path / "part.bin"
    part.write_bytes(image[0x200:0x240])
    assert sim("--meters", "2", "--meter", "KV0002", "eeprom", "restore", str(part), "--start", "0x200",
               "--yes").returncode == 0


@pytest.mark.parametrize("signals", [[signal.SIGINT, signal.SIGINT], [signal.SIGTERM], [signal.SIGHUP]],
                         ids=["ctrl-c twice", "sigterm", "sighup"])
def test_a_signal_stops_the_restore_between_verified_chunks(tmp_path, signals):
    backup = tmp_path / "backup.bin"
    original = dump(backup, "--latency", "0")
    # The same meter's image with every byte of the free area changed.
    changed = bytearray(original)
    for i in range(0x200, len(changed)):
        changed[i] ^= 0x5A
    image = tmp_path / "changed.bin"
    image.write_bytes(bytes(changed))
    # The simulated meter's memory lasts as long as the program: what was
    # written is judged by the program's own report, which names the first
    # address left unwritten.
    master, slave = pty.openpty()  # progress on a terminal shows how far it is
    process = subprocess.Popen([KORVEL, "--simulate", "--latency", "0.004", "eeprom", "restore", str(image),
                                "--yes"], stdout=subprocess.PIPE, stderr=slave, text=True)
    os.close(slave)
    seen = b""
    try:
        deadline = time.monotonic() + 20
        while b"writing 500 of" not in seen and time.monotonic() < deadline:
            try:
                seen += os.read(master, 4096)
            except OSError:
                break
        for number in signals:
            process.send_signal(number)
            time.sleep(0.01)  # the second Ctrl-C lands within the chunk
        out, _ = process.communicate(timeout=20)
        try:
            while True:
                chunk = os.read(master, 4096)
                if not chunk:
                    break
                seen += chunk
        except OSError:
            pass
    finally:
        process.kill()
        os.close(master)
    text = seen.decode(errors="replace")
    assert process.returncode == 1, text
    assert "restored" not in out
    message = re.search(r"korvel: stopped by .* after (\d+) of (\d+) bytes were written and verified: the memory "
                        r"from 0x([0-9A-F]{4}) to 0x([0-9A-F]{4}) still holds its old bytes, so it is partly "
                        r"written\. Run the restore again to complete it", text)
    assert message, text
    done, total = int(message.group(1)), int(message.group(2))
    assert total == len(changed) and 500 <= done < total
    assert done % CHUNK == 0  # stopped at a chunk's end, never inside one
    assert int(message.group(3), 16) == done


@pytest.mark.parametrize("start, length", [(0x10, 32), (0, 24), (0x13, 100)])
def test_a_partial_image_that_would_rewrite_another_meters_identification_is_refused(tmp_path, start, length):
    # Cut from meter KV0001's memory, restored into meter KV0002.
    image = dump(tmp_path / "kv0001.bin", "--meters", "2")
    part = tmp_path / "part.bin"
    part.write_bytes(image[start:start + length])
    args = ("--meters", "2", "--meter", "KV0002", "eeprom", "restore", str(part), "--start", hex(start), "--yes")
    refused = sim(*args)
    assert refused.returncode == 2, refused.stderr
    assert "identification area" in refused.stderr and "--other-meter" in refused.stderr
    own = dump(tmp_path / "kv0002.bin", "--meters", "2", "--meter", "KV0002")
    assert own[:40].startswith(b"KORVEL,KV-100,KV0002")  # nothing was written
    # The same cut from this meter's own memory is its own: restored.
    part.write_bytes(own[start:start + length])
    assert sim(*args).returncode == 0
    # Past the identification area nothing is compared.
    far = tmp_path / "far.bin"
    far.write_bytes(image[0x100:0x140])
    assert sim("--meters", "2", "--meter", "KV0002", "eeprom", "restore", str(far), "--start", "0x100",
               "--yes").returncode == 0


def test_a_cable_pulled_mid_restore_says_where_the_memory_is_partly_written(tmp_path):
    image = dump(tmp_path / "backup.bin")
    result = sim("--latency", "0.01", "--unplug-after", "0.4", "eeprom", "restore", str(tmp_path / "backup.bin"),
                 "--yes")
    assert result.returncode == 1, result.stderr
    assert "partly written" in result.stderr and "run the restore again" in result.stderr, result.stderr
    assert re.search(r"\d+ of %d bytes were written and verified" % len(image), result.stderr), result.stderr
