#!/usr/bin/env node
// kelvo-matter's figures on loopback, kelvo at its default period (200 ms):
// commissioning, set-point write → kelvo's outputs, a change in kelvo → the
// controller's subscription report, reconnecting after a restart, and
// kelvo-matter's CPU and memory while nothing changes. Not run by CTest.
//
//   cmake --build build && (cd matter && npm ci)
//   node bench/matter_bench.mjs [--writes 50] [--reports 50] [--idle 60]
//
// KELVO_BIN, KELVO_WEB_BIN, KELVO_CTL_BIN, KELVO_MATTER_BIN as for the
// tests (default: build/...).
import { execFileSync } from "node:child_process";
import fs from "node:fs";
import path from "node:path";
import { parseArgs } from "node:util";

import { CTL, Controller, Rig, centi, clusters, cpuSeconds, memoryMB, sleep, startStack, until } from
    "../matter/itest/harness.mjs";

const { values: opt } = parseArgs({ options: {
    writes: { type: "string", default: "50" },
    reports: { type: "string", default: "50" },
    idle: { type: "string", default: "60" },
    restarts: { type: "string", default: "5" },
    commissions: { type: "string", default: "5" },
} });
const { Thermostat, BasicInformation } = clusters;
const T = Thermostat.Complete;

function stats(xs) {
    const s = [...xs].sort((a, b) => a - b);
    const q = p => s[Math.min(s.length - 1, Math.ceil(p * s.length) - 1)];
    return { n: s.length, p50: q(0.5), p95: q(0.95), max: s.at(-1) };
}
const ms = v => `${v.toFixed(1)} ms`;
function show(name, xs) {
    const s = stats(xs);
    console.log(`${name}: n ${s.n}  p50 ${ms(s.p50)}  p95 ${ms(s.p95)}  max ${ms(s.max)}`);
    return s;
}

async function cpuOver(pid, seconds) {
    const c0 = cpuSeconds(pid), t0 = performance.now();
    await sleep(seconds * 1000);
    return 100 * (cpuSeconds(pid) - c0) / ((performance.now() - t0) / 1000);
}

const rig = new Rig("kelvo-matter-bench-");
const results = {};
try {
    await startStack(rig);
    const storage = path.join(rig.root, "controller");

    // Commissioning: the first on the printed code, then each after a
    // --factory-reset with a controller of its own.
    const commissionTimes = [];
    let ctl;
    for (let i = 0; i < Number(opt.commissions); i++) {
        if (i > 0) {
            await rig.stopMatter();
            await rig.startMatter(["--factory-reset"], { commissionable: true });
        }
        const c = await new Controller(storage, `bench${i}`).start();
        const t0 = performance.now();
        await c.commission(rig.pairingCode, rig.matterAddress, rig.matterPort);
        commissionTimes.push(performance.now() - t0);
        if (ctl)
            await ctl.close();
        ctl = c;
    }
    results.commission = show("commissioning", commissionTimes);
    await ctl.connect();

    // Set-point writes, one press each way (70 ↔ 71), kelvo running.
    await rig.sim({ state: "running", ts_temp: 70 });
    await until(async () => await ctl.read(T, "occupiedHeatingSetpoint") === centi(70));
    const acked = [], shown = [];
    for (let i = 0; i < Number(opt.writes); i++) {
        const f = i % 2 === 0 ? 71 : 70;
        const t0 = performance.now();
        await ctl.write(T, "occupiedHeatingSetpoint", centi(f));
        acked.push(performance.now() - t0);
        const end = t0 + 10_000;
        while (rig.outputs().ts_temp !== String(f) && performance.now() < end)
            await sleep(1);
        shown.push(performance.now() - t0);
        await sleep(50 + Math.random() * 200);
    }
    results.writeAck = show("set-point write answered", acked);
    results.writeShown = show("set-point write → kelvo's outputs", shown);

    // A change in kelvo (through /api/sim, kelvo paused so nothing else
    // moves) → the report reaching the controller.
    await rig.sim({ state: "paused" });
    const waiting = new Map();
    ctl.node.events.attributeChanged.on(({ path: p, value }) => {
        if (p.endpointId === 1 && p.attributeName === "localTemperature")
            waiting.get(value)?.(performance.now());
    });
    const fromPut = [], fromShown = [];
    for (let i = 0; i < Number(opt.reports); i++) {
        const f = 60 + i * 0.37;
        const got = new Promise(r => waiting.set(centi(f), r));
        const t0 = performance.now();
        await rig.sim({ td_temp_in_: f });
        const t1 = performance.now();
        const t2 = await Promise.race([got, sleep(10_000).then(() => NaN)]);
        waiting.delete(centi(f));
        fromPut.push(t2 - t0);
        fromShown.push(Math.max(0, t2 - t1));
        await sleep(50 + Math.random() * 200);
    }
    const lost = fromPut.filter(Number.isNaN).length;
    results.reportFromPut = show("change (PUT /api/sim sent) → report", fromPut.filter(x => !Number.isNaN(x)));
    results.reportFromShown = show("change (outputs show it) → report", fromShown.filter(x => !Number.isNaN(x)));
    results.reportsLost = lost;
    results.minInterval = 0;
    console.log(`subscription: min interval floor 0 s, max interval ${ctl.node.currentSubscriptionIntervalSeconds} s, ${lost} reports missing`);

    // Reconnecting after kelvo-matter restarts.
    const fromSpawn = [], fromListening = [];
    for (let i = 0; i < Number(opt.restarts); i++) {
        await rig.stopMatter();
        const t0 = performance.now();
        const m = await rig.startMatter();
        const t1 = performance.now();
        await until(async () =>
            await ctl.read(BasicInformation.Complete, "serialNumber", 0) === rig.id, 60_000, 20);
        const t2 = performance.now();
        fromSpawn.push(t2 - t0);
        fromListening.push(t2 - t1);
        if (m.lines.some(l => /pairing code/.test(l)))
            console.log("warning: the restarted kelvo-matter printed a pairing code");
        await sleep(1000);
    }
    results.reconnectFromSpawn = show("restart (spawned) → first read answered", fromSpawn);
    results.reconnectFromListening = show("restart (listening) → first read answered", fromListening);

    // CPU and memory while nothing changes: kelvo paused through kelvo-ctl
    // (it still publishes every 200 ms), the controller subscribed.
    await sleep(5000);
    execFileSync(CTL, ["pause"], { env: rig.env, stdio: "ignore" });
    const pid = rig.matter.pid;
    await sleep(3000);
    results.cpuPaused = await cpuOver(pid, Number(opt.idle));
    results.memPaused = memoryMB(pid);
    execFileSync(CTL, ["resume"], { env: rig.env, stdio: "ignore" });
    await sleep(3000);
    results.cpuRunning = await cpuOver(pid, Number(opt.idle));
    results.memRunning = memoryMB(pid);
    console.log(`kelvo-matter CPU, kelvo paused: ${results.cpuPaused.toFixed(2)} % of a core; ` +
        `RSS ${results.memPaused.rss.toFixed(0)} MB (peak ${results.memPaused.hwm.toFixed(0)} MB)`);
    console.log(`kelvo-matter CPU, kelvo running: ${results.cpuRunning.toFixed(2)} % of a core; ` +
        `RSS ${results.memRunning.rss.toFixed(0)} MB (peak ${results.memRunning.hwm.toFixed(0)} MB)`);
    console.log(`load average: ${fs.readFileSync("/proc/loadavg", "utf8").trim()}`);
    await ctl.close();
} finally {
    await rig.close();
}
console.log(JSON.stringify(results));
process.exit(0);
