"""VXI-11 from real clients: lxi-tools through the port mapper and pyvisa-py's
TCPIP0::127.0.0.1::instN::INSTR, with the server answering the port mapper
itself, registered with rpcbind, or (port 111 taken) without VXI-11."""

from __future__ import annotations

import re
import socket
import subprocess

import pytest

from lan_harness import LanServer, socket_query, visa

SERIALS = ["KV0001", "KV0002"]  # the simulated bus numbers its meters from 1


def lxi(*arguments: str) -> str:
    result = subprocess.run(["lxi", *arguments], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout


@pytest.fixture
def server(korvel_program, sim_library):
    running = LanServer(korvel_program, sim_library)
    yield running
    assert running.stop() == 0


def test_two_meters_through_the_servers_own_port_mapper(server):
    assert "port mapper answered on port 111" in server.wait_for_log(r"VXI-11 on .*").group(0)
    assert lxi("scpi", "-a", "127.0.0.1", "*IDN?").strip().split(",")[2] == SERIALS[0]
    rm = visa()
    first = rm.open_resource("TCPIP0::127.0.0.1::inst0::INSTR")
    second = rm.open_resource("TCPIP0::127.0.0.1::inst1::INSTR")
    alias = rm.open_resource(f"TCPIP0::127.0.0.1::inst-{SERIALS[1]}::INSTR")
    try:
        assert first.query("*IDN?").split(",")[2] == SERIALS[0]
        assert second.query("*IDN?").split(",")[2] == SERIALS[1]
        assert alias.query("*IDN?").split(",")[2] == SERIALS[1]
        # The socket ports count up from --port's, one per meter, same meters.
        assert [socket_query(port, "*IDN?")[0].split(",")[2] for port in server.socket_ports] == SERIALS
        # The simulated probe sits in 12.5 mT; :READ? answers in tesla.
        assert first.query_ascii_values(":READ?")[0] == pytest.approx(0.0125, abs=0.001)
        # No response waiting: message available (0x10) is clear.
        assert first.read_stb() & 0x10 == 0
        first.write("*IDN?")
        first.clear()  # the unread response is gone
        first.timeout = 500
        import pyvisa
        with pytest.raises(pyvisa.errors.VisaIOError) as timed_out:
            first.read()
        assert timed_out.value.error_code == pyvisa.constants.StatusCode.error_timeout
        # Several commands in one message, answered as one response.
        assert first.query(":UNIT:FLUX:GAUS;:READ?;*OPC?").strip().split(";")[1] == "1"
        assert first.query_ascii_values(":READ?")[0] == pytest.approx(125.0, abs=10)
        rate = re.search(r"Result: ([\d.]+) requests/second", lxi("benchmark", "-a", "127.0.0.1", "-c", "50"))
        assert rate and float(rate.group(1)) > 0
    finally:
        for resource in (first, second, alias):
            resource.close()


def test_registered_with_rpcbind_and_withdrawn(korvel_program, sim_library, rpcbind):
    running = LanServer(korvel_program, sim_library)
    try:
        assert "registered with rpcbind" in running.wait_for_log(r"VXI-11 on .*").group(0)
        port = running.vxi11_port()
        mapped = subprocess.run(["rpcinfo", "-p", "127.0.0.1"], capture_output=True, text=True).stdout
        assert f"395183    1   tcp  {port}" in mapped  # 0x0607AF, version 1
        assert lxi("scpi", "-a", "127.0.0.1", "*IDN?").split(",")[2] == SERIALS[0]
        resource = visa().open_resource(f"TCPIP0::127.0.0.1::inst-{SERIALS[1]}::INSTR")
        assert resource.query("*IDN?").split(",")[2] == SERIALS[1]
        resource.close()
    finally:
        assert running.stop() == 0
    mapped = subprocess.run(["rpcinfo", "-p", "127.0.0.1"], capture_output=True, text=True).stdout
    assert "395183" not in mapped


def test_vxi11_off_when_port_111_is_taken(korvel_program, sim_library):
    squatter = socket.socket()
    squatter.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    squatter.bind(("127.0.0.1", 111))
    squatter.listen()
    try:
        running = LanServer(korvel_program, sim_library, 1)
        try:
            reason = running.wait_for_log(r"VXI-11 is off: .*").group(0)
            assert "port 111" in reason and "in use" in reason
            assert socket_query(running.socket_ports[0], "*IDN?")[0].split(",")[2] == SERIALS[0]
            assert sum("VXI-11 is off" in line for line in running.lines) == 1
        finally:
            assert running.stop() == 0
    finally:
        squatter.close()


LXI = "{http://www.lxistandard.org/InstrumentIdentification/1.0}"
# The identification document's elements, in the order the schema has them
# (no XSD is at hand here to validate against).
LXI_ELEMENTS = ["Manufacturer", "Model", "SerialNumber", "FirmwareRevision", "ManufacturerDescription",
                "HomepageURL", "DriverURL", "UserDescription", "IdentificationURL", "Interface", "LXIVersion"]


def test_lxi_identification_lists_every_door_of_every_meter(server):
    import xml.etree.ElementTree as ElementTree
    status, headers, body = server.request("GET", "/lxi/identification")
    assert status == 200 and headers["Content-Type"].startswith("text/xml")
    device = ElementTree.fromstring(body)
    assert device.tag == LXI + "LXIDevice"
    assert [child.tag.removeprefix(LXI) for child in device] == LXI_ELEMENTS
    assert device.find(LXI + "SerialNumber").text == SERIALS[0]
    assert device.find(LXI + "Manufacturer").text == "KORVEL"
    addresses = [e.text for e in device.find(LXI + "Interface").findall(LXI + "InstrumentAddressString")]
    expected = []
    for index, port in enumerate(server.socket_ports):
        expected += [f"TCPIP::127.0.0.1::inst{index}::INSTR", f"TCPIP::127.0.0.1::{port}::SOCKET"]
    assert addresses == expected
    # Each address works as a VISA resource with the two serials.
    rm = visa()
    for address, serial in zip(addresses, [SERIALS[0], SERIALS[0], SERIALS[1], SERIALS[1]]):
        options = {"read_termination": "\n", "write_termination": "\n"} if address.endswith("SOCKET") else {}
        resource = rm.open_resource(address.replace("TCPIP::", "TCPIP0::"), **options)
        assert resource.query("*IDN?").strip().split(",")[2] == serial
        resource.close()


def test_metrics_carry_every_meter_by_serial(server):
    status, _, body = server.request("GET", "/metrics")
    assert status == 200
    text = body.decode()
    for serial in SERIALS:
        assert f'korvel_connected{{serial="{serial}"}} 1' in text
        assert f'korvel_exchanges_total{{serial="{serial}"}}' in text
    assert text.count("# TYPE korvel_connected gauge") == 1  # one family, a sample per meter
    lint = subprocess.run(["promtool", "check", "metrics"], input=body, capture_output=True)
    assert lint.returncode == 0, lint.stdout + lint.stderr


def test_each_meter_has_a_page_and_the_chooser_lists_them(server):
    import json
    import re as regex
    pages = [int(p) for p in regex.findall(r"page on http://127\.0\.0\.1:(\d+)/ for inst", "\n".join(server.lines))]
    assert len(pages) == 2 and pages[0] == server.http_port
    listed = json.loads(server.request("GET", "/api/meters")[2])
    assert listed == {"current": 0, "meters": [{"name": "inst0", "serial": SERIALS[0], "port": pages[0]},
                                               {"name": "inst1", "serial": SERIALS[1], "port": pages[1]}]}
    second = LanServer.__new__(LanServer)  # the same requests, to the second meter's page
    second.http_port = pages[1]
    assert json.loads(second.request("GET", "/api/meters")[2])["current"] == 1
    assert json.loads(second.request("GET", "/api/state")[2])["meter"]["serial"] == SERIALS[1]
    assert b'id="meters"' in second.request("GET", "/")[2]
