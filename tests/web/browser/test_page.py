"""The filterhost serve page in headless Chromium: open an image, run
filters, read messages, tune parameters, cancel, survive a crash, and the
token that guards it all."""
import base64
import re
import subprocess
import time
import urllib.error
import urllib.request

import pytest
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select, WebDriverWait

from conftest import FILTERHOST, SOURCE

CHELSEA = SOURCE / "examples" / "chelsea.png"
COINS = SOURCE / "examples" / "coins.png"


def wait(driver, condition, timeout=30, what="the page"):
    return WebDriverWait(driver, timeout).until(lambda d: condition(d), f"waiting for {what}")


def text_of(driver, element_id):
    return driver.find_element(By.ID, element_id).get_attribute("textContent")


def open_image(driver, path):
    driver.find_element(By.ID, "file-input").send_keys(str(path))
    wait(driver, lambda d: "×" in text_of(d, "upload-note"), what=f"{path.name} to open")


def current_image_id(driver):
    source = driver.find_element(By.ID, "after-image").get_attribute("src")
    return int(re.search(r"/api/images/(\d+)/preview", source).group(1))


def image_shown(driver):
    return driver.execute_script(
        "const i = document.getElementById('after-image');"
        "return i.complete && i.naturalWidth > 0;")


def run_filter(driver, plugin, params=None):
    Select(driver.find_element(By.ID, "plugin-select")).select_by_value(plugin)
    for name, value in (params or {}).items():
        field = driver.find_element(By.CSS_SELECTOR, f"#param-form input[name='{name}']")
        field.clear()
        field.send_keys(str(value))
    finished = finished_runs(driver)
    driver.find_element(By.ID, "run-button").click()
    wait(driver, lambda d: finished_runs(d) > finished, timeout=60, what=f"{plugin} to finish")


def finished_runs(driver):
    return int(driver.find_element(By.TAG_NAME, "body").get_attribute("data-finished-runs") or 0)


def messages(driver):
    return [m.text for m in driver.find_elements(By.CSS_SELECTOR, "#messages .message")]


def command_line_result(tmp_path, plugin, params):
    """What `filterhost run` writes as PPM for chelsea.png with the same parameters."""
    output = tmp_path / "expected.ppm"
    desktop = tmp_path / "desktop"
    desktop.mkdir()
    command = [str(FILTERHOST), "run", plugin, str(CHELSEA), "-o", str(output), "-q",
               "--desktop-dir", str(desktop), "--prefs-dir", str(tmp_path)]
    help_text = subprocess.run([str(FILTERHOST), "run", "--help"], capture_output=True,
                               text=True).stdout
    if "--param" in help_text:
        for name, value in params.items():
            command += ["--param", f"{name}={value}"]
    else:  # the parameter file the filter reads, defaults for the rest
        values = {"radius": 2.9, "mode": 3, "amount": 100, "clip": 0.005, **params}
        (desktop / "ranksharp.txt").write_bytes(
            "".join(f"{values[k]}\r\n" for k in ("radius", "mode", "amount", "clip")).encode())
    subprocess.run(command, check=True)
    return output.read_bytes()


def test_rgb_to_ihs_shows_the_result_beside_the_original(page, artifacts):
    open_image(page, CHELSEA)
    original = current_image_id(page)
    run_filter(page, "rgb_to_ihs")
    wait(page, lambda d: current_image_id(d) != original and image_shown(d), what="the result")
    assert page.find_element(By.ID, "before-image").is_displayed()
    assert page.find_element(By.ID, "compare-slider").is_enabled()
    steps = [li.text for li in page.find_elements(By.CSS_SELECTOR, "#chain li")]
    assert steps[0].startswith("chelsea.png") and steps[1] == "rgb_to_ihs"
    page.save_screenshot(str(artifacts / "serve.png"))

    # Zoom in and read the pixel under the cursor.
    page.find_element(By.ID, "zoom-one").click()
    stage = page.find_element(By.ID, "stage")
    page.execute_script(
        "const s = document.getElementById('stage'), b = s.getBoundingClientRect();"
        "s.dispatchEvent(new MouseEvent('mousemove', {clientX: Math.ceil(b.left) + 10,"
        " clientY: Math.ceil(b.top) + 20, bubbles: true}));")
    wait(page, lambda d: "x 10  y 20" in text_of(d, "pixel-info") and "…" not in text_of(d, "pixel-info"),
         what="the pixel values")
    assert re.search(r"now: \d+, \d+, \d+ +before: \d+, \d+, \d+", text_of(page, "pixel-info"))
    assert stage.size["width"] == 451

    # Undo goes back to the original.
    page.find_element(By.ID, "undo-button").click()
    assert current_image_id(page) == original
    assert not page.find_element(By.ID, "before-image").is_displayed()


def test_total_perimeter_shows_its_measurement(page):
    # Opened by dropping the file on the page.
    page.execute_script("""
        const bytes = Uint8Array.from(atob(arguments[0]), (c) => c.charCodeAt(0));
        const data = new DataTransfer();
        data.items.add(new File([bytes], 'coins.png', {type: 'image/png'}));
        document.getElementById('drop-zone').dispatchEvent(
          new DragEvent('drop', {dataTransfer: data, bubbles: true, cancelable: true}));
    """, base64.b64encode(COINS.read_bytes()).decode())
    wait(page, lambda d: "coins.png" in text_of(d, "upload-note") and "×" in text_of(d, "upload-note"),
         what="the dropped file to open")
    run_filter(page, "total_perimeter")
    found = messages(page)
    assert len(found) == 1 and re.search(r"\d", found[0]), found


def test_changed_parameters_give_the_command_line_bytes(page, downloads, tmp_path):
    open_image(page, CHELSEA)
    Select(page.find_element(By.ID, "plugin-select")).select_by_value("rank_sharpen")
    radius = page.find_element(By.CSS_SELECTOR, "#param-form input[name='radius']")
    assert radius.get_attribute("value") == "2.9"
    run_filter(page, "rank_sharpen", {"radius": "1.5", "amount": "250"})
    wait(page, image_shown, what="the result")

    # PPM holds the pixels and nothing else, so equal pixels are equal bytes.
    Select(page.find_element(By.ID, "format-select")).select_by_value("ppm")
    for old in downloads.iterdir():
        old.unlink()
    page.find_element(By.ID, "download-button").click()
    saved = downloads / "chelsea-rank_sharpen.ppm"
    wait(page, lambda d: saved.exists() and saved.stat().st_size > 0, what="the download")
    time.sleep(0.5)  # the browser renames its partial file into place
    assert saved.read_bytes() == command_line_result(tmp_path, "rank_sharpen",
                                                     {"radius": "1.5", "amount": "250"})


def test_cancel_stops_a_long_run(page):
    open_image(page, COINS)
    Select(page.find_element(By.ID, "plugin-select")).select_by_value("fh_test_waits")
    page.find_element(By.ID, "run-button").click()
    wait(page, lambda d: "waiting" in messages(d), what="the filter to start waiting")
    assert "fh_test_waits" in text_of(page, "progress-phase")
    page.find_element(By.ID, "cancel-button").click()
    wait(page, lambda d: any("cancelled" in m for m in messages(d)), timeout=15,
         what="the cancel")
    assert len(page.find_elements(By.CSS_SELECTOR, "#chain li")) == 1


def test_a_crashing_plugin_shows_an_error_and_the_next_run_works(page):
    open_image(page, COINS)
    run_filter(page, "web_test_crash")
    assert any("crashed" in m for m in messages(page)), messages(page)
    run_filter(page, "fill_holes")
    wait(page, image_shown, what="the result")
    assert len(page.find_elements(By.CSS_SELECTOR, "#chain li")) == 2
    assert not any("crashed" in m for m in messages(page))


def test_the_reference_image_can_be_stored_and_used(page):
    open_image(page, COINS)
    finished = finished_runs(page)
    page.find_element(By.ID, "reference-button").click()
    wait(page, lambda d: finished_runs(d) > finished, what="store_reference to finish")
    wait(page, lambda d: text_of(d, "reference-info").startswith("Stored: "),
         what="the stored reference")
    width, height = re.search(r"(\d+) × (\d+)", text_of(page, "upload-note")).groups()
    assert text_of(page, "reference-info") == f"Stored: {width} × {height}"
    run_filter(page, "marker_select")
    wait(page, image_shown, what="the result")
    assert len(page.find_elements(By.CSS_SELECTOR, "#chain li")) == 2


def test_the_page_is_refused_without_the_token(browser, server):
    browser.get(server.base + "/")
    assert "token" in browser.find_element(By.TAG_NAME, "body").text
    with pytest.raises(urllib.error.HTTPError) as refused:
        urllib.request.urlopen(server.base + "/api/session")
    assert refused.value.code == 403
