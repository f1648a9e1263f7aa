// A modern kelvo through kelvo-matter: the profile switched under a
// commissioned controller changes the device's clusters (AutoMode,
// Relative Humidity Measurement) and back; AUTO's band as the two set
// points, kelvo's deadband rule answering the writes (the other end
// pushed, or a constraint error at the limits), the humidity, a preset
// chosen through kelvo-web shown alike on both faces, kelvo's presets as
// Matter's (chosen by SetActivePresetRequest through kelvo, left when the
// band changes, the list not to be rewritten), and the profile kept
// across a restart of kelvo-matter.
import assert from "node:assert/strict";
import path from "node:path";
import { after, before, describe, test } from "node:test";

import { Descriptor, RelativeHumidityMeasurement, Thermostat } from "@matter/main/clusters";

import { Controller, Rig, WAIT, centi, sleep, startStack, until } from "./harness.mjs";

const CONSTRAINT_ERROR = 135;
const INVALID_COMMAND = 133;
const UNSUPPORTED_WRITE = 136;
const AUTO = Thermostat.SystemMode.Auto;
const T = Thermostat.Complete;
const RH = RelativeHumidityMeasurement.Complete;

describe("a modern kelvo through kelvo-matter", { timeout: 10 * WAIT }, () => {
    const rig = new Rig();
    const ctl = new Controller(path.join(rig.root, "controller"));

    /** Whether endpoint 1 lists the humidity among its clusters, read from the device. */
    async function listsHumidity() {
        return (await ctl.read(Descriptor.Complete, "serverList")).includes(RelativeHumidityMeasurement.Cluster.id);
    }

    /** Whether the controller sees the modern thermostat's clusters now. */
    async function seesModern() {
        const features = await ctl.read(T, "featureMap");
        return features.autoMode === true && await listsHumidity() && await ctl.read(RH, "minMeasuredValue") === 1000;
    }

    async function published(want, why) {
        const ok = await until(() => Object.entries(want)
            .every(([k, v]) => rig.outputs()[k] === String(v)));
        assert.ok(ok, `${why}: kelvo publishes ${JSON.stringify(rig.outputs())}, not ${JSON.stringify(want)}\n` +
            rig.matter.errLines.slice(-10).join("\n"));
    }

    /** Waits until the cluster shows kelvo's band as the two set points. */
    async function shows(low, high, why) {
        let got;
        const ok = await until(async () => {
            got = [await ctl.read(T, "occupiedHeatingSetpoint"), await ctl.read(T, "occupiedCoolingSetpoint")];
            return got[0] === centi(low) && got[1] === centi(high);
        });
        assert.ok(ok, `${why}: the set points read ${got}, not ${centi(low)},${centi(high)}`);
    }

    /** A PresetHandle as the preset's name it holds (kelvo's handles are their names' bytes). */
    function handleName(h) {
        return h == null ? h : Buffer.from(h).toString();
    }

    function presetCommand(presetHandle) {
        return ctl.cluster(T).commands.setActivePresetRequest({ presetHandle });
    }

    before(async () => {
        await startStack(rig);
        await ctl.start();
        await ctl.commission(rig.pairingCode, rig.matterAddress, rig.matterPort);
        await ctl.connect();
        await rig.sim({ state: "paused", ts_mode: "HEAT", ts_fan: "AUTO", ts_temp: 70 });
        assert.equal((await ctl.read(T, "featureMap")).autoMode, false, "a classic kelvo's cluster has AutoMode");
        const from = rig.matter.errLines.length;
        await rig.sim({ profile: "modern" });
        assert.ok(await until(seesModern), "the controller never saw the modern thermostat's clusters\n" +
            rig.matter.errLines.slice(from).join("\n"));
    });
    after(async () => {
        await ctl.close();
        await rig.close();
    });

    test("the modern cluster: MinSetpointDeadBand 17, SystemMode Auto written is kelvo's AUTO and back", async () => {
        assert.equal(await ctl.read(T, "minSetpointDeadBand"), 17);
        await rig.sim({ ts_temp_low: 66, ts_temp_high: 76 });
        await ctl.write(T, "systemMode", AUTO);
        await published({ ts_mode: "AUTO" }, "SystemMode Auto");
        await shows(66, 76, "in AUTO");
        await rig.sim({ ts_mode: "HEAT" });
        assert.ok(await until(async () => await ctl.read(T, "systemMode") === Thermostat.SystemMode.Heat), "HEAT");
        await shows(70, 70, "in HEAT the one set point");
        await rig.sim({ ts_mode: "AUTO" });
        assert.ok(await until(async () => await ctl.read(T, "systemMode") === AUTO), "kelvo's AUTO read as Auto");
    });

    test("a set point narrowing the band pushes the other end, as kelvo pushed it", async () => {
        await rig.sim({ ts_mode: "AUTO", ts_temp_low: 68, ts_temp_high: 74 });
        await shows(68, 74, "the band set");
        await ctl.write(T, "occupiedHeatingSetpoint", centi(73));
        assert.equal(rig.outputs().ts_temp_low, "73");
        assert.equal(rig.outputs().ts_temp_high, "76", "the high end pushed by kelvo");
        await shows(73, 76, "heating written");
        await ctl.write(T, "occupiedCoolingSetpoint", centi(70));
        await published({ ts_temp_low: 67, ts_temp_high: 70 }, "cooling written");
        await shows(67, 70, "cooling written");
    });

    test("a write that would push the other end past the limits is a constraint error, and changes nothing", async () => {
        await rig.sim({ ts_mode: "AUTO", ts_temp_low: 70, ts_temp_high: 80 });
        await shows(70, 80, "the band set");
        for (const [attr, f] of [["occupiedHeatingSetpoint", 89], ["occupiedCoolingSetpoint", 61]]) {
            const before = rig.outputs();
            const from = rig.matter.errLines.length;
            await assert.rejects(ctl.write(T, attr, centi(f)), e => e.code === CONSTRAINT_ERROR, `${attr} ${f}`);
            assert.ok(await until(() => rig.matter.errLines.slice(from).some(l => /refused/.test(l)), 5000),
                `${attr} ${f}: no line`);
            await sleep(1000);
            const lines = rig.matter.errLines.slice(from).filter(l => /refused/.test(l));
            assert.equal(lines.length, 1, `${attr} ${f}: not one line\n${lines.join("\n")}`);
            for (const k of ["ts_mode", "ts_temp", "ts_temp_low", "ts_temp_high", "ts_preset"])
                assert.equal(rig.outputs()[k], before[k], `${attr} ${f} changed ${k}`);
            await shows(70, 80, `after ${attr} ${f}`);
        }
    });

    test("the humidity reads kelvo's in 0.01 %, and null under the sensor fault", async () => {
        await rig.sim({ td_humidity_: 55.5 });
        assert.ok(await until(async () => await ctl.read(RH, "measuredValue") === 5550), "55.5 %");
        await rig.sim({ td_humidity_: 41.234 });
        assert.ok(await until(async () => await ctl.read(RH, "measuredValue") === 4123), "41.234 %");
        await rig.sim({ fault: ["sensor"] });
        assert.ok(await until(async () => await ctl.read(RH, "measuredValue") === null), "null under the fault");
        await rig.sim({ fault: [], td_humidity_: 47 });
        assert.ok(await until(async () => await ctl.read(RH, "measuredValue") === 4700), "back after the fault");
    });

    test("a preset chosen through kelvo-web: Matter shows what kelvo publishes", async () => {
        for (const [mode, preset] of [["AUTO", "away"], ["HEAT", "sleep"], ["AUTO", "home"]]) {
            await rig.sim({ ts_mode: mode });
            const r = await rig.api("PUT", "/api/preset", { preset });
            assert.equal(r.status, 200, `PUT /api/preset ${preset}: ${r.text}`);
            const o = rig.outputs();
            assert.equal(o.ts_preset, preset);
            const [low, high] = mode === "AUTO" ? [o.ts_temp_low, o.ts_temp_high] : [o.ts_temp, o.ts_temp];
            await shows(Number(low), Number(high), `${preset} in ${mode}`);
            assert.equal(await ctl.read(T, "systemMode"), mode === "AUTO" ? AUTO : Thermostat.SystemMode.Heat);
            assert.ok(await until(async () => handleName(await ctl.read(T, "activePresetHandle")) === preset),
                `${preset} in ${mode}: ActivePresetHandle is not kelvo's preset`);
        }
    });

    test("kelvo's presets read as built in, one per scenario", async () => {
        const presets = await ctl.read(T, "presets");
        assert.deepEqual(presets.map(p => [handleName(p.presetHandle), p.presetScenario, p.name, p.builtIn]), [
            ["home", Thermostat.PresetScenario.Occupied, "Home", true],
            ["away", Thermostat.PresetScenario.Unoccupied, "Away", true],
            ["sleep", Thermostat.PresetScenario.Sleep, "Sleep", true],
        ]);
        assert.equal(await ctl.read(T, "numberOfPresets"), 3);
        assert.deepEqual((await ctl.read(T, "presetTypes")).map(t => [t.presetScenario, t.numberOfPresets]),
            [[1, 1], [2, 1], [3, 1]]);
    });

    test("SetActivePresetRequest chooses kelvo's preset; a change of the band leaves it", async () => {
        await rig.sim({ ts_mode: "AUTO", ts_temp_low: 66, ts_temp_high: 77 });
        await published({ ts_preset: "none" }, "the band set");
        assert.ok(await until(async () => await ctl.read(T, "activePresetHandle") === null), "no preset: not null");
        await presetCommand(Buffer.from("away"));
        // Answered once kelvo applied it: its outputs show it already.
        for (const [k, v] of Object.entries({ ts_preset: "away", ts_temp: "62", ts_temp_low: "60", ts_temp_high: "80" }))
            assert.equal(rig.outputs()[k], v, `after SetActivePresetRequest away: ${k}`);
        assert.equal(handleName(await ctl.read(T, "activePresetHandle")), "away");
        await shows(60, 80, "away in AUTO");
        assert.ok(rig.matter.errLines.some(l => /preset away: applied by kelvo/.test(l)), "no line for the preset");
        // kelvo leaves a preset only when its set point or band changes.
        await assert.rejects(presetCommand(null), e => e.code === CONSTRAINT_ERROR, "null while away");
        assert.equal(rig.outputs().ts_preset, "away");
        assert.equal(handleName(await ctl.read(T, "activePresetHandle")), "away");

        const r = await rig.api("PUT", "/api/range", { low: 65, high: 75 });
        assert.equal(r.status, 200, `PUT /api/range: ${r.text}`);
        assert.ok(await until(async () => await ctl.read(T, "activePresetHandle") === null),
            "ActivePresetHandle kept after the band changed");
        await shows(65, 75, "the band changed");
        // Nothing to leave: null is taken as it is.
        await presetCommand(null);
        assert.equal(rig.outputs().ts_preset, "none");
    });

    test("a handle that names no preset is refused with a line, and kelvo is not asked", async () => {
        await rig.sim({ ts_mode: "AUTO", ts_temp_low: 66, ts_temp_high: 76 });
        await published({ ts_preset: "none" }, "the band set");
        for (const bad of [Buffer.from("vacation"), Buffer.from("awa"), Buffer.from("HOME")]) {
            const before = rig.outputs();
            const from = rig.matter.errLines.length;
            await assert.rejects(presetCommand(bad), e => e.code === INVALID_COMMAND, `handle ${bad.toString("hex")}`);
            assert.ok(await until(() => rig.matter.errLines.slice(from).some(l => /names no preset/.test(l)), 5000),
                `handle ${bad.toString("hex")}: no line`);
            for (const k of ["ts_mode", "ts_temp", "ts_temp_low", "ts_temp_high", "ts_preset"])
                assert.equal(rig.outputs()[k], before[k], `handle ${bad.toString("hex")} changed ${k}`);
        }
        assert.equal(await ctl.read(T, "activePresetHandle"), null);
    });

    test("a rewrite of the preset list is refused with a line, and the list stays", async () => {
        const list = await ctl.read(T, "presets");
        const from = rig.matter.errLines.length;
        await assert.rejects(ctl.cluster(T).commands.atomicRequest({
            requestType: Thermostat.RequestType.BeginWrite,
            attributeRequests: [Thermostat.Complete.attributes.presets.id], timeout: 5000,
        }), e => e.code === UNSUPPORTED_WRITE, "AtomicRequest BeginWrite");
        assert.ok(await until(() => rig.matter.errLines.slice(from).some(l => /refused AtomicRequest BeginWrite/.test(l)), 5000),
            "no line for the rewrite");
        assert.deepEqual(await ctl.read(T, "presets"), list);
    });

    test("restarted while kelvo-web is away, kelvo-matter comes back with the modern clusters it kept", async () => {
        await rig.stopWeb();
        assert.equal((await rig.stopMatter()).code, 0);
        const m = await rig.startMatter();
        assert.ok(await until(seesModern, WAIT, 500), "the controller did not see the modern thermostat\n" + m.output());
        assert.ok(!m.errLines.some(l => /clusters change/.test(l)), "the clusters changed at start\n" + m.output());
        const from = m.errLines.length;
        await rig.startWeb();
        assert.ok(await until(() => m.errLines.slice(from).some(l => /writes reach kelvo again/.test(l))),
            "kelvo-web never reached again\n" + m.output());
        await shows(Number(rig.outputs().ts_temp_low), Number(rig.outputs().ts_temp_high), "kelvo's band after the restart");
        assert.ok(!m.errLines.some(l => /clusters change/.test(l)), "the clusters changed with kelvo-web back\n" + m.output());
    });

    test("back to classic: the cluster loses AutoMode and the humidity, and refuses Auto", async () => {
        await rig.sim({ ts_mode: "HEAT", ts_temp: 72 });
        await rig.sim({ profile: "classic" });
        assert.ok(await until(async () => (await ctl.read(T, "featureMap")).autoMode === false),
            "AutoMode still there in classic");
        assert.ok(await until(async () => !await listsHumidity()), "the humidity still there in classic");
        await shows(72, 72, "classic");
        // The endpoint made again guards its writes as the first did: the
        // refusal has its line.
        const from = rig.matter.errLines.length;
        await assert.rejects(ctl.write(T, "systemMode", AUTO), e => e.code === CONSTRAINT_ERROR, "Auto in classic");
        assert.ok(await until(() => rig.matter.errLines.slice(from).some(l => /refused/.test(l)), 5000),
            `no line for Auto in classic\n${rig.matter.errLines.slice(from).join("\n")}`);
        assert.equal(rig.outputs().ts_mode, "HEAT");
    });
});
