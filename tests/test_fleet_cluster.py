#!/usr/bin/python3
"""One fleet of 900 thermostats on three hosts of a NATS cluster: network
namespaces the test makes (a bridge in a namespace of its own joins
three hosts at 198.18.0.1-3, addresses of the benchmarking range that
exist only inside them), on each host a nats-server node with MQTT and
JetStream and one shard of kelvo-fleet connected to its own node with
the other two as fallbacks, and an observer (paho) on the third host.
The first node is stopped: its shard moves to the others, its
thermostats' states resume and take commands, the retained discovery is
still served; started again, the node rejoins.

    test_fleet_cluster.py     KELVO_FLEET_BIN, NATS_SERVER_BIN set; root

Exits 77 (skipped, with a line saying why) where namespaces cannot be
made.  Every namespace made is removed, and every process in one ended,
also when the test fails.
"""
import json
import os
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import paho.mqtt.client as mqtt

FLEET = os.environ.get("KELVO_FLEET_BIN", "build/fleet/kelvo-fleet")
NATS = os.environ.get("NATS_SERVER_BIN", "/usr/sbin/nats-server")
# The namespaces' names: the outer process's, handed to the inner one.
TAG = os.environ.setdefault("KELVO_CLUSTER_TAG", "kf%d" % (os.getpid() % 100000))
HOSTS = (1, 2, 3)
COUNT = 900
WAIT = 90
SKIP = 77


def host_ns(i):
    return f"{TAG}h{i}"


def addr(i):
    return f"198.18.0.{i}"


def ip(*args):
    subprocess.run(("ip",) + args, check=True, capture_output=True,
                   text=True)


def make_net():
    """The bridge's namespace first, so that removing it is enough to
    undo a half-made net."""
    br = TAG + "b"
    ip("netns", "add", br)
    ip("-n", br, "link", "add", "br0", "type", "bridge")
    ip("-n", br, "link", "set", "br0", "up")
    for i in HOSTS:
        ns, a, b = host_ns(i), f"{TAG}a{i}", f"{TAG}p{i}"
        ip("netns", "add", ns)
        ip("link", "add", a, "type", "veth", "peer", "name", b)
        ip("link", "set", a, "netns", ns)
        ip("link", "set", b, "netns", br)
        ip("-n", br, "link", "set", b, "master", "br0")
        ip("-n", br, "link", "set", b, "up")
        ip("-n", ns, "addr", "add", addr(i) + "/24", "dev", a)
        ip("-n", ns, "link", "set", a, "up")
        ip("-n", ns, "link", "set", "lo", "up")


def remove_net():
    for ns in [TAG + "b"] + [host_ns(i) for i in HOSTS]:
        r = subprocess.run(["ip", "netns", "pids", ns], capture_output=True,
                           text=True)
        for pid in r.stdout.split():
            try:
                os.kill(int(pid), signal.SIGKILL)
            except (ProcessLookupError, ValueError):
                pass
        subprocess.run(["ip", "netns", "del", ns], capture_output=True)


def until(cond, timeout=WAIT):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if cond():
            return True
        time.sleep(0.05)
    return cond()


def names():
    return ["t%03d" % n for n in range(1, COUNT + 1)]


class Observer:
    """A paho client on one node, keeping each topic's last message and
    when the first after a mark came."""
    def __init__(self, node):
        self.cv = threading.Condition()
        self.last, self.since = {}, {}
        self.mark = None
        self.c = mqtt.Client(client_id=f"observer-{node}-{os.getpid()}",
                             clean_session=True)
        self.c.on_message = self.message
        # QoS 0: on NATS a QoS 1 subscription is a replicated consumer,
        # and nothing here needs a message kept for a client away.
        self.c.on_connect = lambda c, u, f, rc: c.subscribe(
            [("kelvo/+/state", 0), ("kelvo/+/availability", 0),
             ("homeassistant/climate/+/config", 0)])
        self.c.connect(addr(node), 1883, 30)
        self.c.loop_start()

    def message(self, c, u, m):
        with self.cv:
            self.last[m.topic] = (m.payload.decode(errors="replace"),
                                  m.retain)
            if self.mark is not None and m.topic not in self.since:
                self.since[m.topic] = time.monotonic() - self.mark
            self.cv.notify_all()

    def wait_all(self, topics, pred=lambda v: True, timeout=WAIT):
        with self.cv:
            ok = self.cv.wait_for(lambda: all(
                t in self.last and pred(self.last[t][0]) for t in topics),
                timeout)
            missing = [t for t in topics if t not in self.last or
                       not pred(self.last[t][0])]
        assert ok, f"{len(missing)} not seen, e.g. {missing[:3]}"

    def publish(self, topic, payload):
        self.c.publish(topic, payload, qos=1).wait_for_publish()

    def close(self):
        self.c.loop_stop()
        self.c.disconnect()


class Cluster(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="kelvo-fleet-cluster-")
        self.dir = self.tmp.name
        self.nodes, self.fleets, self.observers = {}, {}, []
        self.logs = []

    def tearDown(self):
        for o in self.observers:
            o.close()
        for p in list(self.fleets.values()) + list(self.nodes.values()):
            if p.poll() is None:
                p.kill()
                p.wait()
        for f in self.logs:
            f.close()
        self.tmp.cleanup()

    def node(self, i):
        routes = ", ".join(f"nats://{addr(j)}:6222" for j in HOSTS if j != i)
        conf = os.path.join(self.dir, f"n{i}.conf")
        os.makedirs(os.path.join(self.dir, f"js{i}"), exist_ok=True)
        with open(conf, "w") as f:
            f.write(f"server_name: n{i}\nlisten: {addr(i)}:4222\n"
                    f"jetstream {{ store_dir: \"{self.dir}/js{i}\" }}\n"
                    f"cluster {{ name: kelvo, listen: {addr(i)}:6222, "
                    f"routes: [ {routes} ] }}\n"
                    # Three copies of the MQTT state however few
                    # nodes are up when the first client comes, so that
                    # no node's death takes any of it away.
                    f"mqtt {{ listen: {addr(i)}:1883, "
                    f"stream_replicas: 3 }}\n")
        log = open(os.path.join(self.dir, f"n{i}.log"), "a")
        self.logs.append(log)
        self.nodes[i] = subprocess.Popen(
            ["ip", "netns", "exec", host_ns(i), NATS, "-c", conf],
            stdout=log, stderr=log)

    def mqtt_up(self, i):
        c = mqtt.Client(client_id=f"probe-{i}-{os.getpid()}")
        try:
            c.connect(addr(i), 1883, 5)
            c.loop_start()
            ok = until(c.is_connected, 5)
            c.loop_stop()
            c.disconnect()
            return ok
        except OSError:
            return False

    def fleet(self, i):
        # A tick every 2 s: NATS keeps every retained state in JetStream,
        # replicated three times, and three nodes on one small machine
        # beside the fleets have no room for ten times as many.
        brokers = ",".join(f"{addr(j)}:1883" for j in
                           [i] + [j for j in HOSTS if j != i])
        err = open(os.path.join(self.dir, f"fleet{i}.err"), "a")
        self.logs.append(err)
        self.fleets[i] = subprocess.Popen(
            ["ip", "netns", "exec", host_ns(i), FLEET, "--count", str(COUNT),
             "--shard", f"{i}/3", "--broker", brokers, "--store",
             os.path.join(self.dir, f"fleet{i}.sqlite"), "--listen",
             "127.0.0.1:0", "--interval", "2000"], stdout=err, stderr=err)

    def text(self, name):
        with open(os.path.join(self.dir, name), errors="replace") as f:
            return f.read()

    def observer(self, node):
        o = Observer(node)
        self.observers.append(o)
        return o

    def test_three_hosts_one_fleet_and_a_node_dies(self):
        for i in HOSTS:
            self.node(i)
        for i in HOSTS:
            self.assertTrue(until(lambda: self.mqtt_up(i)),
                            self.text(f"n{i}.log")[-2000:])
        o = self.observer(3)
        self.assertTrue(until(o.c.is_connected))
        for i in HOSTS:
            self.fleet(i)
        ids = names()
        try:
            o.wait_all([f"homeassistant/climate/{n}/config" for n in ids])
        except AssertionError:
            for i in HOSTS:
                print(self.text(f"fleet{i}.err")[-1500:], file=sys.stderr)
                print(self.text(f"n{i}.log")[-1500:], file=sys.stderr)
            raise
        o.wait_all([f"kelvo/{n}/state" for n in ids])
        # Commands reach thermostats on every host.
        for n in ("t001", "t002", "t003", "t898"):
            o.publish(f"kelvo/{n}/set/setpoint", "84")
        o.wait_all([f"kelvo/{n}/state" for n in ("t001", "t002", "t003",
                                                  "t898")],
                   lambda v: json.loads(v)["ts_temp"] == 84)

        # The first node dies: its shard (t001, t004, ...) moves on.
        shard1 = [n for n in ids if int(n[1:]) % 3 == 1]
        with o.cv:
            o.mark = time.monotonic()
            o.since.clear()
        self.nodes[1].send_signal(signal.SIGKILL)
        self.nodes[1].wait()
        o.wait_all([f"kelvo/{n}/availability" for n in shard1],
                   lambda v: v == "online")
        if not until(lambda: all(f"kelvo/{n}/state" in o.since
                                 for n in shard1)):
            missing = [n for n in shard1 if f"kelvo/{n}/state" not in o.since]
            self.fail(f"{len(missing)} of shard 1's states did not resume, "
                      f"e.g. {missing[:5]}\n" +
                      self.text("fleet1.err")[-3000:] +
                      self.text("n2.log")[-3000:])
        times = sorted(o.since[f"kelvo/{n}/state"] for n in shard1)
        print(f"shard 1 back after its node died: p50 "
              f"{times[len(times) // 2]:.2f} s, p95 "
              f"{times[int(len(times) * 0.95)]:.2f} s, max {times[-1]:.2f} s",
              file=sys.stderr)
        for n in ("t004", "t301", "t900"):
            o.publish(f"kelvo/{n}/set/setpoint", "62")
        o.wait_all([f"kelvo/{n}/state" for n in ("t004", "t301", "t900")],
                   lambda v: json.loads(v)["ts_temp"] == 62)
        # What was acknowledged before is still there.
        o.wait_all(["kelvo/t001/state", "kelvo/t898/state"],
                   lambda v: json.loads(v)["ts_temp"] == 84)
        fresh = self.observer(2)
        fresh.wait_all([f"homeassistant/climate/{n}/config" for n in
                        ("t001", "t004", "t899")])
        self.assertTrue(fresh.last["homeassistant/climate/t001/config"][1])

        # Started again, the node rejoins and serves the retained configs.
        self.node(1)
        self.assertTrue(until(lambda: self.mqtt_up(1)))
        again = self.observer(1)
        again.wait_all([f"homeassistant/climate/{n}/config" for n in
                        ("t001", "t002", "t900")])
        for i in HOSTS:
            self.assertIsNone(self.fleets[i].poll(),
                              self.text(f"fleet{i}.err")[-2000:])


def main():
    if "--inside" in sys.argv:
        sys.argv.remove("--inside")
        unittest.main(verbosity=2)
        return
    if os.getuid() != 0:
        print("skipped: network namespaces need root", file=sys.stderr)
        sys.exit(SKIP)
    try:
        make_net()
    except (subprocess.CalledProcessError, FileNotFoundError) as e:
        remove_net()
        why = getattr(e, "stderr", None) or str(e)
        print(f"skipped: cannot make network namespaces: {why.strip()}",
              file=sys.stderr)
        sys.exit(SKIP)
    try:
        # The observer runs on the third host.
        r = subprocess.run(["ip", "netns", "exec", host_ns(3),
                            sys.executable, os.path.abspath(__file__),
                            "--inside"] + sys.argv[1:])
        status = r.returncode
    finally:
        remove_net()
    sys.exit(status)


if __name__ == "__main__":
    main()
