"""The documentation runner catches the faults it is there for: a failing
line, a snippet that does not compile, a pasted help example that breaks,
a transcript that no longer matches, a server that does not serve. Runs
against the staged install of the build folder (KORVEL_DOCS_BUILD, default
build/)."""

from __future__ import annotations

import os
import sys
import textwrap
import time
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))

import run_docs  # noqa: E402
from run_docs import Block, Failure, Session  # noqa: E402

BUILD = Path(os.environ.get("KORVEL_DOCS_BUILD", run_docs.CHECKOUT / "build"))


@pytest.fixture(scope="module")
def environment(tmp_path_factory):
    if not (BUILD / "korvel").exists():
        pytest.fail(f"{BUILD}/korvel is not built", pytrace=False)
    return run_docs.stage_install(BUILD, tmp_path_factory.mktemp("stage"))


@pytest.fixture
def session(tmp_path, environment):
    return Session(tmp_path / "session", environment)


def test_markdown_blocks_keep_language_markers_and_lines(tmp_path):
    page = tmp_path / "page.md"
    page.write_text(textwrap.dedent("""\
        Intro.

        ```sh norun
        sudo true
        ```

        - item:

          ```python
          print(1)
          ```

        ```
        unlabelled
        ```
        """))
    original, run_docs.CHECKOUT = run_docs.CHECKOUT, tmp_path
    try:
        blocks = run_docs.markdown_blocks(page)
    finally:
        run_docs.CHECKOUT = original
    assert [(b.where, b.language, b.attributes, b.text) for b in blocks] == [
        ("page.md:3", "sh", ["norun"], "sudo true\n"),
        ("page.md:9", "python", [], "print(1)\n"),
        ("page.md:13", "", [], "unlabelled\n"),
    ]
    assert not blocks[0].runs and blocks[1].runs and not blocks[2].runs


def test_a_failing_line_fails_and_the_session_carries_state(session):
    with pytest.raises(Failure, match="exit code"):
        session.run(Block("t", "sh", "true\nfalse\necho never\n"))
    session.run(Block("t", "sh", "export DOCS_MARK=42\nmkdir sub && cd sub\n"))
    output = session.run(Block("t", "sh", 'echo "$DOCS_MARK $(basename "$PWD")"\n'))
    assert output == "42 sub\n"
    with pytest.raises(Failure):
        session.run(Block("t", "sh", "false | cat\n"))  # pipefail


def test_commands_for_a_meter_reach_the_simulated_one(session):
    output = session.run(Block("t", "sh", "korvel scpi '*IDN?'\n"))
    assert output.startswith("KORVEL,")


def test_c_snippets_compile_strictly_and_run(session):
    unfit = "#include <korvel.h>\nMeterHandle h = openKorvel();\nprintf(\"%u\\n\", h);\n"
    with pytest.raises(Failure, match="printf"):
        session.run(Block("t", "c", unfit))
    fragment = "#include <stdio.h>\n#include <korvel.h>\nMeterHandle h = openKorvel();\n" \
               "printf(\"%u\\n\", h);\ncloseKorvel(h);\n"
    assert session.run(Block("t", "c", fragment)).strip() != "0"


def test_a_pasted_python_one_liner_with_indented_lines_fails(session):
    broken = ("python3 -c \"import sys; x = (\n      1);\n      print(x)\"\n")
    with pytest.raises(Failure, match="IndentationError"):
        session.run(Block("t", "sh", broken))


def test_bridge_blocks_get_a_server_on_a_free_port(session):
    text = ("import socket\n"
            "with socket.create_connection(('127.0.0.1', 5025)) as s:\n"
            "    s.sendall(b'*IDN?\\n')\n"
            "    print(s.makefile().readline().strip())\n")
    assert session.run(Block("t", "python", text)).startswith("KORVEL,")


def test_server_blocks_must_serve_and_are_stopped(session):
    output = session.run(Block("t", "sh", "korvel serve --simulate\n"))
    assert "listening" in output
    with pytest.raises(Failure, match="ended"):
        session.run(Block("t", "sh", "korvel serve --simulate --max-clients 0\n"))


def test_a_transcript_that_drifted_fails(session):
    good = "$ korvel --simulate info\nmeter         KORVEL\nstatus byte   000\n"
    session.run(Block("t", "console", good))
    with pytest.raises(Failure, match="'colour'"):
        session.run(Block("t", "console", "$ korvel --simulate info\ncolour   blue\n"))


def test_what_a_block_leaves_running_is_ended(session, tmp_path):
    pid_file = tmp_path / "pid"
    session.run(Block("t", "sh", f"sleep 300 &\necho $! > {pid_file}\n"))
    pid = int(pid_file.read_text())
    deadline = time.monotonic() + 5
    while os.path.exists(f"/proc/{pid}") and time.monotonic() < deadline:
        time.sleep(0.05)
    assert not os.path.exists(f"/proc/{pid}")
