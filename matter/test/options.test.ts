// The command line, and the pairing kept in the storage folder: every
// value refused with a message, and the defaults users rely on.
import assert from "node:assert/strict";
import { mkdtempSync, readFileSync, rmSync, statSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { after, describe, test } from "node:test";
import { OptionError, parseOptions, passcodeAllowed } from "../src/options.js";
import { loadPairing, prepareStorage, StorageError } from "../src/pairing.js";

const env = { HOME: "/home/u" };
const parse = (...a: string[]) => parseOptions(a, env);

describe("options", () => {
	test("defaults", () => {
		const o = parse();
		assert.equal(o.web.href, "http://127.0.0.1:8080/");
		assert.equal(o.id, "kelvo");
		assert.equal(o.port, 5540);
		assert.equal(o.iface, undefined);
		assert.equal(o.storage, "/home/u/.local/state/kelvo-matter/kelvo");
		assert.equal(o.factoryReset, false);
	});
	test("every option, in both forms", () => {
		const o = parse("--web=http://[::1]:9000/k", "--id", "hall-1", "--port", "0", "--interface", "eth0",
		    "--storage", "/s", "--passcode", "20202021", "--discriminator=4095", "--factory-reset");
		assert.deepEqual([o.web.href, o.id, o.port, o.iface, o.storage, o.passcode, o.discriminator, o.factoryReset],
		    ["http://[::1]:9000/k/", "hall-1", 0, "eth0", "/s", 20202021, 4095, true]);
	});
	test("the storage follows XDG_STATE_HOME and the id; a relative one is ignored", () => {
		assert.equal(parseOptions(["--id", "a"], { XDG_STATE_HOME: "/x", HOME: "/h" }).storage, "/x/kelvo-matter/a");
		assert.equal(parseOptions([], { XDG_STATE_HOME: "x", HOME: "/h" }).storage, "/h/.local/state/kelvo-matter/kelvo");
		assert.throws(() => parseOptions([], {}), OptionError);
	});
	test("bad options are refused, each with a message", () => {
		const bad = [
			["--bogus"], ["--web"], ["-x"], ["extra"], ["--port", "65536"], ["--port", "-1"], ["--port", "1e3"],
			["--port", "1", "--port", "2"], ["--web", "ftp://h/"], ["--web", "nonsense"], ["--web", "http://h/?a=1"],
			["--web", "http://u:p@h/"], ["--id", "../x"], ["--id", ".hidden"], ["--id", ""], ["--id", "a".repeat(33)],
			["--interface", ""], ["--interface", "a/b"], ["--storage", ""], ["--passcode", "0"],
			["--passcode", "99999999"], ["--passcode", "12345678"], ["--passcode", "x"], ["--passcode", "100000000"],
			["--discriminator", "4096"], ["--discriminator", "-1"],
		];
		for (const args of bad)
			assert.throws(() => parse(...args), (e: Error) => e instanceof OptionError && e.message.length > 0, args.join(" "));
	});
	test("kelvo-web's port is 1 to 65535 as written: 0 is not the scheme's default", () => {
		for (const url of ["http://127.0.0.1:0/", "http://127.0.0.1:00", "https://[::1]:0/x", "http://h:65536/", "http://h:99999/"])
			assert.throws(() => parse("--web", url), { message: new RegExp(`^--web: port "\\d+" is not from 1 to 65535$`) }, url);
		assert.equal(parse("--web", "http://h:1").web.port, "1");
		assert.equal(parse("--web", "http://[::1]:65535/").web.port, "65535");
		assert.equal(parse("--web", "http://h:/").web.port, "");
	});
	test("Matter's trivial passcodes are never allowed", () => {
		for (let d = 0; d <= 9; d++)
			assert.equal(passcodeAllowed(Number(String(d).repeat(8))), false, String(d));
		assert.equal(passcodeAllowed(12345678), false);
		assert.equal(passcodeAllowed(87654321), false);
		assert.equal(passcodeAllowed(20202021), true);
		assert.equal(passcodeAllowed(1), true);
	});
});

describe("pairing in the storage", () => {
	const dir = mkdtempSync(join(tmpdir(), "kelvo-matter-test-"));
	after(() => rmSync(dir, { recursive: true, force: true }));

	test("drawn once, valid, kept; an override is kept too", () => {
		const store = join(dir, "a", "b");
		prepareStorage(store);
		assert.equal(statSync(store).mode & 0o777, 0o700);
		const first = loadPairing(store);
		assert.ok(passcodeAllowed(first.passcode));
		assert.ok(first.discriminator >= 0 && first.discriminator <= 4095);
		assert.deepEqual(loadPairing(store), first);
		assert.deepEqual(loadPairing(store, 20202021), { passcode: 20202021, discriminator: first.discriminator });
		assert.equal(JSON.parse(readFileSync(join(store, "pairing.json"), "utf8")).passcode, 20202021);
	});
	test("a damaged pairing file or an unusable folder is a clear error", () => {
		const store = join(dir, "c");
		prepareStorage(store);
		for (const text of ["{", '{"passcode": 11111111, "discriminator": 1}', '{"passcode": 20202021}', "[]"]) {
			writeFileSync(join(store, "pairing.json"), text);
			assert.throws(() => loadPairing(store), StorageError, text);
		}
		writeFileSync(join(dir, "file"), "");
		// A file where the folder is to be, or on its way, is named.
		for (const under of ["", "x", "x/y"])
			assert.throws(() => prepareStorage(join(dir, "file", under)),
			    { message: `--storage: ${join(dir, "file")} is not a directory` }, under);
		// Where Node's own recursive mkdir would spin for ever.
		assert.throws(() => prepareStorage("/proc/kelvo-matter-test/x"), /cannot be used/);
	});
});
