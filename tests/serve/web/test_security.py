"""What the page's server refuses: a foreign Host (DNS rebinding), changes
without the token, from another Origin or by GET (cross-site requests); and
a refused change leaves the meter as it was."""

from __future__ import annotations

import json

import pytest


def units(web) -> str:
    return web.scpi(":UNIT:FLUX?")


@pytest.mark.parametrize("host", ["evil.example", "evil.example:8080", "127.0.0.2", "[::2]:80", "", "a:b:c"])
def test_a_foreign_host_is_refused_everywhere(web, host):
    for path in ("/", "/api/state", "/metrics", "/api/stream", "/api/memory.bin"):
        status, _, body = web.request("GET", path, host=host)
        assert status in (400, 403), (path, host, status)
    status, _, _ = web.change("/api/settings", {"units": "T"})
    assert status == 200  # the same request with this server's Host goes through


def test_the_names_of_this_server_are_accepted(web):
    for host in (f"127.0.0.1:{web.http_port}", f"localhost:{web.http_port}", "LOCALHOST", f"[::1]:{web.http_port}"):
        status, _, _ = web.request("GET", "/api/state", host=host)
        assert status == 200, host


def test_changes_without_the_right_token_or_origin_change_nothing(web):
    before = units(web)
    token = web.page_token()
    own = web.origin()
    refused = [
        dict(origin=own, token=None),                       # no token
        dict(origin=own, token=""),                         # empty token
        dict(origin=own, token=token[:-1] + "0" if token[-1] != "0" else token[:-1] + "1"),  # another token
        dict(origin="http://evil.example", token=token),    # foreign page with a stolen token
        dict(origin=None, token=token),                     # no Origin at all
        dict(origin=f"https://127.0.0.1:{web.http_port}", token=token),  # another scheme is another origin
        dict(origin="null", token=token),                   # sandboxed or file: pages
    ]
    for case in refused:
        for path, fields in (("/api/settings", {"units": "T"}), ("/api/recording/start", {}),
                             ("/api/stats/reset", {}), ("/api/sim/field", {"tesla": "1"})):
            status, _, body = web.request("POST", path, fields, **case)
            assert status == 403, (case, path, body)
            assert "refused" in json.loads(body)["error"]
    assert units(web) == before
    state = web.get_json("/api/state")
    assert not state["recording"]["on"] and state["recording"]["file"] == ""
    assert abs(state["reading"]["tesla"] - 0.0125) < 0.001


def test_changes_are_never_made_by_get(web):
    for path in ("/api/settings?units=T", "/api/recording/start", "/api/stats/reset", "/api/sim/field?tesla=1"):
        status, _, _ = web.request("GET", path)
        assert status == 404, path
    assert units(web) == "DC GAUSS"


def test_bad_settings_are_refused_as_a_whole(web):
    for fields in ({"units": "furlong"}, {"range": "3"}, {"hold": "-1"}, {"relative": "1", "bogus": "1"},
                   {"autorange": "yes"}, {}):
        status, _, body = web.change("/api/settings", fields)
        assert status == 400, (fields, body)
    assert units(web) == "DC GAUSS"
    assert web.scpi(":SYST:ERR?").startswith("0")  # nothing reached the meter to refuse


def test_a_token_file_replaces_the_page_token(start, tmp_path):
    token_file = tmp_path / "token"
    token_file.write_text("correct-horse-battery-staple\n")
    web = start("--http-token-file", str(token_file))
    assert web.page_token() == ""  # the page does not hand it out
    status, _, _ = web.change("/api/settings", {"units": "T"}, token="")
    assert status == 403
    status, _, _ = web.change("/api/settings", {"units": "T"}, token="correct-horse-battery-staple")
    assert status == 200
    assert web.scpi(":UNIT:FLUX?") == "DC TESLA"
    assert web.get_json("/api/state")["server"]["access"] == "token"


def test_the_page_alone_without_scpi(start):
    web = start(scpi=False)
    state = web.get_json("/api/state")
    assert state["connected"] and state["server"]["scpi"] is False
    assert not any("listening on" in line for line in web.lines)


def test_options_that_cannot_work_are_usage_errors(korvel_program, sim_library, tmp_path):
    import os
    import subprocess
    env = dict(os.environ, KORVEL_SIM_LIBRARY=sim_library)
    short = tmp_path / "short"
    short.write_text("tooshort\n")
    for options, message in ((["--no-scpi"], "--no-scpi needs --http"),
                             (["--http", "0", "--record-dir", str(tmp_path / "missing")], "is not a folder"),
                             (["--http", "0", "--http-token-file", str(short)], "16 characters or more"),
                             (["--http", "0", "--http-token-file", str(tmp_path / "none")], "cannot read")):
        run = subprocess.run([korvel_program, "--simulate", "serve", "--bind", "127.0.0.1", "--port", "0", *options],
                             env=env, capture_output=True, timeout=60, stdin=subprocess.DEVNULL)
        assert run.returncode == 2 and message in run.stderr.decode(), (options, run.stderr.decode())


def test_another_name_is_accepted_when_given(start):
    web = start("--http-host", "bench-pc.lab.example", "--http-host", "Other:8080")
    for host in (f"bench-pc.lab.example:{web.http_port}", "other", f"127.0.0.1:{web.http_port}"):
        status, _, _ = web.request("GET", "/api/state", host=host)
        assert status == 200, host
    status, _, _ = web.request("GET", "/api/state", host="lab.example")
    assert status == 403
