#!/usr/bin/python3
"""The thermostat page in a real headless Chromium, driven by Selenium.

Runs kelvo and kelvo-web in a scratch root, loads the page, and checks
that it shows /api/state's values, that btn-up and the keyboard reach
kelvo and come back as a new set point, that it fits a phone's width, and
that the notice comes when kelvo stops and goes when it is back.  Nothing
is skipped: without Chromium, its driver or Selenium the test fails.

    test_web_page.py KELVO KELVO_WEB
"""
import json
import os
import select
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.error
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import WebDriverWait

KELVO, KELVO_WEB = sys.argv[1], sys.argv[2]
CHROMIUM, DRIVER = '/usr/bin/chromium', '/usr/bin/chromedriver'


def get_json(url):
    try:
        with urllib.request.urlopen(url, timeout=10) as r:
            return r.status, json.load(r)
    except urllib.error.HTTPError as e:
        return e.code, None


class Page(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix='kelvo-page-')
        self.root = self.tmp.name
        self.pps = os.path.join(self.root, 'pps')
        self.state = os.path.join(self.root, 'state')
        os.mkdir(self.pps)
        os.mkdir(self.state)
        self.env = dict(os.environ, PPS_ROOT=self.pps)
        self.env.pop('KELVO_WEB_TOKEN', None)
        self.kelvo = None
        self.start_kelvo()
        self.err = open(os.path.join(self.root, 'web.err'), 'w')
        self.web = subprocess.Popen([KELVO_WEB, '--listen', '127.0.0.1:0'],
                                    env=self.env, stdout=subprocess.PIPE,
                                    stderr=self.err)
        ready, _, _ = select.select([self.web.stdout], [], [], 20)
        self.assertTrue(ready, 'kelvo-web printed no URL')
        line = self.web.stdout.readline().decode().strip()
        self.assertRegex(line, r'^kelvo-web: http://127\.0\.0\.1:\d+/$')
        self.url = line.split(' ', 1)[1]
        self.wait(lambda: get_json(self.url + 'api/state')[0] == 200, 20,
                  'kelvo-web never saw kelvo')

        for path in (CHROMIUM, DRIVER):
            self.assertTrue(os.access(path, os.X_OK), path + ' is missing')
        opts = Options()
        opts.binary_location = CHROMIUM
        for a in ('--headless=new', '--no-sandbox', '--disable-gpu',
                  '--disable-dev-shm-usage', '--window-size=1200,900',
                  '--user-data-dir=' + os.path.join(self.root, 'chromium')):
            opts.add_argument(a)
        opts.set_capability('goog:loggingPrefs', {'browser': 'ALL'})
        self.browser = webdriver.Chrome(service=Service(DRIVER), options=opts)

    def tearDown(self):
        if getattr(self, 'browser', None):
            self.browser.quit()
        if self.web.poll() is None:
            self.web.send_signal(signal.SIGTERM)
            self.assertEqual(self.web.wait(15), 0)
        self.web.stdout.close()
        self.err.close()
        self.stop_kelvo()
        self.tmp.cleanup()

    def start_kelvo(self):
        self.kelvo = subprocess.Popen([KELVO, self.state], env=self.env)

    def stop_kelvo(self):
        if self.kelvo and self.kelvo.poll() is None:
            self.kelvo.send_signal(signal.SIGTERM)
            self.kelvo.wait(15)

    def wait(self, cond, seconds, msg):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            if cond():
                return
            time.sleep(0.05)
        self.assertTrue(cond(), msg)

    def text(self, element_id):
        return self.browser.find_element(By.ID, element_id).text

    def until(self, cond, seconds=15):
        WebDriverWait(self.browser, seconds, 0.05).until(lambda b: cond())

    def test_page_shows_kelvo_takes_presses_and_says_when_kelvo_stops(self):
        b = self.browser
        b.get(self.url)
        self.until(lambda: self.text('setpoint') == '68')

        # The values of /api/state, as plain text (the clock and the
        # temperatures move, so those are taken from the same moment).
        _, st = get_json(self.url + 'api/state')
        self.assertEqual(self.text('mode'), st['ts_mode'])
        self.assertEqual(self.text('fan'), st['ts_fan'])
        self.assertIn(self.text('plant'), ('heating', 'cooling', 'fan', 'idle', 'off'))
        self.until(lambda: self.text('time') ==
                   get_json(self.url + 'api/state')[1]['clock'], 10)
        for element, attr in (('indoor', 'td_temp_in_'),
                              ('outdoor', 'td_temp_out_')):
            shown = float(self.text(element))
            now = get_json(self.url + 'api/state')[1][attr]
            self.assertLess(abs(shown - now), 1.0, element)
        self.assertFalse(b.find_element(By.ID, 'status').is_displayed())
        self.until(lambda: b.execute_script(
            'return document.getElementById("chart").width > 0 && '
            'typeof Chart === "function" && '
            'Chart.getChart("chart").data.labels.length > 0'), 5)

        # A click and a key reach kelvo and come back from it.
        b.find_element(By.ID, 'btn-up').click()
        self.until(lambda: self.text('setpoint') == '69')
        b.find_element(By.TAG_NAME, 'body').send_keys('-')
        self.until(lambda: self.text('setpoint') == '68')
        b.find_element(By.ID, 'btn-mode').send_keys(Keys.ENTER)
        self.until(lambda: self.text('mode') == 'COOL')
        self.assertEqual(get_json(self.url + 'api/state')[1]['ts_mode'],
                         'COOL')

        # The notice while kelvo is away, gone when it is back.
        self.stop_kelvo()
        self.until(lambda: b.find_element(By.ID, 'status').is_displayed(), 20)
        self.assertIn('not running', self.text('status'))
        self.start_kelvo()
        self.until(lambda: not b.find_element(By.ID, 'status').is_displayed(),
                   20)

        # It fits a phone: nothing wider than the screen.
        b.set_window_size(390, 844)
        b.execute_cdp_cmd('Emulation.setDeviceMetricsOverride', {
            'width': 390, 'height': 844, 'deviceScaleFactor': 2,
            'mobile': True})
        time.sleep(0.5)
        self.assertLessEqual(b.execute_script(
            'return document.documentElement.scrollWidth'), 390)
        for button in ('btn-mode', 'btn-fan', 'btn-up', 'btn-down'):
            self.assertTrue(b.find_element(By.ID, button).is_displayed())

        # Nothing refused or broken on the way (CSP, scripts, requests
        # other than the presses refused while kelvo was away).
        errors = [e['message'] for e in b.get_log('browser')
                  if e['level'] == 'SEVERE' and '/api/press/' not in
                  e['message']]
        self.assertEqual(errors, [])


if __name__ == '__main__':
    unittest.main(argv=sys.argv[:1], verbosity=2)
