"""The live page in a real headless Chromium: it loads cleanly, follows the
simulated field, drives the meter's settings, records, and shows the meter
going away and coming back."""

from __future__ import annotations

import csv
import io
import os
import subprocess
import time

from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select, WebDriverWait

CSV_HEADER = ["timestamp", "elapsed_s", "tesla", "text", "units", "range", "acdc", "counts", "over_range"]


def wait(driver, condition, timeout=15):
    return WebDriverWait(driver, timeout, poll_frequency=0.05).until(lambda d: condition(d))


def text(driver, element_id):
    return driver.find_element(By.ID, element_id).text


def severe_console_entries(driver):
    return [e for e in driver.get_log("browser") if e["level"] == "SEVERE"]


def open_page(driver, web):
    driver.get("about:blank")
    driver.get_log("browser")  # what earlier pages left
    driver.get(web.url + "/")
    wait(driver, lambda d: d.execute_script("return window.korvelPage && window.korvelPage.firstReadingMs"))


def test_page_loads_cleanly_and_follows_the_field(browser, web, artifacts):
    open_page(browser, web)
    assert text(browser, "status").startswith("connected · KV0001")
    assert "HP-100" in text(browser, "status")
    wait(browser, lambda d: d.execute_script("return document.querySelector('#chart canvas') !== null"))
    assert severe_console_entries(browser) == []

    # The simulated field, set from the page's own control (--simulate only).
    field = browser.find_element(By.ID, "simfield")
    field.clear()
    field.send_keys("0.05")
    browser.find_element(By.ID, "simset").click()
    wait(browser, lambda d: text(d, "value") == "500.0G")
    assert text(browser, "units") == "G" and text(browser, "acdc") == "DC"
    assert text(browser, "tesla") == "50.000 mT"

    # Beyond its range the count pins and the page says so (a range chosen
    # by hand ends auto-ranging).
    assert not browser.find_element(By.ID, "over").is_displayed()
    for chosen in ("1", "0"):
        Select(browser.find_element(By.ID, "setrange")).select_by_value(chosen)
        wait(browser, lambda d: web.scpi(":SENS:FLUX:RANG?") == chosen)
    field.clear()
    field.send_keys("0.5")
    browser.find_element(By.ID, "simset").click()
    wait(browser, lambda d: d.find_element(By.ID, "over").is_displayed())
    assert text(browser, "value") == "3276.7G"
    field.clear()
    field.send_keys("0.0125")
    browser.find_element(By.ID, "simset").click()
    wait(browser, lambda d: not d.find_element(By.ID, "over").is_displayed())
    wait(browser, lambda d: text(d, "value") == "125.0G")
    time.sleep(1)  # a second of chart for the screenshot
    browser.save_screenshot(str(artifacts / "live-page.png"))
    assert severe_console_entries(browser) == []


def test_settings_from_the_page_reach_the_meter(browser, web):
    open_page(browser, web)
    Select(browser.find_element(By.ID, "setunits")).select_by_value("T")
    wait(browser, lambda d: text(d, "message") == "units set")
    assert web.scpi(":UNIT:FLUX?") == "DC TESLA"
    wait(browser, lambda d: text(d, "units") == "T" and text(d, "value").endswith("T"))

    Select(browser.find_element(By.ID, "setacdc")).select_by_value("AC")
    wait(browser, lambda d: text(d, "message") == "mode set")
    assert web.scpi(":UNIT:FLUX?") == "AC TESLA"

    Select(browser.find_element(By.ID, "setrange")).select_by_value("2")
    wait(browser, lambda d: text(d, "message") == "range set")
    assert web.scpi(":SENS:FLUX:RANG?") == "2"

    Select(browser.find_element(By.ID, "sethold")).select_by_value("1")
    wait(browser, lambda d: text(d, "message") == "hold set")
    assert web.scpi(":SENS:HOLD:STAT?") == "1"
    wait(browser, lambda d: d.find_element(By.ID, "holdflag").is_displayed())

    browser.find_element(By.ID, "zero").click()
    wait(browser, lambda d: text(d, "message").startswith("zeroed"))
    assert web.scpi(":SYST:AREL:STAT?") == "1"
    browser.find_element(By.ID, "reloff").click()
    wait(browser, lambda d: text(d, "message") == "relative mode off")
    assert web.scpi(":SYST:AREL:STAT?") == "0"

    browser.find_element(By.ID, "reset").click()
    wait(browser, lambda d: text(d, "message") == "statistics reset")
    assert severe_console_entries(browser) == []


def test_recording_gives_a_csv_whose_rows_parse(browser, web, tmp_path):
    open_page(browser, web)
    browser.find_element(By.ID, "record").click()
    wait(browser, lambda d: text(d, "record") == "Stop recording")
    wait(browser, lambda d: d.execute_script("return window.korvelPage.events") > 0)
    time.sleep(1.5)
    browser.find_element(By.ID, "record").click()
    wait(browser, lambda d: text(d, "record") == "Start recording")
    link = browser.find_element(By.ID, "download")
    assert link.is_displayed()

    status, headers, body = web.request("GET", "/api/recording.csv")
    assert status == 200 and "attachment" in headers["Content-Disposition"]
    recording = body.decode()
    assert recording.startswith("# korvel ") and "\n# serial: KV0001\n" in recording  # the meta block names the meter
    rows = [row for row in csv.reader(io.StringIO(recording)) if not row[0].startswith("#")]
    assert rows[0] == CSV_HEADER
    assert len(rows) >= 6, rows  # 10 a second for 1.5 s, less what the page's round trips take
    for row in rows[1:]:
        assert abs(float(row[2]) - 0.0125) < 0.001 and row[4] == "G" and row[6] == "DC"
        int(row[7])
        assert row[8] == "false"
    elapsed = [float(r[1]) for r in rows[1:]]
    assert elapsed == sorted(elapsed) and elapsed[0] == 0.0
    files = list(tmp_path.glob("korvel-KV0001-*.csv"))
    assert len(files) == 1 and files[0].read_bytes() == body


def test_the_meter_lost_and_back_shows_on_the_page(browser, web, artifacts):
    open_page(browser, web)
    wait(browser, lambda d: d.execute_script("return window.korvelPage.events") > 5)
    web.toggle_cable()
    wait(browser, lambda d: text(d, "status").startswith("waiting for the meter"))
    assert text(browser, "value") == "no meter"
    time.sleep(0.5)
    web.toggle_cable()
    wait(browser, lambda d: text(d, "status").startswith("connected"), timeout=20)
    wait(browser, lambda d: d.execute_script("return window.korvelPage.events") > 0)
    time.sleep(0.5)
    # A gap: an empty point with readings before and after it.
    gap = browser.execute_script(
        "const p = window.korvelPage.points; let seen = 0;"
        "for (const [t, v] of p) { if (seen === 0 && v !== null) seen = 1;"
        " else if (seen === 1 && v === null) seen = 2; else if (seen === 2 && v !== null) return true; }"
        "return false;")
    assert gap
    history = web.get_json("/api/history?seconds=60")
    assert None in history["v"] and history["v"][-1] is not None
    Select(browser.find_element(By.ID, "window")).select_by_value("60")  # the outage spans seconds
    time.sleep(0.5)
    browser.save_screenshot(str(artifacts / "live-page-after-outage.png"))


def test_memory_image_is_offered_read_only(browser, web, korvel_program, sim_library, tmp_path):
    open_page(browser, web)
    link = browser.find_element(By.ID, "memory")
    assert link.get_attribute("href").endswith("/api/memory.bin")
    status, headers, body = web.request("GET", "/api/memory.bin")
    assert status == 200, body
    # The same bytes `korvel eeprom dump` saves from a simulated meter.
    dump = tmp_path / "dump.bin"
    subprocess.run([korvel_program, "--simulate", "eeprom", "dump", "-o", str(dump)], check=True, timeout=60,
                   env=dict(os.environ, KORVEL_SIM_LIBRARY=sim_library), capture_output=True)
    assert body == dump.read_bytes()
    assert 'filename="korvel-KV0001-memory.bin"' in headers["Content-Disposition"]
    # No route writes the memory, whatever the method.
    for method in ("POST", "PUT"):
        status, _, _ = web.request(method, "/api/memory.bin", {}, origin=web.origin(), token=web.page_token())
        assert status in (404, 405)
