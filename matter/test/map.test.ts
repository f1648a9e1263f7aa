// The conversions between kelvo's values and Matter's, against figures
// worked out by hand and against each other (every set point kelvo can
// have survives the trip to Matter and back).
import assert from "node:assert/strict";
import { describe, test } from "node:test";
import { FanControl } from "@matter/main/clusters/fan-control";
import { Thermostat } from "@matter/main/clusters/thermostat";
import { SETPOINT_MAX, SETPOINT_MIN } from "@gen/contract.js";
import * as map from "../src/map.js";

describe("temperatures", () => {
	test("°F to 0.01 °C, rounded, and the limits Matter is told", () => {
		assert.equal(map.fToCenti(32), 0);
		assert.equal(map.fToCenti(67.129), 1952);
		assert.equal(map.fToCenti(-40), -4000);
		assert.equal(map.LIMIT_MIN_CENTI, 1556);
		assert.equal(map.LIMIT_MAX_CENTI, 3222);
	});
	test("no value, or one Matter cannot carry, is null", () => {
		for (const v of [null, undefined, Number.NaN, Number.POSITIVE_INFINITY, 1000, -1000])
			assert.equal(map.fToCenti(v), null, String(v));
	});
	test("every set point kelvo has goes to Matter and back unchanged", () => {
		for (let f = SETPOINT_MIN; f <= SETPOINT_MAX; f++)
			assert.equal(map.setpointTarget(map.fToCenti(f) as number), f);
	});
	test("a set-point write is the nearest whole °F, within kelvo's limits only", () => {
		assert.equal(map.setpointTarget(2100), 70);	// 69.8 °F
		assert.equal(map.setpointTarget(2000), 68);	// 68.0 °F
		for (const bad of [1555, 3223, 0, -27315, 32767, 2100.5])
			assert.equal(map.setpointTarget(bad), undefined, String(bad));
	});
	test("SetpointRaiseLower is whole presses of one button, none under half a degree", () => {
		assert.equal(map.raiseLowerPresses(5), 1);		// 0.5 °C = 0.9 °F
		assert.equal(map.raiseLowerPresses(-10), -2);		// -1.8 °F
		assert.equal(map.raiseLowerPresses(2), 0);		// 0.36 °F: no press
		assert.equal(map.raiseLowerPresses(-2), 0);
		assert.equal(map.raiseLowerPresses(-128), -23);	// -23.04 °F
		assert.equal(map.raiseLowerPresses(127), 23);
	});
});

describe("modes", () => {
	test("kelvo's modes as SystemMode, and back", () => {
		assert.equal(map.systemMode("OFF"), Thermostat.SystemMode.Off);
		assert.equal(map.systemMode("COOL"), Thermostat.SystemMode.Cool);
		assert.equal(map.systemMode("HEAT"), Thermostat.SystemMode.Heat);
		assert.equal(map.systemMode(null), undefined);
		for (const m of ["OFF", "COOL", "HEAT"] as const)
			assert.equal(map.modeTarget(map.systemMode(m) as number), m);
	});
	test("a SystemMode kelvo lacks is refused", () => {
		for (const v of [Thermostat.SystemMode.Auto, Thermostat.SystemMode.EmergencyHeat,
		    Thermostat.SystemMode.Precooling, Thermostat.SystemMode.FanOnly, Thermostat.SystemMode.Dry,
		    Thermostat.SystemMode.Sleep, 2, 99])
			assert.equal(map.modeTarget(v), undefined, String(v));
	});
	test("a modern kelvo's AUTO is SystemMode Auto both ways; a classic one refuses Auto", () => {
		assert.equal(map.systemMode("AUTO"), Thermostat.SystemMode.Auto);
		assert.equal(map.modeTarget(Thermostat.SystemMode.Auto, "modern"), "AUTO");
		assert.equal(map.modeTarget(Thermostat.SystemMode.Auto, "classic"), undefined);
		for (const m of ["OFF", "COOL", "HEAT"] as const)
			assert.equal(map.modeTarget(map.systemMode(m) as number, "modern"), m);
		for (const v of [Thermostat.SystemMode.EmergencyHeat, Thermostat.SystemMode.FanOnly, 2, 99])
			assert.equal(map.modeTarget(v, "modern"), undefined, String(v));
	});
	test("published texts outside the contract are nothing", () => {
		assert.equal(map.asMode("heat"), null);
		assert.equal(map.asMode(4), null);
		assert.equal(map.asFan("OFF"), null);
		assert.equal(map.asPlant("HEATING"), null);
		assert.equal(map.asPlant("fan"), "fan");
	});
});

describe("fan", () => {
	const F = FanControl.FanMode;
	test("reads High for ON, Auto for AUTO, with PercentSetting to match", () => {
		assert.equal(map.fanMode("ON"), F.High);
		assert.equal(map.fanMode("AUTO"), F.Auto);
		assert.equal(map.percentSetting("ON"), 100);
		assert.equal(map.percentSetting("AUTO"), null);
	});
	test("writes: On and High set ON; Auto and Off set AUTO; other speeds are refused", () => {
		assert.equal(map.fanTarget(F.On), "ON");
		assert.equal(map.fanTarget(F.High), "ON");
		assert.equal(map.fanTarget(F.Auto), "AUTO");
		assert.equal(map.fanTarget(F.Off), "AUTO");
		for (const v of [F.Low, F.Medium, F.Smart, 7])
			assert.equal(map.fanTarget(v), undefined, String(v));
	});
	test("PercentSetting writes: 0 is Off (AUTO), 1..100 ON, others refused", () => {
		assert.equal(map.percentTarget(0), "AUTO");
		assert.equal(map.percentTarget(1), "ON");
		assert.equal(map.percentTarget(100), "ON");
		for (const v of [null, 101, -1, 50.5])
			assert.equal(map.percentTarget(v), undefined, String(v));
	});
	test("running state for every plant action and fan", () => {
		const rows: [map.Fan | null, map.Plant | null, string][] = [
			["AUTO", "heating", "heat fan"], ["AUTO", "cooling", "cool fan"],
			["AUTO", "idle", ""], ["AUTO", "off", ""], ["ON", "fan", "fan"],
			["ON", "idle", "fan"], ["ON", "off", "fan"], ["ON", "heating", "heat fan"],
			[null, null, ""], ["AUTO", "fan", "fan"],
		];
		for (const [fan, plant, want] of rows) {
			const s = map.runningState(fan, plant);
			const got = [s.heat && "heat", s.cool && "cool", s.fan && "fan"].filter(Boolean).join(" ");
			assert.equal(got, want, `${fan} ${plant}`);
		}
	});
});

describe("the modern thermostat", () => {
	test("the profile is told by the band and preset kelvo publishes, not by a state of nothing", () => {
		assert.equal(map.profileOf({ ts_mode: "HEAT", ts_temp_low: null, ts_temp_high: null, ts_preset: null }), "classic");
		assert.equal(map.profileOf({ ts_mode: "HEAT", ts_temp_low: 68, ts_temp_high: 74, ts_preset: "none" }), "modern");
		assert.equal(map.profileOf({ ts_mode: null, ts_temp_low: null, ts_temp_high: null, ts_preset: "home" }), "modern");
		assert.equal(map.profileOf({ ts_mode: null, ts_temp_low: null, ts_temp_high: null, ts_preset: null }), undefined);
	});
	test("MinSetpointDeadBand: 3 °F rounded up to whole 0.1 °C", () => {
		assert.equal(map.DEADBAND_TENTHS, 17);
	});
	test("the set points: the band in AUTO, else the one set point in both, within the limits", () => {
		const band = { ts_temp: 70, ts_temp_low: 68, ts_temp_high: 74 };
		assert.deepEqual(map.setpoints({ ...band, ts_mode: "AUTO" }), { heat: 2000, cool: 2333 });
		for (const mode of ["HEAT", "COOL", "OFF"])
			assert.deepEqual(map.setpoints({ ...band, ts_mode: mode }), { heat: 2111, cool: 2111 }, mode);
		// A classic kelvo publishes no band: AUTO never comes, but nothing breaks if it did.
		assert.deepEqual(map.setpoints({ ts_mode: "AUTO", ts_temp: 70, ts_temp_low: null, ts_temp_high: null }), { heat: 2111, cool: 2111 });
		assert.deepEqual(map.setpoints({ ts_mode: "HEAT", ts_temp: 95 }), { heat: 3222, cool: 3222 });
		assert.equal(map.setpoints({ ts_mode: "HEAT", ts_temp: null }), undefined);
	});
	test("a set-point write: the band's end in AUTO, the set point otherwise, nothing beyond the limits", () => {
		assert.deepEqual(map.setpointCommand("heat", 2000, true), { ts_temp_low: 68 });
		assert.deepEqual(map.setpointCommand("cool", 2333, true), { ts_temp_high: 74 });
		assert.deepEqual(map.setpointCommand("heat", 2000, false), { ts_temp: 68 });
		assert.deepEqual(map.setpointCommand("cool", 2333, false), { ts_temp: 74 });
		for (const bad of [1555, 3223])
			for (const which of ["heat", "cool"] as const)
				assert.equal(map.setpointCommand(which, bad, true), undefined, `${which} ${bad}`);
	});
	test("humidity in 0.01 %, null for none or one no sensor gives", () => {
		assert.equal(map.humidityCenti(45.678), 4568);
		assert.equal(map.humidityCenti(10), 1000);
		assert.equal(map.humidityCenti(0), 0);
		for (const v of [null, undefined, "45", Number.NaN, -0.5, 100.5])
			assert.equal(map.humidityCenti(v), null, String(v));
		assert.equal(map.HUMIDITY_MIN_CENTI, 1000);
		assert.equal(map.HUMIDITY_MAX_CENTI, 9000);
	});
});

describe("presets", () => {
	test("each handle names its preset, and only that; anything else names none", () => {
		for (const p of ["home", "away", "sleep"] as const)
			assert.equal(map.presetOfHandle(map.presetHandle(p)), p);
		for (const bad of ["", "none", "Home", "awa", "sleeps", "home\0"])
			assert.equal(map.presetOfHandle(new TextEncoder().encode(bad)), undefined, JSON.stringify(bad));
	});
	test("ActivePresetHandle: kelvo's preset's handle, null for none or anything else", () => {
		assert.deepEqual(map.activePresetHandle("away"), map.presetHandle("away"));
		for (const v of ["none", null, undefined, "AWAY", 2])
			assert.equal(map.activePresetHandle(v), null, String(v));
	});
	test("the list: built in, one per scenario, its set points the preset's band", () => {
		const list = map.presetList();
		assert.deepEqual(list.map((p) => [p.presetScenario, p.name, p.builtIn,
			map.centiToF(p.heatingSetpoint as number), map.centiToF(p.coolingSetpoint as number)]), [
			[Thermostat.PresetScenario.Occupied, "Home", true, 68, 74],
			[Thermostat.PresetScenario.Unoccupied, "Away", true, 60, 80],
			[Thermostat.PresetScenario.Sleep, "Sleep", true, 64, 72],
		]);
		// Each scenario's type allows the one preset it has.
		assert.deepEqual(map.presetTypes().map((t) => [t.presetScenario, t.numberOfPresets]),
			list.map((p) => [p.presetScenario, 1]));
		assert.equal(map.PRESET_COUNT, list.length);
	});
});
