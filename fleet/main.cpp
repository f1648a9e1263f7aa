/*
 * main.cpp - kelvo-fleet: the options, the store, and the one loop.
 *
 * The loop waits in epoll for the broker sockets, the metrics listener
 * and the stop signals (a signalfd, the signals blocked), never longer
 * than the wheel's next slot.  Each turn takes the ticks that fell due,
 * hands out socket events, commits what commands changed (saved, then
 * published), starts the connections the pace allows and, once a
 * second, saves every thermostat that changed in one transaction.
 *
 * A fleet of ten thousand connections needs as many descriptors, so the
 * soft limit is raised to the hard one before anything opens.
 */
#include "fleet.h"

#include <errno.h>
#include <getopt.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <time.h>
#include <unistd.h>

#include <mosquitto.h>

#include "logline.h"
#include "mqttopts.h"
#include "parse.h"
#include "platform.h"
#include "topics.h"
#include "wheel.h"

#define FLEET_STATE_MS	5000	/* between fleet/state documents */
#define EVENTS_MAX	256

static struct wheel wheel;
static long long lag;
static unsigned long rate[2], last_count[2];

long long
fleet_now(void)
{
	return monotonic_ms();
}

void
fleet_wake_at(int key, long long due)
{
	if (due < 0)
		wheel_cancel(&wheel, key);
	else
		wheel_set(&wheel, key, due);
}

bool
fleet_waiting(int key)
{
	return wheel_pending(&wheel, key);
}

long long
fleet_lag(void)
{
	return lag;
}

unsigned long
fleet_rate(int which)
{
	return rate[which & 1];
}

static void
usage(FILE *f)
{
	fprintf(f,
	    "usage: kelvo-fleet [--count N] [--shard I/N] [--store FILE]\n"
	    "                   [--broker HOST:PORT[,HOST:PORT...]] [--prefix P]\n"
	    "                   [--discovery-prefix D] [--connection each|shared]\n"
	    "                   [--interval MS] [--minutes M] [--seed S]\n"
	    "                   [--publish change|tick] [--heartbeat S]\n"
	    "                   [--profile classic|modern|mixed]\n"
	    "                   [--listen ADDR:PORT] [--username U]\n"
	    "                   [--cafile F | --tls]\n"
	    "Runs N simulated thermostats (t1..tN, zero-padded) on an MQTT\n"
	    "broker with kelvo-mqtt's topics under P (default kelvo), announced\n"
	    "to Home Assistant under D (default homeassistant), kept in FILE\n"
	    "(default kelvo-fleet.sqlite).  Thermostats are classic (default),\n"
	    "modern (heat-cool with a band, presets, humidity) or, mixed, each\n"
	    "one's drawn from S.  The password for U is taken from\n"
	    "$" MQTT_PASSWORD_ENV ".\n");
}

static int take_option(int ch, void *arg);

static const struct option own_options[] = {
	{ "count", required_argument, NULL, 'n' },
	{ "shard", required_argument, NULL, 's' },
	{ "store", required_argument, NULL, 'S' },
	{ "broker", required_argument, NULL, 'b' },
	{ "connection", required_argument, NULL, 'c' },
	{ "interval", required_argument, NULL, 'i' },
	{ "minutes", required_argument, NULL, 'm' },
	{ "seed", required_argument, NULL, 'e' },
	{ "publish", required_argument, NULL, 'P' },
	{ "heartbeat", required_argument, NULL, 'H' },
	{ "profile", required_argument, NULL, 'r' },
	{ "listen", required_argument, NULL, 'l' },
	{ NULL, 0, NULL, 0 },
};
static struct mqtt_face face = { "kelvo-fleet", usage, own_options,
    take_option, NULL };

static bool
whole(const char *s, long lo, long hi, long *v)
{
	return kc_whole(s, lo, hi, v) && s[0] != '+' && s[0] != '-';
}

/* The list HOST:PORT[,HOST:PORT...], each checked. */
static bool
brokers(const char *list, struct fleet_options *o)
{
	std::string s(list);
	size_t at = 0;

	o->brokers.clear();
	while (at <= s.size()) {
		size_t comma = s.find(',', at);
		std::string one = s.substr(at, comma == std::string::npos ?
		    std::string::npos : comma - at);
		struct fleet_broker b;
		b.port = -1;
		if (o->brokers.size() == FLEET_BROKERS_MAX ||
		    !client_hostport(one.c_str(), HOSTPORT_OPTIONAL, b.host,
		    sizeof(b.host), &b.port))
			return false;
		mqtt_broker_name(b.host, b.port, b.name, sizeof(b.name));
		o->brokers.push_back(b);
		if (comma == std::string::npos)
			break;
		at = comma + 1;
	}
	return !o->brokers.empty();
}

/* --shard I/N, 1 <= I <= N, into o. */
static bool
shard(const char *arg, struct fleet_options *o)
{
	char i[16], n[16], extra;
	long a, b;

	if (sscanf(arg, "%15[0-9]/%15[0-9]%c", i, n, &extra) != 2 ||
	    !whole(i, 1, FLEET_COUNT_MAX, &a) ||
	    !whole(n, 1, FLEET_COUNT_MAX, &b) || a > b)
		return false;
	o->shard = (int)a;
	o->shards = (int)b;
	return true;
}

/* --seed: any whole number that fits, sign and blanks refused. */
static bool
seed(const char *arg, uint64_t *s)
{
	char *end;

	errno = 0;
	unsigned long long v = strtoull(arg, &end, 10);
	if (*arg < '0' || *arg > '9' || *end != '\0' || errno != 0)
		return false;
	*s = v;
	return true;
}

/* The options that are whole numbers in a range, into o; as take_option. */
static int
take_number(int ch, struct fleet_options *o)
{
	long v;

	switch (ch) {
	case 'n':
		if (!whole(optarg, 1, FLEET_COUNT_MAX, &v))
			return mqtt_bad_usage(&face, "bad count \"%s\" (1..%d)",
			    optarg, FLEET_COUNT_MAX);
		o->count = (int)v;
		return -1;
	case 'i':
		if (!whole(optarg, 1, KC_INTERVAL_MAX, &v))
			return mqtt_bad_usage(&face, "bad interval \"%s\" "
			    "(1..%d ms)", optarg, KC_INTERVAL_MAX);
		o->interval = (int)v;
		return -1;
	case 'm':
		if (!whole(optarg, 1, KC_MINUTES_MAX, &v))
			return mqtt_bad_usage(&face, "bad minutes \"%s\" "
			    "(1..%d)", optarg, KC_MINUTES_MAX);
		o->minutes = (int)v;
		return -1;
	default:		/* 'H' */
		if (!whole(optarg, 1, 86400, &v))
			return mqtt_bad_usage(&face, "bad heartbeat \"%s\" "
			    "(1..86400 s)", optarg);
		o->heartbeat = (int)v;
		return -1;
	}
}

/* One of kelvo-fleet's own options into arg; as mqtt_face's take. */
static int
take_option(int ch, void *arg)
{
	struct fleet_options *o = (struct fleet_options *)arg;

	switch (ch) {
	case 'n':
	case 'i':
	case 'm':
	case 'H':
		return take_number(ch, o);
	case 's':
		if (!shard(optarg, o))
			return mqtt_bad_usage(&face, "bad shard \"%s\" (I/N, "
			    "1 <= I <= N)", optarg);
		return -1;
	case 'S':
		if (*optarg == '\0')
			return mqtt_bad_usage(&face, "--store needs a file");
		o->store = optarg;
		return -1;
	case 'b':
		if (!brokers(optarg, o))
			return mqtt_bad_usage(&face, "bad broker list \"%s\" "
			    "(HOST:PORT, comma-separated, at most %d, PORT "
			    "1..65535)", optarg, FLEET_BROKERS_MAX);
		return -1;
	case 'c':
		if (strcmp(optarg, "each") != 0 && strcmp(optarg, "shared") != 0)
			return mqtt_bad_usage(&face, "bad connection \"%s\" "
			    "(each or shared)", optarg);
		o->connection = optarg[0] == 'e' ? CONN_EACH : CONN_SHARED;
		return -1;
	case 'e':
		if (!seed(optarg, &o->seed))
			return mqtt_bad_usage(&face, "bad seed \"%s\" (a whole "
			    "number)", optarg);
		return -1;
	case 'P':
		if (strcmp(optarg, "change") != 0 && strcmp(optarg, "tick") != 0)
			return mqtt_bad_usage(&face, "bad publish \"%s\" (change "
			    "or tick)", optarg);
		o->publish = optarg[0] == 'c' ? PUBLISH_CHANGE : PUBLISH_TICK;
		return -1;
	case 'r':
		if (strcmp(optarg, "classic") == 0)
			o->profile = FLEET_PROFILE_CLASSIC;
		else if (strcmp(optarg, "modern") == 0)
			o->profile = FLEET_PROFILE_MODERN;
		else if (strcmp(optarg, "mixed") == 0)
			o->profile = FLEET_PROFILE_MIXED;
		else
			return mqtt_bad_usage(&face, "bad profile \"%s\" "
			    "(classic, modern or mixed)", optarg);
		return -1;
	case 'l':
		if (!client_hostport(optarg, HOSTPORT_ZERO, o->listen_host,
		    sizeof(o->listen_host), &o->listen_port))
			return mqtt_bad_usage(&face, "bad listen address \"%s\" "
			    "(ADDR:PORT)", optarg);
		return -1;
	default:		/* only its own options come here */
		return -1;
	}
}

static int
read_options(int argc, char *argv[], struct fleet_options *o)
{
	int rc;

	face.arg = o;
	if ((rc = mqtt_read_options(argc, argv, &face, o)) >= 0)
		return rc;
	if (o->shard > o->count)
		return mqtt_bad_usage(&face, "shard %d/%d of %d thermostats has "
		    "none", o->shard, o->shards, o->count);
	if (o->brokers.empty()) {
		struct fleet_broker b;
		snprintf(b.host, sizeof(b.host), "localhost");
		b.port = -1;
		o->brokers.push_back(b);
	}
	for (auto &b : o->brokers) {
		if (b.port < 0)
			b.port = mqtt_default_port(o->tls);
		mqtt_broker_name(b.host, b.port, b.name, sizeof(b.name));
	}
	return mqtt_take_password(&face, o);
}

/*
 * Descriptors for every connection: its socket and the pair of sockets
 * libmosquitto makes in every client to wake its own thread, which this
 * loop never uses.  The hard limit is raised too where the process may
 * (root), else the soft one goes as far as the hard one allows.
 */
static void
raise_files(size_t conns)
{
	rlim_t want = (rlim_t)conns * 3 + 256;
	struct rlimit rl;

	if (getrlimit(RLIMIT_NOFILE, &rl) < 0)
		return;
	if (rl.rlim_max != RLIM_INFINITY && rl.rlim_max < want) {
		struct rlimit more = { want, want };
		if (setrlimit(RLIMIT_NOFILE, &more) == 0)
			return;
	}
	rl.rlim_cur = rl.rlim_max;
	setrlimit(RLIMIT_NOFILE, &rl);
	if (rl.rlim_cur != RLIM_INFINITY && rl.rlim_cur < want)
		logline("only %lu file descriptors for %zu connections (3 "
		    "each): some will not connect", (unsigned long)rl.rlim_cur,
		    conns);
}

/* The worlds: each from the store where it has a row, else the seed. */
static void
load_worlds(const struct fleet_options *o)
{
	size_t loaded = 0;

	world_make(o);
	for (auto &t : fleet)
		if (store_load(&t)) {
			t.dirty = false;
			loaded++;
		}
	if (loaded > 0)
		logline("continuing %zu of %zu thermostats from %s", loaded,
		    fleet.size(), o->store.c_str());
	/* The new ones are on disk before anything shows them. */
	store_save(false, NULL);
}

/* The ticks due now; how late the latest ran is the lag. */
static void
run_ticks(long long now)
{
	static std::vector<int> keys;
	static std::vector<long long> dues;
	int n = (int)fleet.size();
	long long late = 0;

	keys.clear();
	dues.clear();
	wheel_take(&wheel, now, &keys, &dues);
	for (size_t j = 0; j < keys.size(); j++) {
		int k = keys[j];
		if (k >= n) {
			net_timer(k - n, now);
			continue;
		}
		if (now - dues[j] > late)
			late = now - dues[j];
		int next = world_tick(&fleet[(size_t)k]);
		if (next > 0)
			wheel_set(&wheel, k, wheel_next(dues[j], next, now));
		net_ticked(k, now);
	}
	if (!keys.empty())
		lag = late;
}

/* The progress line on a terminal: connected 7345/10000. */
static void
progress(bool tty, bool *done)
{
	int up = net_up();

	if (!tty || *done)
		return;
	fprintf(stderr, "\rconnected %d/%d", up, net_keys());
	if (up == net_keys()) {
		fputc('\n', stderr);
		*done = true;
	}
}

/* Once a second: the store, the rates, the summaries. */
static void
each_second(long long now, long long *fleet_state_at)
{
	struct net_counts c;

	store_save(false, NULL);
	net_counts(&c);
	rate[0] = c.publishes - last_count[0];
	rate[1] = c.commands - last_count[1];
	last_count[0] = c.publishes;
	last_count[1] = c.commands;
	logline_flush();
	if (now >= *fleet_state_at) {
		net_publish_fleet();
		*fleet_state_at = now + FLEET_STATE_MS;
	}
}

static void
dispatch(const struct epoll_event *ev, int sfd, bool *stop)
{
	uint32_t kind = (uint32_t)(ev->data.u64 >> 32);
	uint32_t idx = (uint32_t)ev->data.u64;

	if (kind == 1)
		net_event((int)idx, ev->events);
	else if (kind == 2 || kind == 3)
		http_event((int)idx, ev->events);
	else if (kind == 4) {
		struct signalfd_siginfo si;
		if (read(sfd, &si, sizeof(si)) == (ssize_t)sizeof(si)) {
			logline("stopping (%s)", si.ssi_signo == SIGTERM ?
			    "SIGTERM" : "SIGINT");
			*stop = true;
		}
	}
}

static int
run(int epfd, int sfd)
{
	struct epoll_event evs[EVENTS_MAX];
	long long now = fleet_now(), second = now + 1000,
	    fleet_state_at = now + FLEET_STATE_MS, shown = 0;
	bool stop = false, tty = isatty(2), done = false;

	while (!stop) {
		now = fleet_now();
		int wait = wheel_wait(&wheel, now);
		if (wait < 0 || wait > 50)
			wait = 50;	/* the pace and the second, at least */
		int n = epoll_wait(epfd, evs, EVENTS_MAX, wait);
		if (n < 0 && errno != EINTR) {
			logline("epoll: %s", strerror(errno));
			return 1;
		}
		for (int i = 0; i < n; i++)
			dispatch(&evs[i], sfd, &stop);
		now = fleet_now();
		/* Commands first: their states need not wait for the ticks. */
		net_commit();
		run_ticks(now);
		net_announce();
		net_pace(now);
		net_flush();
		if (now >= second) {
			each_second(now, &fleet_state_at);
			second = now + 1000;
		}
		if (now - shown >= 200) {
			progress(tty, &done);
			shown = now;
		}
	}
	return 0;
}

int
main(int argc, char *argv[])
{
	struct fleet_options o;
	struct epoll_event ev;
	std::string why;
	sigset_t mask;
	int rc, epfd, sfd;

	if ((rc = read_options(argc, argv, &o)) >= 0)
		return rc;
	logline_name("kelvo-fleet");
	sigemptyset(&mask);
	sigaddset(&mask, SIGTERM);
	sigaddset(&mask, SIGINT);
	sigprocmask(SIG_BLOCK, &mask, NULL);
	signal(SIGPIPE, SIG_IGN);
	if (!store_open(o.store.c_str()))
		return 1;
	load_worlds(&o);
	raise_files(o.connection == CONN_EACH ? fleet.size() : 1);
	if ((epfd = epoll_create1(EPOLL_CLOEXEC)) < 0 ||
	    (sfd = signalfd(-1, &mask, SFD_CLOEXEC | SFD_NONBLOCK)) < 0) {
		fprintf(stderr, "kelvo-fleet: cannot make the loop: %s\n",
		    strerror(errno));
		return 1;
	}
	memset(&ev, 0, sizeof(ev));
	ev.events = EPOLLIN;
	ev.data.u64 = 4ULL << 32;
	epoll_ctl(epfd, EPOLL_CTL_ADD, sfd, &ev);
	if (http_start(o.listen_host, o.listen_port, epfd, &why) < 0) {
		fprintf(stderr, "kelvo-fleet: cannot listen on %s:%d: %s\n",
		    o.listen_host, o.listen_port, why.c_str());
		return 1;
	}
	mosquitto_lib_init();
	long long now = fleet_now();
	wheel_init(&wheel, (int)fleet.size() + (o.connection == CONN_EACH ?
	    (int)fleet.size() : 1), now);
	if (!net_start(&o, epfd))
		return 1;
	/* Ticks spread over the first interval, not all in one slot. */
	for (size_t i = 0; i < fleet.size(); i++)
		if (!fleet[i].w.paused)
			wheel_set(&wheel, (int)i, now + (long long)(i *
			    (size_t)fleet[i].w.interval / fleet.size()));
	logline("%zu thermostats (%s of %d), %s, store %s, broker %s%s",
	    fleet.size(), o.shards > 1 ? (std::to_string(o.shard) + "/" +
	    std::to_string(o.shards)).c_str() : "all", o.count,
	    o.connection == CONN_EACH ? "a connection each" :
	    "one shared connection", o.store.c_str(), o.brokers[0].name,
	    o.brokers.size() > 1 ? " and fallbacks" : "");
	rc = run(epfd, sfd);
	net_stop();
	store_save(false, NULL);
	store_close();
	mosquitto_lib_cleanup();
	logline("stopped");
	logline_end();
	return rc;
}
