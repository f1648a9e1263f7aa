/*
 * benchutil.h - what the benchmark programs that watch a running process
 * share: a monotonic clock in milliseconds, a whole file as a string, and
 * a process's CPU time and resident size from /proc.
 */
#ifndef KELVO_BENCHUTIL_H
#define KELVO_BENCHUTIL_H

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

static inline double
now_ms()
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

static inline std::string
slurp(const std::string &path)
{
	std::ifstream f(path);
	std::stringstream ss;
	ss << f.rdbuf();
	return ss.str();
}

/* CPU seconds (user + system) and resident kB of pid. */
static inline void
usage_of(pid_t pid, double *cpu, long *rss)
{
	std::string stat = slurp("/proc/" + std::to_string(pid) + "/stat");
	std::istringstream in(stat.substr(stat.rfind(')') + 2));
	std::string f;
	unsigned long ut = 0, st = 0;
	for (int i = 3; i <= 15 && in >> f; i++) {
		if (i == 14)
			ut = std::stoul(f);
		if (i == 15)
			st = std::stoul(f);
	}
	*cpu = (double)(ut + st) / sysconf(_SC_CLK_TCK);
	std::string status = slurp("/proc/" + std::to_string(pid) + "/status");
	size_t p = status.find("VmRSS:");
	*rss = p == std::string::npos ? -1 : atol(status.c_str() + p + 6);
}

/* Stops pid with SIGTERM, says how name ended, removes root; exit status. */
static inline int
stop_and_clean(pid_t pid, const char *name, const std::string &root)
{
	int status = 0;

	kill(pid, SIGTERM);
	waitpid(pid, &status, 0);
	printf("%s stopped with status %d\n", name,
	    WIFEXITED(status) ? WEXITSTATUS(status) : -1);
	std::string cmd = "rm -rf '" + root + "'";
	return system(cmd.c_str()) == 0 ? 0 : 1;
}

#endif
