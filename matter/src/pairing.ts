// pairing.ts - the storage folder, and the passcode and discriminator kept
// in it.
//
// At first start a passcode and a discriminator are drawn at random (never
// a passcode Matter forbids) and written to pairing.json in the storage,
// so that the printed codes stay the same across restarts and a factory
// reset.  --passcode and --discriminator override, and are kept too.  The
// fabrics and keys are matter.js's, in the folder "node" beside it.  The
// profile kelvo last showed is kept in "profile", so that a restart
// brings the device back with the clusters controllers know.
import { randomInt } from "node:crypto";
import { accessSync, constants, mkdirSync, readFileSync, renameSync, rmSync, statSync, writeFileSync } from "node:fs";
import { dirname, join, resolve } from "node:path";
import { passcodeAllowed } from "./options.js";

export interface Pairing { passcode: number; discriminator: number }

export class StorageError extends Error {}

export function randomPasscode(): number {
	// Forbidden ones are 11 of 10^8: a redraw is rare, and bounded anyway.
	for (let i = 0; i < 100; i++) {
		const n = randomInt(1, 99999999);
		if (passcodeAllowed(n))
			return n;
	}
	throw new Error("no passcode drawn");
}

export function randomDiscriminator(): number {
	return randomInt(0, 4096);
}

function why(e: unknown): string {
	return e instanceof Error ? e.message : String(e);
}

/**
 * mkdir -p, one level at a time: Node 20's recursive mkdirSync spins
 * for ever under /proc and the like, where a parent neither exists nor
 * can be made.  A file on the way is named as what is wrong.
 */
function makeDirs(dir: string): void {
	const missing: string[] = [];
	for (let d = resolve(dir); ; d = dirname(d)) {
		let st;
		try {
			st = statSync(d);
		} catch (e) {
			const code = (e as NodeJS.ErrnoException).code;
			if (code === "ENOTDIR")
				continue;
			if (code !== "ENOENT" || dirname(d) === d)
				throw e;
			missing.unshift(d);
			continue;
		}
		if (!st.isDirectory())
			throw new StorageError(`--storage: ${d} is not a directory`);
		break;
	}
	for (const d of missing)
		mkdirSync(d, { mode: 0o700 });
}

/** Makes the folder (0700) if need be, and checks that it can be written. */
export function prepareStorage(dir: string): void {
	try {
		makeDirs(dir);
		accessSync(dir, constants.R_OK | constants.W_OK | constants.X_OK);
	} catch (e) {
		if (e instanceof StorageError)
			throw e;
		throw new StorageError(`storage ${dir} cannot be used: ${why(e)}`);
	}
}

/** matter.js's storage, under the folder. */
export function nodeStorage(dir: string): string {
	return join(dir, "node");
}

/** Forgets every fabric: matter.js's storage goes, the pairing stays. */
export function forgetFabrics(dir: string): void {
	try {
		rmSync(nodeStorage(dir), { recursive: true, force: true });
	} catch (e) {
		throw new StorageError(`storage ${dir}: cannot forget the fabrics: ${why(e)}`);
	}
}

function read(file: string): Partial<Pairing> | undefined {
	let text: string;
	try {
		text = readFileSync(file, "utf8");
	} catch (e) {
		if ((e as NodeJS.ErrnoException).code === "ENOENT")
			return undefined;
		throw new StorageError(`${file} cannot be read: ${why(e)}`);
	}
	try {
		const v = JSON.parse(text) as Partial<Pairing>;
		if (passcodeAllowed(v.passcode as number) && Number.isInteger(v.discriminator) &&
		    (v.discriminator as number) >= 0 && (v.discriminator as number) <= 4095)
			return v;
	} catch {
		// Said below.
	}
	throw new StorageError(`${file} is not a passcode and discriminator (remove it to draw new ones)`);
}

/** The pairing kept in the folder, drawn the first time, overridden by options. */
export function loadPairing(dir: string, passcode?: number, discriminator?: number): Pairing {
	const file = join(dir, "pairing.json");
	const kept = read(file);
	const p: Pairing = {
		passcode: passcode ?? kept?.passcode ?? randomPasscode(),
		discriminator: discriminator ?? kept?.discriminator ?? randomDiscriminator(),
	};
	if (kept?.passcode !== p.passcode || kept?.discriminator !== p.discriminator) {
		try {
			writeFileSync(`${file}.new`, JSON.stringify(p) + "\n", { mode: 0o600 });
			renameSync(`${file}.new`, file);
		} catch (e) {
			throw new StorageError(`${file} cannot be written: ${why(e)}`);
		}
	}
	return p;
}

/**
 * The profile kelvo last showed, kept in the folder; classic when none is
 * kept or what is there is not one (the device then shows the classic
 * thermostat until kelvo publishes its profile).
 */
export function loadProfile(dir: string): "classic" | "modern" {
	try {
		const text = readFileSync(join(dir, "profile"), "utf8").slice(0, 16).trim();
		return text === "modern" ? "modern" : "classic";
	} catch {
		return "classic";
	}
}

/** Keeps the profile, replacing the one kept. */
export function saveProfile(dir: string, profile: "classic" | "modern"): void {
	const file = join(dir, "profile");
	try {
		writeFileSync(`${file}.new`, `${profile}\n`, { mode: 0o600 });
		renameSync(`${file}.new`, file);
	} catch (e) {
		throw new StorageError(`${file} cannot be written: ${why(e)}`);
	}
}
