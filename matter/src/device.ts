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
// only accepted once kelvo applied it, and while kelvo or kelvo-web is
// away every write fails.  Local changes are told apart by their context
// and pass through untouched.
//
// Only those two ever set an attribute: no reaction here sets one in
// turn.  A written value that kelvo shows otherwise (FanMode Off is
// kelvo's AUTO) is put right by kelvo's next publication, so two
// attributes can never set each other back and forth, and the storage
// is written only when kelvo or a controller changes something.
import { Endpoint, type ServerNode, ServerNodeStore } from "@matter/main";
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
import { type Button, type Commands, NotApplied, type State, type Web } from "./web.js";
import { SETPOINT_MAX, SETPOINT_MIN } from "@gen/contract.js";

/** The link between the behaviors and kelvo-web, one per process. */
let web: Web | undefined;
/** What was last set on the endpoint from kelvo, as JSON; undefined after a write. */
let lastShown: string | undefined;

interface Context { offline?: boolean }

/**
 * The errors this face has already said a line for; a write refused
 * inside matter.js is said where the write ends (see saysRefusals).
 */
const said = new WeakSet<object>();

function saidError<T extends Error>(e: T): T {
	said.add(e);
	return e;
}

/** Refused as kelvo would refuse it: nothing is sent. */
function constraint(what: string): never {
	log("write-refused", `refused a write: ${what}`);
	throw saidError(new StatusResponse.ConstraintErrorError(what));
}

/** Why writes fail now, or undefined while kelvo and kelvo-web are there. */
function awayNow(): string | undefined {
	return web === undefined ? "not connected" : web.away;
}

/**
 * Sends a controller's write to kelvo as one batch, and answers it as
 * kelvo did: success once applied, else a failure whose line says
 * whether kelvo did not take it or whether that is unknown.
 */
async function send(what: string, commands: Commands): Promise<void> {
	try {
		if (web === undefined)
			throw new NotApplied("not connected");
		await web.apply(commands);
	} catch (e) {
		const why = e instanceof Error ? e.message : String(e);
		if (e instanceof NotApplied) {
			log("write-failed", `${what}: not applied: ${why}`);
			throw saidError(new StatusResponse.FailureError(`${what} not applied: ${why}`));
		}
		log("write-unknown", `${what}: outcome unknown: ${why}`);
		throw saidError(new StatusResponse.FailureError(`${what}: outcome unknown: ${why}`));
	}
	// The write leaves its own value in the attribute: kelvo's next
	// publication is to be set again even if it is the last one.
	lastShown = undefined;
	log("write", `${what}: applied by kelvo`);
}

interface Written { name: string; value: unknown }

/** What each transaction last wrote, for the line if its commit fails. */
const lastWritten = new WeakMap<object, Written>();
const commitsWatched = new WeakSet<object>();

function text(v: unknown): string {
	try {
		return typeof v === "string" ? v : JSON.stringify(v) ?? String(v);
	} catch {
		return String(v);
	}
}

/** The line for a refusal not said yet: matter.js's own checks say none. */
function sayRefused(w: Written | undefined, e: unknown): void {
	if (e !== null && typeof e === "object" && said.has(e))
		return;
	const why = e instanceof Error ? e.message : String(e);
	const what = w === undefined ? "a write" : `a write of ${w.name} ${text(w.value)}`;
	log("write-refused", `refused ${what}: ${why}`);
}

type Cluster = NonNullable<ServerNode["protocol"][number]>[number];
type Session = Parameters<NonNullable<Cluster>["openForWrite"]>[0];

/**
 * A write opened on a cluster says one line if it is refused, wherever:
 * matter.js refuses values beyond an attribute's limits or enums (a
 * SystemMode of Auto, a set point of 95 °F) before the reactors below
 * run, as it sets the value or as it commits.  Refusals this face made
 * itself have said their line already.
 */
function saysRefusals(cluster: NonNullable<Cluster>, state: Record<number, unknown>, session: Session): Record<number, unknown> {
	const tx = (session as { transaction?: { commit(): Promise<void> } }).transaction;
	if (tx !== undefined && !commitsWatched.has(tx)) {
		commitsWatched.add(tx);
		const commit = tx.commit.bind(tx);
		tx.commit = async () => {
			try {
				await commit();
			} catch (e) {
				sayRefused(lastWritten.get(tx), e);
				throw e;
			}
		};
	}
	return new Proxy(state, {
		set(target, key, value) {
			const id = Number(key);
			const w = { name: `${cluster.type.name}.${cluster.type.attributes[id]?.name ?? String(key)}`, value };
			if (tx !== undefined)
				lastWritten.set(tx, w);
			try {
				return Reflect.set(target, key, value);
			} catch (e) {
				sayRefused(w, e);
				throw e;
			}
		},
	});
}

/**
 * matter.js fires $Changing only for a value other than the one held, so a
 * write of the value the device already shows would be answered success
 * without kelvo being asked, also while kelvo is away.  Every controller's
 * write opens its cluster for writing first (and only a controller's: what
 * kelvo publishes is set on the endpoint directly), so that is where a
 * write to the thermostat's clusters fails while kelvo or kelvo-web is
 * away, whatever its value, and where a refused write gets its line.
 * Otherwise a changed value goes on to the reactors below and is sent to
 * kelvo; the same value sends nothing and is taken as it is.  "Away" is the event stream's word: kelvo-web
 * gone closes it at once, kelvo stopping is a status event on it, and
 * while kelvo runs a state arrives every period.
 */
export function guardWrites(node: ServerNode, endpoint: Endpoint): void {
	const clusters = node.protocol[endpoint.number];
	for (const id of [Thermostat.Cluster.id, FanControl.Cluster.id, ThermostatUserInterfaceConfiguration.Cluster.id]) {
		const cluster = clusters?.[id];
		if (cluster === undefined)
			throw new Error(`endpoint ${endpoint.number} has no cluster ${id} to guard`);
		const open = cluster.openForWrite.bind(cluster);
		cluster.openForWrite = async (session) => {
			const away = awayNow();
			if (away !== undefined) {
				log("write-failed", `a write to ${cluster.type.name} failed: ${away}`);
				throw new StatusResponse.FailureError(`not written: ${away}`);
			}
			return saysRefusals(cluster, await open(session), session);
		};
	}
}

/**
 * kelvo holds the thermostat's values; kelvo-matter's copy in its storage
 * only shows something before kelvo first publishes.  So a failure to
 * store one (a full disk, a damaged folder) does not turn a write kelvo
 * applied into a failure for the controller, which would then send it
 * again: the failure is said in a line and the write stands.  The root
 * endpoint's storage (fabrics, keys, the commissioning) is not this one
 * and fails as it must.
 */
export function keepWritesOnStorageFailure(node: ServerNode, endpoint: Endpoint): void {
	const store = node.env.get(ServerNodeStore).storeForEndpoint(endpoint);
	const set = store.set.bind(store);
	store.set = async (...args: Parameters<typeof store.set>) => {
		try {
			await set(...args);
		} catch (e) {
			const what = Object.entries(args[0]).map(([b, v]) => Object.keys(v ?? {}).map((k) => `${b}.${k}`)).flat();
			log("storage-failed", `storage failed for ${what.join(", ")} (kelvo has the value): ${e instanceof Error ? e.message : String(e)}`);
		}
	};
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
		await send(`set point ${target} °F`, { ts_temp: target });
	}

	async #modeChanging(value: Thermostat.SystemMode, _old: Thermostat.SystemMode, context: Context): Promise<void> {
		if (context.offline)
			return;
		const target = map.modeTarget(value);
		if (target === undefined)
			constraint(`system mode ${value} is not one kelvo has`);
		await send(`mode ${target}`, { ts_mode: target });
	}

	/**
	 * Presses kelvo's up or down button once per whole °F of the amount,
	 * whatever the mode asked: kelvo's own button rule decides what each
	 * press does, from its set point as it is when the batch is applied.
	 */
	override async setpointRaiseLower({ amount }: Thermostat.SetpointRaiseLowerRequest): Promise<void> {
		// Checked first: an amount that presses nothing is no success
		// while kelvo could not have taken one.
		const away = awayNow();
		if (away !== undefined) {
			log("write-failed", `SetpointRaiseLower failed: ${away}`);
			throw saidError(new StatusResponse.FailureError(`not raised or lowered: ${away}`));
		}
		const presses = map.raiseLowerPresses(amount);
		if (presses === 0)
			return;
		const button: Button = presses > 0 ? "up" : "down";
		await send(`SetpointRaiseLower ${amount}: ${Math.abs(presses)} × ${button}`,
		    { press: new Array<Button>(Math.abs(presses)).fill(button) });
	}
}

const FanBase = FanControlServer.with(FanControl.Feature.Auto);

/**
 * FanMode and PercentSetting each send kelvo's fan.  Neither sets the
 * other here: both are set from kelvo's publication that follows.
 */
class KelvoFanControlServer extends FanBase {
	override initialize(): void {
		super.initialize();
		waits(this.events.fanMode$Changing, this.events.percentSetting$Changing);
		this.reactTo(this.events.fanMode$Changing, this.#fanModeChanging);
		this.reactTo(this.events.percentSetting$Changing, this.#percentChanging);
	}

	async #fanModeChanging(value: FanControl.FanMode, _old: FanControl.FanMode, context: Context): Promise<void> {
		if (context.offline)
			return;
		const target = map.fanTarget(value);
		if (target === undefined)
			constraint(`fan mode ${value} is not one kelvo has`);
		await send(`fan ${target}`, { ts_fan: target });
	}

	async #percentChanging(value: number | null, _old: number | null, context: Context): Promise<void> {
		if (context.offline)
			return;
		const target = map.percentTarget(value);
		if (target === undefined)
			constraint(`fan percentage ${value} cannot be set`);
		await send(`fan ${target}`, { ts_fan: target });
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
