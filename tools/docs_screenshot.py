"""A screenshot of a page of the built documentation site in headless Chromium.

    python tools/docs_screenshot.py [PAGE] [OUT.png]

PAGE is relative to docs/_build/html (default: the gallery example
auto_examples/plot_02_estimators.html); OUT defaults to
docs/_static/gallery_screenshot.png. Build the site first (tools/docs.sh);
Chromium and its driver come from tools/chromium.sh, Selenium from the test
extra. The window is 1400 x 1000 pixels, the page scrolled so that its first
figure (a gallery example's picture) shows under the code that made it.
"""
from __future__ import annotations

import shutil
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]


def main(argv: list[str]) -> int:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    page = ROOT / "docs" / "_build" / "html" / (argv[0] if argv else
                                                "auto_examples/plot_02_estimators.html")
    out = Path(argv[1]) if len(argv) > 1 else ROOT / "docs" / "_static" / "gallery_screenshot.png"
    if not page.is_file():
        print(f"{page}: not built (run tools/docs.sh first)", file=sys.stderr)
        return 1
    browser = shutil.which("chromium") or shutil.which("chromium-browser")
    driver_path = shutil.which("chromedriver")
    if browser is None or driver_path is None:
        print("chromium or chromedriver not installed (tools/chromium.sh)", file=sys.stderr)
        return 1
    options = webdriver.ChromeOptions()
    options.binary_location = browser
    for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                "--window-size=1400,1000", "--force-device-scale-factor=1"):
        options.add_argument(arg)
    driver = webdriver.Chrome(service=Service(driver_path), options=options)
    try:
        driver.get(page.as_uri())
        # wait for the images of the page to be decoded
        driver.execute_async_script(
            "const done = arguments[arguments.length - 1];"
            "Promise.all([...document.images].map(i => i.decode().catch(() => null)))"
            ".then(() => done(true));")
        driver.execute_script(
            "const img = document.querySelector('img.sphx-glr-single-img, "
            "img.sphx-glr-multi-img');"
            "if (img) { window.scrollTo(0, img.getBoundingClientRect().top + window.scrollY"
            " - 520); }")
        driver.save_screenshot(str(out))
    finally:
        driver.quit()
    print(f"{out}: {page.relative_to(ROOT)}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
