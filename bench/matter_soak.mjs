#!/usr/bin/env node
// kelvo-matter over a long run: a controller's writes (set point, mode,
// FanMode and PercentSetting in turn), kelvo's reports (kelvo running at
// its default period, and a change through kelvo-web now and then) and
// kelvo-web stopped and started again every few minutes.  Each interval
// prints kelvo-matter's CPU, resident memory and storage writes (files
// renamed into place in its storage, seen by inotify), the writes answered
// and failed, and what kelvo-web's restarts cost.  Not run by CTest.
//
//   node bench/matter_soak.mjs [--minutes 60] [--every 5] [--restart 5]
//
// KELVO_BIN, KELVO_WEB_BIN, KELVO_CTL_BIN, KELVO_MATTER_BIN as for the
// tests (default: build/...).
import fs from "node:fs";
import path from "node:path";
import { parseArgs } from "node:util";

import { Controller, Rig, centi, clusters, cpuSeconds, memoryMB, sleep, startStack, storageWrites, until } from
    "../matter/itest/harness.mjs";

const { values: opt } = parseArgs({ options: {
    minutes: { type: "string", default: "60" },
    every: { type: "string", default: "5" },     // minutes a line
    restart: { type: "string", default: "5" },   // minutes between kelvo-web restarts
} });
const { Thermostat, FanControl } = clusters;
const T = Thermostat.Complete, F = FanControl.Complete;

// One write a step, each kind in turn; FanMode and PercentSetting
// alternate so that each undoes what the other did.
const writes = [
    ["set point", (i) => ["write", T, "occupiedHeatingSetpoint", centi(i % 4 < 2 ? 70 : 71)]],
    ["FanMode", (i) => ["write", F, "fanMode", [FanControl.FanMode.High, FanControl.FanMode.Off, FanControl.FanMode.Auto][i % 3]]],
    ["PercentSetting", (i) => ["write", F, "percentSetting", [0, 50, 100][i % 3]]],
    ["SystemMode", (i) => ["write", T, "systemMode", i % 2 === 0 ? Thermostat.SystemMode.Heat : Thermostat.SystemMode.Cool]],
];

const rig = new Rig("kelvo-matter-soak-");
try {
    await startStack(rig);
    const ctl = await new Controller(path.join(rig.root, "controller"), "soak").start();
    await ctl.commission(rig.pairingCode, rig.matterAddress, rig.matterPort);
    await ctl.connect();
    await rig.sim({ state: "running", ts_mode: "HEAT", ts_temp: 70 });
    const pid = rig.matter.pid;
    const store = storageWrites(rig.storage);
    const end = Date.now() + Number(opt.minutes) * 60_000;
    const everyMs = Number(opt.every) * 60_000, restartMs = Number(opt.restart) * 60_000;
    let nextLine = Date.now() + everyMs, nextRestart = Date.now() + restartMs;
    let cpu0 = cpuSeconds(pid), t0 = Date.now(), written0 = 0;
    let ok = 0, failed = 0, step = 0, reports = 0, restarts = 0;
    const failures = new Map();   // why a write failed → how often
    const back = [];       // kelvo-web started → a write answered again, ms
    const rows = [];
    console.log("minute | CPU % of a core | RSS MB (peak) | storage writes | writes ok/failed | reports sent | kelvo-web restarts");
    while (Date.now() < end) {
        const [, make] = writes[step % writes.length];
        const [, cluster, attr, value] = make(Math.floor(step / writes.length));
        step++;
        try {
            await ctl.write(cluster, attr, value);
            ok++;
        } catch (e) {
            failed++;
            const why = String(e?.message ?? e).slice(0, 80);
            failures.set(why, (failures.get(why) ?? 0) + 1);
        }
        if (step % 5 === 0) {
            await rig.api("PUT", "/api/sim", { td_temp_out_: 40 + (step % 40) / 2 }).catch(() => undefined);
            reports++;
        }
        if (Date.now() >= nextRestart) {
            await rig.stopWeb();
            await sleep(3000);
            await rig.startWeb();
            const t = performance.now();
            const again = await until(async () => {
                await ctl.write(T, "occupiedHeatingSetpoint", centi(72));
                return true;
            }, 60_000, 100);
            back.push(again ? performance.now() - t : NaN);
            restarts++;
            nextRestart = Date.now() + restartMs;
        }
        if (Date.now() >= nextLine) {
            const now = Date.now(), c = cpuSeconds(pid), m = memoryMB(pid), w = store.total();
            const row = { minute: Math.round((now - (end - Number(opt.minutes) * 60_000)) / 60_000),
                cpu: 100 * (c - cpu0) / ((now - t0) / 1000), rss: m.rss, hwm: m.hwm,
                storage: w - written0, ok, failed, reports, restarts };
            rows.push(row);
            console.log(`${row.minute} | ${row.cpu.toFixed(2)} | ${row.rss.toFixed(0)} (${row.hwm.toFixed(0)}) | ` +
                `${row.storage} | ${ok}/${failed} | ${reports} | ${restarts}`);
            cpu0 = c; t0 = now; written0 = w; nextLine = now + everyMs;
        }
        await sleep(250 + Math.random() * 500);
    }
    // Then nothing written for a minute: no storage writes at all.
    const w0 = store.total(), c0 = cpuSeconds(pid), q0 = Date.now();
    await sleep(60_000);
    const quiet = { storage: store.total() - w0,
        cpu: 100 * (cpuSeconds(pid) - c0) / ((Date.now() - q0) / 1000), ...memoryMB(pid) };
    console.log(`a minute without writes: ${quiet.storage} storage writes, CPU ${quiet.cpu.toFixed(2)} %, ` +
        `RSS ${quiet.rss.toFixed(0)} MB (peak ${quiet.hwm.toFixed(0)} MB)`);
    console.log("writes failed, by reason:", JSON.stringify(Object.fromEntries(failures)));
    console.log("storage writes by key:", JSON.stringify(Object.fromEntries(store.counts)));
    const b = back.filter(x => !Number.isNaN(x)).sort((x, y) => x - y);
    console.log(`kelvo-web started → a write answered again: n ${b.length}, p50 ${b[Math.floor(b.length / 2)]?.toFixed(0)} ms, ` +
        `max ${b.at(-1)?.toFixed(0)} ms, never ${back.length - b.length}`);
    console.log(`load average: ${fs.readFileSync("/proc/loadavg", "utf8").trim()}`);
    console.log(JSON.stringify({ rows, quiet, back, byKey: Object.fromEntries(store.counts) }));
    store.close();
    await ctl.close();
} finally {
    await rig.close();
}
process.exit(0);
