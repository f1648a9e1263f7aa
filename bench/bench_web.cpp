/*
 * Figures of kelvo-web's event streams: from a publication to its event
 * on 64 open streams, and kelvo-web's memory and CPU with them open.
 *
 *   build/bench/bench_web [path/to/kelvo-web] [publications]
 *
 * The bench is the publisher: it writes kelvo's outputs text itself,
 * renamed into place as kelvo does, every 200 ms, so the moment of each
 * publication is known to the microsecond and kelvo's own timing is left
 * out.  A stream's latency runs from that rename to the moment its event
 * (recognised by the new simulated time) has arrived on its socket.  All
 * 64 sockets are read by one poll() loop; reading one costs a few
 * microseconds, which the later ones carry.
 */
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "benchutil.h"
#include "platform.h"

#define STREAMS		64
#define PERIOD_MS	200

/* A text as kelvo publishes it, at simulated minute m. */
static std::string
text(int m)
{
	char buf[512];
	snprintf(buf, sizeof(buf), "@outputs\nts_mode::HEAT\nts_fan::AUTO\n"
	    "ts_temp::68\ntd_temp_in_::66.127\ntd_temp_in::66\n"
	    "td_temp_out_::59.933\ntd_temp_out::60\ntd_sys::ON\n"
	    "td_time_::%02d%02d\ntd_time::%02d:%02d%c\n", m / 60 % 24, m % 60,
	    (m / 60 % 12) ? m / 60 % 12 : 12, m % 60, m / 60 % 24 < 12 ?
	    'a' : 'p');
	return buf;
}

static void
publish(const std::string &outputs, int m)
{
	std::string t = text(m);
	replace_file(outputs.c_str(), (outputs + ".tmp").c_str(), t.data(),
	    t.size(), 0600);
}

static int
dial(int port)
{
	struct sockaddr_in sa = {};
	int fd = socket(AF_INET, SOCK_STREAM, 0);

	sa.sin_family = AF_INET;
	sa.sin_port = htons((uint16_t)port);
	sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	if (connect(fd, (struct sockaddr *)&sa, sizeof(sa)) < 0) {
		close(fd);
		return -1;
	}
	return fd;
}

static double
pct(std::vector<double> v, double p)
{
	std::sort(v.begin(), v.end());
	return v.empty() ? 0 : v[std::min(v.size() - 1,
	    (size_t)(p / 100 * (double)v.size()))];
}

int
main(int argc, char **argv)
{
	const char *bin = argc > 1 ? argv[1] : "build/web/kelvo-web";
	int count = argc > 2 ? atoi(argv[2]) : 100;
	char tmpl[] = "/tmp/kelvo-bench-XXXXXX";
	std::string root = mkdtemp(tmpl), pps = root + "/pps";
	std::string outputs = pps + "/kelvo/outputs";
	int fd[2], minute = 17 * 60;

	mkdir(pps.c_str(), 0700);
	mkdir((pps + "/kelvo").c_str(), 0700);
	publish(outputs, minute);
	setenv("PPS_ROOT", pps.c_str(), 1);
	unsetenv("KELVO_WEB_TOKEN");
	if (pipe(fd) < 0)
		return 1;
	pid_t pid = fork();
	if (pid == 0) {
		dup2(fd[1], 1);
		execl(bin, bin, "--listen", "127.0.0.1:0", (char *)nullptr);
		_exit(127);
	}
	close(fd[1]);
	std::string line;
	char c;
	while (read(fd[0], &c, 1) == 1 && c != '\n')
		line += c;
	int port = atoi(line.c_str() + line.rfind(':') + 1);
	if (port <= 0) {
		fprintf(stderr, "bench_web: kelvo-web printed no URL\n");
		return 1;
	}
	/* Texts keep coming, so kelvo-web takes kelvo for running. */
	for (int i = 0; i < 5; i++) {
		usleep(PERIOD_MS * 1000);
		publish(outputs, minute += 2);
	}

	double cpu0, cpu1;
	long rss0, rss1;
	usage_of(pid, &cpu0, &rss0);
	std::vector<int> s;
	std::string req = "GET /api/events HTTP/1.1\r\nHost: 127.0.0.1:" +
	    std::to_string(port) + "\r\n\r\n";
	for (int i = 0; i < STREAMS; i++) {
		int f = dial(port);
		if (f < 0 || write(f, req.data(), req.size()) !=
		    (ssize_t)req.size()) {
			fprintf(stderr, "bench_web: stream %d refused\n", i);
			return 1;
		}
		s.push_back(f);
	}

	std::vector<double> lat, slowest;
	std::vector<std::string> got(STREAMS);
	double t_start = now_ms();
	usage_of(pid, &cpu0, &rss1);
	for (int n = 0; n < count; n++) {
		double next = t_start + (n + 1) * PERIOD_MS;
		/* Drain what came before, then publish. */
		while (now_ms() < next) {
			struct pollfd p[STREAMS];
			for (int i = 0; i < STREAMS; i++)
				p[i] = { s[i], POLLIN, 0 };
			int left = (int)(next - now_ms());
			if (poll(p, STREAMS, left > 0 ? left : 0) <= 0)
				continue;
			for (int i = 0; i < STREAMS; i++)
				if (p[i].revents & POLLIN) {
					char buf[8192];
					if (read(s[i], buf, sizeof(buf)) <= 0)
						return 1;
				}
		}
		minute += 2;
		char want[32];
		snprintf(want, sizeof(want), "\"td_time_\":\"%02d%02d\"",
		    minute / 60 % 24, minute % 60);
		for (auto &g : got)
			g.clear();
		int waiting = STREAMS;
		std::vector<bool> done(STREAMS);
		double t0 = now_ms(), last = t0;
		publish(outputs, minute);
		while (waiting > 0 && now_ms() - t0 < 2000) {
			struct pollfd p[STREAMS];
			for (int i = 0; i < STREAMS; i++)
				p[i] = { s[i], (short)(done[i] ? 0 : POLLIN), 0 };
			if (poll(p, STREAMS, 100) <= 0)
				continue;
			double t = now_ms();
			for (int i = 0; i < STREAMS; i++) {
				char buf[8192];
				ssize_t r;
				if (!(p[i].revents & POLLIN) ||
				    (r = read(s[i], buf, sizeof(buf))) <= 0)
					continue;
				got[i].append(buf, (size_t)r);
				if (got[i].find(want) != std::string::npos) {
					done[i] = true;
					waiting--;
					lat.push_back(t - t0);
					last = t;
				}
			}
		}
		if (waiting > 0)
			fprintf(stderr, "bench_web: %d streams missed minute %d\n",
			    waiting, minute);
		slowest.push_back(last - t0);
	}
	double wall = (now_ms() - t_start) / 1000;
	usage_of(pid, &cpu1, &rss1);

	printf("publication to event, %d publications x %d streams: "
	    "median %.2f ms, p95 %.2f ms, max %.2f ms\n", count, STREAMS,
	    pct(lat, 50), pct(lat, 95), pct(lat, 100));
	printf("publication to its event on the last of the %d streams: "
	    "median %.2f ms, p95 %.2f ms\n", STREAMS, pct(slowest, 50),
	    pct(slowest, 95));
	printf("resident memory: %ld kB before the streams, %ld kB with %d "
	    "open\n", rss0, rss1, STREAMS);
	printf("CPU with %d streams and a text every %d ms: %.2f s in %.1f s "
	    "= %.2f%% of one core\n", STREAMS, PERIOD_MS, cpu1 - cpu0, wall,
	    100 * (cpu1 - cpu0) / wall);

	for (int f : s)
		close(f);
	return stop_and_clean(pid, "kelvo-web", root);
}
