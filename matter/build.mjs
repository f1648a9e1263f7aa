#!/usr/bin/env node
// Builds kelvo-matter into one file that Debian's nodejs runs:
//
//   node build.mjs --openapi web/openapi.json --out DIR [--tests]
//
// 1. From kelvo-web's OpenAPI document, DIR/gen/api.ts (its types, by
//    openapi-typescript) and DIR/gen/contract.ts (the set-point limits, the
//    deadband, the humidity's limits, the value texts, and the presets'
//    names and bands, read out of the same document), so that the face
//    types none of kelvo's rules by hand and a change of the contract that
//    breaks it fails here.
// 2. tsc --noEmit over the sources, the tests and the generated modules.
// 3. esbuild: DIR/kelvo-matter.js, one file with a #!/usr/bin/node line;
//    with --tests also DIR/test/*.test.js for `node --test`.
//
// matter.js's storage imports bun:sqlite and node:sqlite, which Node 20
// does not have; they are stood in by an empty module, and the file
// storage is what runs.
import { execFileSync } from "node:child_process";
import { mkdirSync, readFileSync, readdirSync, writeFileSync, chmodSync } from "node:fs";
import { dirname, join, relative, resolve } from "node:path";
import { fileURLToPath, pathToFileURL } from "node:url";
import { parseArgs } from "node:util";

const here = dirname(fileURLToPath(import.meta.url));

function fail(message) {
	process.stderr.write(`build.mjs: ${message}\n`);
	process.exit(1);
}

const { values: opts } = parseArgs({
	options: {
		openapi: { type: "string" },
		out: { type: "string" },
		tests: { type: "boolean", default: false },
	},
});
if (!opts.openapi || !opts.out)
	fail("usage: node build.mjs --openapi FILE --out DIR [--tests]");
const out = resolve(opts.out);
const gen = join(out, "gen");
mkdirSync(gen, { recursive: true });

// Step into the document by keys, failing with the path that is missing,
// so that a renamed or retyped piece of the contract says which.
function at(doc, ...keys) {
	let v = doc;
	for (const k of keys) {
		if (v === null || typeof v !== "object" || !(k in v))
			fail(`${opts.openapi}: no ${keys.join(" / ")} (needed by kelvo-matter)`);
		v = v[k];
	}
	return v;
}

function texts(list, what) {
	if (!Array.isArray(list) || list.length === 0)
		fail(`${opts.openapi}: ${what} is not a list of texts`);
	const strings = list.filter((v) => v !== null);
	if (!strings.every((v) => typeof v === "string"))
		fail(`${opts.openapi}: ${what} is not a list of texts`);
	return strings;
}

async function generate() {
	const doc = JSON.parse(readFileSync(opts.openapi, "utf8"));
	const { default: openapiTS, astToString } = await import("openapi-typescript");
	const ast = await openapiTS(pathToFileURL(resolve(opts.openapi)));
	writeFileSync(join(gen, "api.ts"),
	    "// Generated from kelvo-web's OpenAPI document by build.mjs.\n" + astToString(ast));

	const put = (p) => at(doc, "paths", p, "put");
	const value = at(put("/api/setpoint"), "requestBody", "content",
	    "application/json", "schema", "properties", "value");
	const min = at(value, "minimum"), max = at(value, "maximum");
	if (!Number.isInteger(min) || !Number.isInteger(max) || min >= max)
		fail(`${opts.openapi}: /api/setpoint's value has no whole minimum and maximum`);
	const target = (p) => texts(at(put(p), "responses", "202", "content",
	    "application/json", "schema", "properties", "target", "enum"), `${p}'s target`);
	const plant = texts(at(doc, "components", "schemas", "State", "properties",
	    "plant", "enum"), "State's plant");
	// The deadband is what keeps ts_temp_low's highest below the limit.
	const low = at(doc, "components", "schemas", "SimCommands", "properties", "ts_temp_low");
	const deadband = max - at(low, "maximum");
	if (!Number.isInteger(deadband) || deadband <= 0 || at(low, "minimum") !== min)
		fail(`${opts.openapi}: SimCommands' ts_temp_low gives no deadband within ${min}..${max}`);
	const humidity = at(doc, "components", "schemas", "State", "properties", "td_humidity_");
	const hmin = at(humidity, "minimum"), hmax = at(humidity, "maximum");
	if (typeof hmin !== "number" || typeof hmax !== "number" || hmin < 0 || hmax > 100 || hmin >= hmax)
		fail(`${opts.openapi}: State's td_humidity_ has no limits within 0..100`);
	const preset = at(doc, "components", "schemas", "SimCommands", "properties", "preset");
	const presets = texts(at(preset, "enum"), "SimCommands' preset");
	// Each preset's band, as Matter's PresetStruct has its set points.
	const bands = {};
	for (const p of presets) {
		const { low, high } = at(preset, "x-kelvo-presets", p);
		if (!Number.isInteger(low) || !Number.isInteger(high) || low < min || high > max || high - low < deadband)
			fail(`${opts.openapi}: x-kelvo-presets' ${p} has no band within ${min}..${max}`);
		bands[p] = { low, high };
	}
	const list = (l) => JSON.stringify(l);
	writeFileSync(join(gen, "contract.ts"), [
		"// Generated from kelvo-web's OpenAPI document by build.mjs: kelvo's",
		"// set-point limits, deadband, humidity limits, value texts and presets'",
		"// bands, as the contract states them.",
		`export const SETPOINT_MIN = ${min};`,
		`export const SETPOINT_MAX = ${max};`,
		`export const MODES = ${list(target("/api/mode"))} as const;`,
		`export const FANS = ${list(target("/api/fan"))} as const;`,
		`export const PLANTS = ${list(plant)} as const;`,
		`export const DEADBAND = ${deadband};`,
		`export const HUMIDITY_MIN = ${hmin};`,
		`export const HUMIDITY_MAX = ${hmax};`,
		`export const PRESETS = ${list(presets)} as const;`,
		`export const PRESET_BANDS = ${JSON.stringify(bands)} as const;`,
		"",
	].join("\n"));
}

// A tsconfig beside the generated modules: the sources' own, with "@gen/*"
// pointing here, for tsc and esbuild alike.
function writeTsconfig() {
	const file = join(out, "tsconfig.json");
	const rel = (p) => relative(out, p) || ".";
	writeFileSync(file, JSON.stringify({
		extends: rel(join(here, "tsconfig.json")),
		compilerOptions: { paths: { "@gen/*": ["./gen/*"] }, typeRoots: [rel(join(here, "node_modules/@types"))] },
		include: [rel(join(here, "src")) + "/**/*.ts", rel(join(here, "test")) + "/**/*.ts", "gen/*.ts"],
	}, null, 2) + "\n");
	return file;
}

function typecheck(tsconfig) {
	try {
		execFileSync(process.execPath, [join(here, "node_modules/typescript/bin/tsc"),
		    "--noEmit", "-p", tsconfig], { stdio: "inherit" });
	} catch {
		fail("type check failed");
	}
}

// bun:sqlite and node:sqlite, imported only by a storage driver that is
// never chosen here, resolve to a module with nothing in it (CommonJS, so
// that the names imported from it are not checked).
const noSqlite = {
	name: "no-sqlite",
	setup(build) {
		build.onResolve({ filter: /^(bun|node):sqlite$/ }, (a) => ({ path: a.path, namespace: "no-sqlite" }));
		build.onLoad({ filter: /.*/, namespace: "no-sqlite" }, () => ({ contents: "module.exports = {};", loader: "js" }));
	},
};

/**
 * V8's limit on the old generation, on the launcher's #! line (Linux
 * passes what follows the interpreter as one argument).  V8 lets the heap
 * grow towards its limit before it collects hard, and its default limit
 * is far above what matter.js's sessions, subscriptions and caches need;
 * at this bound kelvo-matter stays under 192 MB resident over hours of
 * writes (BENCHMARKS.md).  The systemd unit gives node the same.
 */
const HEAP = "--max-old-space-size=96";

async function bundle(tsconfig) {
	const esbuild = await import("esbuild");
	const common = {
		bundle: true, platform: "node", target: "node20", format: "esm",
		tsconfig, plugins: [noSqlite], logLevel: "warning", legalComments: "none",
		// Some of matter.js's dependencies are CommonJS and require() Node's
		// own modules, which an ES module has no require for.
		banner: { js: "import { createRequire as __kelvoRequire } from 'node:module';" +
		    "const require = __kelvoRequire(import.meta.url);" },
	};
	await esbuild.build({
		...common, entryPoints: [join(here, "src/main.ts")], outfile: join(out, "kelvo-matter.js"),
		banner: { js: `#!/usr/bin/node ${HEAP}\n` + common.banner.js },
	});
	chmodSync(join(out, "kelvo-matter.js"), 0o755);
	if (opts.tests) {
		const tests = readdirSync(join(here, "test")).filter((f) => f.endsWith(".test.ts"));
		await esbuild.build({
			...common, entryPoints: tests.map((f) => join(here, "test", f)),
			outdir: join(out, "test"), outExtension: { ".js": ".mjs" },
		});
	}
}

await generate();
const tsconfig = writeTsconfig();
typecheck(tsconfig);
await bundle(tsconfig);
