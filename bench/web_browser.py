#!/usr/bin/python3
"""Figures of the thermostat page in headless Chromium, against a real
kelvo and kelvo-web in a scratch root; or the README's screenshot.

    bench/web_browser.py [--kelvo build/kelvo] [--web build/web/kelvo-web]
                         [--clicks 20] [--idle 60]
    bench/web_browser.py --screenshot docs/kelvo-web.png [--fill 160]

Click to set point: from btn-up's (or btn-down's) click event in the page
to the moment the page's set point element shows kelvo's new value,
measured inside the page with performance.now() and a MutationObserver.
Clicks alternate up and down, each a random 150-400 ms after the last
one showed, so they land anywhere in kelvo's period.  The time to the
press's 202 is taken too (the page's fetch, wrapped): the part of the
road that is kelvo-web's and the browser's, before kelvo's own wait.

Idle CPU: kelvo-web's user plus system time over --idle seconds while one
page is open and nobody clicks.

The screenshot runs kelvo for --fill seconds first (a simulated day is
about 150 s), changing the set point and the mode on the way, so the chart
has a day of history to show.
"""
import argparse
import json
import os
import random
import select
import signal
import statistics
import subprocess
import tempfile
import time
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service

CLICK = '''
const done = arguments[arguments.length - 1];
const el = document.getElementById('setpoint');
const before = el.textContent;
const fetch0 = window.fetch;
let t0 = 0, accepted = -1;
window.fetch = (...args) => fetch0(...args).then((r) => {
    accepted = performance.now() - t0;
    return r;
});
const obs = new MutationObserver(() => {
    if (el.textContent !== before) {
        obs.disconnect();
        window.fetch = fetch0;
        done([performance.now() - t0, accepted]);
    }
});
obs.observe(el, {childList: true, characterData: true, subtree: true});
const btn = document.getElementById(arguments[0]);
btn.addEventListener('click', () => { t0 = performance.now(); },
                     {once: true, capture: true});
btn.click();
setTimeout(() => {
    obs.disconnect();
    window.fetch = fetch0;
    done([-1, accepted]);
}, 5000);
'''


def cpu_seconds(pid):
    with open('/proc/%d/stat' % pid) as f:
        fields = f.read().rsplit(')', 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf('SC_CLK_TCK')


def put(url, path, value):
    req = urllib.request.Request(url + path, method='PUT',
                                 data=json.dumps({'value': value}).encode(),
                                 headers={'Content-Type': 'application/json'})
    urllib.request.urlopen(req, timeout=10).read()


def pct(values, p):
    v = sorted(values)
    return v[min(len(v) - 1, int(p / 100 * len(v)))]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--kelvo', default='build/kelvo')
    ap.add_argument('--web', default='build/web/kelvo-web')
    ap.add_argument('--clicks', type=int, default=20)
    ap.add_argument('--idle', type=int, default=60)
    ap.add_argument('--screenshot')
    ap.add_argument('--fill', type=int, default=160)
    a = ap.parse_args()

    tmp = tempfile.TemporaryDirectory(prefix='kelvo-bench-')
    pps, state = os.path.join(tmp.name, 'pps'), os.path.join(tmp.name, 'st')
    os.mkdir(pps)
    os.mkdir(state)
    env = dict(os.environ, PPS_ROOT=pps)
    env.pop('KELVO_WEB_TOKEN', None)
    kelvo = subprocess.Popen([a.kelvo, state], env=env)
    web = subprocess.Popen([a.web, '--listen', '127.0.0.1:0'], env=env,
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    select.select([web.stdout], [], [], 20)
    url = web.stdout.readline().decode().split(' ', 1)[1].strip()
    time.sleep(2)

    opts = Options()
    opts.binary_location = '/usr/bin/chromium'
    size = '1280,760' if a.screenshot else '1200,900'
    for arg in ('--headless=new', '--no-sandbox', '--disable-gpu',
                '--disable-dev-shm-usage', '--hide-scrollbars',
                '--window-size=' + size,
                '--user-data-dir=' + os.path.join(tmp.name, 'chromium')):
        opts.add_argument(arg)
    try:
        if a.screenshot:
            # A day with a warmer evening and a cool spell in the night.
            plan = [(0.25, 'setpoint', 72), (0.45, 'mode', 'COOL'),
                    (0.5, 'setpoint', 66), (0.75, 'mode', 'HEAT'),
                    (0.8, 'setpoint', 70)]
            start = time.monotonic()
            for frac, what, value in plan:
                time.sleep(max(0, start + frac * a.fill - time.monotonic()))
                put(url, 'api/' + what, value)
            time.sleep(max(0, start + a.fill - time.monotonic()))
            b = webdriver.Chrome(service=Service('/usr/bin/chromedriver'),
                                 options=opts)
            b.get(url)
            time.sleep(3)
            b.save_screenshot(a.screenshot)
            b.quit()
            print('wrote', a.screenshot)
            return

        b = webdriver.Chrome(service=Service('/usr/bin/chromedriver'),
                             options=opts)
        b.set_script_timeout(10)
        b.get(url)
        time.sleep(3)
        lat, acc = [], []
        for i in range(a.clicks):
            ms, accepted = b.execute_async_script(
                CLICK, 'btn-up' if i % 2 == 0 else 'btn-down')
            if ms < 0:
                print('click %d: no change within 5 s' % i)
                continue
            lat.append(ms)
            if accepted >= 0:
                acc.append(accepted)
            time.sleep(random.uniform(0.15, 0.4))
        print('click to set point on the page, %d clicks: median %.1f ms, '
              'p95 %.1f ms, min %.1f ms, max %.1f ms' % (
                  len(lat), statistics.median(lat), pct(lat, 95), min(lat),
                  max(lat)))
        print('click to the press accepted (202), same clicks: median '
              '%.1f ms, p95 %.1f ms' % (statistics.median(acc),
                                       pct(acc, 95)))

        time.sleep(2)
        c0, t0 = cpu_seconds(web.pid), time.monotonic()
        time.sleep(a.idle)
        c1, t1 = cpu_seconds(web.pid), time.monotonic()
        print('kelvo-web idle with one page open: %.2f s CPU in %.0f s = '
              '%.3f%% of one core' % (c1 - c0, t1 - t0,
                                     100 * (c1 - c0) / (t1 - t0)))
        b.quit()
    finally:
        web.send_signal(signal.SIGTERM)
        web.wait(15)
        kelvo.send_signal(signal.SIGTERM)
        kelvo.wait(15)
        tmp.cleanup()


if __name__ == '__main__':
    main()
