#!/usr/bin/python3
"""The measuring side of bench/fleet.sh, a client on the fleet's broker.

Waits until every thermostat of the fleet is online with a state, takes
the CPU time of the fleet's processes over an idle stretch (nothing but
kelvo's own publications, and this client watching every state, as a
dashboard would) and their memory, then sends set-point commands: each
one press away from the thermostat's set point, to a random thermostat
that has no command under way, at random instants.  A thermostat rests a
random 0..REST s after its last command showed before it may get the
next, so that the instants fall evenly over kelvo's period rather than
just after the publication that ended the last one.  A command's time
runs from just before its publication to the arrival of the first state
that shows its set point.

With --split (one thermostat on this machine) the probe also watches the
thermostat's PPS objects and splits each command's time: to its batch in
the control object (broker and bridge), to the set point in the outputs
object (kelvo), and from there to the state (bridge and broker).  Prints
the figures.
"""
import argparse
import json
import os
import random
import statistics
import sys
import threading
import time

import paho.mqtt.client as mqtt

TIMEOUT = 10.0          # s for one command to show, before it counts lost
REST = 0.6              # s, three of kelvo's default periods


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = int(fields[11]) + int(fields[12])   # utime, stime
    return ticks / os.sysconf("SC_CLK_TCK")


def memory_kb(pid):
    """Resident and proportional set sizes: shared pages (the C++
    library, libmosquitto) count whole in every RSS, shared in PSS."""
    rss = pss = 0
    with open(f"/proc/{pid}/smaps_rollup") as f:
        for line in f:
            if line.startswith("Rss:"):
                rss = int(line.split()[1])
            elif line.startswith("Pss:"):
                pss = int(line.split()[1])
    return rss, pss


class Fleet:
    def __init__(self, args):
        self.prefix = args.prefix
        self.ids = [f"t{i:0{args.width}d}" for i in
                    range(args.first, args.first + args.count)]
        self.cv = threading.Condition()
        self.online = set()
        self.setpoint = {}
        self.pending = {}       # id -> (target, sent)
        self.rested = {}        # id -> when it may get the next command
        self.times = []
        self.rng = random.Random()
        self.c = (mqtt.Client(mqtt.CallbackAPIVersion.VERSION1)
                  if hasattr(mqtt, "CallbackAPIVersion") else mqtt.Client())
        self.c.on_connect = self.connected
        self.c.on_message = self.message
        host, _, port = args.broker.rpartition(":")
        self.c.connect(host.strip("[]"), int(port), 30)
        self.c.loop_start()

    def connected(self, c, u, flags, rc):
        c.subscribe(f"{self.prefix}/+/availability", 1)
        c.subscribe(f"{self.prefix}/+/state", 0)

    def message(self, c, u, m):
        now = time.monotonic()
        _, tid, kind = m.topic.rsplit("/", 2)
        with self.cv:
            if kind == "availability":
                if m.payload == b"online":
                    self.online.add(tid)
                else:
                    self.online.discard(tid)
            else:
                try:
                    sp = json.loads(m.payload)["ts_temp"]
                except (ValueError, KeyError):
                    return
                self.setpoint[tid] = sp
                p = self.pending.get(tid)
                if p and sp == p[0]:
                    self.times.append(now - p[1])
                    self.done(tid, now)
            self.cv.notify_all()

    def wait_ready(self, timeout):
        with self.cv:
            return self.cv.wait_for(lambda: all(
                i in self.online and i in self.setpoint for i in self.ids),
                timeout)

    def done(self, tid, now):
        del self.pending[tid]
        self.rested[tid] = now + self.rng.uniform(0, REST)

    def command(self, tid):
        sp = self.setpoint[tid]
        target = sp + 1 if sp < 90 else sp - 1
        self.pending[tid] = (target, time.monotonic())
        # As Home Assistant sends it.
        self.c.publish(f"{self.prefix}/{tid}/set/setpoint", f"{target}.0")
        return target


def split(fleet, tid, target, sent, pps, before):
    """Polls the PPS objects every half millisecond until the state shows
    target; the three legs in s, or None when it did not show.  before
    is the control object's (inode, mtime) ahead of the command."""
    control, outputs = pps + "/control", pps + "/outputs"
    t_in = t_out = None
    while time.monotonic() - sent < TIMEOUT:
        now = time.monotonic()
        try:
            # The last batch is still in the object: a new one is a new
            # file (written aside and renamed) setting the target.
            st = os.stat(control)
            if (t_in is None and (st.st_ino, st.st_mtime_ns) != before and
                    f"ts_temp::{target}\n" in open(control).read()):
                t_in = now
            if t_out is None and f"ts_temp::{target}\n" in open(outputs).read():
                t_out = now
        except OSError:
            pass
        with fleet.cv:
            if tid not in fleet.pending and t_in and t_out:
                shown = sent + fleet.times[-1]
                return t_in - sent, t_out - t_in, shown - t_out
        time.sleep(0.0005)
    return None


def percentile(xs, p):
    xs = sorted(xs)
    return xs[min(len(xs) - 1, int(round(p / 100.0 * (len(xs) - 1))))]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--broker", required=True)
    ap.add_argument("--prefix", default="kelvo")
    ap.add_argument("--from", dest="first", type=int, default=1)
    ap.add_argument("--count", type=int, required=True)
    ap.add_argument("--width", type=int, default=3,
                    help="digits of an id (kelvo-fleet: those of --count)")
    ap.add_argument("--ready-only", action="store_true",
                    help="only the time until all are online with a state")
    ap.add_argument("--commands", type=int, default=200)
    ap.add_argument("--rate", type=float, default=10.0)
    ap.add_argument("--idle", type=float, default=10.0)
    ap.add_argument("--pids", required=True)
    ap.add_argument("--watch", type=int, default=0, metavar="N",
                    help="for the commands, watch the states of N random "
                    "thermostats only (0: all), so that this client's own "
                    "intake does not queue the answers it times")
    ap.add_argument("--split", metavar="PPS_DIR",
                    help="the one thermostat's PPS object directory")
    args = ap.parse_args()

    procs = {}
    with open(args.pids) as f:
        for line in f:
            kind, pid = line.split()
            procs.setdefault(kind, []).append(int(pid))

    fleet = Fleet(args)
    t0 = time.monotonic()
    if not fleet.wait_ready(60 + args.count):
        print(f"fleet: only {len(fleet.online)} of {args.count} online "
              "with a state; giving up", file=sys.stderr)
        return 1
    print(f"fleet: all {args.count} online with a state after "
          f"{time.monotonic() - t0:.1f} s")
    if args.ready_only:
        return 0
    time.sleep(2)       # past the start-up

    before = {k: sum(cpu_seconds(p) for p in ps) for k, ps in procs.items()}
    time.sleep(args.idle)
    after = {k: sum(cpu_seconds(p) for p in ps) for k, ps in procs.items()}
    total = 0.0
    for kind in sorted(procs):
        pct = (after[kind] - before[kind]) / args.idle * 100
        total += pct
        print(f"idle CPU {kind:6s} x{len(procs[kind]):3d}: {pct:6.1f}% "
              f"of one core ({pct / len(procs[kind]):.2f}% each)")
    print(f"idle CPU whole fleet: {total:.1f}% of one core over "
          f"{args.idle:.0f} s")
    mem = {k: [memory_kb(p) for p in ps] for k, ps in procs.items()}
    for kind in sorted(mem):
        rss = statistics.mean(m[0] for m in mem[kind])
        pss = statistics.mean(m[1] for m in mem[kind])
        print(f"memory {kind:6s}: RSS {rss:7.0f} kB, PSS {pss:7.0f} kB each")
    # Every process of the fleet and the broker, shared by the thermostats.
    per = {i: sum(m[i] for k in mem for m in mem[k]) / args.count
           for i in (0, 1)}
    print(f"memory per thermostat (its processes + broker share): "
          f"RSS {per[0]:.0f} kB, PSS {per[1]:.0f} kB")

    rng = fleet.rng
    if 0 < args.watch < len(fleet.ids):
        # The commands go to a random sample, and only its states come
        # here: thousands of states a second would queue in this one
        # Python client and be timed as the fleet's.
        sample = rng.sample(fleet.ids, args.watch)
        fleet.c.unsubscribe(f"{args.prefix}/+/state")
        for i in sample:
            fleet.c.subscribe(f"{args.prefix}/{i}/state", 0)
        time.sleep(3)   # what was queued drains, the sample's states come
        with fleet.cv:
            fleet.ids = sample
        print(f"commands to {args.watch} random thermostats, their states "
              "alone watched")
    sent = 0
    legs = []
    end = time.monotonic() + args.commands * (1 / args.rate + REST) + TIMEOUT
    while sent < args.commands and time.monotonic() < end:
        time.sleep(rng.expovariate(args.rate))
        with fleet.cv:
            now = time.monotonic()
            for tid, (_, t) in list(fleet.pending.items()):
                if now - t > TIMEOUT:
                    fleet.done(tid, now)
            idle = [i for i in fleet.ids if i not in fleet.pending and
                    fleet.rested.get(i, 0) <= now]
            if not idle:
                continue
            tid = rng.choice(idle)
            before = None
            if args.split:
                try:
                    st = os.stat(args.split + "/control")
                    before = (st.st_ino, st.st_mtime_ns)
                except OSError:
                    pass
            target = fleet.command(tid)
            sent += 1
        if args.split:
            leg = split(fleet, tid, target, fleet.pending[tid][1]
                        if tid in fleet.pending else now, args.split, before)
            if leg:
                legs.append(leg)
    with fleet.cv:
        fleet.cv.wait_for(lambda: not fleet.pending, TIMEOUT)
        times = [t * 1000 for t in fleet.times]
    if not times:
        print("fleet: no command showed", file=sys.stderr)
        return 1
    print(f"command to state, {len(times)} of {sent} shown "
          f"({args.rate:g}/s across {args.count}): median "
          f"{statistics.median(times):.1f} ms, p95 {percentile(times, 95):.1f} "
          f"ms, max {max(times):.1f} ms")
    for k, name in enumerate(("command to its batch in the control object",
                              "batch to set point in the outputs object",
                              "outputs object to state")):
        if legs:
            xs = [leg[k] * 1000 for leg in legs]
            print(f"  {name}: median {statistics.median(xs):.1f} ms, "
                  f"p95 {percentile(xs, 95):.1f} ms")
    fleet.c.loop_stop()
    fleet.c.disconnect()
    return 0 if len(times) == sent else 1


if __name__ == "__main__":
    sys.exit(main())
