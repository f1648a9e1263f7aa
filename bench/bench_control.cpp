/*
 * Figures of the control object on a running kelvo: batch to sim object,
 * long steps to their published result, and a paused kelvo's idle CPU
 * beside a running one's.
 *
 *   build/bench/bench_control [path/to/kelvo] [batches] [idle-seconds]
 *
 * A batch is a whole control text renamed into place, as kelvo-ctl
 * writes it; its time runs until the sim object counts it.  Batches are
 * a random 0-200 ms apart so they land anywhere in the period.  A step's
 * time runs until the outputs object shows the clock it ends on.
 */
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "benchutil.h"

static std::string
attr(const std::string &path, const std::string &name)
{
	std::string t = slurp(path), key = "\n" + name + "::";
	size_t a = t.find(key);
	if (a == std::string::npos)
		return "";
	a += key.size();
	return t.substr(a, t.find('\n', a) - a);
}

static std::string pps, control, sim, outputs;

/* Writes one batch; ms until the sim object counts it. */
static double
batch(const std::string &lines, const std::string &until_time = "")
{
	long before = atol(attr(sim, "batch").c_str());
	std::string tmp = control + ".new";
	std::ofstream(tmp) << "@control\n" << lines;
	double t0 = now_ms();
	rename(tmp.c_str(), control.c_str());
	while (now_ms() - t0 < 5000 &&
	    (atol(attr(sim, "batch").c_str()) <= before ||
	    (!until_time.empty() && attr(outputs, "td_time_") != until_time)))
		usleep(50);
	return now_ms() - t0;
}

static double
idle_cpu(pid_t pid, int seconds)
{
	double c0, c1;
	long rss;
	usage_of(pid, &c0, &rss);
	sleep((unsigned)seconds);
	usage_of(pid, &c1, &rss);
	return 100.0 * (c1 - c0) / seconds;
}

int
main(int argc, char **argv)
{
	const char *bin = argc > 1 ? argv[1] : "build/kelvo";
	int batches = argc > 2 ? atoi(argv[2]) : 200;
	int idle = argc > 3 ? atoi(argv[3]) : 30;
	char tmpl[] = "/tmp/kelvo-bench-XXXXXX";
	std::string root = mkdtemp(tmpl);

	pps = root + "/pps";
	control = pps + "/kelvo/control";
	sim = pps + "/kelvo/sim";
	outputs = pps + "/kelvo/outputs";
	mkdir(pps.c_str(), 0700);
	setenv("PPS_ROOT", pps.c_str(), 1);
	pid_t pid = fork();
	if (pid == 0) {
		execl(bin, bin, "-i", root.c_str(), (char *)nullptr);
		_exit(127);
	}
	double start = now_ms();
	while (attr(sim, "batch").empty() && now_ms() - start < 10000)
		usleep(1000);
	if (attr(sim, "batch").empty()) {
		fprintf(stderr, "bench_control: kelvo wrote no sim object\n");
		kill(pid, SIGKILL);
		return 1;
	}

	std::mt19937 rng(7);
	std::uniform_int_distribution<int> gap(0, 200);
	std::vector<double> lat;
	for (int i = 0; i < batches; i++) {
		usleep((useconds_t)gap(rng) * 1000);
		lat.push_back(batch(i % 2 ? "ts_temp::70\n" : "ts_temp::68\n"));
	}
	std::sort(lat.begin(), lat.end());
	printf("batch to sim object, %zu batches: p50 %.2f ms, p95 %.2f ms, "
	    "max %.2f ms (period 200 ms)\n", lat.size(), lat[lat.size() / 2],
	    lat[lat.size() * 95 / 100], lat.back());

	for (int ticks : { 720, 10080 }) {
		std::vector<double> t;
		for (int i = 0; i < 5; i++) {
			batch("reset::defaults\nstate::paused\n");
			/* Two minutes a tick from 1700: where the step ends. */
			int m = (17 * 60 + 2 * ticks) % 1440;
			char hhmm[8];
			snprintf(hhmm, sizeof(hhmm), "%02d%02d", m / 60, m % 60);
			t.push_back(batch("step::" + std::to_string(ticks) + "\n",
			    hhmm));
		}
		std::sort(t.begin(), t.end());
		printf("step %d to its published result, 5 runs: median %.1f ms, "
		    "max %.1f ms\n", ticks, t[2], t.back());
	}

	batch("reset::defaults\n");
	double running = idle_cpu(pid, idle);
	batch("state::paused\n");
	double paused = idle_cpu(pid, idle);
	printf("idle CPU over %d s: running %.3f%%, paused %.3f%% of one core "
	    "(%.2fx)\n", idle, running, paused, running > 0 ? paused / running :
	    0);
	return stop_and_clean(pid, "kelvo", root);
}
