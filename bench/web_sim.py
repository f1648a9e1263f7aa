#!/usr/bin/python3
"""kelvo-web's /api/sim: PUT /api/sim to its 200, a press and a target
through PUT /api/sim to their 200 (kelvo's answer, the outputs showing
them), and POST /api/sim/step {"ticks": 720} to its 200, timed over a
keep-alive connection to a kelvo-web and kelvo of its own in a scratch
root, at the default period.

    bench/web_sim.py [KELVO [KELVO_WEB [N]]]
"""
import http.client
import json
import os
import signal
import statistics
import subprocess
import sys
import tempfile
import time

KELVO = sys.argv[1] if len(sys.argv) > 1 else "build/kelvo"
WEB = sys.argv[2] if len(sys.argv) > 2 else "build/web/kelvo-web"
N = int(sys.argv[3]) if len(sys.argv) > 3 else 200


def main():
    with tempfile.TemporaryDirectory(prefix="kelvo-bench-") as root:
        os.mkdir(root + "/pps")
        os.mkdir(root + "/state")
        env = dict(os.environ, PPS_ROOT=root + "/pps")
        env.pop("KELVO_WEB_TOKEN", None)
        kelvo = subprocess.Popen([KELVO, root + "/state"], env=env)
        web = subprocess.Popen([WEB, "--listen", "127.0.0.1:0"], env=env,
                               stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL)
        port = int(web.stdout.readline().decode().split(":")[3].split("/")[0])
        c = http.client.HTTPConnection("127.0.0.1", port, timeout=10)

        def call(method, path, body):
            t = time.perf_counter()
            c.request(method, path, body=json.dumps(body), headers={
                "Content-Type": "application/json"})
            r = c.getresponse()
            r.read()
            return r.status, (time.perf_counter() - t) * 1000
        try:
            end = time.monotonic() + 20
            while time.monotonic() < end:
                c.request("GET", "/api/sim")
                r = c.getresponse()
                r.read()
                if r.status == 200:
                    break
                time.sleep(0.1)
            put = []
            for i in range(N):
                s, ms = call("PUT", "/api/sim", {"state": "paused" if i % 2
                                                 else "running"})
                assert s == 200, s
                put.append(ms)
            press = []
            for i in range(N):
                body = ({"press": ["up" if i % 4 < 2 else "down"]} if i % 2
                        else {"ts_temp": 70 + i % 3})
                s, ms = call("PUT", "/api/sim", body)
                assert s == 200, s
                press.append(ms)
            step = []
            for _ in range(max(N // 10, 5)):
                s, ms = call("POST", "/api/sim/step", {"ticks": 720})
                assert s == 200, s
                step.append(ms)
            q = lambda a, p: sorted(a)[min(len(a) - 1, int(len(a) * p))]
            print(f"PUT /api/sim -> 200, {N} times: p50 {q(put, .5):.2f} ms, "
                  f"p95 {q(put, .95):.2f} ms, max {max(put):.2f} ms")
            print(f"PUT /api/sim press or target -> 200, {N} times: p50 "
                  f"{q(press, .5):.2f} ms, p95 {q(press, .95):.2f} ms, "
                  f"max {max(press):.2f} ms")
            print(f"POST /api/sim/step 720 ticks -> 200, {len(step)} times: "
                  f"p50 {statistics.median(step):.2f} ms, "
                  f"max {max(step):.2f} ms")
        finally:
            c.close()
            web.send_signal(signal.SIGTERM)
            web.wait(15)
            kelvo.send_signal(signal.SIGTERM)
            kelvo.wait(15)


if __name__ == "__main__":
    main()
