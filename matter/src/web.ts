// web.ts - kelvo-web's client: kelvo's state from its event stream, and
// the targets (set point or the band's ends, mode, fan, preset) put to it.
//
// The stream is the one source of what kelvo shows: `state` on every
// publication and `status` when kelvo starts or stops.  It is held open
// and opened again by itself, after a second and then up to five between
// tries, when kelvo-web goes away or stops answering (it sends a comment
// at least every 10 s, so 25 s of nothing is a dead connection).
//
// Everything kelvo-web says is untrusted: lines and answers are bounded in
// size, JSON is checked for the types used, and a request that takes too
// long is given up.  A batch is only reported done when kelvo applied it
// (200); otherwise the caller learns whether it is known not to be, or
// whether nobody can tell yet.
import http from "node:http";
import https from "node:https";
import type { components } from "@gen/api.js";
import { log } from "./log.js";

export type State = components["schemas"]["State"];

const MAX_LINE = 64 * 1024;		// one SSE line
const MAX_ANSWER = 16 * 1024;		// one answer to a PUT
const PUT_TIMEOUT_MS = 5000;		// kelvo-web answers within its own limit
const QUIET_MS = 25_000;		// no byte for this long: reconnect
const RETRY_MIN_MS = 1000;
const RETRY_MAX_MS = 5000;

export interface WebEvents {
	state(state: State): void;
	/** kelvo running and kelvo-web reachable, or not. */
	available(up: boolean): void;
}

export class WebError extends Error {}
/** kelvo did not take the batch, and never will. */
export class NotApplied extends WebError {}
/** kelvo itself refused the batch, with its reason (a rule it keeps). */
export class Refused extends NotApplied {}
/** kelvo may have taken the batch, or may yet: nobody here can tell. */
export class Unknown extends WebError {}

/** The control commands kelvo-matter sends: one target, or presses. */
export type Button = "up" | "down";
export type Commands = { ts_temp: number } | { ts_temp_low: number } | { ts_temp_high: number } |
	{ ts_mode: string } | { ts_fan: string } | { preset: string } | { press: Button[] };

export class Web {
	#base: URL;
	#token: string | undefined;
	#events: WebEvents;
	#connected = false;
	#running = false;
	#request: http.ClientRequest | undefined;
	#retry: NodeJS.Timeout | undefined;
	#delay = RETRY_MIN_MS;
	#stopped = false;
	#failing = false;	// said once until the stream is back
	/**
	 * The last state's text as kelvo-web sent it.  kelvo publishes every
	 * period, and while it is paused or settled the same text again and
	 * again: that is passed over unparsed.  Forgotten when the stream is
	 * opened again and when a batch is applied, as a write may leave the
	 * device showing what kelvo's next publication, the same text, puts
	 * right.
	 */
	#lastState: string | undefined;

	constructor(base: URL, token: string | undefined, events: WebEvents) {
		this.#base = base;
		this.#token = token;
		this.#events = events;
	}

	/** Whether a target can be put now: kelvo-web there and kelvo running. */
	get available(): boolean {
		return this.#connected && this.#running;
	}

	/** Why a target cannot be put now, or undefined when it can. */
	get away(): string | undefined {
		if (!this.#connected)
			return "kelvo-web cannot be reached";
		return this.#running ? undefined : "kelvo is not running";
	}

	start(): void {
		this.#open();
	}

	stop(): void {
		this.#stopped = true;
		clearTimeout(this.#retry);
		this.#request?.destroy();
	}

	#headers(extra: Record<string, string> = {}): Record<string, string> {
		const h: Record<string, string> = { ...extra };
		if (this.#token !== undefined)
			h.Authorization = `Bearer ${this.#token}`;
		return h;
	}

	#client(): typeof http | typeof https {
		return this.#base.protocol === "https:" ? https : http;
	}

	#setAvailable(connected: boolean, running: boolean): void {
		const before = this.available;
		this.#connected = connected;
		this.#running = running;
		if (before !== this.available)
			this.#events.available(this.available);
	}

	#open(): void {
		const url = new URL("api/events", this.#base);
		const req = this.#client().get(url, { headers: this.#headers({ Accept: "text/event-stream" }) });
		this.#request = req;
		req.setTimeout(QUIET_MS, () => req.destroy(new Error(`nothing for ${QUIET_MS / 1000} s`)));
		req.on("response", (res) => {
			if (res.statusCode !== 200) {
				if (!this.#failing)
					log("stream-refused", `kelvo-web refused the event stream: ${res.statusCode} ${res.statusMessage ?? ""}`);
				this.#failing = true;
				res.resume();
				req.destroy();
				return;
			}
			log("stream", `connected to kelvo-web at ${this.#base.origin}`);
			this.#delay = RETRY_MIN_MS;
			this.#connected = true;
			this.#failing = false;
			this.#lastState = undefined;
			this.#read(res, req);
		});
		req.on("error", (e) => {
			if (!this.#failing)
				log("stream-error", `kelvo-web at ${this.#base.origin}: ${e.message}; trying again`);
			this.#failing = true;
		});
		req.on("close", () => this.#closed(req));
	}

	#closed(req: http.ClientRequest): void {
		if (this.#request !== req)
			return;
		this.#request = undefined;
		if (this.#stopped)
			return;
		if (this.#connected)
			log("stream", "lost kelvo-web's event stream; connecting again");
		this.#setAvailable(false, this.#running);
		this.#retry = setTimeout(() => this.#open(), this.#delay);
		this.#delay = Math.min(RETRY_MAX_MS, this.#delay + 1000);
	}

	/** Splits the stream into events: "event:" and "data:" lines, a blank line ends one. */
	#read(res: http.IncomingMessage, req: http.ClientRequest): void {
		let pending = "";
		let event = "message", data = "";
		res.setEncoding("utf8");
		res.on("data", (chunk: string) => {
			pending += chunk;
			let nl: number;
			while ((nl = pending.indexOf("\n")) >= 0) {
				const line = pending.slice(0, nl).replace(/\r$/, "");
				pending = pending.slice(nl + 1);
				if (line === "") {
					if (data !== "")
						this.#dispatch(event, data);
					event = "message";
					data = "";
				} else if (line.startsWith("event:")) {
					event = line.slice(6).trim();
				} else if (line.startsWith("data:")) {
					data += (data === "" ? "" : "\n") + line.slice(5).replace(/^ /, "");
				}
				if (data.length > MAX_LINE)
					break;
			}
			if (pending.length > MAX_LINE || data.length > MAX_LINE) {
				log("stream-bad", "kelvo-web sent an event too long to be one; connecting again");
				req.destroy();
			}
		});
	}

	#dispatch(event: string, data: string): void {
		if (event === "state" && data === this.#lastState)
			return;
		let value: unknown;
		try {
			value = JSON.parse(data);
		} catch {
			log("stream-bad", `kelvo-web sent a "${event}" event that is not JSON`);
			return;
		}
		if (event === "status") {
			const running = (value as { running?: unknown } | null)?.running;
			if (typeof running !== "boolean") {
				log("stream-bad", "kelvo-web sent a status without running");
				return;
			}
			if (running !== this.#running)
				log("kelvo", running ? "kelvo is running" : "kelvo is not running");
			this.#setAvailable(true, running);
		} else if (event === "state") {
			if (value === null || typeof value !== "object" || Array.isArray(value)) {
				log("stream-bad", "kelvo-web sent a state that is not an object");
				return;
			}
			this.#lastState = data;
			this.#events.state(value as State);
		}
	}

	/**
	 * Sends one batch of control commands through kelvo-web's synchronous
	 * road, PUT /api/sim: resolves once kelvo applied it (200, its outputs
	 * already show it).  A rejection says what is known: NotApplied when
	 * kelvo did not take it (refused with its reason, not running, never
	 * sent), Unknown when it may yet have been taken (no answer within the
	 * limit, or the connection lost after the batch went out).
	 */
	apply(commands: Commands): Promise<void> {
		const away = this.away;
		if (away !== undefined)
			return Promise.reject(new NotApplied(away));
		const body = JSON.stringify(commands);
		const url = new URL("api/sim", this.#base);
		return new Promise((resolve, reject) => {
			let sent = false;
			const req = this.#client().request(url, {
				method: "PUT",
				headers: this.#headers({ "Content-Type": "application/json", "Content-Length": String(Buffer.byteLength(body)) }),
				timeout: PUT_TIMEOUT_MS,
			});
			req.on("finish", () => { sent = true; });
			req.on("timeout", () => req.destroy(new Unknown(`kelvo-web did not answer within ${PUT_TIMEOUT_MS / 1000} s: the batch may yet be taken`)));
			req.on("error", (e) => {
				if (e instanceof WebError)
					reject(e);
				else if (sent)
					reject(new Unknown(`kelvo-web: ${e.message} after the batch was sent: it may yet be taken`));
				else
					reject(new NotApplied(`kelvo-web: ${e.message}`));
			});
			req.on("response", (res) => {
				let answer = "";
				res.setEncoding("utf8");
				res.on("data", (c: string) => {
					answer += c;
					if (answer.length > MAX_ANSWER)
						req.destroy(new Unknown("kelvo-web's answer is too long to be one: the batch may have been taken"));
				});
				res.on("end", () => {
					const outcome = judge(res.statusCode ?? 0, reason(answer));
					if (outcome === undefined) {
						this.#lastState = undefined;
						resolve();
					} else {
						reject(outcome);
					}
				});
			});
			req.end(body);
		});
	}
}

/**
 * What an answer of kelvo-web to PUT /api/sim says of the batch: undefined
 * when applied.  504 (kelvo took nothing within kelvo-web's limit, but may
 * yet) and any answer kelvo-web does not give there leave the outcome
 * open; its refusals (400 with kelvo's reason, 503 not running, 500 the
 * control object not written, and the rest of 4xx) are given before or
 * instead of sending.
 */
export function judge(status: number, why: string): WebError | undefined {
	if (status === 200)
		return undefined;
	const text = why === "" ? `kelvo-web answered ${status}` : why;
	if (status === 504)
		return new Unknown(`kelvo did not answer in time: the batch may yet be taken`);
	if (status < 400 || status > 599 || status === 502)
		return new Unknown(`${text} (${status}): whether kelvo took the batch is unknown`);
	if (status === 400)
		return new Refused(`kelvo refused it: ${text}`);
	return new NotApplied(`${text} (${status})`);
}

/** The "error" of a refusal, or nothing. */
function reason(answer: string): string {
	try {
		const e = (JSON.parse(answer) as { error?: unknown }).error;
		return typeof e === "string" ? e.slice(0, 200) : "";
	} catch {
		return "";
	}
}
