// kelvo-matter's refusals at start: bad options exit 2 with the usage,
// storage it cannot use and a taken port exit 1 with a message.
import assert from "node:assert/strict";
import dgram from "node:dgram";
import fs from "node:fs";
import path from "node:path";
import { after, describe, test } from "node:test";

import { fileURLToPath } from "node:url";

import { Rig, WAIT, freeUdpPort, launcherArgs } from "./harness.mjs";

describe("kelvo-matter's start-up refusals", { timeout: 10 * WAIT }, () => {
    const rig = new Rig();
    rig.url = "http://127.0.0.1:9";
    after(() => rig.close());

    /** Runs kelvo-matter to its end (bounded); its status and output. */
    async function run(args) {
        const p = rig.runMatter(args);
        const t = setTimeout(() => p.stop("SIGKILL"), WAIT);
        const { code } = await p.exited;
        clearTimeout(t);
        return { code, out: p.lines.join("\n"), err: p.errLines.join("\n"), p };
    }

    test("bad options: the usage on standard error, exit 2, nothing stored", async () => {
        const store = path.join(rig.root, "unused");
        const port = String(await freeUdpPort());
        for (const bad of [["--bogus"], ["stray"], ["--port"], ["--port", "abc"],
            ["--port", "65536"], ["--port", "-1"], ["--passcode", "0"],
            ["--passcode", "100000000"], ["--passcode", "11111111"], ["--passcode", "12345678"],
            ["--discriminator", "4096"], ["--discriminator", "x"], ["--web", "not a url"],
            ["--web", "ftp://127.0.0.1/"], ["--web", "http://127.0.0.1:0/"], ["--web", "http://[::1]:65536/"],
            ["--id", ""], ["--storage", ""],
            ["--port", port, "--port", port]]) {
            const args = bad.includes("--storage") ? bad : ["--storage", store, ...bad];
            const r = await run(args.includes("--port") ? args : ["--port", port, ...args]);
            assert.equal(r.code, 2, `${JSON.stringify(bad)} exited ${r.code}\n${r.out}\n${r.err}`);
            assert.match(r.err, /usage: kelvo-matter/, JSON.stringify(bad));
            assert.doesNotMatch(r.out, /listening|pairing code/, JSON.stringify(bad));
        }
        assert.ok(!fs.existsSync(store), "a refused start left storage behind");
    });

    test("storage it cannot use: a message and exit 1", async () => {
        const file = path.join(rig.root, "a-file");
        fs.writeFileSync(file, "not a directory\n");
        const port = String(await freeUdpPort());
        for (const storage of [file, path.join(file, "below")]) {
            const r = await run(["--web", rig.url, "--port", port, "--storage", storage]);
            assert.equal(r.code, 1, `--storage ${storage} exited ${r.code}\n${r.out}\n${r.err}`);
            assert.equal(r.err.split("\n")[0], `kelvo-matter: --storage: ${file} is not a directory`);
            assert.doesNotMatch(r.err, /usage:/);
            assert.doesNotMatch(r.out, /listening|pairing code/);
        }
    });

    test("a taken UDP port: a message and exit 1", async () => {
        const holder = dgram.createSocket("udp4");
        await new Promise((res, rej) => holder.bind(0, "127.0.0.1", e => e ? rej(e) : res()));
        try {
            const port = String(holder.address().port);
            const r = await run(["--web", rig.url, "--port", port,
                "--storage", path.join(rig.root, "taken")]);
            assert.equal(r.code, 1, `exited ${r.code}\n${r.out}\n${r.err}`);
            assert.match(r.err, new RegExp(`kelvo-matter: .*${port}`));
        } finally {
            holder.close();
        }
    });
    test("node's heap is bounded, the same on the launcher's #! line and in the unit", () => {
        const [bound] = launcherArgs();
        assert.match(bound ?? "", /^--max-old-space-size=\d+$/);
        const unit = fs.readFileSync(path.resolve(path.dirname(fileURLToPath(import.meta.url)),
            "../../systemd/kelvo-matter.service.in"), "utf8");
        assert.match(unit, new RegExp(`^Environment=NODE_OPTIONS=${bound}$`, "m"));
    });
});
