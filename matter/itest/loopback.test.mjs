// Commissioning on one machine with a stock controller: the README's
// recipe (multicast on lo, and routes for mDNS's groups there) applied to
// the loopback of a network namespace of this test's own, so the host's
// is left as it is and everything goes with the namespace, also on a
// failure.  Needs root for the namespace and the settings; skipped with a
// line saying so otherwise.
import assert from "node:assert/strict";
import { spawn, spawnSync } from "node:child_process";
import path from "node:path";
import { fileURLToPath } from "node:url";
import { describe, test } from "node:test";

import { WAIT } from "./harness.mjs";

const here = path.dirname(fileURLToPath(import.meta.url));

// The README's recipe, word for word.
const RECIPE = [
    "ip link set lo multicast on",
    "ip route add 224.0.0.0/4 dev lo",
    "ip -6 route add ff02::/16 dev lo table local",
];

/** Why the recipe cannot be tried here, or undefined. */
function cannot() {
    if (process.getuid?.() !== 0)
        return "not root: a network namespace and lo's settings need root";
    const probe = spawnSync("unshare", ["--net", "ip", "link", "set", "lo", "multicast", "on"], { encoding: "utf8" });
    if (probe.error !== undefined || probe.status !== 0)
        return `no network namespace here: unshare --net ip link ...: ${probe.error?.message ?? probe.stderr.trim()}`;
    return undefined;
}

const why = cannot();
if (why !== undefined)
    console.log(`# skipped: commissioning over loopback with a stock controller: ${why}`);

describe("a stock controller commissions kelvo-matter on one machine", { timeout: 5 * WAIT }, () => {
    test("with the README's recipe on lo", { skip: why }, async () => {
        const script = ["ip link set lo up", ...RECIPE,
            `exec "${process.execPath}" "${path.join(here, "loopback-stock.mjs")}"`].join(" && ");
        // A process group of its own, so that a run out of time is ended
        // whole: the namespace goes with its last process.
        const child = spawn("unshare", ["--net", "sh", "-c", script], { stdio: ["ignore", "pipe", "pipe"], detached: true });
        let out = "";
        child.stdout.on("data", (c) => { out += c; });
        child.stderr.on("data", (c) => { out += c; });
        const kill = setTimeout(() => process.kill(-child.pid, "SIGKILL"), 4 * WAIT);
        const code = await new Promise((r) => child.on("exit", (c, sig) => r(c ?? sig)));
        clearTimeout(kill);
        assert.equal(code, 0, out);
        for (const step of [/^ok: commissioned/m, /^ok: read the serial number/m, /^ok: a set-point write reached kelvo/m])
            assert.match(out, step);
    });
});
