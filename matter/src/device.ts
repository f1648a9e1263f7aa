// device.ts - the Matter thermostat kelvo is shown as: endpoint 1, device
// type Thermostat, with Thermostat (Heating, Cooling), Fan Control (Auto,
// sequence Off/High/Auto), Thermostat User Interface Configuration
// (Fahrenheit) and Identify.
//
// Two ways meet here.  What kelvo publishes comes in through Kelvo.apply()
// and is set on the endpoint in a local (offline) context.  What a
// controller writes is caught in the attributes' $Changing reactors,
// which run inside the write's transaction and may wait: a write kelvo
// cannot take is refused (constraint error, nothing sent), a write is
// only accepted once kelvo-web has taken its target, and while kelvo or
// kelvo-web is away every write fails.  Local changes are told apart by
// their context and pass through untouched.
import { Endpoint, type ServerNode } from "@matter/main";
import { FanControlServer } from "@matter/main/behaviors/fan-control";
import { IdentifyServer } from "@matter/main/behaviors/identify";
import { ThermostatServer } from "@matter/main/behaviors/thermostat";
import { ThermostatUserInterfaceConfigurationServer } from "@matter/main/behaviors/thermostat-user-interface-configuration";
import { FanControl } from "@matter/main/clusters/fan-control";
import { Thermostat } from "@matter/main/clusters/thermostat";
import { ThermostatUserInterfaceConfiguration } from "@matter/main/clusters/thermostat-user-interface-configuration";
import { ThermostatDevice } from "@matter/main/devices/thermostat";
import { StatusResponse } from "@matter/main/types";
import { log } from "./log.js";
import * as map from "./map.js";
import type { State, Web } from "./web.js";
import { SETPOINT_MAX, SETPOINT_MIN } from "@gen/contract.js";

type Target = "setpoint" | "mode" | "fan";

/** The link between the behaviors and kelvo-web, one per process. */
let web: Web | undefined;
let published: State | undefined;
/** What was last set on the endpoint from kelvo, as JSON; undefined after a write. */
let lastShown: string | undefined;

interface Context { offline?: boolean }

/** Refused as kelvo would refuse it: nothing is sent. */
function constraint(what: string): never {
	log("write-refused", `refused a write: ${what}`);
	throw new StatusResponse.ConstraintErrorError(what);
}

/** Why writes fail now, or undefined while kelvo and kelvo-web are there. */
function awayNow(): string | undefined {
	return web === undefined ? "not connected" : web.away;
}

/** Puts a controller's target to kelvo-web, or fails the write with why not. */
async function send(what: Target, value: number | string): Promise<void> {
	try {
		if (web === undefined)
			throw new Error("not connected");
		await web.put(what, value);
		// The write leaves its own value in the attribute: kelvo's next
		// publication is to be set again even if it is the last one.
		lastShown = undefined;
		log(`write-${what}`, `${what} ${value} sent to kelvo`);
	} catch (e) {
		const why = e instanceof Error ? e.message : String(e);
		log("write-failed", `a write of ${what} ${value} failed: ${why}`);
		throw new StatusResponse.FailureError(`${what} not set: ${why}`);
	}
}

/**
 * matter.js fires $Changing only for a value other than the one held, so a
 * write of the value the device already shows would be answered success
 * without kelvo being asked, also while kelvo is away.  Every controller's
 * write opens its cluster for writing first (and only a controller's: what
 * kelvo publishes is set on the endpoint directly), so that is where a
 * write to the thermostat's clusters fails while kelvo or kelvo-web is
 * away, whatever its value.  Otherwise a changed value goes on to the
 * reactors below and is put to kelvo-web; the same value presses nothing
 * and is taken as it is.  "Away" is the event stream's word: kelvo-web
 * gone closes it at once, kelvo stopping is a status event on it, and
 * while kelvo runs a state arrives every period.
 */
export function failWritesWhileAway(node: ServerNode, endpoint: Endpoint): void {
	const clusters = node.protocol[endpoint.number];
	for (const id of [Thermostat.Cluster.id, FanControl.Cluster.id, ThermostatUserInterfaceConfiguration.Cluster.id]) {
		const cluster = clusters?.[id];
		if (cluster === undefined)
			throw new Error(`endpoint ${endpoint.number} has no cluster ${id} to guard`);
		const open = cluster.openForWrite.bind(cluster);
		cluster.openForWrite = (session) => {
			const away = awayNow();
			if (away === undefined)
				return open(session);
			log("write-failed", `a write to ${cluster.type.name} failed: ${away}`);
			return Promise.reject(new StatusResponse.FailureError(`not written: ${away}`));
		};
	}
}

/**
 * A write waits in its transaction for kelvo-web to take its target, so
 * the attribute's $Changing event is made one whose reactors may wait.
 */
function waits(...events: { isAsync: boolean }[]): void {
	for (const e of events)
		e.isAsync = true;
}

const ThermostatBase = ThermostatServer.with(Thermostat.Feature.Heating, Thermostat.Feature.Cooling);

class KelvoThermostatServer extends ThermostatBase {
	override async initialize(): Promise<void> {
		await super.initialize();
		// After the server's own checks, which refuse values beyond the
		// limit attributes before these run.
		const e = this.events;
		waits(e.occupiedHeatingSetpoint$Changing, e.occupiedCoolingSetpoint$Changing, e.systemMode$Changing);
		this.reactTo(e.occupiedHeatingSetpoint$Changing, this.#setpointChanging);
		this.reactTo(e.occupiedCoolingSetpoint$Changing, this.#setpointChanging);
		this.reactTo(e.systemMode$Changing, this.#modeChanging);
	}

	async #setpointChanging(value: number, _old: number, context: Context): Promise<void> {
		if (context.offline)
			return;
		const target = map.setpointTarget(value);
		if (target === undefined)
			constraint(`set point ${value} is beyond kelvo's limits`);
		await send("setpoint", target);
	}

	async #modeChanging(value: Thermostat.SystemMode, _old: Thermostat.SystemMode, context: Context): Promise<void> {
		if (context.offline)
			return;
		const target = map.modeTarget(value);
		if (target === undefined)
			constraint(`system mode ${value} is not one kelvo has`);
		await send("mode", target);
	}

	/** Moves kelvo's one set point by whole presses, whatever the mode asked. */
	override async setpointRaiseLower({ amount }: Thermostat.SetpointRaiseLowerRequest): Promise<void> {
		// Checked first: an amount that presses nothing is no success
		// while kelvo could not have taken one.
		const away = awayNow();
		if (away !== undefined) {
			log("write-failed", `SetpointRaiseLower failed: ${away}`);
			throw new StatusResponse.FailureError(`not raised or lowered: ${away}`);
		}
		const current = published?.ts_temp;
		if (typeof current !== "number") {
			log("write-failed", "SetpointRaiseLower failed: kelvo's set point is not known");
			throw new StatusResponse.FailureError("kelvo's set point is not known");
		}
		const target = map.raiseLowerTarget(current, amount);
		if (target === undefined || target === current)
			return;
		await send("setpoint", target);
	}
}

const FanBase = FanControlServer.with(FanControl.Feature.Auto);

class KelvoFanControlServer extends FanBase {
	override initialize(): void {
		super.initialize();
		waits(this.events.fanMode$Changing, this.events.percentSetting$Changing);
		this.reactTo(this.events.fanMode$Changing, this.#fanModeChanging);
		this.reactTo(this.events.percentSetting$Changing, this.#percentChanging);
		// Off and percentages are taken as kelvo's AUTO or ON: once taken,
		// the attributes say so until kelvo publishes it.
		this.reactTo(this.events.fanMode$Changed, this.#fanModeTaken, { offline: true, lock: true });
		this.reactTo(this.events.percentSetting$Changed, this.#percentTaken, { offline: true, lock: true });
	}

	async #fanModeChanging(value: FanControl.FanMode, _old: FanControl.FanMode, context: Context): Promise<void> {
		if (context.offline)
			return;
		const target = map.fanTarget(value);
		if (target === undefined)
			constraint(`fan mode ${value} is not one kelvo has`);
		await send("fan", target);
	}

	async #percentChanging(value: number | null, _old: number | null, context: Context): Promise<void> {
		if (context.offline)
			return;
		const target = map.percentTarget(value);
		if (target === undefined)
			constraint(`fan percentage ${value} cannot be set`);
		await send("fan", target);
	}

	#fanModeTaken(value: FanControl.FanMode): void {
		const F = FanControl.FanMode;
		const mode = value === F.Off ? F.Auto : value === F.On ? F.High : value;
		this.state.fanMode = mode;
		this.state.percentSetting = mode === F.Auto ? null : 100;
	}

	#percentTaken(value: number | null): void {
		if (value === null)
			return;
		this.state.fanMode = value === 0 ? FanControl.FanMode.Auto : FanControl.FanMode.High;
		this.state.percentSetting = value === 0 ? null : 100;
	}
}

class KelvoIdentifyServer extends IdentifyServer {
	override initialize(): ReturnType<IdentifyServer["initialize"]> {
		const r = super.initialize();
		this.reactTo(this.events.startIdentifying, this.#identifying);
		this.reactTo(this.events.effectTriggered, this.#effect);
		return r;
	}

	#effect(effect: { effectIdentifier: number }): void {
		log("identify", `identify: asked for effect ${effect.effectIdentifier}`);
	}

	#identifying(): void {
		log("identify", `identify: asked to show itself for ${this.state.identifyTime} s`);
	}
}

class KelvoDisplayServer extends ThermostatUserInterfaceConfigurationServer {
	override initialize(): void {
		this.reactTo(this.events.temperatureDisplayMode$Changing, this.#displayChanging);
		this.reactTo(this.events.keypadLockout$Changing, this.#lockoutChanging);
	}

	#displayChanging(value: ThermostatUserInterfaceConfiguration.TemperatureDisplayMode, _o: unknown, context: Context): void {
		if (!context.offline && value !== ThermostatUserInterfaceConfiguration.TemperatureDisplayMode.Fahrenheit)
			constraint("kelvo shows Fahrenheit only");
	}

	#lockoutChanging(value: ThermostatUserInterfaceConfiguration.KeypadLockout, _o: unknown, context: Context): void {
		if (!context.offline && value !== ThermostatUserInterfaceConfiguration.KeypadLockout.NoLockout)
			constraint("kelvo's buttons cannot be locked");
	}
}

export const KelvoThermostat = ThermostatDevice.with(
	KelvoThermostatServer, KelvoFanControlServer, KelvoIdentifyServer, KelvoDisplayServer);

/** The endpoint's first values, before kelvo has published anything. */
export function initialState(): Endpoint.Options<typeof KelvoThermostat> {
	const mid = map.LIMIT_MIN_CENTI + Math.round((map.LIMIT_MAX_CENTI - map.LIMIT_MIN_CENTI) / 2);
	return {
		id: "thermostat",
		number: 1,
		thermostat: {
			localTemperature: null,
			outdoorTemperature: null,
			controlSequenceOfOperation: Thermostat.ControlSequenceOfOperation.CoolingAndHeating,
			systemMode: Thermostat.SystemMode.Off,
			absMinHeatSetpointLimit: map.LIMIT_MIN_CENTI,
			absMaxHeatSetpointLimit: map.LIMIT_MAX_CENTI,
			absMinCoolSetpointLimit: map.LIMIT_MIN_CENTI,
			absMaxCoolSetpointLimit: map.LIMIT_MAX_CENTI,
			minHeatSetpointLimit: map.LIMIT_MIN_CENTI,
			maxHeatSetpointLimit: map.LIMIT_MAX_CENTI,
			minCoolSetpointLimit: map.LIMIT_MIN_CENTI,
			maxCoolSetpointLimit: map.LIMIT_MAX_CENTI,
			occupiedHeatingSetpoint: mid,
			occupiedCoolingSetpoint: mid,
			thermostatRunningState: { heat: false, cool: false, fan: false },
		},
		fanControl: {
			fanMode: FanControl.FanMode.Auto,
			fanModeSequence: FanControl.FanModeSequence.OffHighAuto,
			percentSetting: null,
			percentCurrent: 0,
		},
		thermostatUserInterfaceConfiguration: {
			temperatureDisplayMode: ThermostatUserInterfaceConfiguration.TemperatureDisplayMode.Fahrenheit,
			keypadLockout: ThermostatUserInterfaceConfiguration.KeypadLockout.NoLockout,
		},
	} as Endpoint.Options<typeof KelvoThermostat>;
}

/**
 * Sets kelvo's published state on the endpoint.  Values kelvo publishes
 * empty keep their last (the set point, mode and fan) or read null (the
 * temperatures, as Matter has it for a sensor that reads nothing).
 */
async function show(endpoint: Endpoint<typeof KelvoThermostat>, s: State): Promise<void> {
	const fan = map.asFan(s.ts_fan);
	const plant = map.asPlant(s.plant);
	const thermostat: Record<string, unknown> = {
		localTemperature: map.fToCenti(s.td_temp_in_),
		outdoorTemperature: map.fToCenti(s.td_temp_out_),
		thermostatRunningState: map.runningState(fan, plant),
	};
	const mode = map.systemMode(map.asMode(s.ts_mode));
	if (mode !== undefined)
		thermostat.systemMode = mode;
	if (typeof s.ts_temp === "number") {
		const c = map.fToCenti(Math.min(SETPOINT_MAX, Math.max(SETPOINT_MIN, s.ts_temp)));
		thermostat.occupiedHeatingSetpoint = c;
		thermostat.occupiedCoolingSetpoint = c;
	}
	const fanControl: Record<string, unknown> = { percentCurrent: map.fanRuns(fan, plant) ? 100 : 0 };
	const fm = map.fanMode(fan);
	if (fm !== undefined) {
		fanControl.fanMode = fm;
		fanControl.percentSetting = map.percentSetting(fan);
	}
	// kelvo publishes at every tick, mostly what it published before: the
	// same values are not set again, which would cost a transaction each.
	const patch = { thermostat, fanControl };
	const text = JSON.stringify(patch);
	if (text === lastShown)
		return;
	await endpoint.set(patch as Parameters<typeof endpoint.set>[0]);
	lastShown = text;
}

/**
 * kelvo's side of the device: takes what kelvo-web publishes and shows the
 * newest on the endpoint, one update at a time (a burst shows its last).
 */
export class Kelvo {
	#endpoint: Endpoint<typeof KelvoThermostat>;
	#next: State | undefined;
	#busy = false;

	constructor(endpoint: Endpoint<typeof KelvoThermostat>, link: Web) {
		this.#endpoint = endpoint;
		web = link;
	}

	apply(s: State): void {
		published = s;
		this.#next = s;
		if (!this.#busy)
			void this.#drain();
	}

	async #drain(): Promise<void> {
		this.#busy = true;
		try {
			while (this.#next !== undefined) {
				const s = this.#next;
				this.#next = undefined;
				try {
					await show(this.#endpoint, s);
				} catch (e) {
					log("show-failed", `kelvo's state not shown: ${e instanceof Error ? e.message : String(e)}`);
				}
			}
		} finally {
			this.#busy = false;
		}
	}
}
