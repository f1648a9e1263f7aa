/*
 * main.cpp - kelvo-web: kelvo's thermostat as a web page and a JSON API.
 *
 * Threads: the link's two (following kelvo's outputs, writing presses),
 * the sim object's follower (simlink.h), the HTTP server's one (every
 * request, and every event stream as a suspended connection), the
 * worker that sends the simulation's batches (sim.h), and this one,
 * which waits for SIGINT or SIGTERM (mainloop.h: no signal handler runs
 * at all) and once a second looks after the streams, the connections'
 * deadlines and the counts of log lines held back.
 *
 * The listening socket is made here rather than by the server, so that
 * an address that cannot be had is said plainly, and so that the port
 * the system picked for port 0 is known for the URL line.
 */
#include <arpa/inet.h>
#include <errno.h>
#include <limits.h>
#include <netdb.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include "cors.h"
#include "http.h"
#include "link.h"
#include "logline.h"
#include "mainloop.h"
#include "parse.h"
#include "platform.h"
#include "route.h"
#include "sim.h"
#include "simlink.h"
#include "stream.h"

#define DEFAULT_LISTEN	"127.0.0.1:8080"
#define TOKEN_BYTES	16	/* 128 random bits, as 32 hex digits */
/* Characters a token may have: it goes into URLs and a cookie as it is. */
#define TOKEN_CHARS	"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz" \
	"0123456789-._~"

static void
usage(FILE *f)
{
	fprintf(f,
	    "usage: kelvo-web [--listen ADDR:PORT] [--allow-origin ORIGIN]...\n"
	    "Serves kelvo's thermostat page and its JSON API on ADDR:PORT\n"
	    "(default " DEFAULT_LISTEN "; port 0 picks a free one, an IPv6\n"
	    "ADDR goes in brackets).  Outside the loopback range requests\n"
	    "need a token: $KELVO_WEB_TOKEN (16 to 128 characters), or a\n"
	    "random one shown in the URL.\n"
	    "--allow-origin lets pages of ORIGIN (scheme://host[:port], as a\n"
	    "browser sends it; also $KELVO_WEB_ALLOW_ORIGIN, space-separated)\n"
	    "call the API.  kelvo's objects are under $PPS_ROOT/kelvo\n"
	    "(default /pps).\n");
}

/* The link's hooks, on its threads. */
static void
on_text(const struct client_state *st, void *arg)
{
	(void)arg;
	stream_state(st);
}

static void
on_running(bool running, void *arg)
{
	(void)arg;
	/* Two kinds of line: a start never stands for a stop. */
	if (running)
		logline("kelvo is running");
	else
		logline("kelvo is not running");
	stream_status(running);
}

/* kelvo's answer to a press or target: applied is what it should be. */
static void
on_answered(const char *what, int result, const char *why, void *arg)
{
	(void)arg;
	if (result != CONTROL_APPLIED)
		logline("%s: %s", what, why);
}

static void
on_sim(const struct client_sim *sim, void *arg)
{
	(void)arg;
	stream_sim(sim);
}

/* An origin allowed by an option or the environment; false said. */
static bool
allow_origin(const char *origin, const char *from)
{
	const char *why;

	if (cors_allow(origin, &why))
		return true;
	fprintf(stderr, "kelvo-web: %s \"%.80s\" is no origin: %s\n", from,
	    origin, why);
	return false;
}

/* $KELVO_WEB_ALLOW_ORIGIN: origins separated by blanks. */
static bool
allow_origins_from_env(void)
{
	const char *env = getenv("KELVO_WEB_ALLOW_ORIGIN");
	char one[300];

	if (env == NULL)
		return true;
	while (*env != '\0') {
		size_t n = strcspn(env, " \t\n");
		if (n >= sizeof(one)) {
			fprintf(stderr, "kelvo-web: KELVO_WEB_ALLOW_ORIGIN holds "
			    "an origin longer than 255 characters\n");
			return false;
		}
		if (n > 0) {
			snprintf(one, sizeof(one), "%.*s", (int)n, env);
			if (!allow_origin(one, "KELVO_WEB_ALLOW_ORIGIN"))
				return false;
		}
		env += n;
		env += strspn(env, " \t\n");
	}
	return true;
}

/* Once a second, on the main thread. */
static int
tick(void *arg)
{
	(void)arg;
	stream_tick();
	http_tick();
	return MAINLOOP_MS;
}

static void
on_trace(const char *line, void *arg)
{
	(void)arg;
	logline("%s", line);
}

static bool
loopback_addr(const struct sockaddr_storage *ss)
{
	if (ss->ss_family == AF_INET) {
		const struct sockaddr_in *in = (const struct sockaddr_in *)ss;
		return (ntohl(in->sin_addr.s_addr) >> 24) == 127;
	}
	const struct sockaddr_in6 *in6 = (const struct sockaddr_in6 *)ss;
	return IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr) ||
	    (IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr) &&
	    in6->sin6_addr.s6_addr[12] == 127);
}

/* A listening socket on addr:port, or -1 when it cannot be had (said). */
static int
listen_on(const char *arg, const char *addr, const char *port,
    struct sockaddr_storage *bound)
{
	struct addrinfo hints, *res;
	socklen_t len = sizeof(*bound);
	int fd, one = 1, err;

	memset(&hints, 0, sizeof(hints));
	hints.ai_family = AF_UNSPEC;
	hints.ai_socktype = SOCK_STREAM;
	hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
	if ((err = getaddrinfo(addr, port, &hints, &res)) != 0) {
		fprintf(stderr, "kelvo-web: cannot listen on %s: %s\n", arg,
		    gai_strerror(err));
		return -1;
	}
	fd = socket(res->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK,
	    0);
	if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one,
	    sizeof(one)) < 0 || bind(fd, res->ai_addr, res->ai_addrlen) < 0 ||
	    listen(fd, 64) < 0 ||
	    getsockname(fd, (struct sockaddr *)bound, &len) < 0) {
		err = errno;
		fprintf(stderr, "kelvo-web: cannot listen on %s: %s\n", arg,
		    strerror(err));
		if (fd >= 0)
			close(fd);
		fd = -1;
	}
	freeaddrinfo(res);
	return fd;
}

/*
 * The token: from the environment, made up off loopback, else none.
 * One short enough to guess is refused: wrong guesses are slowed down,
 * but 16 characters keep even a patient guesser out.
 */
static bool
choose_token(bool loopback, unsigned port)
{
	const char *env = getenv("KELVO_WEB_TOKEN");
	unsigned char r[TOKEN_BYTES];
	char made[2 * TOKEN_BYTES + 1];
	size_t n;

	if (env != NULL && env[0] != '\0') {
		n = strlen(env);
		if (n < ROUTE_TOKEN_MIN || n > ROUTE_TOKEN_MAX ||
		    strspn(env, TOKEN_CHARS) != n) {
			fprintf(stderr, "kelvo-web: KELVO_WEB_TOKEN must be "
			    "%d to %d letters, digits, '-', '.', '_' or '~' "
			    "(it has %zu characters)\n", ROUTE_TOKEN_MIN,
			    ROUTE_TOKEN_MAX, n);
			return false;
		}
		route_setup(env, port);
		return true;
	}
	if (loopback) {
		route_setup(NULL, port);
		return true;
	}
	if (getrandom(r, sizeof(r), 0) != (ssize_t)sizeof(r)) {
		fprintf(stderr, "kelvo-web: no random token: %s\n",
		    strerror(errno));
		return false;
	}
	for (size_t i = 0; i < sizeof(r); i++)
		snprintf(made + 2 * i, 3, "%02x", r[i]);
	route_setup(made, port);
	return true;
}

/* The options: *listen gets the address asked for; false on a bad one. */
static bool
read_options(int argc, char *argv[], const char **listen, bool *help)
{
	*help = false;
	for (int i = 1; i < argc; i++) {
		if (strcmp(argv[i], "-h") == 0 || strcmp(argv[i], "--help") == 0) {
			*help = true;
			return true;
		}
		if (strcmp(argv[i], "--listen") == 0 && i + 1 < argc)
			*listen = argv[++i];
		else if (strncmp(argv[i], "--listen=", 9) == 0)
			*listen = argv[i] + 9;
		else if (strcmp(argv[i], "--allow-origin") == 0 && i + 1 < argc) {
			if (!allow_origin(argv[++i], "--allow-origin"))
				return false;
		} else if (strncmp(argv[i], "--allow-origin=", 15) == 0) {
			if (!allow_origin(argv[i] + 15, "--allow-origin"))
				return false;
		} else {
			return false;
		}
	}
	return allow_origins_from_env();
}

/* The link, the simulation's followers and the server; false, said. */
static bool
start_threads(int fd, int family, const char *listen)
{
	static struct link_hooks hooks = { on_text, on_running, on_answered,
	    on_trace, NULL };
	static struct simlink_hooks simhooks = { on_sim, NULL };
	char outputs[PATH_MAX];

	if (pps_path(KC_OUTPUTS, outputs, sizeof(outputs)) == 0)
		logline("following %s", outputs);
	if (link_start(&hooks) < 0) {
		fprintf(stderr, "kelvo-web: cannot start following kelvo\n");
		return false;
	}
	if (simlink_start(&simhooks) < 0 || websim_start() < 0) {
		fprintf(stderr, "kelvo-web: cannot start following the "
		    "simulation\n");
		return false;
	}
	if (http_start(fd, family) < 0) {
		fprintf(stderr, "kelvo-web: cannot start serving on %s\n",
		    listen);
		return false;
	}
	return true;
}

int
main(int argc, char *argv[])
{
	const char *arg = DEFAULT_LISTEN;
	char addr[HOSTPORT_HOST_MAX], port[8];
	struct sockaddr_storage bound;
	unsigned int bound_port;
	int fd, portnum;
	bool help;

	if (!read_options(argc, argv, &arg, &help)) {
		usage(stderr);
		return 2;
	}
	if (help) {
		usage(stdout);
		return 0;
	}
	/* The port is never left to a default: 0 picks a free one. */
	if (!client_hostport(arg, HOSTPORT_ZERO, addr, sizeof(addr),
	    &portnum)) {
		fprintf(stderr, "kelvo-web: %s is no ADDR:PORT\n", arg);
		usage(stderr);
		return 2;
	}
	snprintf(port, sizeof(port), "%d", portnum);
	if ((fd = listen_on(arg, addr, port, &bound)) < 0)
		return 1;
	bound_port = ntohs(bound.ss_family == AF_INET ?
	    ((struct sockaddr_in *)&bound)->sin_port :
	    ((struct sockaddr_in6 *)&bound)->sin6_port);
	if (!choose_token(loopback_addr(&bound), bound_port))
		return 2;
	logline_name("kelvo-web");

	/* Blocked in every thread from here on, taken by mainloop_run(). */
	mainloop_signals();

	if (!start_threads(fd, bound.ss_family, arg))
		return 1;
	printf("kelvo-web: http://%s%s%s:%u/%s%s\n",
	    strchr(addr, ':') ? "[" : "", addr, strchr(addr, ':') ? "]" : "",
	    bound_port, route_token[0] ? "?token=" : "", route_token);
	fflush(stdout);

	mainloop_run(tick, NULL);
	logline("exit");
	http_stop();
	/* Presses already taken still go out, and the object is left idle. */
	link_stop(1000);
	logline_end();
	return 0;
}
