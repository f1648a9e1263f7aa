// The profile kept in the storage: what a restart shows first.  Anything
// there that is not a profile is read as classic, never a crash.
import assert from "node:assert/strict";
import { mkdirSync, mkdtempSync, rmSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { after, describe, test } from "node:test";
import { loadProfile, saveProfile, StorageError } from "../src/pairing.js";

describe("the profile kept", () => {
	const dir = mkdtempSync(join(tmpdir(), "kelvo-matter-profile-"));
	after(() => rmSync(dir, { recursive: true, force: true }));

	test("none kept is classic; a kept one is read back, and replaced", () => {
		assert.equal(loadProfile(dir), "classic");
		saveProfile(dir, "modern");
		assert.equal(loadProfile(dir), "modern");
		saveProfile(dir, "classic");
		assert.equal(loadProfile(dir), "classic");
	});
	test("what is not a profile is classic", () => {
		for (const text of ["", "MODERN", "modern2", "\u0000", "x".repeat(100000), "classic\nmodern"]) {
			writeFileSync(join(dir, "profile"), text);
			assert.equal(loadProfile(dir), "classic", JSON.stringify(text.slice(0, 20)));
		}
		writeFileSync(join(dir, "profile"), "modern\n");
		assert.equal(loadProfile(dir), "modern");
	});
	test("a profile that cannot be written is a StorageError naming the file", () => {
		// A folder where the new file goes: even root cannot write it.
		mkdirSync(join(dir, "profile.new"));
		try {
			assert.throws(() => saveProfile(dir, "modern"), (e: Error) => e instanceof StorageError && /profile/.test(e.message));
		} finally {
			rmSync(join(dir, "profile.new"), { recursive: true });
		}
	});
});
