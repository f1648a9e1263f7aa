/*
 * Figures of the control object on a running kelvo: batch to sim object,
 * a press command to its publication, long steps to their published
 * result, and a paused kelvo's idle CPU beside a running one's.
 *
 *   build/bench/bench_control [path/to/kelvo] [batches] [idle-seconds]
 *                             [presses]
 *
 * presses 0 leaves the press figure out, for a kelvo without press
 * commands.
 *
 * A batch is a whole control text renamed into place, as kelvo-ctl
 * writes it; its time runs until the sim object counts it.  Batches are
 * a random 0-200 ms apart so they land anywhere in the period.  A step's
 * time runs until the outputs object shows the clock it ends on.
 *
 * Idle kelvo uses a few tens of milliseconds of CPU in 20 s, which the
 * process's clock-tick accounts (/proc/PID/stat, 10 ms units) give to a
 * unit or two: a ratio of two such counts says little.  So the idle CPU
 * is the scheduler's own nanosecond accounts of every thread
 * (/proc/PID/task/TID/schedstat), and running and paused take turns in
 * windows of a few seconds, so that a change in what else the machine
 * does falls on both alike.  The clock-tick figure of the same windows
 * is printed beside it.
 */
#include <dirent.h>
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

/* Nanoseconds on a CPU so far, summed over the threads of pid. */
static double
sched_ns(pid_t pid)
{
	std::string dir = "/proc/" + std::to_string(pid) + "/task";
	DIR *d = opendir(dir.c_str());
	struct dirent *e;
	double ns = 0;

	while (d != nullptr && (e = readdir(d)) != nullptr)
		if (e->d_name[0] != '.')
			ns += atof(slurp(dir + "/" + e->d_name +
			    "/schedstat").c_str());
	if (d != nullptr)
		closedir(d);
	return ns;
}

struct idle {
	double exact_ns = 0;	/* scheduler accounts */
	double ticks_s = 0;	/* clock-tick accounts */
};

/* One window of idle in the current state, added to *sum. */
static void
idle_window(pid_t pid, int seconds, struct idle *sum)
{
	double c0, c1, n0, n1;
	long rss;

	usage_of(pid, &c0, &rss);
	n0 = sched_ns(pid);
	sleep((unsigned)seconds);
	n1 = sched_ns(pid);
	usage_of(pid, &c1, &rss);
	sum->exact_ns += n1 - n0;
	sum->ticks_s += c1 - c0;
}

int
main(int argc, char **argv)
{
	const char *bin = argc > 1 ? argv[1] : "build/kelvo";
	int batches = argc > 2 ? atoi(argv[2]) : 200;
	int idle = argc > 3 ? atoi(argv[3]) : 30;
	int presses = argc > 4 ? atoi(argv[4]) : 150;
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

	/*
	 * A press command to its publication: presses up and down in
	 * turn, each timed from its rename until the outputs show the set
	 * point it makes (the answer comes after that, so it is not waited
	 * for here).
	 */
	std::vector<double> pr;
	batch("ts_temp::70\n");
	for (int i = 0; i < presses; i++) {
		usleep((useconds_t)gap(rng) * 1000);
		std::string want = i % 2 ? "70" : "71";
		std::string tmp = control + ".new";
		std::ofstream(tmp) << "@control\nid::bench" << i << "\npress::" <<
		    (i % 2 ? "down" : "up") << "\n";
		double t0 = now_ms();
		rename(tmp.c_str(), control.c_str());
		while (now_ms() - t0 < 5000 && attr(outputs, "ts_temp") != want)
			usleep(50);
		pr.push_back(now_ms() - t0);
		while (now_ms() - t0 < 5000 &&
		    attr(sim, "id") != "bench" + std::to_string(i))
			usleep(50);
	}
	std::sort(pr.begin(), pr.end());
	if (!pr.empty())
		printf("press command to its publication, %zu presses: p50 %.2f ms, "
	    "p99 %.2f ms, max %.2f ms\n", pr.size(), pr[pr.size() / 2],
	    pr[pr.size() * 99 / 100], pr.back());

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

	/* Running and paused in turn, 4 s at a time (less for less). */
	struct idle running, paused;
	int window = idle < 4 ? std::max(idle, 1) : 4;
	int rounds = std::max(idle / window, 1);
	batch("reset::defaults\n");
	for (int i = 0; i < rounds; i++) {
		batch("state::running\n");
		idle_window(pid, window, &running);
		batch("state::paused\n");
		idle_window(pid, window, &paused);
	}
	double total = rounds * window;
	printf("idle CPU over %.0f s each, in turns of %d s: running %.3f%%, "
	    "paused %.3f%% of one core (%.2fx); clock-tick accounts: %.2f s "
	    "and %.2f s (%.2fx)\n", total, window,
	    running.exact_ns / total / 1e7, paused.exact_ns / total / 1e7,
	    running.exact_ns > 0 ? paused.exact_ns / running.exact_ns : 0,
	    running.ticks_s, paused.ticks_s,
	    running.ticks_s > 0 ? paused.ticks_s / running.ticks_s : 0);
	return stop_and_clean(pid, "kelvo", root);
}
