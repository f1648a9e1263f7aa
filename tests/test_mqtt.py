#!/usr/bin/python3
"""kelvo-mqtt between a real kelvo and a real Mosquitto, seen through
paho-mqtt as Home Assistant would see it: the retained discovery config
and availability, the state and its Jinja templates, every command kind
reaching kelvo's document, bad payloads and a flood of them, the last
will, a broker restart, a broker with passwords and TLS (a CA made for
the test), two bridges given one id, and the options.  Every broker
listens on 127.0.0.1 on a port of its own.

    test_mqtt.py [Class]      KELVO_BIN, KELVO_MQTT_BIN, MOSQUITTO_BIN set
"""
import json
import os
import pwd
import re
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest

import jinja2
import paho.mqtt.client as mqtt

KELVO = os.environ.get("KELVO_BIN", "build/kelvo")
BRIDGE = os.environ.get("KELVO_MQTT_BIN", "build/mqtt/kelvo-mqtt")
MOSQUITTO = os.environ.get("MOSQUITTO_BIN", "/usr/sbin/mosquitto")
WAIT = 40               # s; generous, for sanitizer builds on a busy machine
SANITIZER = re.compile(r"Sanitizer|runtime error:")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def until(cond, timeout=WAIT):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if cond():
            return True
        time.sleep(0.02)
    return cond()


def make_ca(work):
    """A throwaway CA and a certificate from it for 127.0.0.1 and
    localhost: (ca.crt, server.crt, server.key)."""
    def ssl(*args):
        subprocess.run(["openssl"] + list(args), cwd=work, check=True,
                       capture_output=True)
    ssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
        "-subj", "/CN=kelvo test CA", "-keyout", "ca.key", "-out", "ca.crt")
    ssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=localhost",
        "-keyout", "server.key", "-out", "server.csr")
    with open(os.path.join(work, "san"), "w") as f:
        f.write("subjectAltName=IP:127.0.0.1,DNS:localhost\n")
    ssl("x509", "-req", "-in", "server.csr", "-CA", "ca.crt", "-CAkey",
        "ca.key", "-CAcreateserial", "-days", "1", "-extfile", "san",
        "-out", "server.crt")
    return [os.path.join(work, n) for n in ("ca.crt", "server.crt",
                                            "server.key")]


class Broker:
    """Mosquitto on loopback.  With users (name: password) it takes only
    them, and with tls also on a TLS listener (tls_port) of its own."""
    def __init__(self, work, port=None, users=None, tls=False):
        self.port = port or free_port()
        self.tls_port = free_port() if tls else None
        self.conf = os.path.join(work, "mosquitto.conf")
        self.log = os.path.join(work, "mosquitto.log")
        # Small messages go out at once, not after the peer's delayed ack.
        head = (f"user {pwd.getpwuid(os.getuid()).pw_name}\n"
                "persistence false\nset_tcp_nodelay true\n"
                "max_queued_messages 20000\n")
        auth = "allow_anonymous true\n"
        if users:
            pwfile = os.path.join(work, "passwd")
            open(pwfile, "w").close()
            for name, password in users.items():
                subprocess.run(["mosquitto_passwd", "-b", pwfile, name,
                                password], check=True)
            head = "per_listener_settings true\n" + head
            auth = f"allow_anonymous false\npassword_file {pwfile}\n"
        conf = head + f"listener {self.port} 127.0.0.1\n" + auth
        if tls:
            ca, cert, key = make_ca(work)
            conf += (f"listener {self.tls_port} 127.0.0.1\n" + auth +
                     f"cafile {ca}\ncertfile {cert}\nkeyfile {key}\n")
            self.ca = ca
        with open(self.conf, "w") as f:
            f.write(conf)
        self.proc = None

    def start(self):
        with open(self.log, "a") as log:
            self.proc = subprocess.Popen([MOSQUITTO, "-c", self.conf],
                                         stdout=log, stderr=log)
        def up():
            try:
                socket.create_connection(("127.0.0.1", self.port), 1).close()
                return True
            except OSError:
                return False
        assert until(up, 10), open(self.log).read()

    def stop(self):
        if self.proc:
            self.proc.terminate()
            self.proc.wait(10)
            self.proc = None


class Proc:
    """kelvo or the bridge, its standard error kept in a file."""
    def __init__(self, argv, pps, err, env=None):
        self.err = err
        with open(err, "a") as f:
            self.p = subprocess.Popen(argv, stdout=f, stderr=f,
                                      env=dict(os.environ, PPS_ROOT=pps,
                                               **(env or {})))

    def stop(self, sig=signal.SIGTERM):
        self.p.send_signal(sig)
        return self.p.wait(WAIT)

    def text(self):
        with open(self.err, errors="replace") as f:
            return f.read()

    def events(self, word):
        """Lines with word, and the lines like them that were only
        counted ("... (N like this in S s)") while they came in a flood."""
        n = 0
        for line in self.text().splitlines():
            m = re.search(r" \((\d+) like this in [0-9.]+ s\)$", line)
            if word in line:
                n += int(m.group(1)) if m else 1
        return n


def client():
    if hasattr(mqtt, "CallbackAPIVersion"):
        return mqtt.Client(mqtt.CallbackAPIVersion.VERSION1)
    return mqtt.Client()


class Watcher:
    """A client subscribed to everything, keeping the last message of
    each topic with its retain flag."""
    def __init__(self, port, auth=None):
        self.cv = threading.Condition()
        self.last = {}
        self.c = client()
        if auth:
            self.c.username_pw_set(*auth)
        self.c.on_message = self.message
        self.c.on_connect = lambda c, u, f, rc: c.subscribe("#", 1)
        self.c.connect("127.0.0.1", port, 30)
        self.c.loop_start()

    def message(self, c, u, m):
        with self.cv:
            self.last[m.topic] = (m.payload.decode(errors="replace"),
                                  m.retain)
            self.cv.notify_all()

    def wait(self, topic, pred=lambda v: True, timeout=WAIT):
        with self.cv:
            ok = self.cv.wait_for(lambda: topic in self.last and
                                  pred(self.last[topic][0]), timeout)
            got = self.last.get(topic)
        assert ok, f"{topic}: {got}"
        return got

    def publish(self, topic, payload, retain=False):
        self.c.publish(topic, payload, qos=1, retain=retain).wait_for_publish()

    def close(self):
        self.c.loop_stop()
        self.c.disconnect()


class Rig(unittest.TestCase):
    """A scratch directory with a broker, a kelvo and a bridge."""
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="kelvo-mqtt-test-")
        self.dir = self.tmp.name
        self.pps = os.path.join(self.dir, "pps")
        os.mkdir(self.pps)
        self.broker = Broker(self.dir)
        self.procs, self.watchers = [], []
        self.base = "kelvo/t1"

    def tearDown(self):
        for w in self.watchers:
            w.close()
        for p in self.procs:
            if p.p.poll() is None:
                p.p.kill()
                p.p.wait()
        self.broker.stop()
        for p in self.procs:
            self.assertIsNone(SANITIZER.search(p.text()), p.text())
        self.tmp.cleanup()

    def kelvo(self, root=None, pps=None):
        k = Proc([KELVO, root or self.dir], pps or self.pps,
                 (root or self.dir) + "/kelvo.err")
        self.procs.append(k)
        return k

    def bridge(self, *extra, port=None, pps=None, env=None):
        b = Proc([BRIDGE, "--broker", f"127.0.0.1:{port or self.broker.port}",
                  "--id", "t1"] + list(extra), pps or self.pps,
                 f"{self.dir}/bridge{len(self.procs)}.err", env)
        self.procs.append(b)
        return b

    def watcher(self, auth=None):
        w = Watcher(self.broker.port, auth)
        self.watchers.append(w)
        return w

    def doc(self, name):
        with open(self.dir + "/kelvoweb.xml") as f:
            m = re.search(f"<{name}>(.*?)</{name}>", f.read())
        return m.group(1) if m else None

    def state(self, w):
        return json.loads(w.wait(self.base + "/state")[0])


def render(template, state):
    return jinja2.Environment().from_string(template).render(
        value_json=state, value=json.dumps(state))


class Announce(Rig):
    def test_discovery_availability_state_and_templates(self):
        self.broker.start()
        k = self.kelvo()
        b = self.bridge()
        self.watcher().wait(self.base + "/availability", lambda v: v == "online")

        # A client that comes later gets all three from the broker.
        w = self.watcher()
        raw, retained = w.wait("homeassistant/climate/t1/config")
        self.assertTrue(retained)
        self.assertEqual(w.wait(self.base + "/availability"), ("online", True))
        self.assertTrue(w.wait(self.base + "/state")[1])
        cfg = json.loads(raw)
        state_topic = self.base + "/state"
        want = {
            "availability_topic": self.base + "/availability",
            "payload_available": "online", "payload_not_available": "offline",
            "modes": ["off", "heat", "cool"], "fan_modes": ["auto", "on"],
            "mode_command_topic": self.base + "/set/mode",
            "fan_mode_command_topic": self.base + "/set/fan",
            "temperature_command_topic": self.base + "/set/setpoint",
            "mode_state_topic": state_topic,
            "fan_mode_state_topic": state_topic,
            "temperature_state_topic": state_topic,
            "current_temperature_topic": state_topic,
            "action_topic": state_topic,
            "min_temp": 60, "max_temp": 90, "temp_step": 1,
            "temperature_unit": "F", "precision": 0.1,
        }
        for key, value in want.items():
            self.assertEqual(cfg.get(key), value, key)
        self.assertTrue(cfg["name"] and cfg["unique_id"])
        self.assertTrue(cfg["device"]["identifiers"] and cfg["device"]["name"])

        # The state follows kelvo: ten attributes, the plant and the clock
        # as shown, typed, the clock moving.
        st = self.state(w)
        self.assertEqual(len(st), 13)
        self.assertIsInstance(st["ts_temp"], int)
        self.assertIsInstance(st["td_temp_in_"], float)
        w.wait(state_topic, lambda v: json.loads(v)["td_time_"] != st["td_time_"])

        # The templates, in plain Jinja, against kelvo's state and made-up ones.
        st = self.state(w)
        self.assertEqual(render(cfg["mode_state_template"], st),
                         st["ts_mode"].lower())
        self.assertEqual(render(cfg["fan_mode_state_template"], st),
                         st["ts_fan"].lower())
        self.assertEqual(render(cfg["temperature_state_template"], st),
                         str(st["ts_temp"]))
        self.assertEqual(float(render(cfg["current_temperature_template"], st)),
                         st["td_temp_in_"])
        # The action is the state's plant, one of Home Assistant's
        # actions, and null is "None", Home Assistant's unknown.
        action = cfg["action_template"]
        for plant in ("off", "heating", "cooling", "fan", "idle"):
            self.assertEqual(render(action, dict(st, plant=plant)), plant)
        self.assertEqual(render(action, dict(st, plant=None)), "None")
        self.assertEqual(render(action, st), st["plant"])
        nulls = dict.fromkeys(st)
        self.assertEqual(render(cfg["mode_state_template"], nulls), "")
        self.assertEqual(render(cfg["temperature_state_template"], nulls), "None")

        # The plant and the enums end to end: commands in any case reach
        # kelvo as its own texts, and the action Home Assistant renders
        # from the real payload follows, the fan running alone included.
        for cmds, want in (
                ({"ts_mode": "heat", "ts_fan": "on", "td_sys": "off"},
                 ("HEAT", "ON", "OFF", "fan")),
                ({"ts_mode": "Cool", "td_sys": "on"},
                 ("COOL", "ON", "ON", "cooling")),
                ({"ts_mode": "OFF"}, ("OFF", "ON", "ON", "off")),
                ({"ts_mode": "heat", "ts_fan": "AUTO", "td_sys": "Off"},
                 ("HEAT", "AUTO", "OFF", "idle"))):
            w.publish(self.base + "/sim/set",
                      json.dumps(dict(cmds, state="paused")))
            raw, _ = w.wait(state_topic, lambda v: (
                lambda j: (j["ts_mode"], j["ts_fan"], j["td_sys"],
                           j["plant"]) == want)(json.loads(v)))
            self.assertEqual(render(action, json.loads(raw)), want[3])
        w.publish(self.base + "/sim/set", json.dumps({"td_time_": "1200"}))
        raw, _ = w.wait(state_topic,
                        lambda v: json.loads(v)["td_time_"] == "1200")
        self.assertEqual((json.loads(raw)["td_time"], json.loads(raw)["clock"]),
                         ("12:00a", "12:00 pm"))

        # kelvo stopping is offline, its return online again.
        k.stop()
        w.wait(self.base + "/availability", lambda v: v == "offline")
        self.kelvo()
        w.wait(self.base + "/availability", lambda v: v == "online")

        self.assertEqual(b.stop(), 0)
        self.assertEqual(self.watcher().wait(self.base + "/availability"),
                         ("offline", True))


class Commands(Rig):
    def test_every_command_reaches_kelvo_and_bad_ones_do_not(self):
        self.broker.start()
        k = self.kelvo()
        b = self.bridge()
        w = self.watcher()
        w.wait(self.base + "/availability", lambda v: v == "online")

        def command(topic, payload, element, value, field=None, want=None):
            w.publish(self.base + "/" + topic, payload)
            self.assertTrue(until(lambda: self.doc(element) == value),
                            f"{topic} {payload!r}: {element} {self.doc(element)}")
            w.wait(self.base + "/state",
                   lambda v: json.loads(v)[field or element] == (want or value))

        command("set/mode", "COOL", "ts_mode", "COOL")
        command("set/mode", " off\n", "ts_mode", "OFF")
        command("set/mode", "heat", "ts_mode", "HEAT")
        command("set/fan", "ON", "ts_fan", "ON")
        command("set/fan", "auto", "ts_fan", "AUTO")
        command("set/setpoint", "72.0", "ts_temp", "72", want=72)
        command("set/setpoint", " 69.5 ", "ts_temp", "70", want=70)
        command("set/setpoint", "65.49", "ts_temp", "65", want=65)
        command("press", "UP", "ts_temp", "66", want=66)
        command("press", " down", "ts_temp", "65", want=65)
        command("press", "Fan", "ts_fan", "ON")
        command("press", "mode", "ts_mode", "COOL")

        # Each bad payload: one line, nothing applied, the bridge alive.
        bad = [("set/mode", "HOT"), ("set/mode", ""), ("set/fan", "OFF"),
               ("set/fan", "o n"), ("set/setpoint", "nan"),
               ("set/setpoint", "inf"), ("set/setpoint", "0x48"),
               ("set/setpoint", "59.49"), ("set/setpoint", "90.5"),
               ("set/setpoint", "72 F"), ("set/setpoint", "1e999"),
               ("set/setpoint", "-"), ("press", "left"),
               ("press", "up\x00down"), ("set/mode", "\xff\xfe"),
               ("set/mode", "HEAT" * 5000)]
        before = {n: self.doc(n) for n in ("ts_mode", "ts_fan", "ts_temp")}
        for topic, payload in bad:
            w.publish(self.base + "/" + topic, payload.encode("latin-1"))
        # One line each, or counted with the line before when they come
        # faster than one a second.
        self.assertTrue(until(lambda: b.events(" ignored ") == len(bad)),
                        b.text())
        time.sleep(1.5)
        self.assertEqual(b.events(" ignored "), len(bad))
        # Each topic's first bad payload is a line of its own at once,
        # though they come within a second.
        for first in ('set/mode: "HOT" ignored (expected HEAT, COOL or OFF)',
                      'set/fan: "OFF" ignored (expected',
                      'set/setpoint: "nan" ignored (expected',
                      'press: "left" ignored (expected'):
            self.assertIn(first, b.text())
        self.assertEqual({n: self.doc(n) for n in before}, before)
        self.assertIsNone(b.p.poll())
        command("set/setpoint", "61", "ts_temp", "61", want=61)

        # A flood: the first line, then a count a second, every one told.
        flood, lines = 5000, len(b.text().splitlines())
        start = time.monotonic()
        for i in range(flood):
            w.c.publish(self.base + "/set/mode", f"HOT{i % 7}", qos=1)
        self.assertTrue(until(lambda: b.events(" ignored ") ==
                              len(bad) + flood), b.text()[-2000:])
        took = time.monotonic() - start
        said = b.text().splitlines()[lines:]
        self.assertLessEqual(len(said), took + 3, said)
        self.assertEqual(sum(" ignored " in l and " like this in " not in l
                             for l in said), 1, said)
        self.assertEqual(self.doc("ts_mode"), before["ts_mode"])
        command("set/setpoint", "62", "ts_temp", "62", want=62)

        # With kelvo gone a command is dropped, not left for the next one.
        k.stop()
        w.wait(self.base + "/availability", lambda v: v == "offline")
        w.publish(self.base + "/set/setpoint", "80")
        self.assertTrue(until(lambda: "dropped: kelvo is not running" in b.text()))
        with open(self.pps + "/kelvo/inputs") as f:
            self.assertNotIn("event", f.read())
        self.kelvo()
        w.wait(self.base + "/availability", lambda v: v == "online")
        time.sleep(0.5)
        self.assertEqual(self.doc("ts_temp"), "62")
        self.assertEqual(b.stop(), 0)


class Modern(Rig):
    def test_discovery_follows_the_profile_and_the_deadband_refuses(self):
        self.broker.start()
        self.kelvo()
        b = self.bridge()
        w = self.watcher()
        cfg_topic = "homeassistant/climate/t1/config"
        cfg = json.loads(w.wait(cfg_topic)[0])
        self.assertEqual(cfg["modes"], ["off", "heat", "cool"])
        self.assertNotIn("temp_lo_cmd_t", cfg)
        self.assertNotIn("ts_temp_low", self.state(w))
        # AUTO is no classic mode: a line, nothing pressed.
        w.publish(self.base + "/set/mode", "heat_cool")
        self.assertTrue(until(lambda: b.events("AUTO is a mode of the "
                                               "modern profile only") == 1))

        # Modern: the discovery is republished with the band and presets.
        w.publish(self.base + "/sim/set", json.dumps({"profile": "modern"}))
        cfg = json.loads(w.wait(cfg_topic, lambda v: "heat_cool" in v)[0])
        self.assertEqual(cfg["modes"], ["off", "heat", "cool", "heat_cool"])
        self.assertEqual(cfg["pr_modes"], ["home", "away", "sleep"])
        for key, cmd in (("temp_lo_cmd_t", "set/temp_low"),
                         ("temp_hi_cmd_t", "set/temp_high"),
                         ("pr_mode_cmd_t", "set/preset")):
            self.assertEqual(cfg[key], f"{self.base}/{cmd}")
        for key in ("temp_lo_stat_t", "temp_hi_stat_t", "pr_mode_stat_t",
                    "curr_hum_t"):
            self.assertEqual(cfg[key], self.base + "/state")
        st = json.loads(w.wait(self.base + "/state",
                               lambda v: '"ts_temp_low":68' in v)[0])
        self.assertEqual(render(cfg["temp_lo_stat_tpl"], st), "68")
        self.assertEqual(render(cfg["temp_hi_stat_tpl"], st), "74")
        self.assertEqual(render(cfg["pr_mode_val_tpl"], st), "none")
        self.assertEqual(float(render(cfg["curr_hum_tpl"], st)),
                         st["td_humidity_"])
        self.assertEqual(render(cfg["mode_state_template"],
                                dict(st, ts_mode="AUTO")), "heat_cool")

        w.publish(self.base + "/set/preset", "away")
        self.assertTrue(until(lambda: self.doc("ts_preset") == "away"))
        self.assertEqual(self.doc("ts_temp_high"), "80")
        w.publish(self.base + "/set/temp_low", "78.0")
        self.assertTrue(until(lambda: self.doc("ts_temp_low") == "78"))
        self.assertEqual(self.doc("ts_temp_high"), "81")
        self.assertEqual(self.doc("ts_preset"), "none")
        # Past the deadband's room: kelvo refuses, a line, nothing moves.
        w.publish(self.base + "/set/temp_low", "88")
        self.assertTrue(until(lambda: b.events("would push ts_temp_high "
                                               "above 90") == 1), b.text())
        w.publish(self.base + "/set/temp_high", "95")
        self.assertTrue(until(lambda: b.events("set/temp_high: \"95\" "
                                               "ignored") == 1), b.text())
        self.assertEqual((self.doc("ts_temp_low"), self.doc("ts_temp_high")),
                         ("78", "81"))
        w.publish(self.base + "/set/mode", "heat_cool")
        self.assertTrue(until(lambda: self.doc("ts_mode") == "AUTO",
                              timeout=30))

        # Back to classic: the classic discovery again.
        w.publish(self.base + "/sim/set", json.dumps({"profile": "classic"}))
        cfg = json.loads(w.wait(cfg_topic,
                                lambda v: "heat_cool" not in v)[0])
        self.assertNotIn("pr_modes", cfg)
        self.assertEqual(b.stop(), 0)


class Lifecycle(Rig):
    def test_late_broker_last_will_restart_and_retained_commands(self):
        # The bridge waits for a broker that is not there yet.
        self.kelvo()
        b = self.bridge()
        self.assertTrue(until(lambda: "kelvo is running" in b.text()))
        self.broker.start()
        w = self.watcher()
        w.wait(self.base + "/availability", lambda v: v == "online")

        # Killed outright, it is offline through its last will.
        b.stop(signal.SIGKILL)
        w.wait(self.base + "/availability", lambda v: v == "offline")

        # A retained press was taken once, live; a new bridge refuses it.
        b = self.bridge()
        w.wait(self.base + "/availability", lambda v: v == "online")
        w.publish(self.base + "/press", "up", retain=True)
        self.assertTrue(until(lambda: self.doc("ts_temp") == "69"))
        self.assertEqual(b.stop(), 0)
        b = self.bridge()
        self.assertTrue(until(lambda: "retained" in b.text()), b.text())
        w.publish(self.base + "/press", "", retain=True)
        self.assertEqual(self.doc("ts_temp"), "69")

        # A broker restarted without its retained messages gets them again.
        w.wait(self.base + "/availability", lambda v: v == "online")
        self.broker.stop()
        self.watchers.remove(w)
        w.close()
        self.broker.start()
        w = self.watcher()
        w.wait("homeassistant/climate/t1/config")
        w.wait(self.base + "/availability", lambda v: v == "online")
        w.wait(self.base + "/state")
        w.publish(self.base + "/set/setpoint", "70.0")
        self.assertTrue(until(lambda: self.doc("ts_temp") == "70"))
        self.assertEqual(b.stop(), 0)


class Secure(Rig):
    def test_password_from_the_environment_and_tls(self):
        self.broker = Broker(self.dir, users={"hall": "s3cr=t pw"}, tls=True)
        self.broker.start()
        self.kelvo()
        auth = ("hall", "s3cr=t pw")
        w = self.watcher(auth)

        # Over TLS with the test's CA, the password from the environment
        # and nowhere on the command line.
        b = self.bridge("--username", "hall", "--cafile", self.broker.ca,
                        port=self.broker.tls_port,
                        env={"KELVO_MQTT_PASSWORD": auth[1]})
        w.wait(self.base + "/availability", lambda v: v == "online")
        self.assertIn(f"127.0.0.1:{self.broker.tls_port} over TLS", b.text())
        with open(f"/proc/{b.p.pid}/cmdline", "rb") as f:
            self.assertNotIn(b"s3cr", f.read())
        w.publish(self.base + "/set/setpoint", "75")
        self.assertTrue(until(lambda: self.doc("ts_temp") == "75"))
        self.assertEqual(b.stop(), 0)

        # A wrong password, no password, the system's CAs (which do not
        # know the test's): each said once,
        # not on every try, and the bridge keeps trying.
        cases = [(["--username", "hall"], {"KELVO_MQTT_PASSWORD": "nope"},
                  self.broker.port, "refused the connection (Connection "
                  "Refused: not authorised.)"),
                 (["--username", "hall"], {}, self.broker.port,
                  "not authorised"),
                 (["--tls"], {}, self.broker.tls_port,
                  "certificate verify failed")]
        bridges = [(self.bridge(*a, port=p, env=e), said)
                   for a, e, p, said in cases]
        for br, said in bridges:
            self.assertTrue(until(lambda: said in br.text()), br.text())
        time.sleep(3.5)         # the first two tries again, 1 s and 2 s on
        for br, said in bridges:
            self.assertEqual(br.text().count(said), 1, br.text())
            self.assertNotIn("connected to", br.text())
            self.assertEqual(br.stop(), 0)
        self.assertEqual(self.doc("ts_temp"), "75")


class Twins(Rig):
    def test_a_second_bridge_with_the_same_id_says_so_and_leaves(self):
        self.broker.start()
        self.kelvo()
        w = self.watcher()
        first = self.bridge()
        w.wait(self.base + "/availability", lambda v: v == "online")

        # Another kelvo elsewhere, bridged under the same id.
        root = os.path.join(self.dir, "other")
        os.makedirs(root + "/pps")
        self.kelvo(root, root + "/pps")
        second = self.bridge(pps=root + "/pps")
        self.assertEqual(second.p.wait(WAIT), 1, second.text())
        self.assertIn("another bridge", second.text())
        self.assertIn("give each its own --id", second.text())
        self.assertIn("started with id kelvo/t1", first.text())

        # The first never lost its connection, and still takes commands;
        # the second left nothing behind (no offline, no state of its own).
        time.sleep(0.5)
        self.assertNotIn("lost broker", first.text())
        self.assertEqual(w.wait(self.base + "/availability")[0], "online")
        w.publish(self.base + "/set/setpoint", "77")
        self.assertTrue(until(lambda: self.doc("ts_temp") == "77"))
        self.assertEqual(first.stop(), 0)


class Options(unittest.TestCase):
    def run_bridge(self, *args, env=None):
        return subprocess.run([BRIDGE] + list(args), capture_output=True,
                              text=True, timeout=WAIT,
                              env=dict(os.environ, **(env or {})))

    def test_bad_options_are_refused_with_usage(self):
        for args in (["--id", ""], ["--id", "a b"], ["--id", "a/b"],
                     ["--id", "a+b"], ["--id", "#"], ["--id", "t\u00e9"],
                     ["--broker", "h:0"], ["--broker", "h:65536"],
                     ["--broker", "h:"], ["--broker", ":1883"],
                     ["--broker", "h:12ab"], ["--broker", "[::1"],
                     ["--broker", "h:1:2"], ["--broker", "[::1]x"],
                     ["--prefix", "a/+"], ["--prefix", ""],
                     ["--discovery-prefix", "#"], ["--prefix", "a//b"],
                     ["--bogus"], ["--id"], ["extra"]):
            r = self.run_bridge(*args)
            self.assertEqual(r.returncode, 2, args)
            self.assertIn("usage: kelvo-mqtt", r.stderr, args)
        for args, env, status, says in (
                ([], {"KELVO_MQTT_PASSWORD": "x"}, 2, "no --username"),
                (["--username", ""], {}, 2, "bad user name"),
                (["--tls", "--cafile", "/etc/hostname"], {}, 2, "one or the"),
                (["--cafile", "/nonexistent/ca.crt"], {}, 1,
                 "cannot use CA file /nonexistent/ca.crt")):
            r = self.run_bridge(*args, env=env)
            self.assertEqual(r.returncode, status, (args, r.stderr))
            self.assertIn(says, r.stderr, args)
        r = self.run_bridge("--help")
        self.assertEqual((r.returncode, r.stdout[:17]), (0, "usage: kelvo-mqtt"))
        r = self.run_bridge(env={"PPS_ROOT": "/x" * 3000})
        self.assertEqual(r.returncode, 1)
        self.assertIn("PPS_ROOT", r.stderr)

    def test_stops_cleanly_without_a_broker_or_pps_directory(self):
        with tempfile.TemporaryDirectory() as d:
            # A PPS_ROOT that is a file is said, not waited on in silence.
            open(d + "/file", "w").close()
            p = Proc([BRIDGE, "--broker", f"127.0.0.1:{free_port()}"],
                     d + "/file", d + "/err")
            self.assertTrue(until(lambda: "cannot follow " + d +
                                  "/file/kelvo/outputs: Not a directory"
                                  in p.text()), p.text())
            self.assertEqual(p.stop(), 0, p.text())
            self.assertIsNone(SANITIZER.search(p.text()), p.text())

    def test_tls_defaults_to_port_8883(self):
        with tempfile.TemporaryDirectory() as d:
            p = Proc([BRIDGE, "--broker", "127.0.0.1", "--tls"], d, d + "/err")
            self.assertTrue(until(lambda: "127.0.0.1:8883 over TLS" in
                                  p.text()), p.text())
            self.assertEqual(p.stop(), 0, p.text())


if __name__ == "__main__":
    unittest.main(verbosity=2)
