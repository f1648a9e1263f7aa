#!/usr/bin/python3
"""Three faces pressing and setting targets at once against one real
kelvo: kelvo-web over HTTP, kelvo-mqtt through a real Mosquitto (paho),
kelvo-ctl from a shell, 1,000 operations in all, the limits among them.
Each face owns one setting (web the set point, MQTT the fan, kelvo-ctl
the mode), so that its own sequence says what the setting must end at
whatever the others do in between; kelvo's batch count says that every
batch sent was taken and answered.  Then kelvo stopped across the
senders' 2 s, and killed and started again: every answer true.  And a
modern kelvo: the deadband's push and refusal alike on every face, bad
input refused by each, and after a preset the one state on all of them,
kelvo-panel --once and kelvo-ctl status among them.

    test_faces_at_once.py [Class]   KELVO_BIN, KELVO_WEB_BIN,
                                    KELVO_MQTT_BIN, KELVO_CTL_BIN,
                                    KELVO_PANEL_BIN (Modern) and
                                    MOSQUITTO_BIN set
"""
import http.client
import json
import os
import random
import re
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from test_mqtt import Broker, Proc, Watcher, until, SANITIZER  # noqa: E402

KELVO = os.environ.get("KELVO_BIN", "build/kelvo")
WEB = os.environ.get("KELVO_WEB_BIN", "build/web/kelvo-web")
BRIDGE = os.environ.get("KELVO_MQTT_BIN", "build/mqtt/kelvo-mqtt")
CTL = os.environ.get("KELVO_CTL_BIN", "build/ctl/kelvo-ctl")
UNKNOWN = "kelvo did not answer within 2 s: the batch may yet be taken"
BASE = "kelvo/t1"


def press(setpoint, btn):
    """The buttons' rule for the set point: never past 60..90 by a press."""
    if btn == "up" and setpoint < 90:
        return setpoint + 1
    if btn == "down" and setpoint > 60:
        return setpoint - 1
    return setpoint


class Rig(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="kelvo-faces-")
        self.dir = self.tmp.name
        self.pps = os.path.join(self.dir, "pps")
        os.mkdir(self.pps)
        self.broker = Broker(self.dir)
        self.broker.start()
        self.procs = []
        self.watcher = None
        self.start_kelvo()
        self.bridge = Proc([BRIDGE, "--broker",
                            f"127.0.0.1:{self.broker.port}", "--id", "t1"],
                           self.pps, self.dir + "/bridge.err")
        self.procs.append(self.bridge)
        err = open(self.dir + "/web.err", "a")
        self.web = subprocess.Popen([WEB, "--listen", "127.0.0.1:0"],
                                    env=dict(os.environ, PPS_ROOT=self.pps),
                                    stdout=subprocess.PIPE, stderr=err)
        err.close()
        line = self.web.stdout.readline().decode()
        self.port = int(line.split(":")[3].split("/")[0])
        self.conn = http.client.HTTPConnection("127.0.0.1", self.port,
                                               timeout=30)
        self.used = time.monotonic()
        self.watcher = Watcher(self.broker.port)
        self.watcher.wait(BASE + "/availability", lambda v: v == "online")
        self.assertTrue(until(lambda: self.call("GET", "/api/sim")[0] ==
                              200))

    def tearDown(self):
        if self.watcher:
            self.watcher.close()
        self.conn.close()
        self.web.terminate()
        self.web.wait(30)
        for p in self.procs:
            if p.p.poll() is None:
                p.p.terminate()
                p.p.wait(30)
        self.broker.stop()
        with open(self.dir + "/web.err", errors="replace") as f:
            web = f.read()
        for text in [p.text() for p in self.procs] + [web]:
            self.assertIsNone(SANITIZER.search(text), text)
        self.tmp.cleanup()

    PROFILE = []                # kelvo's options before its root

    def start_kelvo(self):
        self.kelvo = Proc([KELVO, "-v"] + self.PROFILE + [self.dir],
                          self.pps, self.dir + "/kelvo.err")
        self.procs.append(self.kelvo)
        self.assertTrue(until(lambda: self.sim().get("start", "")
                              .startswith(f"{self.kelvo.p.pid}@")))

    def sim(self):
        try:
            with open(self.pps + "/kelvo/sim") as f:
                return dict(line.split("::", 1) for line in
                            f.read().splitlines()[1:] if "::" in line)
        except OSError:
            return {}

    def doc(self, name):
        with open(self.dir + "/kelvoweb.xml") as f:
            m = re.search(f"<{name}>\\s*(.*?)</{name}>", f.read())
        return m.group(1) if m else None

    def call(self, method, path, body=None):
        # kelvo-web closes a connection idle for 10 s: one that has waited
        # long (a slow sanitizer build) starts afresh rather than race it.
        if time.monotonic() - self.used > 5:
            self.conn.close()
        self.used = time.monotonic()
        h = {"Host": "127.0.0.1:%d" % self.port}
        if method in ("PUT", "POST"):
            h["Content-Type"] = "application/json"
        try:
            self.conn.request(method, path, body=None if body is None else
                              json.dumps(body), headers=h)
            r = self.conn.getresponse()
            data = r.read()
        except (OSError, http.client.HTTPException):
            self.conn.close()
            raise
        return r.status, json.loads(data) if data else None

    def ctl(self, *args):
        return subprocess.run([CTL] + list(args), capture_output=True,
                              text=True, env=dict(os.environ,
                                                  PPS_ROOT=self.pps))


class AtOnce(Rig):
    def web_face(self, n, rnd, out):
        """The set point: answered presses and targets, queued ones (202,
        answered in order behind them), refusals before anything is sent."""
        sp, sent = int(self.doc("ts_temp")), 0
        for i in range(n):
            op = rnd.choice(["sync", "sync", "target", "async", "refuse"])
            if i < 40:          # first along the top and the bottom
                op, btn = "sync", "up" if i < 25 else "down"
            else:
                btn = rnd.choice(["up", "down"])
            if op == "sync":
                # 429: the queued presses ahead fill the queue, and
                # nothing was sent.
                st, body = self.call("PUT", "/api/sim", {"press": [btn]})
                self.assertIn(st, (200, 429), body)
                if st == 200:
                    sp, sent = press(sp, btn), sent + 1
            elif op == "target":
                t = rnd.choice([60, 90])
                if rnd.random() < 0.5:
                    st, body = self.call("PUT", "/api/sim", {"ts_temp": t})
                    self.assertIn(st, (200, 429), body)
                else:
                    st, body = self.call("PUT", "/api/setpoint", {"value": t})
                    self.assertEqual((st, body), (202, {"target": t}))
                if st != 429:
                    sp, sent = t, sent + 1
            elif op == "async":
                st, body = self.call("POST", "/api/press/" + btn)
                self.assertIn(st, (202, 429), body)
                if st == 202:
                    sp, sent = press(sp, btn), sent + 1
            else:
                st, body = self.call("PUT", "/api/setpoint",
                                     {"value": rnd.choice([59, 91])})
                self.assertEqual(st, 400, body)
        # The queue is one line: this answer comes after every one before.
        self.assertTrue(until(lambda: self.call(
            "PUT", "/api/sim", {"press": ["fan", "fan"]})[0] == 200))
        out["web"] = (sp, sent + 1)

    def mqtt_face(self, n, rnd, out):
        """The fan: targets and presses; set points outside the limits
        refused by the bridge, nothing sent."""
        fan, sent = self.doc("ts_fan"), 0
        for i in range(n):
            op = rnd.choice(["on", "auto", "press", "press", "refuse"])
            if op == "press":
                self.watcher.publish(BASE + "/press", "fan")
                fan, sent = "AUTO" if fan == "ON" else "ON", sent + 1
            elif op == "refuse":
                self.watcher.publish(BASE + "/set/setpoint",
                                     rnd.choice(["59", "91"]))
            else:
                self.watcher.publish(BASE + "/set/fan", op)
                fan, sent = op.upper(), sent + 1
        out["mqtt"] = (fan, sent)

    def ctl_face(self, n, rnd, out):
        """The mode: presses and targets, and a set point refused."""
        cycle = {"OFF": "HEAT", "HEAT": "COOL", "COOL": "OFF"}
        mode, sent = self.doc("ts_mode"), 0
        for i in range(n):
            op = rnd.choice(["press", "press", "set", "refuse"])
            if op == "press":
                r = self.ctl("press", "mode")
                self.assertEqual(r.returncode, 0, r.stderr)
                mode, sent = cycle[mode], sent + 1
            elif op == "set":
                want = rnd.choice(["HEAT", "COOL", "OFF"])
                r = self.ctl("set", "ts_mode=" + want.lower())
                self.assertEqual(r.returncode, 0, r.stderr)
                mode, sent = want, sent + 1
            else:
                r = self.ctl("set", "ts_temp=" + rnd.choice(["59", "91"]))
                self.assertEqual(r.returncode, 2, r.stderr)
        out["ctl"] = (mode, sent)

    def test_a_thousand_operations_every_one_answered_none_lost(self):
        rnd = random.Random(int(os.environ.get("KELVO_TEST_SEED", "27")))
        before = int(self.sim()["batch"])
        out, errors = {}, []
        plan = [(self.web_face, 550), (self.mqtt_face, 300),
                (self.ctl_face, 150)]

        def run(face, n, seed):
            try:
                face(n, random.Random(seed), out)
            except Exception as e:      # noqa: BLE001 - told below
                errors.append(repr(e))
        threads = [threading.Thread(target=run, args=(f, n, rnd.random()))
                   for f, n in plan]
        for t in threads:
            t.start()
        for t in threads:
            t.join(600)
        self.assertEqual(errors, [])
        self.assertEqual(sum(n for _, n in plan), 1000)
        sent = sum(s for _, s in out.values())
        # Every batch sent taken and answered: kelvo counted each once.
        self.assertTrue(until(lambda: int(self.sim()["batch"]) ==
                              before + sent, 60),
                        (self.sim()["batch"], before, sent))
        self.assertEqual(self.doc("ts_temp"), str(out["web"][0]))
        self.assertEqual(self.doc("ts_fan"), out["mqtt"][0])
        self.assertEqual(self.doc("ts_mode"), out["ctl"][0])
        st, state = self.call("GET", "/api/state")
        self.assertEqual((state["ts_temp"], state["ts_fan"],
                          state["ts_mode"]), (out["web"][0], out["mqtt"][0],
                                              out["ctl"][0]))
        # Nothing unknown, nothing refused by kelvo, nothing dropped: a
        # face says only what was not applied.
        said = re.compile(r"(press (up|down|mode|fan)|ts_(temp|fan|mode) "
                          r"\S+): ")
        with open(self.dir + "/web.err", errors="replace") as f:
            web = f.read()
        for text in (web, self.bridge.text()):
            self.assertIsNone(said.search(text), text[-2000:])
        self.assertEqual(self.bridge.events("dropped"), 0)
        self.assertGreater(self.bridge.events("/set/setpoint"), 0)


class Unknown(Rig):
    def stopped(self, face):
        """kelvo stopped across a sender's 2 s: face() sends and tells
        what it was answered; kelvo then goes on and takes the batch,
        which is why nobody could say "not applied"."""
        os.kill(self.kelvo.p.pid, signal.SIGSTOP)
        try:
            face()
        finally:
            os.kill(self.kelvo.p.pid, signal.SIGCONT)

    def test_stopped_across_the_limit_then_killed_and_started_again(self):
        self.assertEqual(self.ctl("set", "ts_fan=AUTO", "ts_temp=70")
                         .returncode, 0)

        def web():
            self.assertEqual(self.call("PUT", "/api/sim", {"press": ["up"]}),
                             (504, {"error": UNKNOWN}))
        self.stopped(web)
        self.assertTrue(until(lambda: self.doc("ts_temp") == "71"))

        def mqtt():
            self.watcher.publish(BASE + "/set/fan", "on")
            self.assertTrue(until(lambda: self.bridge.events(UNKNOWN) == 1,
                                  10), self.bridge.text())
        self.stopped(mqtt)
        self.assertTrue(until(lambda: self.doc("ts_fan") == "ON"))
        self.assertNotIn("not applied", self.bridge.text())

        def ctl():
            r = self.ctl("press", "down")
            self.assertEqual(r.returncode, 3, r.stderr)
            self.assertIn(UNKNOWN, r.stderr)
        self.stopped(ctl)
        self.assertTrue(until(lambda: self.doc("ts_temp") == "70"))

        # Killed with a batch unanswered, and started again: the new one
        # empties the control object, and answers what comes next.
        os.kill(self.kelvo.p.pid, signal.SIGSTOP)
        r = self.ctl("press", "up")
        self.assertEqual(r.returncode, 3, r.stderr)
        os.kill(self.kelvo.p.pid, signal.SIGKILL)
        os.kill(self.kelvo.p.pid, signal.SIGCONT)
        self.kelvo.p.wait(30)
        self.start_kelvo()
        self.assertEqual(self.doc("ts_temp"), "70")
        self.assertTrue(until(lambda: self.call("GET", "/api/sim")[0] ==
                              200))
        st, body = self.call("PUT", "/api/sim", {"press": ["up"],
                                                 "ts_fan": "AUTO"})
        self.assertEqual(st, 200, body)
        self.assertEqual((self.doc("ts_temp"), self.doc("ts_fan")),
                         ("71", "AUTO"))
        r = self.ctl("press", "down")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(self.doc("ts_temp"), "70")
        self.assertTrue(until(lambda: self.call("GET", "/api/state")[1]
                              .get("ts_temp") == 70))
        self.watcher.publish(BASE + "/set/fan", "on")
        self.assertTrue(until(lambda: self.doc("ts_fan") == "ON"))


PANEL = os.environ.get("KELVO_PANEL_BIN", "build/panel/kelvo-panel")
PUSHED = "ts_temp_low: 88 would push ts_temp_high above 90; the band is " \
         "at least 3 degrees"


class Modern(Rig):
    """A modern kelvo driven through every face: the deadband's push and
    its refusal alike on each, bad input refused by each with nothing
    changed, and after a preset the same state on all of them."""
    PROFILE = ["-p", "modern"]

    def outputs(self):
        with open(self.pps + "/kelvo/outputs") as f:
            return dict(line.split("::", 1) for line in
                        f.read().splitlines()[1:] if "::" in line)

    def band(self):
        return (self.doc("ts_temp_low"), self.doc("ts_temp_high"),
                self.doc("ts_preset"))

    def mqtt_state(self, pred=lambda st: True):
        return json.loads(self.watcher.wait(
            BASE + "/state", lambda v: pred(json.loads(v)))[0])

    def bridge_says(self, word, n=1):
        self.assertTrue(until(lambda: self.bridge.events(word) == n),
                        self.bridge.text()[-2000:])

    def test_the_deadband_on_every_face_then_one_state_everywhere(self):
        self.assertEqual(self.outputs()["ts_temp_low"], "68")
        # Each face: back to home (68..74) through it, the low end set
        # into the band's way pushes the high end (78..81, the preset
        # gone), and a low end the limits leave no room for is refused
        # in the deadband's words, changing nothing.
        st, body = self.call("PUT", "/api/preset", {"preset": "home"})
        self.assertEqual(st, 200, body)
        st, body = self.call("PUT", "/api/sim", {"ts_temp_low": 78})
        self.assertEqual(st, 200, body)
        st, state = self.call("GET", "/api/state")
        self.assertEqual((state["ts_temp_low"], state["ts_temp_high"],
                          state["ts_preset"]), (78, 81, "none"))
        st, body = self.call("PUT", "/api/range", {"low": 88, "high": 91})
        self.assertEqual((st, body), (409, {"error": PUSHED}))
        st, body = self.call("PUT", "/api/range", {"low": 70, "high": 72})
        self.assertEqual(st, 409, body)
        self.assertIn("narrower than the deadband", body["error"])
        self.assertEqual(self.band(), ("78", "81", "none"))

        # The state topic first caught up with the web's push, so that
        # what is waited for next can only be MQTT's own doing.
        self.mqtt_state(lambda s: (s["ts_temp_low"], s["ts_preset"]) ==
                        (78, "none"))
        self.watcher.publish(BASE + "/set/preset", "home")
        self.mqtt_state(lambda s: (s["ts_temp_low"], s["ts_preset"]) ==
                        (68, "home"))
        self.watcher.publish(BASE + "/set/temp_low", "78")
        s = self.mqtt_state(lambda s: s["ts_temp_low"] == 78)
        self.assertEqual((s["ts_temp_high"], s["ts_preset"]), (81, "none"))
        self.watcher.publish(BASE + "/set/temp_low", "88")
        self.bridge_says(PUSHED)
        self.assertEqual(self.band(), ("78", "81", "none"))
        self.assertEqual(self.outputs()["ts_temp_high"], "81")

        r = self.ctl("set", "preset=home")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(self.outputs()["ts_temp_high"], "74")
        r = self.ctl("set", "ts_temp_low=78")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(self.band(), ("78", "81", "none"))
        r = self.ctl("set", "ts_temp_low=88")
        self.assertEqual((r.returncode, r.stderr),
                         (1, "kelvo-ctl: kelvo refused it: " + PUSHED + "\n"))
        self.assertEqual(self.band(), ("78", "81", "none"))

        self.bad_input_on_every_face()

        # A preset through MQTT, AUTO through the web, kelvo paused by
        # kelvo-ctl so that the humidity holds still: every face shows
        # the one state.
        self.watcher.publish(BASE + "/set/preset", "sleep")
        self.assertTrue(until(lambda: self.doc("ts_preset") == "sleep"))
        st, body = self.call("PUT", "/api/mode", {"value": "auto"})
        self.assertEqual((st, body), (202, {"target": "AUTO"}))
        self.assertTrue(until(lambda: self.doc("ts_mode") == "AUTO", 30))
        self.assertEqual(self.ctl("pause").returncode, 0)
        self.same_state_everywhere("AUTO", 66, 64, 72, "sleep")

        self.classic_refuses_the_modern_names()

    def same_state_everywhere(self, mode, setpoint, low, high, preset):
        out = self.outputs()
        want = {"ts_mode": mode, "ts_temp": setpoint, "ts_temp_low": low,
                "ts_temp_high": high, "ts_preset": preset,
                "td_humidity": int(out["td_humidity"]),
                "td_call": out["td_call"]}
        self.assertEqual({k: out[k] for k in want},
                         {k: str(v) for k, v in want.items()})
        hum = float(out["td_humidity_"])
        self.assertTrue(10 <= hum <= 90, out)
        # The web's state and the MQTT state once they show the pause.
        self.assertTrue(until(lambda: self.call("GET", "/api/state")[1]
                              ["td_humidity_"] == hum), self.outputs())
        st, web = self.call("GET", "/api/state")
        mq = self.mqtt_state(lambda s: s.get("td_humidity_") == hum and
                             s.get("ts_preset") == preset)
        for face in (web, mq):
            self.assertEqual({k: face[k] for k in want}, want, face)
            self.assertEqual((face["td_humidity_"], face["plant"]),
                             (hum, web["plant"]))
        text = "mode {}\nsetpoint {}\nlow {}\nhigh {}\npreset {}\n" \
               "humidity {}\ncall {}\nplant {}\n".format(
                   mode, setpoint, low, high, preset, want["td_humidity"],
                   want["td_call"], web["plant"])
        wanted = sorted(text.splitlines())
        for argv in ([CTL, "status"], [PANEL, "--once"]):
            r = subprocess.run(argv, capture_output=True, text=True,
                               env=dict(os.environ, PPS_ROOT=self.pps))
            self.assertEqual(r.returncode, 0, r.stderr)
            shown = sorted(line for line in r.stdout.splitlines()
                           if line.split(" ")[0] in ("mode", "setpoint",
                                                     "low", "high", "preset",
                                                     "humidity", "call",
                                                     "plant"))
            self.assertEqual(shown, wanted, r.stdout)

    def bad_input_on_every_face(self):
        """A band upside down, a non-number, a preset that does not
        exist: each refused with its reason, nothing changed, nothing
        lost: the next good command on the same face is taken."""
        before = self.band()
        batches = int(self.sim()["batch"])
        for body, st, why in (
                ({"low": 80, "high": 70}, 409, "the band 80..70 is narrower "
                 "than the deadband"),
                ({"low": "x", "high": 74}, 400, "whole numbers of degrees"),
                ({"low": 70.5, "high": 74}, 400, "whole numbers of degrees"),
                ({"low": 70}, 400, "{\"low\": L, \"high\": H}")):
            got = self.call("PUT", "/api/range", body)
            self.assertEqual(got[0], st, (body, got))
            self.assertIn(why, got[1]["error"], body)
        got = self.call("PUT", "/api/preset", {"preset": "party"})
        self.assertEqual(got[0], 400, got)
        self.assertIn("home, away or sleep", got[1]["error"])
        self.assertEqual(self.call("PUT", "/api/mode", {"value": "warm"})[0],
                         400)
        # Refused before anything was sent: no batch taken.
        self.assertEqual(int(self.sim()["batch"]), batches)

        for topic, payload, said in (
                ("set/temp_low", "cold", "set/temp_low: \"cold\" ignored"),
                ("set/temp_high", "", "set/temp_high: \"\" ignored"),
                ("set/preset", "party", "set/preset: \"party\" ignored"),
                ("set/mode", "warm", "set/mode: \"warm\" ignored")):
            self.watcher.publish(BASE + "/" + topic, payload)
            self.bridge_says(said)
        self.assertEqual(int(self.sim()["batch"]), batches)

        for arg, said in (
                ("ts_temp_low=x", "ts_temp_low: \"x\" is not a whole number"),
                ("preset=party", "preset: \"party\""),
                ("ts_mode=warm",
                 "ts_mode: \"warm\" is not HEAT, COOL, AUTO or OFF")):
            r = self.ctl("set", arg)
            self.assertEqual(r.returncode, 1, (arg, r.stderr))
            self.assertIn("kelvo refused it: " + said, r.stderr)
        self.assertEqual(self.band(), before)
        # Each face still takes the next good command.
        st, body = self.call("PUT", "/api/range", {"low": 70, "high": 80})
        self.assertEqual(st, 200, body)
        self.watcher.publish(BASE + "/set/temp_high", "79")
        self.assertTrue(until(lambda: self.doc("ts_temp_high") == "79"))
        r = self.ctl("set", "ts_temp_low=69")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(self.band(), ("69", "79", "none"))

    def classic_refuses_the_modern_names(self):
        """Back in classic: AUTO and the modern names refused on every
        face, the classic thermostat as it was."""
        self.assertEqual(self.ctl("set", "profile=classic").returncode, 0)
        self.assertNotIn("ts_temp_low", self.outputs())
        self.assertEqual(self.doc("ts_mode"), "OFF")
        r = self.ctl("set", "ts_mode=auto")
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertIn("ts_mode: \"AUTO\" is not HEAT, COOL or OFF", r.stderr)
        r = self.ctl("set", "preset=home")
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertIn("the classic profile has none", r.stderr)
        self.assertTrue(until(lambda: self.call("GET", "/api/state")[1]
                              ["ts_temp_low"] is None))
        for path, body in (("/api/mode", {"value": "AUTO"}),
                           ("/api/preset", {"preset": "home"}),
                           ("/api/range", {"low": 68, "high": 74})):
            st, got = self.call("PUT", path, body)
            self.assertEqual(st, 409, (path, got))
        self.watcher.publish(BASE + "/set/mode", "heat_cool")
        self.bridge_says("AUTO is a mode of the modern profile only")
        self.watcher.publish(BASE + "/set/preset", "home")
        self.bridge_says("preset: the classic profile has none")
        self.assertEqual(self.doc("ts_mode"), "OFF")
        self.assertIsNone(self.doc("ts_preset"))
        self.assertIsNone(self.doc("pm_profile"))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[1:2], verbosity=2)
