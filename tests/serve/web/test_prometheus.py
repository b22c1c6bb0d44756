"""/metrics as Prometheus sees it: promtool accepts the text, and a real
Prometheus server (on a loopback port, with a scrape config written here)
holds the field after a scrape."""

from __future__ import annotations

import json
import socket
import subprocess
import time
import urllib.parse
import urllib.request

import pytest

EXPECTED = ["korvel_field_tesla", "korvel_reading_counts", "korvel_range", "korvel_units_code", "korvel_overrange",
            "korvel_connected", "korvel_exchanges_total", "korvel_exchanges_failed_total", "korvel_scpi_clients",
            "korvel_http_streams"]


def free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def metrics(web) -> str:
    status, headers, body = web.request("GET", "/metrics")
    assert status == 200 and headers["Content-Type"].startswith("text/plain; version=0.0.4")
    return body.decode()


def test_metrics_pass_promtool_and_carry_every_family(web):
    web.scpi("*IDN?")
    text = metrics(web)
    check = subprocess.run(["promtool", "check", "metrics"], input=text.encode(), capture_output=True, timeout=60)
    assert check.returncode == 0, check.stdout.decode() + check.stderr.decode()
    for name in EXPECTED:
        assert f'{name}{{serial="KV0001"}} ' in text, name
    assert 'korvel_field_tesla{serial="KV0001"} 0.0125' in text or 'korvel_field_tesla{serial="KV0001"} 0.0124' in text
    assert 'korvel_connected{serial="KV0001"} 1' in text


def test_metrics_follow_the_meter_away_and_back(web):
    web.toggle_cable()
    deadline = time.monotonic() + 10
    while 'korvel_connected{serial="KV0001"} 0' not in metrics(web):
        assert time.monotonic() < deadline
        time.sleep(0.1)
    text = metrics(web)
    assert "korvel_field_tesla" not in text  # no stale reading while the meter is away
    failed = int(text.split('korvel_exchanges_failed_total{serial="KV0001"} ')[1].split()[0])
    assert failed >= 1
    web.toggle_cable()
    deadline = time.monotonic() + 20
    while 'korvel_connected{serial="KV0001"} 1' not in metrics(web):
        assert time.monotonic() < deadline
        time.sleep(0.2)


@pytest.fixture
def prometheus(tmp_path, web):
    port = free_port()
    config = tmp_path / "prometheus.yml"
    config.write_text(
        "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
        "scrape_configs:\n"
        "  - job_name: korvel\n"
        f"    static_configs:\n      - targets: ['127.0.0.1:{web.http_port}']\n")
    check = subprocess.run(["promtool", "check", "config", str(config)], capture_output=True, timeout=60)
    assert check.returncode == 0, check.stdout.decode() + check.stderr.decode()
    process = subprocess.Popen(
        ["prometheus", f"--config.file={config}", f"--storage.tsdb.path={tmp_path / 'data'}",
         f"--web.listen-address=127.0.0.1:{port}", "--log.level=warn"],
        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        yield f"http://127.0.0.1:{port}"
    finally:
        process.terminate()
        try:
            process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def test_a_real_prometheus_holds_the_field(prometheus):
    query = urllib.parse.urlencode({"query": 'korvel_field_tesla{serial="KV0001"}'})
    deadline = time.monotonic() + 60
    result = []
    while time.monotonic() < deadline:
        try:
            with urllib.request.urlopen(f"{prometheus}/api/v1/query?{query}", timeout=5) as response:
                answer = json.load(response)
            result = answer["data"]["result"]
            if result:
                break
        except OSError:
            pass  # still starting
        time.sleep(0.5)
    assert result, "Prometheus never held korvel_field_tesla"
    assert result[0]["metric"]["job"] == "korvel"
    assert abs(float(result[0]["value"][1]) - 0.0125) < 0.001
