// log.ts - one line per event on standard error, floods summarised, as
// kelvo's other faces write them.
//
// A kind of event is named by the caller (a short constant).  The first
// line of a kind is written at once; more of that kind within a second are
// counted, and when the second is over one line gives the last of them and
// how many there were: "kelvo-matter: text (N like this in S s)".  A kind
// quiet for a second is written at once again.  Control characters become
// '?', so that text from kelvo-web or a controller cannot make lines of its
// own.

const GAP_MS = 1000;
const MAX_LINE = 512;
const NAME = "kelvo-matter";

interface Kind { since: number; held: number; last: string }

const kinds = new Map<string, Kind>();
let timer: NodeJS.Timeout | undefined;

function put(text: string, tail = ""): void {
	process.stderr.write(`${NAME}: ${text}${tail}\n`);
}

function summarise(k: Kind, now: number): void {
	put(k.last, k.held > 1 ? ` (${k.held} like this in ${((now - k.since) / 1000).toFixed(1)} s)` : "");
	k.held = 0;
	k.since = now;
}

/** Kinds whose second is over give their count, or go. */
function due(now: number, all: boolean): void {
	for (const [name, k] of kinds) {
		if (!all && now - k.since < GAP_MS)
			continue;
		if (k.held > 0)
			summarise(k, now);
		else
			kinds.delete(name);
	}
	if (kinds.size === 0 && timer !== undefined) {
		clearInterval(timer);
		timer = undefined;
	}
}

export function clean(text: string): string {
	// eslint-disable-next-line no-control-regex
	return text.replace(/[\u0000-\u001f\u007f]/g, "?").slice(0, MAX_LINE);
}

/** One event's line; `kind` groups the lines that a flood is made of. */
export function log(kind: string, text: string): void {
	const now = Date.now();
	const line = clean(text);
	due(now, false);
	const k = kinds.get(kind);
	if (k !== undefined) {
		k.held++;
		k.last = line;
		return;
	}
	kinds.set(kind, { since: now, held: 0, last: line });
	put(line);
	// Counts are given when their second is over, flood or not; the timer
	// does not keep the process alive.
	if (timer === undefined) {
		timer = setInterval(() => due(Date.now(), false), GAP_MS);
		timer.unref();
	}
}

/** Every count held back, before exiting. */
export function logEnd(): void {
	due(Date.now(), true);
}
