#!/usr/bin/python3
"""The thermostat page in a real headless Chromium, driven by Selenium.

Runs kelvo and kelvo-web in a scratch root, loads the page, and checks
that it shows /api/state's values, that btn-up and the keyboard reach
kelvo and come back as a new set point, that it fits a phone's width, and
that the notice comes when kelvo stops and goes when it is back.  Then a
modern thermostat: the band in AUTO moved end by end through the page,
pushed, refused at the limits, the presets and the humidity, and the
classic page back when the profile goes back.  Screenshots of both
profiles at a desktop's and a phone's size go with the test's artefacts.
Nothing is skipped: without Chromium, its driver or Selenium the test
fails.

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
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import WebDriverWait

KELVO, KELVO_WEB = sys.argv[1], sys.argv[2]
CHROMIUM, DRIVER = '/usr/bin/chromium', '/usr/bin/chromedriver'
# Screenshots of the page, kept after the run for a person to look at.
ARTEFACTS = os.environ.get('KELVO_ARTEFACTS',
                           os.path.join(os.getcwd(), 'artefacts'))
SIZES = ((1280, 800), (390, 844))
MODERN_IDS = ('range', 'presets', 'humidity', 'call')


def get_json(url):
    try:
        with urllib.request.urlopen(url, timeout=10) as r:
            return r.status, json.load(r)
    except urllib.error.HTTPError as e:
        return e.code, None


def put_json(url, body):
    """The status and the JSON of a PUT, refusals included."""
    req = urllib.request.Request(url, data=json.dumps(body).encode(),
                                 method='PUT', headers={
                                     'Content-Type': 'application/json'})
    try:
        with urllib.request.urlopen(req, timeout=10) as r:
            return r.status, json.load(r)
    except urllib.error.HTTPError as e:
        return e.code, json.load(e)


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

    def shown(self, element_id):
        return self.browser.find_element(By.ID, element_id).is_displayed()

    def api_state(self):
        return get_json(self.url + 'api/state')[1]

    def shoot(self, name, controls):
        """The page at a desktop's and a phone's size, kept with the
        test's artefacts: nothing wider than the screen, the controls on
        it."""
        b = self.browser
        os.makedirs(ARTEFACTS, exist_ok=True)
        for width, height in SIZES:
            b.execute_cdp_cmd('Emulation.setDeviceMetricsOverride', {
                'width': width, 'height': height, 'deviceScaleFactor': 1,
                'mobile': width < 600})
            # The chart takes its new size when the browser next tells it
            # (a resize observer), after the page's own layout.
            self.until(lambda: b.execute_script(
                'return document.documentElement.scrollWidth') <= width, 10)
            for c in controls:
                self.assertTrue(self.shown(c), (name, width, c))
            b.save_screenshot(os.path.join(
                ARTEFACTS, 'page-%s-%dx%d.png' % (name, width, height)))
        b.execute_cdp_cmd('Emulation.clearDeviceMetricsOverride', {})

    def band_is(self, low, high):
        """kelvo has the band, and the page shows it as kelvo's, each
        end's value and its thumb on the scale."""
        def both():
            st = self.api_state()
            if (st['ts_temp_low'], st['ts_temp_high']) != (low, high):
                return False
            el = self.browser.find_element
            return (self.text('temp-low') == str(low) and
                    self.text('temp-high') == str(high) and
                    el(By.ID, 'thumb-low').get_attribute('aria-valuenow') ==
                    str(low) and
                    el(By.ID, 'thumb-high').get_attribute('aria-valuenow') ==
                    str(high) and 'pending' not in
                    el(By.ID, 'range').get_attribute('class'))
        self.until(both)

    def drag_to(self, end, value):
        """A drag of an end's thumb to the point of the scale for value."""
        b = self.browser
        thumb = b.find_element(By.ID, 'thumb-' + end)
        track = b.find_element(By.ID, 'track').rect
        x = track['x'] + (value - 60) / 30 * track['width']
        dx = round(x - (thumb.rect['x'] + thumb.rect['width'] / 2))
        ActionChains(b).click_and_hold(thumb).move_by_offset(
            dx // 2, 0).move_by_offset(dx - dx // 2, 0).release().perform()

    def refused(self, words):
        self.until(lambda: words in self.text('toast'))

    def test_modern_band_presets_and_humidity_then_classic_again(self):
        b = self.browser
        el = lambda i: b.find_element(By.ID, i)
        b.get(self.url)
        self.until(lambda: self.text('setpoint') == '68')
        body = b.find_element(By.TAG_NAME, 'body')
        self.assertEqual(body.get_attribute('data-profile'), 'classic')
        for i in MODERN_IDS:
            self.assertFalse(self.shown(i), i)
        self.shoot('classic', ('btn-up', 'btn-down', 'btn-mode', 'btn-fan'))

        # The profile changed under the page: it follows kelvo's state.
        self.assertEqual(put_json(self.url + 'api/sim',
                                  {'profile': 'modern'})[0], 200)
        self.until(lambda: self.shown('presets'))
        self.until(lambda: self.text('humidity') ==
                   str(self.api_state()['td_humidity']))
        self.until(lambda: self.text('call') == self.api_state()['td_call'])
        self.assertIn(self.text('call'), ('HEAT', 'COOL', 'NONE'))
        self.assertIn('AUTO', el('btn-mode').get_attribute('title'))
        self.assertFalse(self.shown('range'))
        self.assertTrue(self.shown('setpoint'))

        # The mode button goes on to AUTO: the band in place of the set
        # point.
        for mode in ('COOL', 'AUTO'):
            el('btn-mode').click()
            self.until(lambda: self.text('mode') == mode)
        self.assertEqual(self.api_state()['ts_mode'], 'AUTO')
        self.until(lambda: self.shown('range'))
        self.assertFalse(self.shown('setpoint'))
        self.band_is(68, 74)

        # Each end by its buttons and its thumb's keys; three keys at once
        # push the high end, and the high end's button the low one.
        el('btn-low-up').click()
        self.band_is(69, 74)
        el('btn-high-down').click()
        self.band_is(69, 73)
        el('thumb-high').send_keys(Keys.ARROW_UP)
        self.band_is(69, 74)
        el('thumb-low').send_keys(Keys.ARROW_UP * 3)
        self.band_is(72, 75)
        el('btn-high-down').click()
        self.band_is(71, 74)

        # Dragged: the low end alone, then the high end past it.
        self.drag_to('low', 64)
        self.band_is(64, 74)
        self.drag_to('high', 66)
        self.band_is(63, 66)

        # At the limits kelvo refuses, in its words, and the page shows
        # kelvo's band again.
        el('thumb-high').send_keys(Keys.END)
        self.band_is(63, 90)
        el('thumb-low').send_keys(Keys.END)
        self.refused('ts_temp_low: 90 would push ts_temp_high above 90')
        self.band_is(63, 90)
        el('thumb-low').send_keys(Keys.HOME)
        self.band_is(60, 90)
        el('btn-low-down').click()
        self.refused('ts_temp_low: "59" is not a whole number of degrees')
        self.band_is(60, 90)

        # A preset pressed, and the set point and band follow; a change of
        # the band (the page's keys move all of it in AUTO) drops it.
        pressed = lambda: [p for p in ('home', 'away', 'sleep') if el(
            'btn-preset-' + p).get_attribute('aria-pressed') == 'true']
        self.assertEqual(pressed(), [])
        for name, sp, low, high in (('away', 62, 60, 80),
                                    ('sleep', 66, 64, 72)):
            el('btn-preset-' + name).click()
            self.until(lambda: pressed() == [name])
            self.band_is(low, high)
            st = self.api_state()
            self.assertEqual((st['ts_preset'], st['ts_temp']), (name, sp))
        body.send_keys('+')
        self.band_is(65, 73)
        self.until(lambda: pressed() == [])
        self.assertEqual(self.api_state()['ts_preset'], 'none')
        # The sensor's fault empties the humidity with the temperature.
        self.assertEqual(put_json(self.url + 'api/sim',
                                  {'fault': ['sensor']})[0], 200)
        self.until(lambda: self.text('humidity') == '–')
        self.assertEqual(self.text('indoor'), '–')
        self.assertEqual(put_json(self.url + 'api/sim', {'fault': []})[0],
                         200)
        self.until(lambda: self.text('humidity') ==
                   str(self.api_state()['td_humidity']))
        self.shoot('modern-auto', ('thumb-low', 'thumb-high', 'btn-low-up',
                                   'btn-high-down', 'btn-preset-sleep',
                                   'btn-mode', 'humidity'))

        # Back to classic: the page as it was, AUTO become OFF.
        self.assertEqual(put_json(self.url + 'api/sim',
                                  {'profile': 'classic'})[0], 200)
        self.until(lambda: not self.shown('presets'))
        for i in MODERN_IDS:
            self.assertFalse(self.shown(i), i)
        self.until(lambda: self.text('mode') == 'OFF')
        self.assertTrue(self.shown('setpoint'))
        self.assertEqual(body.get_attribute('data-profile'), 'classic')
        self.assertNotIn('AUTO', el('btn-mode').get_attribute('title'))

        # The refusals asked for are the one error the console saw.
        errors = [e['message'] for e in b.get_log('browser')
                  if e['level'] == 'SEVERE' and
                  not e['message'].endswith('status of 409 (Conflict)')]
        self.assertEqual(errors, [])

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
