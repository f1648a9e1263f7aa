// options.ts - kelvo-matter's command line, read into settings or refused.
//
// Pure: the arguments and the environment in, the settings or a message
// out, so main() decides what a refusal does (usage, exit 2) and the tests
// need no process.  Every value is checked here, before anything starts.

export const USAGE =
	"usage: kelvo-matter [--web URL] [--id ID] [--port UDP_PORT] [--interface IFNAME]\n" +
	"                    [--storage DIR] [--passcode N] [--discriminator N] [--factory-reset]\n";

export const DEFAULT_WEB = "http://127.0.0.1:8080";
export const DEFAULT_ID = "kelvo";
export const DEFAULT_PORT = 5540;

export interface Options {
	web: URL;
	id: string;
	port: number;
	iface?: string;
	storage: string;
	passcode?: number;
	discriminator?: number;
	factoryReset: boolean;
	help: boolean;
}

export class OptionError extends Error {}

const VALUED = ["web", "id", "port", "interface", "storage", "passcode", "discriminator"] as const;
type Valued = (typeof VALUED)[number];

/**
 * The passcodes Matter forbids, as too easy to guess: 00000000, 11111111,
 * ..., 99999999, 12345678 and 87654321.
 */
export function passcodeAllowed(n: number): boolean {
	if (!Number.isInteger(n) || n < 1 || n > 99999998)
		return false;
	const s = String(n).padStart(8, "0");
	return !/^(\d)\1{7}$/.test(s) && s !== "12345678" && s !== "87654321";
}

function whole(name: string, text: string, min: number, max: number): number {
	if (!/^[0-9]{1,9}$/.test(text) || Number(text) < min || Number(text) > max)
		throw new OptionError(`--${name}: "${text}" is not a whole number from ${min} to ${max}`);
	return Number(text);
}

function webUrl(text: string): URL {
	// The port is checked as written, before URL reads it: URL takes 0,
	// which a request then quietly sends to the scheme's default port.
	const port = /^[a-z]+:\/\/(?:\[[^\]]*\]|[^/:?#@]*):([0-9]*)(?:[/?#]|$)/i.exec(text)?.[1];
	if (port !== undefined && port !== "" && (port.length > 5 || Number(port) < 1 || Number(port) > 65535))
		throw new OptionError(`--web: port "${port}" is not from 1 to 65535`);
	let url: URL;
	try {
		url = new URL(text);
	} catch {
		throw new OptionError(`--web: "${text}" is not a URL`);
	}
	if ((url.protocol !== "http:" && url.protocol !== "https:") || url.hostname === "" ||
	    url.username !== "" || url.password !== "" || url.search !== "" || url.hash !== "")
		throw new OptionError(`--web: "${text}" is not an http:// or https:// address of kelvo-web`);
	if (!url.pathname.endsWith("/"))
		url.pathname += "/";
	return url;
}

/** The default storage: $XDG_STATE_HOME/kelvo-matter/ID, else ~/.local/state. */
export function defaultStorage(id: string, env: NodeJS.ProcessEnv): string {
	const xdg = env.XDG_STATE_HOME;
	// The XDG rules: a relative XDG_STATE_HOME is to be ignored.
	if (xdg !== undefined && xdg.startsWith("/"))
		return `${xdg}/kelvo-matter/${id}`;
	if (env.HOME === undefined || !env.HOME.startsWith("/"))
		throw new OptionError("no --storage, and neither XDG_STATE_HOME nor HOME is an absolute path");
	return `${env.HOME}/.local/state/kelvo-matter/${id}`;
}

/** The values as given, each once. */
function collect(args: readonly string[]): { given: Map<Valued, string>; reset: boolean; help: boolean } {
	const given = new Map<Valued, string>();
	let reset = false, help = false;
	for (let i = 0; i < args.length; i++) {
		const arg = args[i] as string;
		if (arg === "--factory-reset") {
			reset = true;
			continue;
		}
		if (arg === "--help" || arg === "-h") {
			help = true;
			continue;
		}
		const m = /^--([a-z-]+)(?:=(.*))?$/s.exec(arg);
		const name = m?.[1] as Valued | undefined;
		if (m === null || name === undefined || !VALUED.includes(name))
			throw new OptionError(`unknown option "${arg}"`);
		let value = m[2];
		if (value === undefined) {
			if (i + 1 >= args.length)
				throw new OptionError(`--${name} needs a value`);
			value = args[++i] as string;
		}
		if (given.has(name))
			throw new OptionError(`--${name} given twice`);
		given.set(name, value);
	}
	return { given, reset, help };
}

export function parseOptions(args: readonly string[], env: NodeJS.ProcessEnv): Options {
	const { given, reset, help } = collect(args);
	const id = given.get("id") ?? DEFAULT_ID;
	// The id is the serial number (at most 32 characters in Matter) and a
	// folder name under the default storage.
	if (!/^[A-Za-z0-9_-][A-Za-z0-9._-]{0,31}$/.test(id))
		throw new OptionError(`--id: "${id}" is not 1 to 32 letters, digits, '.', '_' or '-' (not starting with '.')`);
	const iface = given.get("interface");
	if (iface !== undefined && !/^[A-Za-z0-9._:@-]{1,15}$/.test(iface))
		throw new OptionError(`--interface: "${iface}" is not an interface name`);
	const storage = given.get("storage");
	if (storage === "")
		throw new OptionError("--storage: empty");
	const passcode = given.get("passcode");
	const opts: Options = {
		web: webUrl(given.get("web") ?? DEFAULT_WEB),
		id,
		port: given.has("port") ? whole("port", given.get("port") as string, 0, 65535) : DEFAULT_PORT,
		storage: storage ?? defaultStorage(id, env),
		factoryReset: reset,
		help,
	};
	if (iface !== undefined)
		opts.iface = iface;
	if (passcode !== undefined) {
		opts.passcode = whole("passcode", passcode, 1, 99999998);
		if (!passcodeAllowed(opts.passcode))
			throw new OptionError(`--passcode: ${passcode} is one of the trivial passcodes Matter forbids`);
	}
	if (given.has("discriminator"))
		opts.discriminator = whole("discriminator", given.get("discriminator") as string, 0, 4095);
	return opts;
}
