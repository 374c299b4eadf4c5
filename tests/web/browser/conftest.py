"""Fixtures for the page tests: one filterhost serve and one headless
Chromium for the whole module, a fresh page for each test."""
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
from pathlib import Path

import pytest
from selenium import webdriver
from selenium.webdriver.chrome.service import Service

BUILD = Path(os.environ["FILTERKIT_BUILD_DIR"])
SOURCE = Path(os.environ["FILTERKIT_SOURCE_DIR"])
ARTIFACTS = Path(os.environ.get("FILTERKIT_ARTIFACTS", BUILD / "tests" / "web-artifacts"))
FILTERHOST = BUILD / "bin" / "filterhost"
PLUGIN_PATH = f"{BUILD / 'plugins'}:{BUILD / 'test_plugins'}"


class Server:
    def __init__(self, prefs):
        self.process = subprocess.Popen(
            [str(FILTERHOST), "--plugin-dir", PLUGIN_PATH, "serve", "--port", "0",
             "--prefs-dir", str(prefs)],
            stdout=subprocess.PIPE, text=True)
        lines = []
        deadline = time.time() + 10
        while time.time() < deadline:
            line = self.process.stdout.readline()
            lines.append(line)
            found = re.search(r"(http://[0-9.]+:\d+)/\?token=([0-9a-f]+)", line)
            if found:
                self.base, self.token = found.group(1), found.group(2)
                return
        raise RuntimeError("filterhost serve printed no address: " + "".join(lines))

    @property
    def url(self):
        return f"{self.base}/?token={self.token}"

    def stop(self):
        self.process.send_signal(signal.SIGINT)
        self.process.wait(timeout=15)


@pytest.fixture(scope="session")
def workdir():
    folder = Path(tempfile.mkdtemp(prefix="serve_browser_"))
    yield folder
    shutil.rmtree(folder, ignore_errors=True)


@pytest.fixture(scope="session")
def server(workdir):
    prefs = workdir / "prefs"
    prefs.mkdir()
    running = Server(prefs)
    yield running
    running.stop()


@pytest.fixture(scope="session")
def downloads(workdir):
    folder = workdir / "downloads"
    folder.mkdir()
    return folder


@pytest.fixture(scope="session")
def browser(downloads):
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage",
                     "--window-size=1400,900", "--disable-gpu"):
        options.add_argument(argument)
    options.add_experimental_option("prefs", {
        "download.default_directory": str(downloads),
        "download.prompt_for_download": False,
    })
    service = Service(executable_path=shutil.which("chromedriver") or "/usr/bin/chromedriver")
    driver = webdriver.Chrome(service=service, options=options)
    driver.set_script_timeout(30)
    yield driver
    driver.quit()


@pytest.fixture
def page(browser, server):
    browser.get(server.url)
    return browser


@pytest.fixture(scope="session")
def artifacts():
    ARTIFACTS.mkdir(parents=True, exist_ok=True)
    return ARTIFACTS
