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
