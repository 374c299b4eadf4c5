"""Runs the page tests in headless Chromium, or says clearly why they are
skipped (exit status 77) when the browser packages are not installed."""
import importlib.util
import os
import shutil
import sys
from pathlib import Path

SKIPPED = 77


def missing_packages():
    missing = []
    if not (shutil.which("chromium") or os.path.exists("/usr/bin/chromium")):
        missing.append("chromium")
    if not (shutil.which("chromedriver") or os.path.exists("/usr/bin/chromedriver")):
        missing.append("chromium-driver")
    for module, package in (("selenium", "python3-selenium"), ("pytest", "python3-pytest")):
        if importlib.util.find_spec(module) is None:
            missing.append(package)
    return missing


def main():
    build, source = (str(Path(p).resolve()) for p in sys.argv[1:3])
    missing = missing_packages()
    if missing:
        print("SKIPPED: the browser tests need the Debian packages " + ", ".join(missing) +
              " (scripts/bootstrap installs them)")
        return SKIPPED
    os.environ["FILTERKIT_BUILD_DIR"] = build
    os.environ["FILTERKIT_SOURCE_DIR"] = source
    artifacts = Path(build) / "tests" / "web-artifacts"
    os.environ["FILTERKIT_ARTIFACTS"] = str(artifacts)
    import pytest
    here = Path(__file__).resolve().parent
    status = pytest.main([str(here), "-q", "-p", "no:cacheprovider", *sys.argv[3:]])
    print(f"screenshot: {artifacts / 'serve.png'}")
    return int(status)


if __name__ == "__main__":
    sys.exit(main())
