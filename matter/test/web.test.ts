// kelvo-web's client against a stand-in kelvo-web on loopback that sends
// what a broken or hostile server might: every bad event is dropped
// without a crash, the good ones around it still arrive, and every answer
// to a batch is judged for what it says: applied, not applied, or unknown.
import assert from "node:assert/strict";
import http from "node:http";
import type { AddressInfo } from "node:net";
import { after, before, describe, test } from "node:test";
import { judge, NotApplied, Refused, Unknown, Web } from "../src/web.js";

let server: http.Server;
let base: URL;
let stream: http.ServerResponse | undefined;
let answer = { status: 200, body: '{"state": "paused"}' };
const bodies: string[] = [];
const auth: (string | undefined)[] = [];

before(async () => {
	server = http.createServer((req, res) => {
		auth.push(req.headers.authorization);
		if (req.url === "/api/events") {
			res.writeHead(200, { "Content-Type": "text/event-stream" });
			stream = res;
			return;
		}
		let body = "";
		req.setEncoding("utf8");
		req.on("data", (c: string) => { body += c; });
		req.on("end", () => {
			bodies.push(`${req.method} ${req.url} ${body}`);
			res.writeHead(answer.status).end(answer.body);
		});
	});
	await new Promise<void>((r) => server.listen(0, "127.0.0.1", r));
	base = new URL(`http://127.0.0.1:${(server.address() as AddressInfo).port}/`);
});
after(() => { server.closeAllConnections(); server.close(); });

/** Resolves with what `pick` finds, or fails after a bounded wait. */
function until<T>(pick: () => T | undefined, what: string): Promise<T> {
	return new Promise((resolve, reject) => {
		let n = 0;
		const t = setInterval(() => {
			const v = pick();
			if (v !== undefined) { clearInterval(t); resolve(v); }
			else if (++n > 500) { clearInterval(t); reject(new Error(`no ${what}`)); }
		}, 10);
	});
}

describe("kelvo-web client", () => {
	const states: unknown[] = [];
	let up: boolean | undefined;
	let web: Web;

	before(async () => {
		web = new Web(base, "t".repeat(16), { state: (s) => states.push(s), available: (a) => { up = a; } });
		web.start();
		await until(() => stream, "stream");
	});
	after(() => web.stop());

	test("bad events are dropped, good ones around them arrive", async () => {
		stream?.write("event: status\ndata: {\"running\": \"yes\"}\n\n");
		stream?.write("event: state\ndata: not json\n\n: a comment\n\n");
		stream?.write("event: state\ndata: [1, 2]\n\n");
		stream?.write("event: status\r\ndata: {\"running\": true}\r\n\r\n");
		stream?.write("event: state\ndata: {\"ts_temp\": 70}\n\n");
		await until(() => states.length || undefined, "state");
		assert.deepEqual(states, [{ ts_temp: 70 }]);
		assert.equal(up, true);
		assert.equal(auth[0], `Bearer ${"t".repeat(16)}`);
	});

	test("a batch goes as PUT /api/sim; applied, refused and unanswered are told apart", async () => {
		bodies.length = 0;
		await web.apply({ press: ["up", "up"] });
		assert.deepEqual(bodies, ['PUT /api/sim {"press":["up","up"]}']);
		answer = { status: 400, body: '{"error": "ts_temp must be from 60 to 90"}' };
		await assert.rejects(web.apply({ ts_temp: 91 }), (e: Error) => e instanceof NotApplied && /refused it: ts_temp must be/.test(e.message));
		answer = { status: 504, body: '{"error": "kelvo did not answer within 2 s: the batch may yet be taken"}' };
		await assert.rejects(web.apply({ ts_mode: "HEAT" }), Unknown);
		answer = { status: 200, body: "x".repeat(64 * 1024) };
		await assert.rejects(web.apply({ ts_fan: "ON" }), Unknown);
		answer = { status: 200, body: '{"state": "paused"}' };
	});

	test("every status is judged: only 200 is applied, only 504 and the unexpected are unknown", () => {
		assert.equal(judge(200, ""), undefined);
		for (const s of [400, 401, 403, 413, 429, 500, 503])
			assert.ok(judge(s, "why") instanceof NotApplied, String(s));
		for (const s of [202, 204, 302, 502, 504, 0, 600])
			assert.ok(judge(s, "") instanceof Unknown, String(s));
		assert.match((judge(503, "kelvo is not running") as Error).message, /kelvo is not running \(503\)/);
		// Only kelvo's own refusal is one of the value (a constraint error to a controller).
		assert.ok(judge(400, "why") instanceof Refused);
		for (const s of [401, 403, 413, 429, 500, 503])
			assert.ok(!(judge(s, "why") instanceof Refused), String(s));
	});

	test("a state sent again as it was is passed over, until a batch is applied", async () => {
		states.length = 0;
		stream?.write("event: state\ndata: {\"ts_temp\": 71}\n\n");
		stream?.write("event: state\ndata: {\"ts_temp\": 71}\n\n");
		stream?.write("event: state\ndata: {\"ts_temp\": 72}\n\n");
		stream?.write("event: state\ndata: {\"ts_temp\": 72}\n\n");
		await until(() => (states.length >= 2 ? true : undefined), "two states");
		await web.apply({ ts_temp: 72 });
		stream?.write("event: state\ndata: {\"ts_temp\": 72}\n\n");
		stream?.write("event: state\ndata: {\"ts_temp\": 73}\n\n");
		await until(() => (states.length >= 4 ? true : undefined), "states after the target");
		assert.deepEqual(states, [{ ts_temp: 71 }, { ts_temp: 72 }, { ts_temp: 72 }, { ts_temp: 73 }]);
	});

	test("an endless line drops the stream, which is opened again, and writes fail meanwhile", async () => {
		const first = stream;
		stream?.write("data: " + "x".repeat(70 * 1024));
		await until(() => (up === false ? true : undefined), "unavailable");
		await assert.rejects(web.apply({ ts_temp: 70 }), (e: Error) => e instanceof NotApplied && /cannot be reached|not running/.test(e.message));
		await until(() => (stream !== first ? true : undefined), "new stream");
	});
});
