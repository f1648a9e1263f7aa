// kelvo-web's client against a stand-in kelvo-web on loopback that sends
// what a broken or hostile server might: every bad event is dropped
// without a crash, the good ones around it still arrive, and a refused or
// overlong answer to a target is an error that says why.
import assert from "node:assert/strict";
import http from "node:http";
import type { AddressInfo } from "node:net";
import { after, before, describe, test } from "node:test";
import { Web, WebError } from "../src/web.js";

let server: http.Server;
let base: URL;
let stream: http.ServerResponse | undefined;
let answer = { status: 202, body: '{"target": 70}' };
const auth: (string | undefined)[] = [];

before(async () => {
	server = http.createServer((req, res) => {
		auth.push(req.headers.authorization);
		if (req.url === "/api/events") {
			res.writeHead(200, { "Content-Type": "text/event-stream" });
			stream = res;
			return;
		}
		req.resume();
		req.on("end", () => res.writeHead(answer.status).end(answer.body));
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

	test("a target taken resolves; refused or overlong answers reject with why", async () => {
		await web.put("setpoint", 70);
		answer = { status: 503, body: '{"error": "kelvo is not running"}' };
		await assert.rejects(web.put("mode", "HEAT"), (e: Error) => e instanceof WebError && /503 kelvo is not running/.test(e.message));
		answer = { status: 202, body: "x".repeat(64 * 1024) };
		await assert.rejects(web.put("fan", "ON"), WebError);
	});

	test("a state sent again as it was is passed over, until a target is taken", async () => {
		answer = { status: 202, body: '{"target": 71}' };
		states.length = 0;
		stream?.write("event: state\ndata: {\"ts_temp\": 71}\n\n");
		stream?.write("event: state\ndata: {\"ts_temp\": 71}\n\n");
		stream?.write("event: state\ndata: {\"ts_temp\": 72}\n\n");
		stream?.write("event: state\ndata: {\"ts_temp\": 72}\n\n");
		await until(() => (states.length >= 2 ? true : undefined), "two states");
		await web.put("setpoint", 72);
		stream?.write("event: state\ndata: {\"ts_temp\": 72}\n\n");
		stream?.write("event: state\ndata: {\"ts_temp\": 73}\n\n");
		await until(() => (states.length >= 4 ? true : undefined), "states after the target");
		assert.deepEqual(states, [{ ts_temp: 71 }, { ts_temp: 72 }, { ts_temp: 72 }, { ts_temp: 73 }]);
	});

	test("an endless line drops the stream, which is opened again, and writes fail meanwhile", async () => {
		const first = stream;
		stream?.write("data: " + "x".repeat(70 * 1024));
		await until(() => (up === false ? true : undefined), "unavailable");
		await assert.rejects(web.put("setpoint", 70), /cannot be reached|not running/);
		await until(() => (stream !== first ? true : undefined), "new stream");
	});
});
