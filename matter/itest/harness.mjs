// The rig for kelvo-matter's tests and benchmark: a real kelvo in a scratch
// root, a real kelvo-web, a real kelvo-matter, and matter.js's own
// commissioning controller, all on loopback.
//
//   KELVO_BIN, KELVO_WEB_BIN, KELVO_CTL_BIN   the C++ binaries
//   KELVO_MATTER_BIN   kelvo-matter: a .js/.mjs file run with this node, or
//                      an executable
import { spawn } from "node:child_process";
import dgram from "node:dgram";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import readline from "node:readline";
import { fileURLToPath } from "node:url";

import { Environment, Logger, LogLevel } from "@matter/main";
import { ManualPairingCodeCodec, NodeId } from "@matter/main/types";
import { GeneralCommissioning } from "@matter/main/clusters";
import { PeerSet, SessionManager } from "@matter/main/protocol";
import { CommissioningController } from "@project-chip/matter.js";

const here = path.dirname(fileURLToPath(import.meta.url));
const top = path.resolve(here, "../..");  // the source tree
export const KELVO = process.env.KELVO_BIN ?? path.join(top, "build/kelvo");
export const WEB = process.env.KELVO_WEB_BIN ?? path.join(top, "build/web/kelvo-web");
export const CTL = process.env.KELVO_CTL_BIN ?? path.join(top, "build/ctl/kelvo-ctl");
export const MATTER = process.env.KELVO_MATTER_BIN ??
    path.join(top, "build/matter/kelvo-matter.js");

// Generous bounds: a loaded 2-core machine with sanitizer builds beside us.
export const WAIT = 60_000;

export const sleep = ms => new Promise(r => setTimeout(r, ms));

/** Polls cond (sync or async) every `every` ms until it is truthy or
 *  `timeout` ms have passed; returns its last value. Errors count as no. */
export async function until(cond, timeout = WAIT, every = 50) {
    const end = Date.now() + timeout;
    for (;;) {
        let v;
        try { v = await cond(); } catch { v = undefined; }
        if (v || Date.now() >= end)
            return v;
        await sleep(every);
    }
}

/** A UDP port nobody holds now, from the OS. */
export async function freeUdpPort() {
    const s = dgram.createSocket("udp4");
    await new Promise((res, rej) => s.bind(0, "127.0.0.1", e => e ? rej(e) : res()));
    const port = s.address().port;
    await new Promise(r => s.close(r));
    return port;
}

/** °F to Matter's 0.01 °C, rounded. */
export const centi = f => Math.round((f - 32) * 500 / 9);

/** A child process whose output lines are kept and can be waited for. */
class Proc {
    constructor(name, argv, env, cwd) {
        this.name = name;
        this.lines = [];
        this.errLines = [];
        this.waiters = [];
        this.child = spawn(argv[0], argv.slice(1), { env, cwd,
            stdio: ["ignore", "pipe", "pipe"] });
        this.exited = new Promise(res => this.child.on("exit",
            (code, sig) => res({ code, sig })));
        this.exitCode = undefined;
        this.exited.then(r => { this.exitCode = r.code; this.poke(); });
        const keep = (stream, into) => readline.createInterface({ input: stream })
            .on("line", l => { into.push(l); this.poke(); });
        keep(this.child.stdout, this.lines);
        keep(this.child.stderr, this.errLines);
    }
    get pid() { return this.child.pid; }
    get running() { return this.exitCode === undefined && this.child.signalCode === null; }
    poke() { for (const w of this.waiters.splice(0)) w(); }
    /** The first stdout line from `from` on matching re (its match), waiting
     *  up to timeout; throws with the output so far when none comes. */
    async line(re, { from = 0, timeout = WAIT } = {}) {
        const end = Date.now() + timeout;
        for (;;) {
            for (let i = from; i < this.lines.length; i++) {
                const m = this.lines[i].match(re);
                if (m)
                    return m;
            }
            if (!this.running || Date.now() >= end)
                throw new Error(`${this.name}: no line ${re} (${this.running ?
                    "timed out" : "exited " + this.exitCode})\n` + this.output());
            await new Promise(r => { this.waiters.push(r);
                setTimeout(r, Math.min(500, Math.max(1, end - Date.now()))); });
        }
    }
    output() {
        return `--- stdout\n${this.lines.join("\n")}\n--- stderr\n` +
            this.errLines.slice(-40).join("\n");
    }
    async stop(signal = "SIGTERM", timeout = 20_000) {
        if (!this.running)
            return this.exited;
        this.child.kill("SIGCONT");
        this.child.kill(signal);
        const t = setTimeout(() => this.child.kill("SIGKILL"), timeout);
        const r = await this.exited;
        clearTimeout(t);
        return r;
    }
}

/** utime + stime of a process, in seconds. */
export function cpuSeconds(pid) {
    const f = fs.readFileSync(`/proc/${pid}/stat`, "utf8").split(") ")[1].split(" ");
    return (Number(f[11]) + Number(f[12])) / 100;
}

/** A process's resident memory now and at its peak, in MB. */
export function memoryMB(pid) {
    const s = fs.readFileSync(`/proc/${pid}/status`, "utf8");
    const kb = k => Number(s.match(new RegExp(`^${k}:\\s+(\\d+)`, "m"))[1]);
    return { rss: kb("VmRSS") / 1024, hwm: kb("VmHWM") / 1024 };
}

/** The folder matter.js keeps its values in, under the storage. */
export function valuesDir(storage) {
    const walk = d => {
        for (const e of fs.readdirSync(d, { withFileTypes: true })) {
            if (e.isFile() && e.name.startsWith("root."))
                return d;
            const found = e.isDirectory() ? walk(path.join(d, e.name)) : undefined;
            if (found)
                return found;
        }
        return undefined;
    };
    return walk(storage);
}

/** Counts files renamed into place (matter.js writes each value to
 *  KEY.tmp and renames it to KEY) in kelvo-matter's storage, per key:
 *  inotify on the values' folder itself,
 *  which sees every rename, where node's recursive watch does not. */
export function storageWrites(storage) {
    const dir = valuesDir(storage);
    if (dir === undefined)
        throw new Error(`no values stored under ${storage}`);
    const counts = new Map();
    const w = fs.watch(dir, (event, name) => {
        if (event !== "rename" || name === null || name.endsWith(".tmp") || !fs.existsSync(path.join(dir, name)))
            return;
        counts.set(name, (counts.get(name) ?? 0) + 1);
    });
    return { counts, total: () => [...counts.values()].reduce((a, b) => a + b, 0),
        close: () => w.close() };
}
/** node's options on the bundle's #! line, as its launcher runs it. */
export function launcherArgs() {
    const first = fs.readFileSync(MATTER, "utf8").slice(0, 200).split("\n")[0];
    const m = /^#!\S+ (.+)$/.exec(first);
    return m ? [m[1]] : [];
}

/** A scratch root with kelvo, kelvo-web and kelvo-matter in it. */
export class Rig {
    constructor(prefix = "kelvo-matter-test-") {
        this.root = fs.mkdtempSync(path.join(os.tmpdir(), prefix));
        this.pps = path.join(this.root, "pps");
        this.state = path.join(this.root, "state");
        this.storage = path.join(this.root, "matter");
        fs.mkdirSync(this.pps);
        fs.mkdirSync(this.state);
        this.env = { ...process.env, PPS_ROOT: this.pps };
        delete this.env.KELVO_WEB_TOKEN;
        this.procs = new Set();
        this.webPort = 0;
        this.id = "kt-" + process.pid;
    }

    spawn(name, argv, env = this.env) {
        const p = new Proc(name, argv, env, this.root);
        this.procs.add(p);
        return p;
    }

    async startKelvo() {
        this.kelvo = this.spawn("kelvo", [KELVO, this.state]);
        if (!await until(() => this.outputs().ts_mode !== undefined))
            throw new Error("kelvo never published\n" + this.kelvo.output());
        if (this.web?.running &&
            !await until(async () => (await this.api("GET", "/api/sim")).status === 200))
            throw new Error("kelvo-web never saw kelvo\n" + this.web.output());
        return this.kelvo;
    }

    async stopKelvo() {
        await this.kelvo?.stop();
    }

    /** kelvo-web on 127.0.0.1, a free port at first and the same one after. */
    async startWeb() {
        this.web = this.spawn("kelvo-web", [WEB, "--listen", `127.0.0.1:${this.webPort}`]);
        const m = await this.web.line(/^kelvo-web: http:\/\/127\.0\.0\.1:(\d+)\//);
        this.webPort = Number(m[1]);
        this.url = `http://127.0.0.1:${this.webPort}`;
        if (this.kelvo?.running &&
            !await until(async () => (await this.api("GET", "/api/state")).status === 200))
            throw new Error("kelvo-web never saw kelvo\n" + this.web.output());
        return this.web;
    }

    async stopWeb() {
        await this.web?.stop();
    }

    /** kelvo's published outputs object, as name → text ({} when none). */
    outputs() {
        let text;
        try { text = fs.readFileSync(path.join(this.pps, "kelvo/outputs"), "utf8"); }
        catch { return {}; }
        const o = {};
        for (const l of text.split("\n")) {
            const m = l.match(/^([a-z_]+):[^:]*:(.*)$/);
            if (m)
                o[m[1]] = m[2];
        }
        return o;
    }

    async api(method, p, body) {
        const r = await fetch(this.url + p, { method,
            headers: body === undefined ? {} : { "Content-Type": "application/json" },
            body: body === undefined ? undefined : JSON.stringify(body),
            signal: AbortSignal.timeout(20_000) });
        const text = await r.text();
        let json;
        try { json = JSON.parse(text); } catch { json = undefined; }
        return { status: r.status, json, text };
    }

    /** One batch of control commands through kelvo-web; kelvo's outputs
     *  already show it when this returns. */
    async sim(commands) {
        const r = await this.api("PUT", "/api/sim", commands);
        if (r.status !== 200)
            throw new Error(`PUT /api/sim ${JSON.stringify(commands)}: ${r.status} ${r.text}`);
        return r.json;
    }

    matterArgs(extra = []) {
        return ["--web", this.url, "--id", this.id, "--port", String(this.matterPort),
            "--storage", this.storage, ...extra];
    }

    /** kelvo-matter on a free UDP port (the same one on later starts). */
    async startMatter(extra = [], { commissionable } = {}) {
        this.matterPort ??= await freeUdpPort();
        this.matter = this.runMatter(this.matterArgs(extra));
        const m = await this.matter.line(/^kelvo-matter: listening on (\S+) port (\d+)/);
        this.matterAddress = m[1];
        if (Number(m[2]) !== this.matterPort)
            throw new Error(`kelvo-matter listens on port ${m[2]}, not ${this.matterPort}`);
        if (commissionable)
            this.pairingCode = (await this.matter.line(
                /^kelvo-matter: manual pairing code: (\d{11})$/))[1];
        return this.matter;
    }

    runMatter(args) {
        const argv = /\.m?js$/.test(MATTER) ? [process.execPath, ...launcherArgs(), MATTER] : [MATTER];
        return this.spawn("kelvo-matter", [...argv, ...args]);
    }

    async stopMatter() {
        return this.matter?.stop();
    }

    async close() {
        for (const p of [...this.procs].reverse())
            await p.stop();
        fs.rmSync(this.root, { recursive: true, force: true });
    }
}

/** The whole stack: kelvo, kelvo-web and a commissionable kelvo-matter. */
export async function startStack(rig, extra = []) {
    await rig.startKelvo();
    await rig.startWeb();
    await rig.startMatter(extra, { commissionable: true });
}

let environmentReady = false;
function controllerEnvironment(storage) {
    const env = Environment.default;
    if (!environmentReady) {
        env.vars.set("storage.path", storage);
        // mDNS, which the controller starts anyway, stays on loopback.
        env.vars.set("mdns.networkInterface", "lo");
        env.vars.set("mdns.ipv4", true);
        Logger.level = process.env.MATTER_LOG ? LogLevel.DEBUG : LogLevel.ERROR;
        environmentReady = true;
    }
    return env;
}

/** matter.js's commissioning controller, on loopback, with storage of its
 *  own under `storage` (one directory per process). */
export class Controller {
    constructor(storage, id = "ctl") {
        this.storage = storage;
        this.id = id;
    }

    async start() {
        this.ctl = new CommissioningController({
            environment: { environment: controllerEnvironment(this.storage), id: this.id },
            autoConnect: false,
            adminFabricLabel: "kelvo tests",
            listeningAddressIpv4: "127.0.0.1",
            listeningAddressIpv6: "::1",
        });
        await this.ctl.start();
        // mDNS crosses loopback only with multicast and routes on lo (the
        // README's recipe, which needs root; loopback.test.mjs applies it
        // in a namespace and commissions without this), so here the
        // device's operational address is the one it was commissioned on,
        // given to every peer that has none.
        this.ctl.node.env.get(PeerSet).added.on(peer => {
            if (this.address && !peer.descriptor.operationalAddress)
                peer.descriptor.operationalAddress = { type: "udp", ...this.address };
        });
        return this;
    }

    /** Commissions the device at address:port with a manual pairing code;
     *  returns the node id. */
    async commission(code, ip, port) {
        const { shortDiscriminator, passcode } = ManualPairingCodeCodec.decode(code);
        this.address = { ip, port };
        this.nodeId = await this.ctl.commissionNode({
            commissioning: {
                regulatoryLocation: GeneralCommissioning.RegulatoryLocationType.IndoorOutdoor,
                regulatoryCountryCode: "XX",
            },
            discovery: {
                knownAddress: { ip, port, type: "udp" },
                identifierData: { shortDiscriminator },
                discoveryCapabilities: { onIpNetwork: true },
            },
            passcode,
        }, { connectNodeAfterCommissioning: false });
        return this.nodeId;
    }

    /** Connects (subscribing to everything) and waits until the node's
     *  structure is known. */
    async connect(nodeId = this.nodeId, options = {}) {
        this.node = await this.ctl.connectNode(NodeId(nodeId), {
            autoSubscribe: true, subscribeMinIntervalFloorSeconds: 0,
            subscribeMaxIntervalCeilingSeconds: 60, ...options });
        await this.node.events.initialized;
        return this.node;
    }

    /** The cluster client of `cluster` on endpoint `ep`. */
    cluster(cluster, ep = 1) {
        const dev = ep === 0 ? this.node.getRootEndpoint() : this.node.getDeviceById(ep);
        const c = dev?.getClusterClient(cluster);
        if (!c)
            throw new Error(`no ${cluster.name} on endpoint ${ep}`);
        return c;
    }

    /** A fresh read from the device (not the cache). */
    async read(cluster, attr, ep = 1) {
        return this.cluster(cluster, ep).attributes[attr].get(true);
    }

    async write(cluster, attr, value, ep = 1) {
        return this.cluster(cluster, ep).attributes[attr].set(value);
    }

    /** Whether the controller holds a session with the device that is
     *  not closing: one the device has closed is gone from its list. */
    hasSession(nodeId = this.nodeId) {
        const sessions = this.ctl.node.env.get(SessionManager).sessions;
        return [...sessions].some(s => s.peerNodeId === nodeId && !s.isClosing);
    }

    async close() {
        await this.ctl?.close();
    }
}
export * as clusters from "@matter/main/clusters";
