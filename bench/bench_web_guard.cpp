/*
 * Figures of kelvo-web under the attacks one local process can make:
 * how long the user's 40 requests (the right token, sent at once) take
 * to be answered, with nobody else there, after 140 wrong tokens sent at
 * once from the same address, and beside 200 slow connections from it
 * (half of them silent, half sending a byte of headers every 500 ms, each
 * one opened again as soon as it is closed).
 *
 *   build/bench/bench_web_guard [path/to/kelvo-web] [runs]
 *
 * Each case gets a kelvo-web of its own in a scratch root, with a token
 * and no kelvo: the requests go to /api/history, which answers without
 * one.  A user's request is sent once and never retried; it counts as
 * answered when its status line is 200, and the case ends when every
 * one has its answer or its connection closed, or after CASE_MS.
 */
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "benchutil.h"

#define USERS		40
#define GUESSES		140
#define SLOW		200
#define CASE_MS		30000	/* a case given up after this */
#define DRIBBLE_MS	500	/* a slow connection's byte every this */
#define TOKEN		"bench-0123456789abcdef"

/* A connection, made non-blocking once it is there. */
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
	fcntl(fd, F_SETFL, O_NONBLOCK);
	return fd;
}

static void
say(int fd, const std::string &s)
{
	if (fd >= 0 && send(fd, s.data(), s.size(), MSG_NOSIGNAL) < 0)
		return;
}

/* kelvo-web with the token; its pid, and its port in *port. */
static pid_t
start_web(const char *bin, const std::string &root, int *port)
{
	std::string pps = root + "/pps";
	int fd[2];
	char c;
	std::string line;

	mkdir(pps.c_str(), 0700);
	if (pipe(fd) < 0)
		return -1;
	pid_t pid = fork();
	if (pid == 0) {
		dup2(fd[1], 1);
		int null = open("/dev/null", O_WRONLY);
		dup2(null, 2);
		setenv("PPS_ROOT", pps.c_str(), 1);
		setenv("KELVO_WEB_TOKEN", TOKEN, 1);
		execl(bin, bin, "--listen", "127.0.0.1:0", (char *)nullptr);
		_exit(127);
	}
	close(fd[1]);
	while (read(fd[0], &c, 1) == 1 && c != '\n')
		line += c;
	close(fd[0]);
	*port = atoi(line.c_str() + line.rfind(':') + 1);
	return pid;
}

struct outcome {
	int	 answered = 0;		/* 200s */
	double	 last_ms = 0;		/* to the last of them */
	double	 p50_ms = 0;
};

/*
 * Sends the users' requests at once and waits for their answers, keeping
 * the slow connections (if any) dribbling and open meanwhile.
 */
static struct outcome
serve_users(int port, std::vector<int> &slow)
{
	std::string req = "GET /api/history HTTP/1.1\r\nHost: 127.0.0.1:" +
	    std::to_string(port) + "\r\nAuthorization: Bearer " TOKEN
	    "\r\nConnection: close\r\n\r\n";
	std::vector<int> users;
	std::vector<std::string> got(USERS);
	std::vector<double> took;
	struct outcome o;
	double t0 = now_ms(), dribbled = t0;
	int open_ones = 0;

	for (int i = 0; i < USERS; i++) {
		users.push_back(dial(port));
		say(users.back(), req);
		open_ones += users.back() >= 0;
	}
	while (open_ones > 0 && now_ms() - t0 < CASE_MS) {
		std::vector<struct pollfd> p;
		for (int fd : users)
			p.push_back({ fd, POLLIN, 0 });
		poll(p.data(), p.size(), 50);
		for (int i = 0; i < USERS; i++) {
			char buf[4096];
			ssize_t n;
			if (users[i] < 0 || !(p[i].revents & (POLLIN | POLLHUP |
			    POLLERR)))
				continue;
			n = recv(users[i], buf, sizeof(buf), 0);
			if (n > 0 && got[i].size() < 64)
				got[i].append(buf, (size_t)n);
			if (n > 0 && got[i].find("\r\n") == std::string::npos)
				continue;
			if (got[i].compare(0, 13, "HTTP/1.1 200 ") == 0) {
				o.answered++;
				took.push_back(now_ms() - t0);
			}
			close(users[i]);
			users[i] = -1;
			open_ones--;
		}
		if (now_ms() - dribbled >= DRIBBLE_MS) {
			dribbled = now_ms();
			for (size_t i = 0; i < slow.size(); i++) {
				char c;
				if (slow[i] >= 0 && recv(slow[i], &c, 1, 0) == 0) {
					close(slow[i]);
					slow[i] = dial(port);
				} else if (i % 2 == 1)
					say(slow[i], "X");
			}
		}
	}
	for (int fd : users)
		if (fd >= 0)
			close(fd);
	std::sort(took.begin(), took.end());
	o.last_ms = took.empty() ? 0 : took.back();
	o.p50_ms = took.empty() ? 0 : took[took.size() / 2];
	return o;
}

/* One case: 0 nobody else, 1 the guesses, 2 the slow connections. */
static struct outcome
run_case(const char *bin, int which)
{
	char tmpl[] = "/tmp/kelvo-bench-XXXXXX";
	std::string root = mkdtemp(tmpl);
	int port = 0;
	pid_t pid = start_web(bin, root, &port);
	std::vector<int> crowd, slow;
	struct outcome o;

	if (pid < 0 || port <= 0) {
		fprintf(stderr, "bench_web_guard: kelvo-web printed no URL\n");
		exit(1);
	}
	if (which == 1)
		for (int i = 0; i < GUESSES; i++) {
			crowd.push_back(dial(port));
			say(crowd.back(), "GET /api/history?token=guess" +
			    std::to_string(i) + " HTTP/1.1\r\nHost: 127.0.0.1:" +
			    std::to_string(port) + "\r\n\r\n");
		}
	for (int i = 0; which == 2 && i < SLOW; i++) {
		slow.push_back(dial(port));
		if (i % 2 == 1)
			say(slow.back(), "GET / HTTP/1.1\r\nX-Slow: ");
	}
	/* Let kelvo-web take them all in before the users come. */
	usleep(200 * 1000);
	o = serve_users(port, slow);
	for (int fd : crowd)
		if (fd >= 0)
			close(fd);
	for (int fd : slow)
		if (fd >= 0)
			close(fd);
	kill(pid, SIGKILL);
	waitpid(pid, nullptr, 0);
	std::string cmd = "rm -rf '" + root + "'";
	if (system(cmd.c_str()) != 0)
		fprintf(stderr, "bench_web_guard: %s left\n", root.c_str());
	return o;
}

int
main(int argc, char **argv)
{
	const char *bin = argc > 1 ? argv[1] : "build/web/kelvo-web";
	int runs = argc > 2 ? atoi(argv[2]) : 3;
	static const char *const names[] = { "alone",
	    "after 140 wrong tokens", "beside 200 slow connections" };

	for (int which = 0; which < 3; which++)
		for (int r = 0; r < runs; r++) {
			struct outcome o = run_case(bin, which);
			printf("%-28s run %d: %2d of %d answered 200, p50 %.1f ms, "
			    "last %.1f ms\n", names[which], r + 1, o.answered,
			    USERS, o.p50_ms, o.last_ms);
			fflush(stdout);
		}
	return 0;
}
