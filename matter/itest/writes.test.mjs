// A controller's writes and commands through kelvo-matter reaching kelvo's
// published outputs, and the refused ones leaving them as they were.
import assert from "node:assert/strict";
import path from "node:path";
import { after, before, describe, test } from "node:test";

import { FanControl, Identify, Thermostat } from "@matter/main/clusters";

import { Controller, Rig, WAIT, sleep, startStack, until } from "./harness.mjs";

const CONSTRAINT_ERROR = 135;

describe("writes through kelvo-matter", { timeout: 10 * WAIT }, () => {
    const rig = new Rig();
    const ctl = new Controller(path.join(rig.root, "controller"));

    before(async () => {
        await startStack(rig);
        await ctl.start();
        await ctl.commission(rig.pairingCode, rig.matterAddress, rig.matterPort);
        await ctl.connect();
        // Paused, so nothing but these writes moves the settings.
        await rig.sim({ state: "paused", ts_mode: "HEAT", ts_fan: "AUTO", ts_temp: 68 });
    });
    after(async () => {
        await ctl.close();
        await rig.close();
    });

    /** Waits until kelvo publishes `want` (a subset of its outputs). */
    async function published(want, why) {
        const ok = await until(() => Object.entries(want)
            .every(([k, v]) => rig.outputs()[k] === String(v)));
        assert.ok(ok, `${why}: kelvo publishes ${JSON.stringify(rig.outputs())}, not ${JSON.stringify(want)}`);
    }

    /** A write the device refuses with a constraint error; kelvo's outputs
     *  stay as they were, also a while later. */
    async function refused(what, fn) {
        const before = rig.outputs();
        await assert.rejects(fn, e => e.code === CONSTRAINT_ERROR, what);
        await sleep(1000);
        const now = rig.outputs();
        for (const k of ["ts_mode", "ts_fan", "ts_temp"])
            assert.equal(now[k], before[k], `${what} changed ${k}`);
    }

    test("set points: either one sets ts_temp to the nearest whole °F, within 1556..3222", async () => {
        const T = Thermostat.Complete;
        await ctl.write(T, "occupiedHeatingSetpoint", 2400);     // 75.2 °F
        await published({ ts_temp: 75 }, "heating set point 2400");
        assert.ok(await until(async () =>
            await ctl.read(T, "occupiedCoolingSetpoint") === 2389), "cooling set point follows");
        await ctl.write(T, "occupiedCoolingSetpoint", 2140);     // 70.52 °F
        await published({ ts_temp: 71 }, "cooling set point 2140");
        await ctl.write(T, "occupiedHeatingSetpoint", 1556);
        await published({ ts_temp: 60 }, "the lowest set point");
        await ctl.write(T, "occupiedCoolingSetpoint", 3222);
        await published({ ts_temp: 90 }, "the highest set point");
        for (const [attr, v] of [["occupiedHeatingSetpoint", 1555], ["occupiedHeatingSetpoint", 3223],
            ["occupiedCoolingSetpoint", 1555], ["occupiedCoolingSetpoint", 3223]])
            await refused(`${attr} ${v}`, () => ctl.write(T, attr, v));
        assert.equal(await ctl.read(T, "occupiedHeatingSetpoint"), 3222);
    });

    test("SetpointRaiseLower moves ts_temp by whole presses and stops at 60 and 90", async () => {
        const cmd = ctl.cluster(Thermostat.Complete).commands;
        const { Heat, Cool, Both } = Thermostat.SetpointRaiseLowerMode;
        await rig.sim({ ts_temp: 70 });
        await cmd.setpointRaiseLower({ mode: Heat, amount: 10 });   // 1.8 °F: 2 presses
        await published({ ts_temp: 72 }, "raise by 1.0 °C");
        await cmd.setpointRaiseLower({ mode: Cool, amount: -5 });   // -0.9 °F: 1 press
        await published({ ts_temp: 71 }, "lower by 0.5 °C");
        await cmd.setpointRaiseLower({ mode: Both, amount: 2 });    // 0.36 °F: none
        await sleep(1000);
        assert.equal(rig.outputs().ts_temp, "71", "an amount under half a press changed the set point");
        await rig.sim({ ts_temp: 88 });
        await cmd.setpointRaiseLower({ mode: Heat, amount: 50 });   // 9 °F, stops at 90
        await published({ ts_temp: 90 }, "raise past 90");
        await rig.sim({ ts_temp: 62 });
        await cmd.setpointRaiseLower({ mode: Heat, amount: -100 }); // stops at 60
        await published({ ts_temp: 60 }, "lower past 60");
    });

    test("SystemMode: Off, Cool and Heat set the mode; any other is refused", async () => {
        const T = Thermostat.Complete;
        for (const [v, mode] of [[3, "COOL"], [0, "OFF"], [4, "HEAT"]]) {
            await ctl.write(T, "systemMode", v);
            await published({ ts_mode: mode }, `SystemMode ${v}`);
        }
        for (const v of [1, 7])
            await refused(`SystemMode ${v}`, () => ctl.write(T, "systemMode", v));
        assert.equal(await ctl.read(T, "systemMode"), 4);
    });

    test("FanMode: On and High set ON, Auto sets AUTO, Off sets AUTO and reads back Auto", async () => {
        const F = FanControl.Complete;
        const { Off, High, On, Auto } = FanControl.FanMode;
        await ctl.write(F, "fanMode", High);
        await published({ ts_fan: "ON" }, "FanMode High");
        await ctl.write(F, "fanMode", Auto);
        await published({ ts_fan: "AUTO" }, "FanMode Auto");
        await ctl.write(F, "fanMode", On);
        await published({ ts_fan: "ON" }, "FanMode On");
        assert.ok(await until(async () => await ctl.read(F, "fanMode") === High), "On reads back High");
        await ctl.write(F, "fanMode", Off);
        await published({ ts_fan: "AUTO" }, "FanMode Off");
        assert.ok(await until(async () => await ctl.read(F, "fanMode") === Auto), "Off reads back Auto");
    });

    test("Identify answers and is logged", async () => {
        const from = rig.matter.errLines.length + rig.matter.lines.length;
        await ctl.cluster(Identify.Complete).commands.identify({ identifyTime: 3 });
        assert.ok(await until(() => [...rig.matter.lines, ...rig.matter.errLines].length > from &&
            [...rig.matter.lines, ...rig.matter.errLines].some(l => /identif/i.test(l))),
            "no log line for Identify");
    });
});
