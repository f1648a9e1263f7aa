/*
 * What one store cycle costs next to the bare file operations it cannot
 * avoid (read the document, write a temporary file, rename it over the
 * document), and what a whole simulation tick and a publish cost.
 * BM_BareTick is those operations three times and a 1 ms pause, the file
 * work a tick at pm_interval 1 cannot do without at that pace; its CPU
 * time is the anchor bench/tick_rate.sh sets kelvo's CPU per tick beside.
 * The ...Modern rows are the same for a modern thermostat in AUTO, whose
 * document and outputs object carry the band, preset, call and humidity.
 *
 *   build/bench/bench_store [--benchmark_filter=...]
 *
 * The document lives in a scratch directory under /tmp.
 */
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "dbXML.h"
#include "kelvo.h"
#include "thermodyn.h"
#include "xml2pps.h"

static std::string scratch;

static void
setup_document()
{
	if (scratch.empty()) {
		char tmpl[] = "/tmp/kelvo-bench-XXXXXX";
		scratch = mkdtemp(tmpl);
	}
	snprintf(xml_fname, sizeof(xml_fname), "%s/kelvoweb.xml",
	    scratch.c_str());
	Verbose = 0;
	pm_minutes = 2;
	delete new dbXML(xml_fname, true);
}

/* Read the document, write it to a temporary file, rename that over it. */
static bool
bare_file_operations(const std::string &tmp)
{
	char buf[4096];
	int fd = open(xml_fname, O_RDONLY);
	ssize_t n = read(fd, buf, sizeof(buf));
	close(fd);
	fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
	bool ok = n > 0 && write(fd, buf, (size_t)n) == n;
	close(fd);
	return rename(tmp.c_str(), xml_fname) == 0 && ok;
}

static void
BM_BareFileOperations(benchmark::State &state)
{
	setup_document();
	std::string tmp = std::string(xml_fname) + ".tmp";
	for (auto _ : state)
		if (!bare_file_operations(tmp))
			state.SkipWithError("file operations failed");
}
BENCHMARK(BM_BareFileOperations);

static void
BM_BareTick(benchmark::State &state)
{
	setup_document();
	std::string tmp = std::string(xml_fname) + ".tmp";
	struct timespec ms = { 0, 1000000 };
	for (auto _ : state) {
		for (int i = 0; i < 3; i++)
			if (!bare_file_operations(tmp))
				state.SkipWithError("file operations failed");
		nanosleep(&ms, nullptr);
	}
}
BENCHMARK(BM_BareTick)->UseRealTime();

static void
BM_StoreCycle(benchmark::State &state)
{
	setup_document();
	int t = 60;
	for (auto _ : state) {
		db = new dbXML(xml_fname, false);
		benchmark::DoNotOptimize(db->getValStr("ts_mode"));
		benchmark::DoNotOptimize(db->getValFp("td_temp_in_"));
		db->setValInt("ts_temp", 60 + (t++ % 30));
		db->setValStr("td_sys", "ON");
		delete db;
	}
}
BENCHMARK(BM_StoreCycle);

static void
BM_SimulationTick(benchmark::State &state)
{
	setup_document();
	for (auto _ : state)
		thermodyn_tick();
}
BENCHMARK(BM_SimulationTick);

static void
BM_PublishCycle(benchmark::State &state)
{
	static char values[KC_ATTRS][KC_VALUE_LEN];
	static char text[KC_TEXT_LEN];
	setup_document();
	for (auto _ : state) {
		db = new dbXML(xml_fname, false);
		pps_values(db, values);
		delete db;
		benchmark::DoNotOptimize(pps_text(values, text, sizeof(text)));
	}
}
BENCHMARK(BM_PublishCycle);

/* The default document made a modern thermostat's, in AUTO. */
static void
setup_modern_document()
{
	setup_document();
	dbXML *d = new dbXML(xml_fname, false);
	sim_apply(d, "profile", "modern");
	sim_apply(d, "ts_mode", "AUTO");
	delete d;
}

static void
BM_SimulationTickModern(benchmark::State &state)
{
	setup_modern_document();
	for (auto _ : state)
		thermodyn_tick();
}
BENCHMARK(BM_SimulationTickModern);

/* As the publisher does it for either profile: every value it has. */
static void
BM_PublishCycleModern(benchmark::State &state)
{
	static char values[KC_ATTRS_MODERN][KC_VALUE_LEN];
	static char text[KC_TEXT_LEN];
	setup_modern_document();
	for (auto _ : state) {
		db = new dbXML(xml_fname, false);
		int n = pps_values_all(db, values);
		delete db;
		benchmark::DoNotOptimize(pps_text_n(values, n, text,
		    sizeof(text)));
	}
}
BENCHMARK(BM_PublishCycleModern);

static void
BM_EventScan(benchmark::State &state)
{
	const char text[] = "@inputs\nbtn1::event\nbtn2::\nbtn3::event\nbtn4::\n";
	char names[PPS_MAX_EVENTS][5];
	for (auto _ : state)
		benchmark::DoNotOptimize(event_scan(text, names, PPS_MAX_EVENTS));
}
BENCHMARK(BM_EventScan);

int
main(int argc, char **argv)
{
	benchmark::Initialize(&argc, argv);
	benchmark::RunSpecifiedBenchmarks();
	benchmark::Shutdown();
	if (!scratch.empty()) {
		std::string cmd = "rm -rf '" + scratch + "'";
		if (system(cmd.c_str()) != 0)
			return 1;
	}
	return 0;
}
