#!/usr/bin/python3
"""Opens a station's dashboard in headless Chromium and waits until the
page's script has drawn a tile for PORT and the header names PROFILE.

Usage: page_shows.py URL PORT PROFILE
Exit 0 shown, 1 not shown within 30 s, 77 no selenium / chromium.
"""
import os
import shutil
import sys
import tempfile
import time

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
except ImportError:
    print("SKIP: python3-selenium is not installed")
    sys.exit(77)

url, port, profile = sys.argv[1:4]
driver_path = shutil.which("chromedriver")
chromium = shutil.which("chromium")
if not driver_path or not chromium:
    print("SKIP: chromium and chromium-driver are not installed")
    sys.exit(77)
profile_dir = tempfile.mkdtemp(prefix="quelmar-chromium-")
options = webdriver.ChromeOptions()
options.binary_location = chromium
for arg in ["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
            "--disable-background-networking", "--disable-component-update", "--disable-sync",
            "--user-data-dir=" + profile_dir]:
    options.add_argument(arg)
driver = webdriver.Chrome(service=Service(driver_path), options=options)
try:
    driver.get(url)
    end = time.monotonic() + 30
    while time.monotonic() < end:
        ports = [e.text for e in driver.find_elements(By.CSS_SELECTOR, ".tile .port")]
        title = driver.find_element(By.ID, "profile").text
        if port in ports and title == profile:
            print("shown: tile %s, profile %s" % (port, title))
            sys.exit(0)
        time.sleep(0.1)
    print("gave up waiting for a tile %r and the profile %r: tiles %r, header %r"
          % (port, profile, ports, title))
    sys.exit(1)
finally:
    driver.quit()
    shutil.rmtree(profile_dir, ignore_errors=True)
