#!/usr/bin/python3
"""kelvo-mqtt's simulation topics between a real kelvo and a real
Mosquitto on 127.0.0.1, through paho-mqtt: BASE/sim retained on every
change, BASE/sim/set, step and reset reaching kelvo, bad payloads and a
stopped kelvo refused with a line, and the discovery configs of the
switch, select, number and button, their templates rendered with Jinja.

    test_mqtt_sim.py      KELVO_BIN, KELVO_MQTT_BIN, MOSQUITTO_BIN set
"""
import json
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from test_mqtt import Rig, render, until  # noqa: E402


class Sim(Rig):
    def sim(self, w, pred=lambda s: True):
        return json.loads(w.wait(self.base + "/sim",
                                 lambda v: pred(json.loads(v)))[0])

    def outputs(self):
        with open(self.pps + "/kelvo/outputs") as f:
            return dict(line.split("::", 1) for line in f.read().split("\n")
                        if "::" in line)

    def test_sim_topics_commands_and_discovery(self):
        self.broker.start()
        k = self.kelvo()
        b = self.bridge()
        w = self.watcher()
        w.wait(self.base + "/availability", lambda v: v == "online")
        sim = self.sim(w)
        self.assertEqual(sim, {"state": "running", "pm_interval": 200,
                               "pm_minutes": 2, "fault": [], "batch": 0,
                               "error": "", "hour_ticks": 30,
                               "day_ticks": 720})
        self.assertTrue(self.watcher().wait(self.base + "/sim")[1], "retained")

        # The configs, key by key, on the climate entity's device.
        d = "homeassistant/%s/t1/%s/config"
        cfg = {n: json.loads(w.wait(d % (c, n))[0]) for c, n in (
            ("switch", "paused"), ("select", "fault"), ("number", "speed"),
            ("button", "step_hour"))}
        climate = json.loads(w.wait("homeassistant/climate/t1/config")[0])
        st, base = self.base + "/sim", self.base + "/sim/"
        for c in cfg.values():
            self.assertEqual(c["device"]["identifiers"],
                             climate["device"]["identifiers"])
            self.assertEqual((c["availability_topic"], c["payload_available"],
                              c["payload_not_available"]),
                             (self.base + "/availability", "online", "offline"))
            self.assertTrue(c["unique_id"].startswith("kelvo_t1_"))
        want = {
            "paused": {"name": "Paused", "state_topic": st,
                       "state_on": "paused", "state_off": "running",
                       "command_topic": base + "set",
                       "payload_on": '{"state": "paused"}',
                       "payload_off": '{"state": "running"}'},
            "fault": {"name": "Fault", "state_topic": st,
                      "options": ["none", "plant", "sensor", "silent"],
                      "command_topic": base + "set"},
            "speed": {"name": "Speed", "state_topic": st, "min": 1,
                      "max": 1440, "step": 1, "command_topic": base + "set"},
            "step_hour": {"name": "Step one hour",
                          "command_topic": base + "step",
                          "payload_press": "30"},
        }
        for n, keys in want.items():
            for key, value in keys.items():
                self.assertEqual(cfg[n].get(key), value, (n, key))
        self.assertEqual(climate["action_topic"], self.base + "/state")
        self.assertIn("action_template", climate)

        # The templates, in plain Jinja, against real and made-up objects.
        self.assertEqual(render(cfg["paused"]["value_template"], sim),
                         "running")
        for faults, shown in (([], "none"), (["sensor"], "sensor"),
                              (["plant", "silent"], "plant")):
            self.assertEqual(render(cfg["fault"]["value_template"],
                                    dict(sim, fault=faults)), shown)
        self.assertEqual(render(cfg["speed"]["value_template"], sim), "2")
        command = lambda c, v: json.loads(
            __import__("jinja2").Environment().from_string(
                cfg[c]["command_template"]).render(value=v))
        self.assertEqual(command("fault", "none"), {"fault": []})
        self.assertEqual(command("fault", "silent"), {"fault": ["silent"]})
        self.assertEqual(command("speed", 10.0), {"pm_minutes": 10})

        # What Home Assistant would send, and each command kind.
        w.publish(base + "set", cfg["paused"]["payload_on"])
        self.assertEqual(self.sim(w, lambda s: s["batch"] == 1)["state"],
                         "paused")
        w.publish(base + "set", json.dumps(command("speed", 10.0)))
        self.sim(w, lambda s: s["pm_minutes"] == 10)
        # The hour button follows the speed: 6 ticks of 10 minutes; the
        # nearest whole number of ticks, named for what it steps, where
        # that is not an hour; the whole range of speeds is taken.
        w.wait(d % ("button", "step_hour"),
               lambda v: json.loads(v)["payload_press"] == "6")
        for minutes, ticks, name in ((7, 9, "Step 63 minutes"),
                                     (120, 1, "Step 2 hours"),
                                     (1440, 1, "Step 24 hours"),
                                     (45, 1, "Step 45 minutes"),
                                     (10, 6, "Step one hour")):
            w.publish(base + "set", json.dumps(command("speed", minutes)))
            self.sim(w, lambda s: s["pm_minutes"] == minutes)
            cfg_step = json.loads(w.wait(
                d % ("button", "step_hour"), lambda v: json.loads(v)[
                    "payload_press"] == str(ticks) and json.loads(v)[
                    "name"] == name)[0])
            self.assertEqual(cfg_step["command_topic"], base + "step")
        w.publish(base + "set", json.dumps(command("fault", "plant")))
        self.sim(w, lambda s: s["fault"] == ["plant"])
        w.publish(base + "set", '{"td_time_": "0630", "td_temp_out_": 41.5}')
        self.sim(w, lambda s: s["batch"] == 9)
        self.assertEqual((self.outputs()["td_time_"],
                          self.outputs()["td_temp_out_"]), ("0630", "41.500"))
        w.publish(base + "step", " 6 ")
        self.sim(w, lambda s: s["batch"] == 10)
        self.assertEqual(self.outputs()["td_time_"], "0730")
        state = json.loads(w.wait(self.base + "/state", lambda v: json.loads(
            v)["td_time_"] == "0730")[0])
        self.assertEqual(state["td_time_"], "0730")

        # kelvo's refusal is a line and its error in the sim object.
        w.publish(base + "set", '{"pm_minutes": 5000}')
        self.assertIn("pm_minutes", self.sim(w, lambda s: s["batch"] == 11)
                      ["error"])
        self.assertTrue(until(lambda: "kelvo refused it" in b.text()))

        # Bad payloads: one line each, nothing written.
        bad = [("set", "{"), ("set", "[]"), ("set", "{}"),
               ("set", '{"warp": 1}'), ("set", '{"step": "2"}'),
               ("set", '{"fault": "plant"}'), ("set", "\xff\xfe"),
               ("set", "{" + " " * 5000 + "}"), ("step", "two"),
               ("step", "-1"), ("step", "1.5"), ("step", ""),
               ("step", "9" * 20)]
        for topic, payload in bad:
            w.publish(base + topic, payload.encode("latin-1"))
        self.assertTrue(until(lambda: b.events(" ignored (") ==
                              len(bad)), b.text())
        w.publish(base + "reset", "")
        sim = self.sim(w, lambda s: s["batch"] == 12)
        self.assertEqual((sim["state"], sim["fault"], sim["pm_minutes"]),
                         ("running", [], 2))
        self.assertEqual(b.events(" ignored ("), len(bad))

        # A command while kelvo is away is dropped, nothing left behind.
        k.stop()
        w.wait(self.base + "/availability", lambda v: v == "offline")
        w.publish(base + "set", '{"state": "paused"}')
        self.assertTrue(until(lambda: "dropped: kelvo is not running" in
                              b.text()), b.text())
        with open(self.pps + "/kelvo/control") as f:
            self.assertNotIn("paused", f.read())
        self.assertEqual(b.stop(), 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
