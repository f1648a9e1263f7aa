// device.ts - the Matter thermostat kelvo is shown as: endpoint 1, device
// type Thermostat, with Thermostat (Heating, Cooling), Fan Control (Auto,
// sequence Off/High/Auto), Thermostat User Interface Configuration
// (Fahrenheit) and Identify.  A modern kelvo's thermostat has AutoMode and
// Presets in its Thermostat cluster too, and Relative Humidity Measurement.
// kelvo's presets are fixed: built in, and a controller's rewrite of the
// list is refused; ActivePresetHandle shows the preset kelvo publishes,
// and SetActivePresetRequest asks kelvo for one as any write does.
//
// matter.js fixes an endpoint's clusters and features when it is made, so
// when kelvo's published state shows the other profile, the endpoint is
// deleted and made again (same number, the other clusters): controllers
// see the endpoint's ServerList and the cluster's FeatureMap change in
// their subscription and read its structure again.
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
import { Bytes, Endpoint, type ServerNode, ServerNodeStore } from "@matter/main";
import { FanControlServer } from "@matter/main/behaviors/fan-control";
import { IdentifyServer } from "@matter/main/behaviors/identify";
import { RelativeHumidityMeasurementServer } from "@matter/main/behaviors/relative-humidity-measurement";
import { ThermostatServer } from "@matter/main/behaviors/thermostat";
import { ThermostatUserInterfaceConfigurationServer } from "@matter/main/behaviors/thermostat-user-interface-configuration";
import { FanControl } from "@matter/main/clusters/fan-control";
import { Thermostat } from "@matter/main/clusters/thermostat";
import { ThermostatUserInterfaceConfiguration } from "@matter/main/clusters/thermostat-user-interface-configuration";
import { ThermostatDevice } from "@matter/main/devices/thermostat";
import { StatusResponse } from "@matter/main/types";
import { log } from "./log.js";
import * as map from "./map.js";
import { type Button, type Commands, NotApplied, Refused, type State, type Web } from "./web.js";

/** The link between the behaviors and kelvo-web, one per process. */
let web: Web | undefined;
/** What was last set on the endpoint from kelvo, as JSON; undefined after a write. */
let lastShown: string | undefined;
/** The preset handle kelvo publishes now (see KelvoModernThermostatServer). */
let shownPreset: Bytes | null = null;

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
		// kelvo's own rule refused the value (the deadband pushed past the
		// limits): the value is the fault, as Matter has it.
		if (e instanceof Refused)
			constraint(`${what}: ${why}`);
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
function guardWrites(node: ServerNode, endpoint: Endpoint): void {
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
function keepWritesOnStorageFailure(node: ServerNode, endpoint: Endpoint): void {
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

/**
 * The thermostat of either profile: the band's ends are written in AUTO,
 * which only a modern kelvo's cluster (with AutoMode) can show.
 */
class KelvoThermostatServer extends ThermostatBase {
	/**
	 * With AutoMode, matter.js keeps MinSetpointDeadBand itself: within a
	 * write it moves the other set point (or pins both at the limits),
	 * which here would send that one to kelvo as a second write, and on
	 * kelvo's publications it would move a band of 3 °F (1.67 °C, under
	 * the 1.7 it says).  kelvo's own deadband rule decides instead, as its
	 * answer to the one write (see #setpointChanging): so matter.js is
	 * given a gap every two set points within the limits keep.  The
	 * classic cluster keeps matter.js's own (none, as it has no AutoMode).
	 */
	override get setpointDeadBand(): number {
		return this.#profile === "modern" ? map.LIMIT_MIN_CENTI - map.LIMIT_MAX_CENTI : super.setpointDeadBand;
	}

	get #profile(): map.Profile {
		return (this.features as { autoMode?: boolean }).autoMode ? "modern" : "classic";
	}

	override async initialize(): Promise<void> {
		await super.initialize();
		// After the server's own checks, which refuse values beyond the
		// limit attributes before these run.
		const e = this.events;
		waits(e.occupiedHeatingSetpoint$Changing, e.occupiedCoolingSetpoint$Changing, e.systemMode$Changing);
		this.reactTo(e.occupiedHeatingSetpoint$Changing, this.#heatingChanging);
		this.reactTo(e.occupiedCoolingSetpoint$Changing, this.#coolingChanging);
		this.reactTo(e.systemMode$Changing, this.#modeChanging);
	}

	#heatingChanging(value: number, _old: number, context: Context): Promise<void> {
		return this.#setpointChanging("heat", value, context);
	}

	#coolingChanging(value: number, _old: number, context: Context): Promise<void> {
		return this.#setpointChanging("cool", value, context);
	}

	/**
	 * In AUTO the set point written is the band's end, sent alone: kelvo
	 * pushes the other end to keep the deadband (and its publication
	 * shows the pushed one), or refuses when that would leave its limits,
	 * answered as a constraint error.
	 */
	async #setpointChanging(which: "heat" | "cool", value: number, context: Context): Promise<void> {
		if (context.offline)
			return;
		const band = this.state.systemMode === Thermostat.SystemMode.Auto;
		const command = map.setpointCommand(which, value, band);
		if (command === undefined)
			constraint(`set point ${value} is beyond kelvo's limits`);
		const [name, f] = Object.entries(command)[0];
		await send(name === "ts_temp" ? `set point ${f} °F` : `${name} ${f} °F`, command);
	}

	async #modeChanging(value: Thermostat.SystemMode, _old: Thermostat.SystemMode, context: Context): Promise<void> {
		if (context.offline)
			return;
		const target = map.modeTarget(value, this.#profile);
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

const KelvoAutoThermostatServer = KelvoThermostatServer.with(
	Thermostat.Feature.Heating, Thermostat.Feature.Cooling, Thermostat.Feature.AutoMode,
	Thermostat.Feature.Presets);

/** The modern thermostat: kelvo's fixed presets besides AUTO's band. */
class KelvoModernThermostatServer extends KelvoAutoThermostatServer {
	override async initialize(): Promise<void> {
		await super.initialize();
		// After matter.js's own reactors, which empty ActivePresetHandle
		// for any set point set other than by a command.
		this.reactTo(this.events.occupiedHeatingSetpoint$Changing, this.#keepPreset);
		this.reactTo(this.events.occupiedCoolingSetpoint$Changing, this.#keepPreset);
	}

	/**
	 * kelvo's publication of a preset's set points is no change that
	 * leaves the preset: the handle it shows is kept, within the same
	 * transaction, so a controller never reads it empty meanwhile.  A
	 * controller's write does leave it, as matter.js has it.
	 */
	#keepPreset(_value: number, _old: number, context: Context): void {
		if (context.offline)
			this.state.activePresetHandle = shownPreset;
	}

	/**
	 * Asks kelvo for the preset and answers as kelvo did; the handle is
	 * shown once kelvo applied it (as its publication will show it too).
	 * kelvo leaves a preset only when its set point or band changes, so
	 * a null handle is taken only while no preset is in force.
	 */
	override async setActivePresetRequest({ presetHandle }: Thermostat.SetActivePresetRequest): Promise<void> {
		if (presetHandle === null) {
			if (this.state.activePresetHandle === null)
				return;
			constraint("SetActivePresetRequest null: kelvo leaves a preset only when its set point or band changes");
		}
		const preset = map.presetOfHandle(presetHandle);
		if (preset === undefined) {
			log("command-refused", `refused SetActivePresetRequest: handle ${Bytes.toHex(presetHandle)} names no preset`);
			throw saidError(new StatusResponse.InvalidCommandError("Requested PresetHandle not found"));
		}
		await send(`preset ${preset}`, { preset });
		this.state.activePresetHandle = map.presetHandle(preset);
	}

	/**
	 * An atomic write is how a controller rewrites the preset list, the
	 * only attribute here written that way: kelvo's presets are fixed, so
	 * none is begun, and with none begun there is nothing to commit or
	 * roll back.
	 */
	override atomicRequest({ requestType }: Thermostat.AtomicRequest): Promise<Thermostat.AtomicResponse> {
		const what = Thermostat.RequestType[requestType] ?? String(requestType);
		log("write-refused", `refused AtomicRequest ${what}: kelvo's presets are fixed`);
		throw saidError(requestType === Thermostat.RequestType.BeginWrite ?
		    new StatusResponse.UnsupportedWriteError("kelvo's presets are fixed") :
		    new StatusResponse.InvalidInStateError("no atomic write was begun"));
	}
}

const KelvoModernThermostat = ThermostatDevice.with(
	KelvoModernThermostatServer, KelvoFanControlServer, KelvoIdentifyServer, KelvoDisplayServer,
	RelativeHumidityMeasurementServer);

type Thermostats = typeof KelvoThermostat | typeof KelvoModernThermostat;
export type ThermostatEndpoint = Endpoint<Thermostats>;

/**
 * The endpoint's id, by profile: each keeps its values apart in the
 * storage, so a stored value of one never meets the other's clusters.
 */
const ENDPOINT_IDS: Record<map.Profile, string> = { classic: "thermostat", modern: "thermostat-modern" };

/** The endpoint's first values, before kelvo has published anything. */
function initialState(profile: map.Profile): Record<string, unknown> {
	const mid = map.LIMIT_MIN_CENTI + Math.round((map.LIMIT_MAX_CENTI - map.LIMIT_MIN_CENTI) / 2);
	const thermostat: Record<string, unknown> = {
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
	};
	const state: Record<string, unknown> = {
		id: ENDPOINT_IDS[profile],
		number: 1,
		thermostat,
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
	};
	if (profile === "modern") {
		thermostat.minSetpointDeadBand = map.DEADBAND_TENTHS;
		thermostat.presets = map.presetList();
		thermostat.presetTypes = map.presetTypes();
		thermostat.numberOfPresets = map.PRESET_COUNT;
		thermostat.activePresetHandle = null;
		state.relativeHumidityMeasurement = {
			measuredValue: null,
			minMeasuredValue: map.HUMIDITY_MIN_CENTI,
			maxMeasuredValue: map.HUMIDITY_MAX_CENTI,
		};
	}
	return state;
}

/**
 * The thermostat of a profile added to the node, its writes guarded and
 * its storage failures said (see guardWrites, keepWritesOnStorageFailure).
 */
export async function addThermostat(node: ServerNode, profile: map.Profile): Promise<ThermostatEndpoint> {
	const type: Thermostats = profile === "modern" ? KelvoModernThermostat : KelvoThermostat;
	const endpoint = await node.add(type as typeof KelvoThermostat,
	    initialState(profile) as Endpoint.Options<typeof KelvoThermostat>) as ThermostatEndpoint;
	guardWrites(node, endpoint);
	keepWritesOnStorageFailure(node, endpoint);
	return endpoint;
}

/**
 * Sets kelvo's published state on the endpoint.  Values kelvo publishes
 * empty keep their last (the set points, mode and fan) or read null (the
 * temperatures and the humidity, as Matter has it for a sensor that reads
 * nothing).
 */
async function show(endpoint: ThermostatEndpoint, s: State, profile: map.Profile): Promise<void> {
	const fan = map.asFan(s.ts_fan);
	const plant = map.asPlant(s.plant);
	const thermostat: Record<string, unknown> = {
		localTemperature: map.fToCenti(s.td_temp_in_),
		outdoorTemperature: map.fToCenti(s.td_temp_out_),
		thermostatRunningState: map.runningState(fan, plant),
	};
	const mode = map.systemMode(map.asMode(s.ts_mode));
	if (mode !== undefined && (mode !== Thermostat.SystemMode.Auto || profile === "modern"))
		thermostat.systemMode = mode;
	const sp = map.setpoints(s);
	if (sp !== undefined) {
		thermostat.occupiedHeatingSetpoint = sp.heat;
		thermostat.occupiedCoolingSetpoint = sp.cool;
	}
	const fanControl: Record<string, unknown> = { percentCurrent: map.fanRuns(fan, plant) ? 100 : 0 };
	const fm = map.fanMode(fan);
	if (fm !== undefined) {
		fanControl.fanMode = fm;
		fanControl.percentSetting = map.percentSetting(fan);
	}
	if (profile === "modern") {
		shownPreset = map.activePresetHandle(s.ts_preset);
		thermostat.activePresetHandle = shownPreset;
	}
	const patch: Record<string, unknown> = { thermostat, fanControl };
	if (profile === "modern")
		patch.relativeHumidityMeasurement = { measuredValue: map.humidityCenti(s.td_humidity_) };
	// kelvo publishes at every tick, mostly what it published before: the
	// same values are not set again, which would cost a transaction each.
	const text = JSON.stringify(patch);
	if (text === lastShown)
		return;
	await (endpoint as Endpoint<typeof KelvoThermostat>).set(patch as Parameters<Endpoint<typeof KelvoThermostat>["set"]>[0]);
	lastShown = text;
}

/**
 * kelvo's side of the device: takes what kelvo-web publishes and shows the
 * newest on the endpoint, one update at a time (a burst shows its last),
 * making the endpoint again first when kelvo shows the other profile.
 */
export class Kelvo {
	#node: ServerNode;
	/** Undefined between deleting one endpoint and adding the other. */
	#endpoint: ThermostatEndpoint | undefined;
	#profile: map.Profile;
	#keep: (p: map.Profile) => void;
	#next: State | undefined;
	#busy = false;

	/** `keep` is told each profile the endpoint is made for, to keep it. */
	constructor(node: ServerNode, endpoint: ThermostatEndpoint, profile: map.Profile, link: Web, keep: (p: map.Profile) => void) {
		this.#node = node;
		this.#endpoint = endpoint;
		this.#profile = profile;
		this.#keep = keep;
		web = link;
	}

	apply(s: State): void {
		this.#next = s;
		if (!this.#busy)
			void this.#drain();
	}

	/**
	 * The endpoint of the other profile in place of this one.  One that
	 * fails half way is tried again from where it stopped with kelvo's
	 * next state.
	 */
	async #remake(profile: map.Profile): Promise<void> {
		log("profile", `kelvo shows the ${profile} thermostat: the device's clusters change`);
		if (this.#endpoint !== undefined) {
			await this.#endpoint.delete();
			this.#endpoint = undefined;
		}
		lastShown = undefined;
		this.#endpoint = await addThermostat(this.#node, profile);
		this.#profile = profile;
		try {
			this.#keep(profile);
		} catch (e) {
			log("storage-failed", `${e instanceof Error ? e.message : String(e)}: a restart shows the last one kept first`);
		}
	}

	async #drain(): Promise<void> {
		this.#busy = true;
		try {
			while (this.#next !== undefined) {
				const s = this.#next;
				this.#next = undefined;
				try {
					const profile = map.profileOf(s);
					if (this.#endpoint === undefined || (profile !== undefined && profile !== this.#profile))
						await this.#remake(profile ?? this.#profile);
					await show(this.#endpoint as ThermostatEndpoint, s, this.#profile);
				} catch (e) {
					log("show-failed", `kelvo's state not shown: ${e instanceof Error ? e.message : String(e)}`);
				}
			}
		} finally {
			this.#busy = false;
		}
	}
}
