// map.ts - kelvo's published values as Matter's, and Matter's writes as
// kelvo's targets.  Pure functions, nothing else: the device applies them
// and the tests check them.
//
// kelvo counts in whole and fractional degrees Fahrenheit; Matter in
// hundredths of a degree Celsius.  kelvo's texts and its set-point limits
// come from the contract (gen/contract.ts), typed by it, so a text renamed
// there fails the build here rather than silently matching nothing.
import { Bytes } from "@matter/main";
import { FanControl } from "@matter/main/clusters/fan-control";
import { Thermostat } from "@matter/main/clusters/thermostat";
import { DEADBAND, FANS, HUMIDITY_MAX, HUMIDITY_MIN, MODES, PLANTS, PRESET_BANDS, PRESETS, SETPOINT_MAX,
	SETPOINT_MIN } from "@gen/contract.js";

export type Mode = (typeof MODES)[number];
export type Fan = (typeof FANS)[number];
export type Plant = (typeof PLANTS)[number];
export type Preset = (typeof PRESETS)[number];
/** kelvo's thermostat: classic (one set point) or modern (AUTO's band too). */
export type Profile = "classic" | "modern";

// Matter's temperatures are int16 hundredths of °C, from absolute zero up.
const CENTI_MIN = -27315;
const CENTI_MAX = 32767;

/** °F to 0.01 °C, rounded; null for no value or one Matter cannot carry. */
export function fToCenti(f: number | null | undefined): number | null {
	if (typeof f !== "number" || !Number.isFinite(f))
		return null;
	const c = Math.round(((f - 32) * 500) / 9);
	return c >= CENTI_MIN && c <= CENTI_MAX ? c : null;
}

/** 0.01 °C to the nearest whole °F. */
export function centiToF(c: number): number {
	return Math.round((c * 9) / 500 + 32);
}

/** kelvo's set-point limits in Matter's unit, for the Abs…SetpointLimit attributes. */
export const LIMIT_MIN_CENTI = fToCenti(SETPOINT_MIN) as number;
export const LIMIT_MAX_CENTI = fToCenti(SETPOINT_MAX) as number;

/**
 * A set-point write as kelvo's whole-degree target, or undefined when it
 * lies beyond kelvo's limits (checked in Matter's unit, so that the limit
 * attributes themselves are accepted).
 */
export function setpointTarget(c: number): number | undefined {
	if (!Number.isInteger(c) || c < LIMIT_MIN_CENTI || c > LIMIT_MAX_CENTI)
		return undefined;
	return Math.min(SETPOINT_MAX, Math.max(SETPOINT_MIN, centiToF(c)));
}

/**
 * SetpointRaiseLower: the amount is in 0.1 °C steps; kelvo's buttons move
 * its set point one whole °F a press.  The presses, up when positive, 0
 * when the amount rounds to none (so that nothing is sent).
 */
export function raiseLowerPresses(amount: number): number {
	const presses = Math.round((amount * 9) / 50);
	// Math.round(-0.36) is -0, which is no press either.
	return Number.isFinite(presses) && presses !== 0 ? presses : 0;
}

// A classic kelvo has no AUTO, and its device's Thermostat cluster no
// AutoMode: Auto is refused there (by the cluster, before kelvo is asked).
const MODE_TO_SYSTEM: Record<Mode, Thermostat.SystemMode> = {
	OFF: Thermostat.SystemMode.Off,
	COOL: Thermostat.SystemMode.Cool,
	HEAT: Thermostat.SystemMode.Heat,
	AUTO: Thermostat.SystemMode.Auto,
};

export function systemMode(mode: Mode | null): Thermostat.SystemMode | undefined {
	return mode === null ? undefined : MODE_TO_SYSTEM[mode];
}

/** A SystemMode write as kelvo's mode; undefined for a mode the profile lacks. */
export function modeTarget(value: number, profile: Profile = "classic"): Mode | undefined {
	for (const m of MODES)
		if (MODE_TO_SYSTEM[m] === value && (m !== "AUTO" || profile === "modern"))
			return m;
	return undefined;
}

/**
 * MinSetpointDeadBand, in Matter's 0.1 °C: kelvo's deadband of whole °F,
 * rounded up, so that a band a controller keeps is one kelvo keeps too.
 */
export const DEADBAND_TENTHS = Math.ceil((DEADBAND * 50) / 9);

/**
 * The profile a published state shows: modern while kelvo publishes its
 * band and preset, classic while it publishes a mode and none of them,
 * undefined while that cannot be told (kelvo has published nothing yet).
 */
export function profileOf(s: { ts_mode?: unknown; ts_temp_low?: unknown; ts_temp_high?: unknown; ts_preset?: unknown }): Profile | undefined {
	if (s.ts_preset != null || s.ts_temp_low != null || s.ts_temp_high != null)
		return "modern";
	return s.ts_mode != null ? "classic" : undefined;
}

export interface Setpoints { heat: number; cool: number }

/** A published set point kept within kelvo's limits, in Matter's unit. */
function shownSetpoint(f: number): number {
	return fToCenti(Math.min(SETPOINT_MAX, Math.max(SETPOINT_MIN, f))) as number;
}

/**
 * The two occupied set points for what kelvo publishes: a modern kelvo's
 * band in AUTO (heating its low end, cooling its high end), else the one
 * set point in both, as the classic thermostat has always been shown.
 * Undefined while kelvo publishes no set point to show.
 */
export function setpoints(s: { ts_mode?: unknown; ts_temp?: unknown; ts_temp_low?: unknown; ts_temp_high?: unknown }): Setpoints | undefined {
	if (s.ts_mode === "AUTO" && typeof s.ts_temp_low === "number" && typeof s.ts_temp_high === "number")
		return { heat: shownSetpoint(s.ts_temp_low), cool: shownSetpoint(s.ts_temp_high) };
	if (typeof s.ts_temp !== "number")
		return undefined;
	const c = shownSetpoint(s.ts_temp);
	return { heat: c, cool: c };
}

/** The control command a set-point write sends, by the band's end it moves. */
export type SetpointCommand = { ts_temp: number } | { ts_temp_low: number } | { ts_temp_high: number };

/**
 * A write of the heating or cooling set point as kelvo's command: in AUTO
 * the band's end (kelvo's own deadband rule moves the other end, or
 * refuses), else the one set point; undefined beyond kelvo's limits.
 */
export function setpointCommand(which: "heat" | "cool", c: number, band: boolean): SetpointCommand | undefined {
	const f = setpointTarget(c);
	if (f === undefined)
		return undefined;
	if (!band)
		return { ts_temp: f };
	return which === "heat" ? { ts_temp_low: f } : { ts_temp_high: f };
}

/** MeasuredValue's limits, in Matter's 0.01 %. */
export const HUMIDITY_MIN_CENTI = Math.round(HUMIDITY_MIN * 100);
export const HUMIDITY_MAX_CENTI = Math.round(HUMIDITY_MAX * 100);

/** Relative humidity in % as Matter's 0.01 %; null for none or one beyond 0..100. */
export function humidityCenti(h: unknown): number | null {
	if (typeof h !== "number" || !Number.isFinite(h) || h < 0 || h > 100)
		return null;
	return Math.round(h * 100);
}

// kelvo's presets as Matter's: fixed, so built in, one per scenario.  The
// table is keyed by the contract's names: a preset added or renamed there
// fails the build here until it has its scenario.
const PRESET_SCENARIOS: Record<Preset, Thermostat.PresetScenario> = {
	home: Thermostat.PresetScenario.Occupied,
	away: Thermostat.PresetScenario.Unoccupied,
	sleep: Thermostat.PresetScenario.Sleep,
};

/**
 * A preset's PresetHandle: its name's bytes, the same on every start and
 * in every storage, so a handle a controller keeps names the same preset.
 */
export function presetHandle(p: Preset): Bytes {
	return Bytes.fromString(p);
}

/** The preset a handle names, or undefined for one that names none. */
export function presetOfHandle(h: Bytes): Preset | undefined {
	return PRESETS.find((p) => Bytes.areEqual(presetHandle(p), h));
}

/**
 * The Presets attribute: kelvo's presets, built in, their set points the
 * band's ends (heating the low one, cooling the high one), which AUTO
 * keeps.  In HEAT or COOL kelvo keeps the preset's one set point instead,
 * shown as both set points as always; kelvo's publication says which.
 */
export function presetList(): Thermostat.Preset[] {
	return PRESETS.map((p) => ({
		presetHandle: presetHandle(p),
		presetScenario: PRESET_SCENARIOS[p],
		name: p.charAt(0).toUpperCase() + p.slice(1),
		heatingSetpoint: shownSetpoint(PRESET_BANDS[p].low),
		coolingSetpoint: shownSetpoint(PRESET_BANDS[p].high),
		builtIn: true,
	}));
}

/**
 * PresetTypes: one preset per scenario, chosen by hand.  Names are
 * supported, as matter.js checks the presets' own names against it; they
 * are kelvo's, like the rest of the list.
 */
export function presetTypes(): Thermostat.PresetType[] {
	return PRESETS.map((p) => ({
		presetScenario: PRESET_SCENARIOS[p],
		numberOfPresets: 1,
		presetTypeFeatures: { automatic: false, supportsNames: true },
	}));
}

export const PRESET_COUNT = PRESETS.length;

/** ActivePresetHandle for kelvo's published ts_preset: null for none (or anything else). */
export function activePresetHandle(v: unknown): Bytes | null {
	const p = oneOf(PRESETS, v);
	return p === null ? null : presetHandle(p);
}

const FAN_TO_MODE: Record<Fan, FanControl.FanMode> = {
	ON: FanControl.FanMode.High,
	AUTO: FanControl.FanMode.Auto,
};

export function fanMode(fan: Fan | null): FanControl.FanMode | undefined {
	return fan === null ? undefined : FAN_TO_MODE[fan];
}

/**
 * A FanMode write as kelvo's fan.  kelvo's fan has no off: on AUTO it runs
 * only with the plant, so Off is taken as AUTO (and reads back Auto).  The
 * speeds the sequence Off/High/Auto lacks are refused (undefined).
 */
export function fanTarget(value: number): Fan | undefined {
	switch (value) {
	case FanControl.FanMode.Off:
	case FanControl.FanMode.Auto:
		return "AUTO";
	case FanControl.FanMode.High:
	case FanControl.FanMode.On:
		return "ON";
	default:
		return undefined;
	}
}

/** A PercentSetting write: 0 is Off (so AUTO), anything up to 100 is High. */
export function percentTarget(value: number | null): Fan | undefined {
	if (value === null || !Number.isInteger(value) || value < 0 || value > 100)
		return undefined;
	return value === 0 ? "AUTO" : "ON";
}

/** PercentSetting for a fan mode: 100 for High, null (unknown) for Auto. */
export function percentSetting(fan: Fan | null): number | null {
	return fan === "ON" ? 100 : null;
}

/** Whether the fan runs: switched on, or running with the plant. */
export function fanRuns(fan: Fan | null, plant: Plant | null): boolean {
	return fan === "ON" || plant === "heating" || plant === "cooling" || plant === "fan";
}

export interface RunningState { heat: boolean; cool: boolean; fan: boolean }

export function runningState(fan: Fan | null, plant: Plant | null): RunningState {
	return { heat: plant === "heating", cool: plant === "cooling", fan: fanRuns(fan, plant) };
}

/** A published text as one of the contract's, or null for anything else. */
function oneOf<T extends string>(list: readonly T[], v: unknown): T | null {
	return typeof v === "string" && (list as readonly string[]).includes(v) ? (v as T) : null;
}

export const asMode = (v: unknown): Mode | null => oneOf(MODES, v);
export const asFan = (v: unknown): Fan | null => oneOf(FANS, v);
export const asPlant = (v: unknown): Plant | null => oneOf(PLANTS, v);
