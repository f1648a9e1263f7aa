#!/usr/bin/python3
"""kelvo-fleet against a real Mosquitto on 127.0.0.1, seen through
paho-mqtt as Home Assistant and kelvo-mqtt's tools see it: hundreds of
thermostats announcing themselves, commands and batches reaching the
thermostat named and no other, a batch for the whole fleet, kill -9 and
a restart continuing every thermostat from its store, a broker restart,
bad options, stores and payloads; and one fleet thermostat beside a real
kelvo and kelvo-mqtt, driven alike, publishing the same state.

    test_fleet.py [Class]     KELVO_FLEET_BIN, KELVO_BIN, KELVO_MQTT_BIN,
                              MOSQUITTO_BIN set
"""
import json
import os
import pty
import pwd
import re
import select
import signal
import socket
import sqlite3
import subprocess
import sys
import threading
import unittest
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from test_mqtt import Rig, Proc, client, free_port, until, WAIT  # noqa: E402

FLEET = os.environ.get("KELVO_FLEET_BIN", "build/fleet/kelvo-fleet")


def ids(n):
    w = len(str(n))
    return ["t%0*d" % (w, i) for i in range(1, n + 1)]


class FleetRig(Rig):
    """A broker and kelvo-fleets in a scratch directory."""
    def fleet(self, *extra, count=20, store=None, env=None):
        store = store or os.path.join(self.dir, "fleet.sqlite")
        f = Proc([FLEET, "--count", str(count), "--broker",
                  f"127.0.0.1:{self.broker.port}", "--store", store,
                  "--listen", "127.0.0.1:0"] + list(extra), self.pps,
                 f"{self.dir}/fleet{len(self.procs)}.err", env)
        self.procs.append(f)
        return f

    def states(self, w, names, pred=lambda s: True, prefix="kelvo"):
        return {n: json.loads(w.wait(f"{prefix}/{n}/state",
                                     lambda v: pred(json.loads(v)))[0])
                for n in names}

    def sims(self, w, names, pred=lambda s: True):
        return {n: json.loads(w.wait(f"kelvo/{n}/sim",
                                     lambda v: pred(json.loads(v)))[0])
                for n in names}

    def online(self, w, names, prefix="kelvo"):
        for n in names:
            w.wait(f"{prefix}/{n}/availability", lambda v: v == "online")

    def pause_all(self, w, names, batches=1):
        self.online(w, names)
        w.publish("kelvo/fleet/sim/set", '{"state": "paused"}')
        self.sims(w, names, lambda s: s["state"] == "paused" and
                  s["batch"] == batches)


class Fleet(FleetRig):
    def test_five_hundred_announce_and_commands_reach_only_their_own(self):
        self.broker.start()
        w = self.watcher()
        f = self.fleet(count=500)
        names = ids(500)
        self.assertEqual(names[0], "t001")
        for n in names:
            cfg = json.loads(w.wait(f"homeassistant/climate/{n}/config")[0])
            self.assertEqual(cfg["unique_id"], "kelvo_" + n)
            self.assertEqual(cfg["mode_command_topic"], f"kelvo/{n}/set/mode")
            w.wait(f"kelvo/{n}/availability", lambda v: v == "online")
        self.assertTrue(self.watcher().wait(
            "homeassistant/climate/t250/config")[1], "retained")
        # Drawn from the seed: not one line repeated.
        st = self.states(w, names)
        self.assertGreater(len({(s["ts_temp"], s["ts_mode"], s["td_time_"])
                                for s in st.values()}), 100)
        self.assertEqual(set(st["t001"]), {
            "ts_mode", "ts_fan", "ts_temp", "td_temp_in_", "td_temp_in",
            "td_temp_out_", "td_temp_out", "td_sys", "td_time_", "td_time",
            "plant", "clock", "minute"})

        # fleet/sim/set reaches all; then nothing moves by itself.
        self.pause_all(w, names)
        before = self.states(w, names)

        w.publish("kelvo/t007/set/mode", "cool")
        w.publish("kelvo/t007/set/setpoint", "81.0")
        w.publish("kelvo/t007/press", "up")
        w.publish("kelvo/t007/sim/set", '{"pm_minutes": 7}')
        w.publish("kelvo/t007/sim/step", "3")
        self.sims(w, ["t007"], lambda s: s["batch"] == 3 and
                  s["pm_minutes"] == 7)
        s7 = self.states(w, ["t007"], lambda s: s["ts_temp"] == 82)["t007"]
        self.assertEqual(s7["ts_mode"], "COOL")
        self.assertNotEqual(s7["td_time_"], before["t007"]["td_time_"])
        button = json.loads(w.wait(
            "homeassistant/button/t007/step_hour/config",
            lambda v: json.loads(v)["payload_press"] == "9")[0])
        self.assertEqual(button["name"], "Step 63 minutes")

        after = self.states(w, names)
        sims = self.sims(w, names)
        for n in names:
            if n != "t007":
                self.assertEqual(after[n], before[n], n)
                self.assertEqual(sims[n]["batch"], 1, n)
        self.assertEqual(f.p.poll(), None)
        self.assertEqual(f.stop(), 0)
        w.wait("kelvo/t123/availability", lambda v: v == "offline")

    def test_shared_connection_and_shards_split_the_fleet(self):
        self.broker.start()
        w = self.watcher()
        a = self.fleet("--shard", "1/2", "--connection", "shared", count=9,
                       store=self.dir + "/a.sqlite")
        b = self.fleet("--shard", "2/2", count=9, store=self.dir + "/b.sqlite")
        names = ids(9)
        self.assertEqual(names, ["t%d" % i for i in range(1, 10)])
        self.pause_all(w, names)
        w.publish("kelvo/t4/set/fan", "on")
        w.publish("kelvo/t3/set/fan", "on")
        for n in ("t3", "t4"):
            self.states(w, [n], lambda s: s["ts_fan"] == "ON")
        counts = [json.loads(w.wait("kelvo/fleet/state/%d" % i,
                                    lambda v: json.loads(v)["thermostats"]
                                    > 0)[0]) for i in (1, 2)]
        self.assertEqual([c["thermostats"] for c in counts], [5, 4])
        self.assertEqual(counts[0]["connection"], {"up": 1, "down": 0})
        self.assertEqual(sum(counts[0]["plant"].values()), 5)
        for p in (a, b):
            self.assertEqual(p.stop(), 0)
        self.assertNotIn("no thermostat", a.text() + b.text())

    def test_shared_fleet_of_thousands_announces_everything(self):
        # Paced from the loop, not queued whole at the CONNACK: every
        # config reaches an observer and the one connection stays up.
        self.broker.start()
        n = 3000
        seen, cv = set(), threading.Condition()

        def message(c, u, m):
            with cv:
                seen.add(m.topic)
                cv.notify_all()
        obs = client()
        obs.on_message = message
        obs.on_connect = lambda c, u, fl, rc: c.subscribe(
            "homeassistant/climate/+/config", 1)
        obs.connect("127.0.0.1", self.broker.port, 30)
        obs.loop_start()
        try:
            f = self.fleet("--connection", "shared", "--interval", "1000",
                           count=n)
            with cv:
                self.assertTrue(cv.wait_for(lambda: len(seen) == n, 120),
                                len(seen))
            self.assertTrue(until(lambda: f"all {n} thermostats connected"
                                  in f.text()), f.text())
            self.assertEqual(seen, {f"homeassistant/climate/{i}/config"
                                    for i in ids(n)})
            self.assertNotIn("lost broker", f.text())
            self.assertEqual(f.stop(), 0)
        finally:
            obs.loop_stop()
            obs.disconnect()


class Restart(FleetRig):
    def test_kill_and_restart_continue_from_the_store(self):
        self.broker.start()
        w = self.watcher()
        store = self.dir + "/fleet.sqlite"
        f = self.fleet(count=50, store=store)
        names = ids(50)
        self.states(w, names)
        # A change published is one the store has: kill at once.
        w.publish("kelvo/t10/set/setpoint", "88")
        self.states(w, ["t10"], lambda s: s["ts_temp"] == 88)
        f.p.kill()
        f.p.wait()
        w.wait("kelvo/t10/availability", lambda v: v == "offline")
        f = self.fleet(count=50, store=store)
        w.wait("kelvo/t10/availability", lambda v: v == "online")
        self.assertEqual(self.states(w, ["t10"])["t10"]["ts_temp"], 88)
        self.assertIn("continuing 50 of 50 thermostats", f.text())

        # Paused, every thermostat comes back exactly as it stopped,
        # whatever the seed says now.
        self.pause_all(w, names, batches=1)
        before = self.states(w, names)
        self.assertTrue(until(lambda: self.saved_paused(store) == 50))
        f.p.kill()
        f.p.wait()
        for n in names:
            w.wait(f"kelvo/{n}/availability", lambda v: v == "offline")
        with w.cv:
            w.last.clear()
        f = self.fleet("--seed", "4242", count=50, store=store)
        self.assertEqual(self.states(w, names), before)
        self.assertEqual(self.sims(w, ["t33"])["t33"]["batch"], 1)
        self.assertEqual(f.stop(), 0)

    def test_a_store_older_than_the_profiles_is_continued(self):
        # A store written before the modern columns: its rows are classic
        # thermostats, continued; a row no thermostat can be is drawn anew.
        store = self.dir + "/old.sqlite"
        with sqlite3.connect(store) as db:
            db.execute("CREATE TABLE thermostat (num INTEGER PRIMARY KEY,"
                       " clock INTEGER, out REAL, out_whole INTEGER,"
                       " inside REAL, in_whole INTEGER, running INTEGER,"
                       " mode INTEGER, fan INTEGER, setpoint INTEGER,"
                       " interval INTEGER, minutes INTEGER, paused INTEGER,"
                       " faults INTEGER, batch INTEGER, error TEXT)")
            db.execute("INSERT INTO thermostat VALUES (2, 1234, 40.0, 40,"
                       " 66.5, 67, 0, 2, 1, 77, 200, 2, 1, 0, 4, '')")
        self.broker.start()
        w = self.watcher()
        f = self.fleet("--profile", "modern", count=3, store=store)
        st = self.states(w, ["t2"])["t2"]
        self.assertEqual((st["ts_temp"], st["ts_mode"], st["td_time_"]),
                         (77, "HEAT", "1234"))
        self.assertNotIn("ts_temp_low", st)
        cfg = json.loads(w.wait("homeassistant/climate/t2/config")[0])
        self.assertNotIn("heat_cool", cfg["modes"])
        self.assertEqual(self.sims(w, ["t2"])["t2"]["batch"], 4)
        self.assertIn("continuing 1 of 3 thermostats", f.text())
        self.assertEqual(f.stop(), 0)
        with sqlite3.connect(store) as db:
            db.execute("UPDATE thermostat SET profile = 7 WHERE num = 2")
        w.wait("kelvo/t2/availability", lambda v: v == "offline")
        f = self.fleet(count=3, store=store)
        w.wait("kelvo/t2/availability", lambda v: v == "online")
        self.assertIn("continuing 2 of 3 thermostats", f.text())
        self.assertEqual(f.stop(), 0)

    def saved_paused(self, store):
        with sqlite3.connect(store, timeout=5) as db:
            return db.execute("SELECT COUNT(*) FROM thermostat WHERE "
                              "paused = 1").fetchone()[0]

    def test_broker_restart_is_survived(self):
        self.broker.start()
        w = self.watcher()
        f = self.fleet(count=30)
        names = ids(30)
        self.states(w, names)
        w.close()
        self.watchers.remove(w)
        self.broker.stop()
        self.broker.start()
        # The broker kept nothing: all of it comes back from the fleet.
        w = self.watcher()
        for n in names:
            w.wait(f"homeassistant/climate/{n}/config")
            w.wait(f"kelvo/{n}/availability", lambda v: v == "online")
        w.publish("kelvo/t05/set/setpoint", "61")
        self.states(w, ["t05"], lambda s: s["ts_temp"] == 61)
        self.assertIn("lost broker", f.text())
        self.assertEqual(f.stop(), 0)


class BadInput(FleetRig):
    def run_fleet(self, *args, timeout=WAIT):
        return subprocess.run([FLEET, "--listen", "127.0.0.1:0"] +
                              list(args), capture_output=True, text=True,
                              timeout=timeout, cwd=self.dir)

    def test_bad_options_give_usage_and_two(self):
        for bad in (["--count", "0"], ["--count", "ten"],
                    ["--shard", "4/3"], ["--shard", "0/3"],
                    ["--shard", "1/3x"], ["--connection", "many"],
                    ["--publish", "sometimes"], ["--heartbeat", "0"],
                    ["--profile", "retro"], ["--profile", ""],
                    ["--broker", "127.0.0.1:99999"],
                    ["--broker", "127.0.0.1:1883,,127.0.0.1:1884"],
                    ["--prefix", "a/+/b"], ["--interval", "-5"],
                    ["--seed", "x"], ["--cafile", "f", "--tls"],
                    ["--listen", "nowhere"], ["extra"], ["--bogus"]):
            r = self.run_fleet(*bad)
            self.assertEqual(r.returncode, 2, (bad, r.stderr))
            self.assertIn("usage: kelvo-fleet", r.stderr, bad)
        self.assertEqual(self.run_fleet("--help").returncode, 0)

    def test_bad_stores_are_refused_clearly(self):
        junk = self.dir + "/junk.sqlite"
        with open(junk, "w") as f:
            f.write("these are not the pages of a database\n" * 200)
        r = self.run_fleet("--store", junk)
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertIn("not an SQLite database", r.stderr)
        with open(junk) as f:
            self.assertTrue(f.read().startswith("these are not"))

        ro = self.dir + "/ro.sqlite"
        sqlite3.connect(ro).close()
        os.chmod(ro, 0o444)
        argv = [FLEET, "--listen", "127.0.0.1:0", "--store", ro]
        if os.getuid() == 0:
            # root writes anything: the fleet runs as nobody to see a
            # file it may not write.
            os.chmod(self.dir, 0o755)
            nobody = pwd.getpwnam("nobody")
            argv = ["setpriv", f"--reuid={nobody.pw_uid}",
                    f"--regid={nobody.pw_gid}", "--clear-groups"] + argv
        r = subprocess.run(argv, capture_output=True, text=True, timeout=WAIT)
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertIn("store " + ro, r.stderr)
        self.assertRegex(r.stderr, "read-only|Permission denied")

    def test_a_held_store_is_refused(self):
        self.broker.start()
        w = self.watcher()
        store = self.dir + "/held.sqlite"
        f = self.fleet(count=3, store=store)
        self.states(w, ids(3))
        r = self.run_fleet("--store", store, "--broker",
                           f"127.0.0.1:{self.broker.port}")
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertIn("another kelvo-fleet holds it", r.stderr)
        self.assertEqual(f.p.poll(), None)
        self.assertEqual(f.stop(), 0)

    def test_bad_payloads_and_unknown_thermostats(self):
        self.broker.start()
        w = self.watcher()
        dead = free_port()
        f = self.fleet("--broker", f"127.0.0.1:{dead},127.0.0.1:"
                       f"{self.broker.port}", count=12)
        names = ids(12)
        self.pause_all(w, names)
        before = self.states(w, names)
        for topic, payload in (
                ("kelvo/t03/set/mode", "warm"),
                ("kelvo/t03/set/setpoint", "abc"),
                ("kelvo/t03/set/setpoint", "300"),
                ("kelvo/t03/press", "sideways"),
                ("kelvo/t03/set/fan", "x" * 5000),
                ("kelvo/t03/sim/set", "not json"),
                ("kelvo/t03/sim/set", '{"td_time_": "2500"}'),
                ("kelvo/t03/sim/step", "-3"),
                ("kelvo/fleet/sim/set", "{"),
                ("kelvo/t13/set/mode", "heat"),
                ("kelvo/t999/sim/step", "1"),
                ("kelvo/t3/set/mode", "heat")):
            w.publish(topic, payload)
        self.assertTrue(until(lambda: "t999" in f.text()))
        w.publish("kelvo/t03/set/setpoint", "66")
        self.states(w, ["t03"], lambda s: s["ts_temp"] == 66)
        sim = self.sims(w, ["t03"], lambda s: s["batch"] == 2)["t03"]
        self.assertIn("2500", sim["error"])
        text = f.text()
        for said in ('"warm" ignored (expected HEAT, COOL or OFF)',
                     '"abc" ignored', '"sideways" ignored',
                     "(5000 bytes) ignored", '"not json" ignored',
                     "t03/sim/set: refused", '"-3" ignored',
                     "kelvo/fleet/sim/set: \"{\" ignored",
                     "no thermostat t13 in this fleet",
                     "no thermostat t999 in this fleet",
                     "no thermostat t3 in this fleet",
                     f"cannot connect to broker 127.0.0.1:{dead}"):
            self.assertIn(said, text)
        after = self.states(w, names)
        for n in names:
            if n != "t03":
                self.assertEqual(after[n], before[n], n)
        self.assertEqual(f.stop(), 0)


class Modern(FleetRig):
    """--profile: modern thermostats with kelvo-mqtt's modern topics."""
    def discoveries(self, w, names, dprefix="homeassistant"):
        return {n: json.loads(w.wait(f"{dprefix}/climate/{n}/config")[0])
                for n in names}

    def test_mixed_fleet_draws_profiles_from_the_seed(self):
        self.broker.start()
        w = self.watcher()
        names = ids(40)
        f = self.fleet("--profile", "mixed", "--seed", "7", count=40)
        cfg = self.discoveries(w, names)
        modern = {n for n, c in cfg.items() if "heat_cool" in c["modes"]}
        self.assertTrue(5 < len(modern) < 35, modern)
        st = self.states(w, names)
        for n in names:
            c = cfg[n]
            if n in modern:
                self.assertEqual(c["modes"], ["off", "heat", "cool",
                                              "heat_cool"])
                self.assertEqual(c["temp_lo_cmd_t"], f"kelvo/{n}/set/temp_low")
                self.assertEqual(c["temp_hi_cmd_t"],
                                 f"kelvo/{n}/set/temp_high")
                self.assertEqual(c["pr_mode_cmd_t"], f"kelvo/{n}/set/preset")
                self.assertEqual(c["curr_hum_t"], f"kelvo/{n}/state")
                self.assertGreaterEqual(st[n]["ts_temp_high"] -
                                        st[n]["ts_temp_low"], 3, st[n])
                self.assertIn(st[n]["ts_preset"],
                              ("none", "home", "away", "sleep"))
                self.assertTrue(35 <= st[n]["td_humidity"] <= 65, st[n])
            else:
                self.assertEqual(c["modes"], ["off", "heat", "cool"])
                self.assertNotIn("temp_lo_cmd_t", c)
                self.assertNotIn("ts_temp_low", st[n])
        # Drawn, not all alike: bands and presets differ.
        self.assertGreater(len({(st[n]["ts_temp_low"], st[n]["ts_temp_high"],
                                 st[n]["ts_preset"]) for n in modern}), 3)
        # The same seed, the same fleet: another process, its own topics.
        g = self.fleet("--profile", "mixed", "--seed", "7", "--prefix", "b",
                       "--discovery-prefix", "hb", count=40,
                       store=self.dir + "/b.sqlite")
        again = self.discoveries(w, names, "hb")
        self.assertEqual({n for n, c in again.items()
                          if "heat_cool" in c["modes"]}, modern)
        for p in (f, g):
            self.assertEqual(p.stop(), 0)

    def test_deadband_presets_refusals_and_a_restart(self):
        self.broker.start()
        w = self.watcher()
        store = self.dir + "/modern.sqlite"
        f = self.fleet("--profile", "modern", count=12, store=store)
        names = ids(12)
        self.pause_all(w, names)
        before = self.states(w, names)
        w.publish("kelvo/t04/set/preset", "home")
        s = self.states(w, ["t04"], lambda s: s["ts_preset"] == "home")["t04"]
        self.assertEqual((s["ts_temp"], s["ts_temp_low"], s["ts_temp_high"]),
                         (70, 68, 74))
        # Narrowing the band pushes the other end; the preset is dropped.
        w.publish("kelvo/t04/set/temp_low", "73.0")
        s = self.states(w, ["t04"], lambda s: s["ts_temp_low"] == 73)["t04"]
        self.assertEqual((s["ts_temp_high"], s["ts_preset"]), (76, "none"))
        w.publish("kelvo/t04/set/mode", "heat_cool")
        self.states(w, ["t04"], lambda s: s["ts_mode"] == "AUTO")
        # Past the limits: refused with a line, nothing changes.
        w.publish("kelvo/t04/set/temp_low", "88")
        w.publish("kelvo/t04/set/temp_high", "61")
        self.assertTrue(until(lambda: "would push ts_temp_high above 90"
                              in f.text()), f.text())
        self.assertTrue(until(lambda: f.text().count("refused:") == 2),
                        f.text())
        sim = self.sims(w, ["t04"], lambda s: s["batch"] == 5)["t04"]
        self.assertIn("ts_temp_low", sim["error"])
        w.publish("kelvo/t04/set/preset", "siesta")
        self.assertTrue(until(lambda: '"siesta" ignored (expected home, '
                              'away or sleep)' in f.text()))
        w.publish("kelvo/t04/set/preset", "sleep")
        self.states(w, ["t04"], lambda s: s["ts_preset"] == "sleep")
        w.publish("kelvo/t04/set/preset", "away")
        s = self.states(w, ["t04"], lambda s: s["ts_preset"] == "away")["t04"]
        self.assertEqual((s["ts_temp_low"], s["ts_temp_high"], s["ts_mode"]),
                         (60, 80, "AUTO"))
        after = self.states(w, names)
        for n in names:
            if n != "t04":
                self.assertEqual(after[n], before[n], n)

        # kill -9: the store keeps each one's profile, band and preset,
        # whatever --profile says now.
        self.assertTrue(until(lambda: self.saved(store, 4) == (1, 60, 80, 2)))
        f.p.kill()
        f.p.wait()
        w.wait("kelvo/t04/availability", lambda v: v == "offline")
        with w.cv:
            w.last.clear()
        f = self.fleet("--profile", "classic", count=12, store=store)
        self.assertIn("heat_cool", self.discoveries(w, ["t04"])["t04"]
                      ["modes"])
        self.assertEqual(self.states(w, names), after)
        self.assertEqual(f.stop(), 0)

    def saved(self, store, num):
        with sqlite3.connect(store, timeout=5) as db:
            return db.execute("SELECT profile, low, high, preset FROM "
                              "thermostat WHERE num = ?", (num,)).fetchone()

    def test_auto_is_refused_by_a_classic_one_and_the_profile_switches(self):
        self.broker.start()
        w = self.watcher()
        f = self.fleet(count=3)
        self.pause_all(w, ids(3))
        w.publish("kelvo/t1/set/mode", "heat_cool")
        self.assertTrue(until(lambda: '"heat_cool" ignored (AUTO is a mode '
                              'of the modern profile only)' in f.text()))
        w.publish("kelvo/t1/sim/set", json.dumps({"profile": "modern"}))
        cfg = json.loads(w.wait("homeassistant/climate/t1/config",
                                lambda v: "heat_cool" in v)[0])
        self.assertIn("temp_lo_stat_t", cfg)
        self.states(w, ["t1"], lambda s: "ts_temp_low" in s)
        w.publish("kelvo/t1/sim/set", json.dumps({"profile": "classic"}))
        w.wait("homeassistant/climate/t1/config",
               lambda v: "heat_cool" not in v)
        self.states(w, ["t1"], lambda s: "ts_temp_low" not in s)
        self.assertEqual(f.stop(), 0)


class Watch(FleetRig):
    """What a fleet shows: /metrics, /healthz, the progress line."""
    def scrape(self, port, path="/metrics"):
        with urllib.request.urlopen(f"http://127.0.0.1:{port}{path}",
                                    timeout=WAIT) as r:
            return r.status, r.read().decode()

    def series(self, port):
        out = {}
        for line in self.scrape(port)[1].splitlines():
            if line and not line.startswith("#"):
                name, value = line.rsplit(" ", 1)
                out[name] = float(value)
        return out

    def raw(self, port, request):
        with socket.create_connection(("127.0.0.1", port), WAIT) as c:
            c.sendall(request)
            c.shutdown(socket.SHUT_WR)
            got = b""
            while True:
                b = c.recv(4096)
                if not b:
                    return got.decode(errors="replace")
                got += b

    def test_metrics_and_healthz(self):
        self.broker.start()
        w = self.watcher()
        port = free_port()
        f = self.fleet("--listen", f"127.0.0.1:{port}", count=40)
        names = ids(40)
        self.states(w, names)
        self.assertEqual(self.scrape(port, "/healthz"), (200, "ok\n"))
        self.assertTrue(until(lambda: self.series(port)[
            'kelvo_fleet_connections{state="up"}'] == 40))
        m = self.series(port)
        self.assertEqual(m['kelvo_fleet_connections{state="down"}'], 0)
        plants = {k: v for k, v in m.items()
                  if k.startswith("kelvo_fleet_thermostats{")}
        self.assertEqual(set(plants), {
            f'kelvo_fleet_thermostats{{plant="{p}"}}' for p in
            ("heating", "cooling", "fan", "idle", "off", "unknown")})
        self.assertEqual(sum(plants.values()), 40)
        # The fleet's own document counts them alike, once nothing moves
        # (it is published every 5 s).
        self.pause_all(w, names)

        def alike():
            doc = json.loads(w.last["kelvo/fleet/state"][0])
            now = self.series(port)
            return all(now[f'kelvo_fleet_thermostats{{plant="{p}"}}'] == n
                       for p, n in doc["plant"].items())
        w.wait("kelvo/fleet/state")
        self.assertTrue(until(alike))
        # Every thermostat announced itself: 8 messages each at least.
        self.assertGreaterEqual(m["kelvo_fleet_publishes_total"], 40 * 8)
        self.assertTrue(until(lambda: self.series(port)[
            "kelvo_fleet_publishes_per_second"] > 0))
        self.assertGreater(m["kelvo_fleet_store_saves_total"], 0)
        self.assertGreaterEqual(m["kelvo_fleet_store_rows_total"], 40)
        self.assertTrue(0 <= m["kelvo_fleet_store_save_seconds"] < 1, m)
        self.assertTrue(0 <= m["kelvo_fleet_store_save_seconds_total"] < 10)
        # The default tick, 200 ms: a loop that keeps up is never a
        # whole period late.
        self.assertTrue(0 <= m["kelvo_fleet_tick_lag_seconds"] < 0.2, m)

        before = self.series(port)
        w.publish("kelvo/t02/set/setpoint", "80")
        w.publish("kelvo/t02/set/mode", "heat_cool")     # classic: refused
        w.publish("kelvo/t03/sim/set", '{"pm_minutes": 3}')
        self.states(w, ["t02"], lambda s: s["ts_temp"] == 80)
        self.sims(w, ["t03"], lambda s: s["pm_minutes"] == 3)
        self.assertTrue(until(lambda: self.series(port)[
            "kelvo_fleet_commands_total"] ==
            before["kelvo_fleet_commands_total"] + 3))
        after = self.series(port)
        self.assertEqual(after["kelvo_fleet_commands_refused_total"],
                         before["kelvo_fleet_commands_refused_total"] + 1)
        self.assertGreater(after["kelvo_fleet_store_saves_total"],
                           before["kelvo_fleet_store_saves_total"])

        # Bad requests: a clear status each, and the fleet serves on.
        self.assertIn(" 404 ", self.raw(port, b"GET /nothing HTTP/1.1\r\n"
                                              b"\r\n").splitlines()[0])
        self.assertIn(" 405 ", self.raw(port, b"POST /metrics HTTP/1.1\r"
                                              b"\n\r\n").splitlines()[0])
        # A request that never ends: answered at its limit, 2048 bytes.
        self.assertIn(" 400 ", self.raw(port, b"x" * 2048))
        self.assertEqual(self.scrape(port, "/healthz"), (200, "ok\n"))
        self.assertEqual(f.p.poll(), None)
        self.assertEqual(f.stop(), 0)

    def test_progress_line_on_a_terminal(self):
        self.broker.start()
        master, slave = pty.openpty()
        p = subprocess.Popen(
            [FLEET, "--count", "12", "--broker",
             f"127.0.0.1:{self.broker.port}", "--listen", "127.0.0.1:0",
             "--store", self.dir + "/tty.sqlite"],
            stdin=subprocess.DEVNULL, stdout=slave, stderr=slave)
        os.close(slave)
        out = b""
        try:
            while b"connected 12/12\r\n" not in out and \
                    b"connected 12/12\n" not in out:
                r, _, _ = select.select([master], [], [], WAIT)
                self.assertTrue(r, out)
                out += os.read(master, 4096)
        finally:
            p.send_signal(signal.SIGTERM)
            self.assertEqual(p.wait(WAIT), 0)
            os.close(master)
        # Rewritten in place: carriage returns, counts that only grow.
        self.assertIn(b"\rconnected ", out)
        counts = [int(c) for c in re.findall(rb"connected (\d+)/12", out)]
        self.assertEqual(counts, sorted(counts))
        self.assertEqual(counts[-1], 12)


class Model(FleetRig):
    """A fleet thermostat and a kelvo with kelvo-mqtt, driven alike."""
    def test_same_batches_same_state(self):
        self.broker.start()
        w = self.watcher()
        self.kelvo()
        self.bridge()
        self.fleet("--prefix", "fleet", count=1)
        self.online(w, ["t1"])
        self.online(w, ["t1"], "fleet")
        start = {"state": "paused", "td_time_": "0545", "td_temp_in_": 64.25,
                 "td_temp_out_": 38.5, "ts_mode": "HEAT", "ts_fan": "AUTO",
                 "ts_temp": 71, "td_sys": "OFF", "pm_minutes": 2}
        runs = (("sim/set", json.dumps(start)), ("sim/step", "40"),
                ("sim/set", '{"ts_mode": "COOL", "td_temp_out_": 95}'),
                ("sim/step", "25"), ("sim/set", '{"pm_minutes": 90}'),
                ("sim/step", "30"), ("sim/set", '{"fault": ["plant"]}'),
                ("sim/step", "12"))
        for n, (topic, payload) in enumerate(runs, 1):
            sims = []
            for prefix in ("kelvo", "fleet"):
                w.publish(f"{prefix}/t1/{topic}", payload)
            for prefix in ("kelvo", "fleet"):
                sims.append(json.loads(w.wait(
                    f"{prefix}/t1/sim",
                    lambda v: json.loads(v)["batch"] >= n)[0]))
            self.assertEqual(sims[0]["batch"], sims[1]["batch"])
            self.assertEqual(sims[0]["error"], "", sims[0])
            # kelvo-mqtt may tell the answer before the state it read:
            # both paused, the two states settle where the batch left them.
            w.wait("kelvo/t1/state")
            self.assertTrue(until(lambda: w.last["fleet/t1/state"][0] ==
                                  w.last["kelvo/t1/state"][0]),
                            (topic, payload, w.last["kelvo/t1/state"][0],
                             w.last["fleet/t1/state"][0]))
        # A press, through each face's own road.
        for prefix in ("kelvo", "fleet"):
            w.publish(f"{prefix}/t1/press", "up")
        for prefix in ("kelvo", "fleet"):
            self.states(w, ["t1"], lambda s: s["ts_temp"] == 72, prefix)
        self.assertEqual(w.wait("kelvo/t1/state")[0],
                         w.wait("fleet/t1/state")[0])

    def test_modern_same_batches_same_state(self):
        self.broker.start()
        w = self.watcher()
        self.kelvo()
        self.bridge()
        self.fleet("--prefix", "fleet", "--profile", "modern", count=1)
        self.online(w, ["t1"])
        self.online(w, ["t1"], "fleet")
        start = {"state": "paused", "profile": "modern", "td_time_": "0545",
                 "td_temp_in_": 64.25, "td_temp_out_": 38.5,
                 "ts_mode": "AUTO", "ts_fan": "AUTO", "ts_temp": 71,
                 "ts_temp_low": 66, "ts_temp_high": 75, "td_sys": "OFF",
                 "td_call": "NONE", "td_humidity_": 48.5, "pm_minutes": 2}
        # Every one a batch to both, each taken before the next is sent.
        runs = (("sim/set", json.dumps(start)), ("sim/step", "40"),
                ("sim/set", '{"td_temp_out_": 97}'), ("sim/step", "90"),
                ("set/preset", "sleep"), ("sim/step", "30"),
                ("set/temp_high", "64"), ("sim/step", "25"),
                ("set/temp_low", "89"))
        for n, (topic, payload) in enumerate(runs, 1):
            for prefix in ("kelvo", "fleet"):
                w.publish(f"{prefix}/t1/{topic}", payload)
            sims = [json.loads(w.wait(f"{prefix}/t1/sim",
                                      lambda v: json.loads(v)["batch"] >= n)
                               [0]) for prefix in ("kelvo", "fleet")]
            self.assertEqual(sims[0]["batch"], sims[1]["batch"])
            self.assertEqual(sims[0]["error"], sims[1]["error"])
            self.assertTrue(until(lambda: w.last["fleet/t1/state"][0] ==
                                  w.last["kelvo/t1/state"][0]),
                            (topic, payload, w.last["kelvo/t1/state"][0],
                             w.last["fleet/t1/state"][0]))
        # The last was refused by both, alike.
        self.assertIn("above 90", sims[1]["error"])
        st = json.loads(w.last["fleet/t1/state"][0])
        self.assertEqual(st["ts_mode"], "AUTO")
        self.assertIn("td_humidity", st)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[1:], verbosity=2)
