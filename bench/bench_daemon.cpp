/*
 * Figures of a running kelvo: press-to-publish latency, and the CPU time
 * and resident memory of an idle daemon.
 *
 *   build/bench/bench_daemon [path/to/kelvo] [idle-seconds] [presses]
 *
 * A tail is a few presses in a hundred: take 150 presses to see one.
 *
 * It starts kelvo on a scratch root and PPS directory with the default
 * document.  A press is a whole inputs text renamed into place, as a user
 * interface writes it; its latency runs until the outputs object shows the
 * new set point.  Presses alternate up and down, a random 0-200 ms apart
 * so they land anywhere in the publisher's period.
 */
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "benchutil.h"

static std::string
set_point(const std::string &outputs)
{
	std::string t = slurp(outputs);
	size_t a = t.find("\nts_temp::");
	if (a == std::string::npos)
		return "";
	a += 10;
	return t.substr(a, t.find('\n', a) - a);
}

int
main(int argc, char **argv)
{
	const char *bin = argc > 1 ? argv[1] : "build/kelvo";
	int idle = argc > 2 ? atoi(argv[2]) : 60;
	int presses = argc > 3 ? atoi(argv[3]) : 40;
	char tmpl[] = "/tmp/kelvo-bench-XXXXXX";
	std::string root = mkdtemp(tmpl), pps = root + "/pps";
	std::string outputs = pps + "/kelvo/outputs";
	std::string inputs = pps + "/kelvo/inputs";

	mkdir(pps.c_str(), 0700);
	setenv("PPS_ROOT", pps.c_str(), 1);
	pid_t pid = fork();
	if (pid == 0) {
		execl(bin, bin, "-i", root.c_str(), (char *)nullptr);
		_exit(127);
	}
	double start = now_ms();
	while (set_point(outputs).empty() && now_ms() - start < 10000)
		usleep(1000);
	if (set_point(outputs).empty()) {
		fprintf(stderr, "bench_daemon: kelvo published nothing\n");
		kill(pid, SIGKILL);
		return 1;
	}

	double cpu0, cpu1;
	long rss0, rss1;
	usage_of(pid, &cpu0, &rss0);
	printf("idle for %d s at the default period...\n", idle);
	fflush(stdout);
	sleep((unsigned)idle);
	usage_of(pid, &cpu1, &rss1);
	printf("idle CPU: %.2f s in %d s = %.3f%% of one core\n", cpu1 - cpu0,
	    idle, 100.0 * (cpu1 - cpu0) / idle);
	printf("resident memory: %ld kB at the start, %ld kB after %d s\n",
	    rss0, rss1, idle);

	/* The watch tells us the moment a new outputs text lands. */
	int in = inotify_init1(0);
	inotify_add_watch(in, (pps + "/kelvo").c_str(), IN_MOVED_TO |
	    IN_CLOSE_WRITE);
	std::mt19937 rng(7);
	std::uniform_int_distribution<int> gap(0, 200);
	std::vector<double> lat;
	for (int i = 0; i < presses; i++) {
		usleep((useconds_t)gap(rng) * 1000);
		std::string want = std::to_string(atoi(set_point(outputs).c_str()) +
		    (i % 2 ? -1 : 1));
		std::string tmp = inputs + ".new";
		std::ofstream(tmp) << "@inputs\nbtn1::\nbtn2::\n" <<
		    (i % 2 ? "btn3::\nbtn4::event\n" : "btn3::event\nbtn4::\n");
		double t0 = now_ms();
		rename(tmp.c_str(), inputs.c_str());
		while (set_point(outputs) != want && now_ms() - t0 < 5000) {
			char ev[4096];
			struct timespec ts = { 0, 1000000 };
			fd_set fds;
			FD_ZERO(&fds);
			FD_SET(in, &fds);
			struct timeval tv = { 0, 10000 };
			if (select(in + 1, &fds, nullptr, nullptr, &tv) > 0 &&
			    read(in, ev, sizeof(ev)) < 0)
				nanosleep(&ts, nullptr);
		}
		lat.push_back(now_ms() - t0);
	}
	std::sort(lat.begin(), lat.end());
	double sum = 0;
	for (double l : lat)
		sum += l;
	printf("press to publish, %zu presses: median %.1f ms, mean %.1f ms, "
	    "p99 %.1f ms, max %.1f ms (period 200 ms)\n", lat.size(),
	    lat[lat.size() / 2], sum / lat.size(), lat[lat.size() * 99 / 100],
	    lat.back());

	return stop_and_clean(pid, "kelvo", root);
}
