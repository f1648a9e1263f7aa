/*
 * What the model costs without the document: one tick of a world in
 * memory, and the published texts made from it, for a classic thermostat
 * and a modern one (in its default mode, and in AUTO with the band).
 * This is the part of a tick kelvo and kelvo-fleet share; the daemon's
 * whole tick, with its store cycles, is bench_store's BM_SimulationTick.
 *
 *   build/bench/bench_model [--benchmark_filter=...]
 *
 * Each world ticks on from where the last iteration left it, so a run
 * goes through days of the outdoor ramp, the plant switching on and off
 * and, in modern, the humidity following both.
 */
#include <benchmark/benchmark.h>

#include "contract.h"
#include "model.h"

enum { CLASSIC, MODERN, MODERN_AUTO };

static void
world_of(int kind, struct km_world *w)
{
	km_reset(w);
	if (kind == CLASSIC)
		return;
	km_profile(w, KC_PROFILE_MODERN);
	if (kind == MODERN_AUTO)
		w->mode = MODE_AUTO;
}

static void
BM_ModelTick(benchmark::State &state, int kind)
{
	struct km_world w;

	world_of(kind, &w);
	for (auto _ : state) {
		km_tick(&w);
		benchmark::DoNotOptimize(w);
	}
}
BENCHMARK_CAPTURE(BM_ModelTick, classic, CLASSIC);
BENCHMARK_CAPTURE(BM_ModelTick, modern, MODERN);
BENCHMARK_CAPTURE(BM_ModelTick, modern_auto, MODERN_AUTO);

/* A tick and the texts a publication makes of it. */
static void
BM_ModelTickAndValues(benchmark::State &state, int kind)
{
	static char values[KC_ATTRS_MODERN][KC_VALUE_LEN];
	struct km_world w;

	world_of(kind, &w);
	for (auto _ : state) {
		km_tick(&w);
		benchmark::DoNotOptimize(km_values_all(&w, values));
	}
}
BENCHMARK_CAPTURE(BM_ModelTickAndValues, classic, CLASSIC);
BENCHMARK_CAPTURE(BM_ModelTickAndValues, modern_auto, MODERN_AUTO);

BENCHMARK_MAIN();
