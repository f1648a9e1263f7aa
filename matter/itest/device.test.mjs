// kelvo-matter seen by a Matter controller: commissioned with the code it
// prints, every attribute of the mapping read back against what kelvo
// publishes, changes made through the simulation arriving as subscription
// reports, and the sensor fault as an unknown indoor temperature.
import assert from "node:assert/strict";
import path from "node:path";
import { after, before, describe, test } from "node:test";

import { BasicInformation, FanControl, Thermostat,
    ThermostatUserInterfaceConfiguration } from "@matter/main/clusters";
import { ManualPairingCodeCodec, QrPairingCodeCodec } from "@matter/main/types";

import { Controller, Rig, WAIT, centi, startStack, until } from "./harness.mjs";

const PASSCODE = 20231117, DISCRIMINATOR = 2921;
const MODES = { OFF: 0, COOL: 3, HEAT: 4 };

/** What the mapping says the controller must read, from kelvo's outputs. */
function expected(o) {
    const temp = t => t === "" ? null : centi(Number(t));
    const plant = o.ts_mode === "OFF" ? "off" : o.td_sys === "ON" ?
        (o.ts_mode === "HEAT" ? "heating" : "cooling") : o.ts_fan === "ON" ? "fan" : "idle";
    const runs = o.ts_fan === "ON" || plant === "heating" || plant === "cooling";
    const sp = centi(Number(o.ts_temp));
    return {
        localTemperature: temp(o.td_temp_in_),
        outdoorTemperature: temp(o.td_temp_out_),
        systemMode: MODES[o.ts_mode],
        controlSequenceOfOperation: 4,
        occupiedHeatingSetpoint: sp,
        occupiedCoolingSetpoint: sp,
        absMinHeatSetpointLimit: 1556, absMaxHeatSetpointLimit: 3222,
        absMinCoolSetpointLimit: 1556, absMaxCoolSetpointLimit: 3222,
        thermostatRunningState: { heat: plant === "heating", cool: plant === "cooling", fan: runs },
        fanMode: o.ts_fan === "ON" ? 3 : 5,
        fanModeSequence: 4,
        percentSetting: o.ts_fan === "ON" ? 100 : null,
        percentCurrent: runs ? 100 : 0,
        temperatureDisplayMode: 1,
    };
}

async function readAll(c) {
    const r = {};
    for (const a of ["localTemperature", "outdoorTemperature", "systemMode",
        "controlSequenceOfOperation", "occupiedHeatingSetpoint", "occupiedCoolingSetpoint",
        "absMinHeatSetpointLimit", "absMaxHeatSetpointLimit", "absMinCoolSetpointLimit",
        "absMaxCoolSetpointLimit"])
        r[a] = await c.read(Thermostat.Complete, a);
    const rs = await c.read(Thermostat.Complete, "thermostatRunningState");
    r.thermostatRunningState = { heat: !!rs?.heat, cool: !!rs?.cool, fan: !!rs?.fan };
    for (const a of ["fanMode", "fanModeSequence", "percentSetting", "percentCurrent"])
        r[a] = await c.read(FanControl.Complete, a);
    r.temperatureDisplayMode = await c.read(
        ThermostatUserInterfaceConfiguration.Complete, "temperatureDisplayMode");
    return r;
}

describe("kelvo-matter and a controller", { timeout: 10 * WAIT }, () => {
    const rig = new Rig();
    const ctl = new Controller(path.join(rig.root, "controller"));

    before(async () => {
        await startStack(rig, ["--passcode", String(PASSCODE),
            "--discriminator", String(DISCRIMINATOR)]);
        await ctl.start();
    });
    after(async () => {
        await ctl.close();
        await rig.close();
    });

    test("prints codes for its passcode and discriminator, and is commissioned with them", async () => {
        const manual = ManualPairingCodeCodec.decode(rig.pairingCode);
        assert.equal(manual.passcode, PASSCODE);
        assert.equal(manual.shortDiscriminator, DISCRIMINATOR >> 8);
        const qr = QrPairingCodeCodec.decode((await rig.matter.line(/^kelvo-matter: QR code: (MT:\S+)$/))[1])[0];
        assert.deepEqual([qr.passcode, qr.discriminator, qr.vendorId, qr.productId],
            [PASSCODE, DISCRIMINATOR, 0xfff1, 0x8000]);

        const listening = rig.matter.lines.filter(l => /listening on/.test(l));
        assert.deepEqual(listening, [`kelvo-matter: listening on 127.0.0.1 port ${rig.matterPort}`,
            `kelvo-matter: listening on ::1 port ${rig.matterPort}`], "not on loopback only");

        await ctl.commission(rig.pairingCode, rig.matterAddress, rig.matterPort);
        await rig.matter.line(/^kelvo-matter: commissioned$/);
        await ctl.connect();
        const info = {};
        for (const a of ["vendorName", "productName", "vendorId", "productId", "serialNumber"])
            info[a] = await ctl.read(BasicInformation.Complete, a, 0);
        assert.deepEqual(info, { vendorName: "kelvo", productName: "kelvo thermostat",
            vendorId: 0xfff1, productId: 0x8000, serialNumber: rig.id });
        const features = await ctl.read(Thermostat.Complete, "featureMap");
        assert.ok(features.heating && features.cooling, JSON.stringify(features));
        assert.ok((await ctl.read(FanControl.Complete, "featureMap")).auto);
    });

    test("every attribute of the mapping reads what kelvo publishes", async () => {
        await rig.sim({ state: "paused" });
        const cases = [
            { ts_mode: "HEAT", ts_fan: "AUTO", ts_temp: 72, td_sys: "ON", td_temp_in_: 70.3, td_temp_out_: 41.7 },
            { ts_mode: "HEAT", ts_fan: "AUTO", ts_temp: 60, td_sys: "OFF", td_temp_in_: 58.25, td_temp_out_: -4.4 },
            { ts_mode: "COOL", ts_fan: "AUTO", ts_temp: 90, td_sys: "ON", td_temp_in_: 91.9, td_temp_out_: 103 },
            { ts_mode: "COOL", ts_fan: "ON", ts_temp: 75, td_sys: "OFF", td_temp_in_: 74.5, td_temp_out_: 80.1 },
            { ts_mode: "OFF", ts_fan: "ON", ts_temp: 68, td_sys: "OFF", td_temp_in_: 66.0, td_temp_out_: 32 },
            { ts_mode: "OFF", ts_fan: "AUTO", ts_temp: 81, td_sys: "OFF", td_temp_in_: 69.99, td_temp_out_: 50.5 },
        ];
        for (const c of cases) {
            await rig.sim(c);
            const want = expected(rig.outputs());
            let got;
            await until(async () => {
                got = await readAll(ctl);
                return JSON.stringify(got) === JSON.stringify(want);
            });
            assert.deepEqual(got, want, `after ${JSON.stringify(c)}`);
        }
    });

    test("a change through the simulation arrives as a subscription report", async () => {
        const reports = [];
        ctl.node.events.attributeChanged.on(({ path: p, value }) => {
            if (p.endpointId === 1 && p.attributeName === "localTemperature")
                reports.push(value);
        });
        await rig.sim({ state: "paused", ts_mode: "HEAT", td_temp_in_: 77.7 });
        const want = centi(77.7);
        assert.ok(await until(() => reports.includes(want)),
            `no report of ${want}: ${JSON.stringify(reports)}`);

        // A step of simulated time moves the room; its end state is reported.
        const r = await rig.api("POST", "/api/sim/step", { ticks: 30 });
        assert.equal(r.status, 200, r.text);
        const moved = centi(Number(rig.outputs().td_temp_in_));
        assert.notEqual(moved, want);
        assert.ok(await until(() => reports.at(-1) === moved),
            `no report of ${moved}: ${JSON.stringify(reports)}`);
    });

    test("the sensor fault makes LocalTemperature null, and clearing it brings it back", async () => {
        await rig.sim({ fault: ["sensor"] });
        assert.equal(rig.outputs().td_temp_in_, "");
        assert.ok(await until(async () =>
            await ctl.read(Thermostat.Complete, "localTemperature") === null),
            "LocalTemperature is not null under the sensor fault");
        // The outdoor one is still there.
        assert.equal(await ctl.read(Thermostat.Complete, "outdoorTemperature"),
            centi(Number(rig.outputs().td_temp_out_)));
        await rig.sim({ fault: [], td_temp_in_: 64.4 });
        assert.ok(await until(async () =>
            await ctl.read(Thermostat.Complete, "localTemperature") === centi(64.4)));
    });
});
