# SPDX-License-Identifier: MIT
"""Headless Chromium driven by Selenium, for the browser view's tests and
benchmarks: one fresh profile per browser, and waits that poll the page."""
from __future__ import annotations

import shutil
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"


class Browser:
    """One headless Chromium with its own profile folder, removed on close."""

    def __init__(self, width: int = 1400, height: int = 1000):
        self.profile = tempfile.mkdtemp(prefix="kelvo-chromium-")
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                     "--disable-background-networking", "--disable-component-update", "--disable-sync",
                     "--disable-dev-shm-usage", "--hide-scrollbars", f"--window-size={width},{height}",
                     f"--user-data-dir={self.profile}"):
            options.add_argument(flag)
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        try:
            self.driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
        except Exception:
            shutil.rmtree(self.profile, ignore_errors=True)
            raise
        self.driver.set_script_timeout(60)
        self.driver.set_page_load_timeout(120)

    def open(self, url: str) -> None:
        self.driver.get(url)

    def run(self, script: str, *args):
        return self.driver.execute_script(script, *args)

    def view(self, expression: str):
        """Evaluates an expression over window.kelvoView (`v`); None before the page made it."""
        return self.run(f"const v = window.kelvoView; return v ? ({expression}) : null;")

    def wait_for(self, expression: str, timeout: float, what: str):
        """Polls `expression` (over kelvoView `v`) until it is truthy, and returns it."""
        deadline = time.monotonic() + timeout
        while True:
            value = self.view(expression)
            if value:
                return value
            if time.monotonic() > deadline:
                raise AssertionError(f"timed out after {timeout:.0f} s waiting for {what}; page log:\n{self.log()}")
            time.sleep(0.2)

    def log(self) -> str:
        try:
            return "\n".join(e["message"] for e in self.driver.get_log("browser"))
        except Exception as error:  # the log is a diagnosis, never the failure itself
            return f"(no browser log: {error})"

    def screenshot(self, path: str) -> bytes:
        png = self.driver.get_screenshot_as_png()
        with open(path, "wb") as f:
            f.write(png)
        return png

    def close(self) -> None:
        try:
            self.driver.quit()
        finally:
            shutil.rmtree(self.profile, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


# The page's colours (web/app.js, COLOUR) as they come out in a screenshot:
# the traces are blue, a gap's shade orange over white, markers violet.
# The screenshot is decoded by the browser itself (an <img> drawn on a
# canvas of its own), which needs no image library here.
_COUNT_PIXELS = """
const [png, areas, done] = arguments;
const image = new Image();
image.onerror = () => done(null);
image.onload = () => {
  const canvas = document.createElement('canvas');
  canvas.width = image.width;
  canvas.height = image.height;
  const ctx = canvas.getContext('2d', {willReadFrequently: true});
  ctx.drawImage(image, 0, 0);
  done(areas.map((a) => {
    const left = Math.max(0, Math.round(a.left)), top = Math.max(0, Math.round(a.top));
    const width = Math.max(1, Math.min(image.width - left, Math.round(a.width)));
    const height = Math.max(1, Math.min(image.height - top, Math.round(a.height)));
    const d = ctx.getImageData(left, top, width, height).data;
    const counts = {pixels: width * height, trace: 0, shade: 0, marker: 0, ink: 0};
    for (let i = 0; i < d.length; i += 4) {
      const r = d[i], g = d[i + 1], b = d[i + 2];
      if (r + g + b < 720) counts.ink++;
      if (b > r + 60 && b > g + 20) counts.trace++;
      if (r > b + 25 && r >= g && g > b) counts.shade++;
      if (b > g + 60 && r > g + 30) counts.marker++;
    }
    return counts;
  }));
};
image.src = 'data:image/png;base64,' + png;
"""


def count_pixels(browser: Browser, png: bytes, areas: list[dict]) -> list[dict]:
    """For each area (left, top, width, height in screenshot pixels) of the
    screenshot: its pixels, and how many are trace, shade, marker and any ink."""
    import base64
    counts = browser.driver.execute_async_script(_COUNT_PIXELS, base64.b64encode(png).decode(), areas)
    if counts is None:
        raise AssertionError("the browser could not decode its own screenshot")
    return counts
