// web.ts - kelvo-web's client: kelvo's state from its event stream, and
// the three targets (set point, mode, fan) put to it.
//
// The stream is the one source of what kelvo shows: `state` on every
// publication and `status` when kelvo starts or stops.  It is held open
// and opened again by itself, after a second and then up to five between
// tries, when kelvo-web goes away or stops answering (it sends a comment
// at least every 10 s, so 25 s of nothing is a dead connection).
//
// Everything kelvo-web says is untrusted: lines and answers are bounded in
// size, JSON is checked for the types used, and a request that takes too
// long is given up.  A target is only reported done when kelvo-web took it
// (202); anything else is an error for the caller.
import http from "node:http";
import https from "node:https";
import type { components } from "@gen/api.js";
import { log } from "./log.js";

export type State = components["schemas"]["State"];

const MAX_LINE = 64 * 1024;		// one SSE line
const MAX_ANSWER = 16 * 1024;		// one answer to a PUT
const PUT_TIMEOUT_MS = 5000;		// kelvo-web answers within its own 2 s
const QUIET_MS = 25_000;		// no byte for this long: reconnect
const RETRY_MIN_MS = 1000;
const RETRY_MAX_MS = 5000;

export interface WebEvents {
	state(state: State): void;
	/** kelvo running and kelvo-web reachable, or not. */
	available(up: boolean): void;
}

export class WebError extends Error {}

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
	 * opened again and when a target is taken, as a write may leave the
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
	 * Puts a target (`setpoint`, `mode` or `fan`) to kelvo-web; resolves
	 * when kelvo-web took it, rejects with why not otherwise.
	 */
	put(what: "setpoint" | "mode" | "fan", value: number | string): Promise<void> {
		const away = this.away;
		if (away !== undefined)
			return Promise.reject(new WebError(away));
		const body = JSON.stringify({ value });
		const url = new URL(`api/${what}`, this.#base);
		return new Promise((resolve, reject) => {
			const req = this.#client().request(url, {
				method: "PUT",
				headers: this.#headers({ "Content-Type": "application/json", "Content-Length": String(Buffer.byteLength(body)) }),
				timeout: PUT_TIMEOUT_MS,
			});
			req.on("timeout", () => req.destroy(new WebError(`kelvo-web did not answer in ${PUT_TIMEOUT_MS / 1000} s`)));
			req.on("error", (e) => reject(e instanceof WebError ? e : new WebError(`kelvo-web: ${e.message}`)));
			req.on("response", (res) => {
				let answer = "";
				res.setEncoding("utf8");
				res.on("data", (c: string) => {
					answer += c;
					if (answer.length > MAX_ANSWER)
						req.destroy(new WebError("kelvo-web's answer is too long"));
				});
				res.on("end", () => {
					if (res.statusCode === 202) {
						this.#lastState = undefined;
						resolve();
					}
					else
						reject(new WebError(`kelvo-web refused ${what} ${value}: ${res.statusCode} ${reason(answer)}`));
				});
			});
			req.end(body);
		});
	}
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
