// main.ts - kelvo-matter: kelvo, through kelvo-web's API, as a Matter
// thermostat that controllers commission and operate.
//
// Start-up in order, each step failing with one clear line: the options
// (usage and status 2 when bad), the storage and its pairing, the Matter
// node on loopback (or on --interface, with its mDNS there), then the
// link to kelvo-web, which comes and goes by itself.  Standard output
// gets what a person or a test acts on: the addresses listened on, the
// pairing codes while commissionable, "commissioned"; standard error one
// line per event.  SIGTERM or SIGINT closes the node, its controllers told,
// and exits 0.
import "./preset.js";
import { networkInterfaces } from "node:os";
import { CommissioningServer, Environment, Logger, LogLevel, ServerNode, VendorId } from "@matter/main";
import { SessionManager } from "@matter/main/protocol";
import { QrCode } from "@matter/main/types";
import { addThermostat, Kelvo, KelvoThermostat } from "./device.js";
import { clean, log, logEnd } from "./log.js";
import { type Options, OptionError, parseOptions, USAGE } from "./options.js";
import { forgetFabrics, loadPairing, loadProfile, nodeStorage, type Pairing, prepareStorage, saveProfile,
	StorageError } from "./pairing.js";
import { Web } from "./web.js";

const NAME = "kelvo-matter";

function exit(status: number, message?: string): never {
	if (message !== undefined)
		process.stderr.write(`${NAME}: ${clean(message)}\n`);
	logEnd();
	process.exit(status);
}

/** kelvo-web's token, as kelvo-web itself takes one. */
function token(): string | undefined {
	const t = process.env.KELVO_WEB_TOKEN;
	if (t === undefined || t === "")
		return undefined;
	if (!/^[A-Za-z0-9._~-]{16,128}$/.test(t)) {
		process.stderr.write(`${NAME}: KELVO_WEB_TOKEN is not 16 to 128 letters, digits or -._~\n${USAGE}`);
		process.exit(2);
	}
	return t;
}

function options(): Options {
	try {
		const o = parseOptions(process.argv.slice(2), process.env);
		if (o.help) {
			process.stdout.write(USAGE);
			process.exit(0);
		}
		return o;
	} catch (e) {
		if (!(e instanceof OptionError))
			throw e;
		process.stderr.write(`${NAME}: ${clean(e.message)}\n${USAGE}`);
		process.exit(2);
	}
}

/**
 * matter.js's own lines go to standard error too, warnings and worse
 * only, summarised per facility like the face's own.
 */
function quietMatter(): void {
	Logger.level = LogLevel.WARN;
	// A write refused is said by the face itself; matter.js would say it
	// again as a transaction rolled back.
	Logger.facilityLevels = { Transaction: LogLevel.ERROR };
	Logger.format = "plain";
	const dest = Logger.destinations.default;
	if (dest !== undefined)
		dest.write = (text, message) => log(`matter-${message.facility}`,
		    `matter.js ${message.facility}: ${text.replace(/^\S+ \S+ \S+ \S+ /, "").replace(/\s+/g, " ").trim()}`);
}

/**
 * The codes, and the QR code drawn, each time the node is commissionable;
 * at start after the addresses it listens on, which are known only once
 * it has started.
 */
let codesHeld: string | undefined;
let listening = false;

class KelvoCommissioningServer extends CommissioningServer {
	override initiateCommissioning(): void {
		const { manualPairingCode, qrPairingCode } = this.state.pairingCodes;
		const codes = `${NAME}: manual pairing code: ${manualPairingCode.replace(/-/g, "")}\n` +
		    `${NAME}: QR code: ${qrPairingCode}\n${QrCode.get(qrPairingCode).trim()}\n`;
		if (listening)
			process.stdout.write(codes);
		else
			codesHeld = codes;
	}
}

/** The addresses to listen on: loopback, or --interface's own. */
function addresses(o: Options): { ipv4?: string; ipv6?: string; shown: string[] } {
	if (o.iface === undefined)
		return { ipv4: "127.0.0.1", ipv6: "::1", shown: ["127.0.0.1", "::1"] };
	const found = networkInterfaces()[o.iface];
	if (found === undefined)
		exit(1, `--interface: there is no interface ${o.iface} with an address`);
	// A controller may use any of the interface's addresses, link-local
	// included, and one socket per family can be bound to one address
	// only: so the node listens on every address, and announces itself
	// (with the interface's addresses) there only.
	log("interface", `announcing on ${o.iface}: ${found.map((a) => a.address).join(", ")}`);
	return { ipv4: "0.0.0.0", ipv6: "::", shown: ["0.0.0.0", "::"] };
}

const SESSIONS_CLOSE_MS = 2000;	// for the peers to take their sessions' close
const NODE_CLOSE_MS = 10_000;		// for the node's close as a whole, on a signal

/**
 * Ends every secure session as a peer is to be told: subscriptions flushed
 * (the last reports, the node's ShutDown event among them), then a close
 * message.  Bounded: sessions a peer does not let go of in time are left
 * to matter.js's own ending, which follows.
 */
async function closeSessions(manager: SessionManager): Promise<void> {
	const open = [...manager.sessions].filter((s) => s.isSecure && !s.isClosing);
	if (open.length === 0)
		return;
	const closing = open.map((s) => s.initiateClose(async () => { await s.closeSubscriptions(true); }));
	try {
		await bounded(Promise.allSettled(closing), SESSIONS_CLOSE_MS);
	} catch (e) {
		log("close", `closing the sessions with controllers: ${e instanceof Error ? e.message : String(e)}`);
	}
}

/**
 * matter.js ends its sessions at shutdown without telling the peers, so a
 * controller goes on sending into one that is gone: it retransmits for
 * about 5 s and waits as long again before it resumes a session with the
 * restarted node.  Told, it resumes one as soon as the node is back.
 */
class KelvoNode extends ServerNode {
	override async prepareRuntimeShutdown(): Promise<void> {
		await closeSessions(this.env.get(SessionManager));
		await super.prepareRuntimeShutdown();
	}
}

async function makeNode(o: Options, pairing: Pairing, at: ReturnType<typeof addresses>) {
	const env = Environment.default;
	env.vars.set("storage.path", nodeStorage(o.storage));
	// mDNS on loopback by default, so nothing is announced to the LAN.
	env.vars.set("mdns.networkInterface", o.iface ?? "lo");
	const server = await KelvoNode.create(ServerNode.RootEndpoint.with(KelvoCommissioningServer), {
		id: "kelvo-matter",
		network: { port: o.port, listeningAddressIpv4: at.ipv4, listeningAddressIpv6: at.ipv6 },
		commissioning: { passcode: pairing.passcode, discriminator: pairing.discriminator },
		productDescription: { name: "kelvo thermostat", deviceType: KelvoThermostat.deviceType },
		basicInformation: {
			vendorName: "kelvo", vendorId: VendorId(0xfff1),
			productName: "kelvo thermostat", productLabel: "thermostat", productId: 0x8000,
			nodeLabel: "kelvo thermostat", serialNumber: o.id,
			hardwareVersion: 1, softwareVersion: 1, softwareVersionString: "0.9.0",
		},
	});
	// The thermostat kelvo showed last, until kelvo says which it is now.
	const profile = loadProfile(o.storage);
	const endpoint = await addThermostat(server, profile);
	return { server, endpoint, profile, shown: at.shown };
}

/** p, or an error once ms have passed without it. */
async function bounded<T>(p: Promise<T>, ms: number): Promise<T> {
	let timer: NodeJS.Timeout | undefined;
	const late = new Promise<never>((_, reject) => {
		timer = setTimeout(() => reject(new Error(`not done within ${ms / 1000} s`)), ms);
	});
	try {
		return await Promise.race([p, late]);
	} finally {
		clearTimeout(timer);
	}
}

function portTaken(e: unknown): boolean {
	const text = e instanceof Error ? `${e.name} ${e.message} ${String((e as { cause?: unknown }).cause ?? "")}` : String(e);
	return /EADDRINUSE|AddressInUse|already in use/i.test(text);
}

/** The storage made ready, its fabrics forgotten if asked, its pairing. */
function storage(o: Options): Pairing {
	try {
		prepareStorage(o.storage);
		if (o.factoryReset) {
			forgetFabrics(o.storage);
			log("reset", `forgot every fabric in ${o.storage}`);
		}
		return loadPairing(o.storage, o.passcode, o.discriminator);
	} catch (e) {
		if (e instanceof StorageError)
			exit(1, e.message);
		throw e;
	}
}

async function main(): Promise<void> {
	const o = options();
	const webToken = token();
	quietMatter();
	const at = addresses(o);
	const { server, endpoint, profile, shown } = await makeNode(o, storage(o), at);
	server.lifecycle.commissioned.on(() => { process.stdout.write(`${NAME}: commissioned\n`); });
	server.lifecycle.decommissioned.on(() => log("fabrics", "the last fabric was removed: commissionable again"));
	const web = new Web(o.web, webToken, {
		state: (s) => kelvo.apply(s),
		available: (up) => log("available", up ? "writes reach kelvo again" : "kelvo or kelvo-web is away: writes fail until it is back"),
	});
	const kelvo = new Kelvo(server, endpoint, profile, web, (p) => saveProfile(o.storage, p));

	// From here a signal closes the node, also one that comes while it starts.
	let stopping = false;
	const stop = async () => {
		if (stopping)
			return;
		stopping = true;
		web.stop();
		try {
			await bounded(server.close(), NODE_CLOSE_MS);
		} catch (e) {
			log("close", `closing the node: ${e instanceof Error ? e.message : String(e)}`);
		}
		exit(0);
	};
	process.on("SIGTERM", () => void stop());
	process.on("SIGINT", () => void stop());

	try {
		await server.start();
	} catch (e) {
		if (stopping)
			return;
		// Closed first, so that its storage is left as a later start wants
		// it; what matter.js says of closing a node that never started is
		// no news.
		Logger.level = LogLevel.FATAL;
		await server.close().catch(() => undefined);
		exit(1, portTaken(e) ? `UDP port ${o.port} is taken` : `cannot start: ${e instanceof Error ? e.message : String(e)}`);
	}
	for (const a of shown)
		process.stdout.write(`${NAME}: listening on ${a} port ${server.state.network.operationalPort}\n`);
	listening = true;
	if (codesHeld !== undefined)
		process.stdout.write(codesHeld);
	web.start();
}

main().catch((e) => exit(1, `stopped: ${e instanceof Error ? e.message : String(e)}`));
