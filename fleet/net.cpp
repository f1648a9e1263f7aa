/*
 * net.cpp - the broker connections, on libmosquitto's external loop.
 *
 * With --connection each every thermostat has a connection of its own,
 * with its own client id and last will, as a real device has; with
 * shared one connection carries them all.  No connection has a thread:
 * main.cpp's epoll loop hands each socket's events to net_event, which
 * calls mosquitto_loop_read or _write, and the wheel calls net_timer once
 * a second for mosquitto_loop_misc (the keep-alive) or when a retry is
 * due.  libmosquitto writes a publish at once when it is not inside a
 * callback; what it could not write is found by net_flush, which watches
 * the socket for writability until the queue is empty.
 *
 * A connection that fails or is lost moves to the next broker of the
 * list and waits a back-off that doubles with each failure, jittered so
 * that ten thousand connections lost together do not come back together,
 * and at most FLEET_BACKOFF_MS.  Connections start through one queue at
 * --rate a second, the start and every return from a back-off alike,
 * with at most CONNECTING_MAX of them waiting for their CONNACK.
 *
 * A connection that comes up announces its thermostats (discovery, sim
 * configs, availability, state) from the loop, a few a turn and only
 * while libmosquitto holds nothing unwritten for it (net_announce), not
 * all at the CONNACK: a shared connection of a hundred thousand would
 * otherwise queue most of a million retained messages at once.  Until
 * its turn a thermostat publishes nothing, so no state precedes its
 * discovery.
 *
 * Commands change the worlds during a loop turn; the thermostats they
 * changed are saved in one transaction at the end of the turn and only
 * then published (net_commit), so what a broker has shown is on disk.
 */
#include "fleet.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <deque>

#include <mosquitto.h>

#include "logline.h"
#include "simtopics.h"
#include "topics.h"

enum { C_QUEUED, C_CONNECTING, C_UP, C_BACKOFF };

struct conn {
	struct mosquitto *m;
	int		 fd;		/* in the epoll set, -1 none */
	int		 state;		/* C_* */
	int		 broker;	/* index in the list */
	int		 tries;		/* failures since the last success */
	bool		 out;		/* watching for writability */
	int		 first, n;	/* its thermostats, by local index */
	bool		 watcher;	/* also hears commands for unknown ids */
	bool		 touched;	/* may have queued output: net_flush */
	bool		 established;	/* connecting: the TCP connection is */
	int		 announce;	/* next thermostat to announce */
	bool		 announcing;	/* in the announcer's queue */
};

static const struct fleet_options *opt;
static int epfd;
static std::vector<struct conn> conns;
static std::deque<int> queued;
static std::deque<int> announcing;	/* connections with some to announce */
static std::vector<int> touched;	/* connections net_flush looks at */
static std::vector<int> pending;	/* thermostats a command took */
static double tokens;
static long long paced;
static unsigned long publishes, commands, refused;
static int up;
static int connecting;			/* established, CONNACK not yet come */
static bool all_said, stopping;
static std::string fleet_topic;		/* PREFIX/fleet/sim/set */

#define EV_CONN		1ULL		/* epoll's u64: kind << 32 | index */
/*
 * For a CONNACK before giving up: alone, a broker taking a restart's
 * thousands of wills and sessions may take most of it; with other brokers
 * to go to, a node that holds its CONNACKs (a cluster moving the dead
 * node's leaders) is left for the next sooner.
 */
#define CONNECT_MS	10000
#define CONNECT_FAILOVER_MS 5000
/*
 * CONNECTs unanswered at once on connected sockets, at most (a socket
 * still connecting, to a host that is gone, waits outside the window: it
 * says nothing of the broker's pace).  A broker taking thousands of
 * wills and sessions together (a restart after kill -9), or short of CPU,
 * answers late; more connections sent meanwhile only queue behind them,
 * pass the CONNACK's wait and come back again, which is more work for
 * the broker still.  So the window is the broker's pace: it halves (at
 * most once a second, down to CONNECTING_MIN) when a CONNACK does not
 * come in time and grows back by a quarter with each that does.
 */
#define CONNECTING_MAX	200
#define CONNECTING_MIN	10
static double window = CONNECTING_MAX;	/* how many may be */
static long long window_cut;		/* when it last halved */
/*
 * Thermostats announced in one loop turn, at most, and on one connection
 * before the next connection's turn: the loop stays free for ticks and
 * commands while a shared connection announces a hundred thousand.
 */
#define ANNOUNCE_TURN	64
#define ANNOUNCE_SLICE	8

static uint64_t
ev_data(int c)
{
	return EV_CONN << 32 | (uint32_t)c;
}

static struct conn *
conn_of(void *arg)
{
	return &conns[(size_t)((intptr_t)arg - 1)];
}

static void
topics_of(int i, struct mqtt_topics *t)
{
	char id[16];

	world_id(fleet[(size_t)i].num, id, sizeof(id));
	mqtt_make_topics(opt->prefix, id, opt->dprefix, t);
}

/* Up and announced: its discovery is out before any state of it. */
static bool
is_up(int i)
{
	return conns[(size_t)fleet[(size_t)i].conn].state == C_UP &&
	    fleet[(size_t)i].announced && !stopping;
}

static bool
conn_up(int i)
{
	return conns[(size_t)fleet[(size_t)i].conn].state == C_UP && !stopping;
}


/*
 * Connection c may have something queued: net_flush looks at it, and at
 * no other, since asking libmosquitto of every connection every turn
 * (two locks each) was the loop's largest cost at thousands of them.
 */
static void
touch(struct conn *c)
{
	if (!c->touched) {
		c->touched = true;
		touched.push_back((int)(c - conns.data()));
	}
}

static void
publish(struct conn *c, const std::string &topic, const std::string &payload,
    int qos)
{
	touch(c);
	if (mosquitto_publish(c->m, NULL, topic.c_str(), (int)payload.size(),
	    payload.data(), qos, true) == MOSQ_ERR_SUCCESS)
		publishes++;
}

/* The climate config, a modern one's with the band, presets, humidity. */
static void
publish_discovery(int i)
{
	struct thermostat *t = &fleet[(size_t)i];
	struct mqtt_topics tp;
	char id[16];
	bool modern = t->w.profile == KC_PROFILE_MODERN;

	topics_of(i, &tp);
	world_id(t->num, id, sizeof(id));
	publish(&conns[(size_t)t->conn], tp.discovery, mqtt_discovery(id, &tp,
	    "kelvo-fleet", modern).dump(), 1);
	t->disc_modern = modern;
}

void
net_publish_state(int i, bool sim)
{
	struct thermostat *t = &fleet[(size_t)i];
	struct conn *c = &conns[(size_t)t->conn];
	struct mqtt_topics tp;
	struct fleet_shown now;

	if (!is_up(i))
		return;
	topics_of(i, &tp);
	world_changed(t, &now);
	/* Another profile is another device to Home Assistant: say so. */
	if (t->disc_modern != (t->w.profile == KC_PROFILE_MODERN))
		publish_discovery(i);
	/* Silent: nothing published, and offline as kelvo-mqtt shows it. */
	if (now.online != t->shown.online || !t->shown.any)
		publish(c, tp.availability, now.online ? MQTT_ONLINE :
		    MQTT_OFFLINE, 1);
	if (now.online)
		publish(c, tp.state, world_state_json(t), 0);
	if (sim) {
		struct mqtt_sim_topics st;
		mqtt_sim_topics(&tp, &st);
		if (t->w.minutes != t->sim_minutes)
			net_publish_sim_configs(i);
		publish(c, st.state, world_sim_json(t), 1);
	}
	t->shown = now;
	t->last_pub = fleet_now();
}

/* The simulation's configs follow the speed (the hour button's ticks). */
void
net_publish_sim_configs(int i)
{
	struct thermostat *t = &fleet[(size_t)i];
	struct conn *c = &conns[(size_t)t->conn];
	struct mqtt_topics tp;
	struct mqtt_sim_topics st;
	struct client_sim sim;
	char id[16];

	topics_of(i, &tp);
	mqtt_sim_topics(&tp, &st);
	world_id(t->num, id, sizeof(id));
	world_sim(t, &sim);
	for (const auto &cf : mqtt_sim_discovery(id, opt->dprefix, &tp, &st,
	    &sim))
		publish(c, cf.first, cf.second, 1);
	t->sim_minutes = t->w.minutes;
}

/* Everything a fresh broker or a restarted Home Assistant needs. */
static void
publish_all(int i)
{
	struct thermostat *t = &fleet[(size_t)i];

	publish_discovery(i);
	t->announced = true;
	t->sim_minutes = -1;
	t->shown.any = false;
	net_publish_state(i, true);
}

/* Connection c's thermostats to be announced (again), from the first. */
static void
announce_from_start(struct conn *c)
{
	c->announce = c->first;
	if (!c->announcing) {
		c->announcing = true;
		announcing.push_back((int)(c - conns.data()));
	}
}

/*
 * The announcements, paced: a connection's next thermostats go out only
 * while libmosquitto holds nothing unwritten for it, so its queue never
 * holds more than one thermostat's messages beyond what the socket took;
 * the rest wait for the socket to drain (net_event writes it) and for
 * later turns.  Connections take turns in slices.
 */
void
net_announce(void)
{
	int budget = ANNOUNCE_TURN;
	size_t turns = announcing.size();

	while (budget > 0 && turns-- > 0 && !stopping) {
		int ci = announcing.front();
		struct conn *c = &conns[(size_t)ci];
		announcing.pop_front();
		if (c->state != C_UP) {
			c->announcing = false;
			continue;
		}
		int slice = ANNOUNCE_SLICE;
		while (slice > 0 && budget > 0 && c->announce < c->first +
		    c->n && !mosquitto_want_write(c->m)) {
			publish_all(c->announce++);
			slice--;
			budget--;
		}
		if (c->state == C_UP && c->announce < c->first + c->n)
			announcing.push_back(ci);
		else
			c->announcing = false;
	}
}

static void
watch(struct conn *c, bool out)
{
	struct epoll_event ev;

	if (c->fd < 0 || c->out == out)
		return;
	memset(&ev, 0, sizeof(ev));
	ev.events = EPOLLIN | (out ? (uint32_t)EPOLLOUT : 0U);
	ev.data.u64 = ev_data((int)(c - conns.data()));
	if (epoll_ctl(epfd, EPOLL_CTL_MOD, c->fd, &ev) == 0)
		c->out = out;
}

/* Every change of a connection's state, counting those connecting. */
static void
set_state(struct conn *c, int state)
{
	if (c->state == C_CONNECTING && c->established)
		connecting--;
	c->established = false;
	c->state = state;
}

/* A failure or a loss: the next broker, after a jittered back-off. */
static void
conn_down(struct conn *c, const char *why)
{
	int ci = (int)(c - conns.data());
	int s = mosquitto_socket(c->m);

	if (c->state == C_BACKOFF || c->state == C_QUEUED)
		return;
	if (c->state == C_UP) {
		up--;
		all_said = false;
		logline_on(opt->brokers[(size_t)c->broker].name, "lost broker "
		    "%s (%s); trying the next", opt->brokers[(size_t)c->
		    broker].name, why);
	} else
		logline_on(opt->brokers[(size_t)c->broker].name, "cannot "
		    "connect to broker %s (%s); trying the next",
		    opt->brokers[(size_t)c->broker].name, why);
	/* libmosquitto has closed the socket when it lost it. */
	if (s >= 0 && c->fd == s)
		epoll_ctl(epfd, EPOLL_CTL_DEL, s, NULL);
	for (int i = c->first; i < c->first + c->n; i++)
		fleet[(size_t)i].announced = false;
	c->fd = -1;
	c->out = false;
	set_state(c, C_BACKOFF);
	c->broker = (c->broker + 1) % (int)opt->brokers.size();
	int shift = c->tries < 4 ? c->tries : 4;
	int most = 250 << shift;
	if (most > FLEET_BACKOFF_MS)
		most = FLEET_BACKOFF_MS;
	c->tries++;
	fleet_wake_at(FLEET_KEY_CONN(ci), fleet_now() + most / 2 +
	    rand() % (most / 2 + 1));
}

static void
on_disconnect(struct mosquitto *m, void *arg, int rc)
{
	(void)m;
	struct conn *c = conn_of(arg);

	if (!stopping)
		conn_down(c, rc == 0 ? "disconnected" : mosquitto_strerror(rc));
}

static void
subscribe(struct conn *c)
{
	std::vector<std::string> subs;
	struct mqtt_topics tp;
	struct mqtt_sim_topics st;

	/* One thermostat's topics, or with + every thermostat's. */
	auto add = [&](const struct mqtt_topics *t) {
		struct mqtt_sim_topics s;
		mqtt_sim_topics(t, &s);
		for (int k = 0; k < CMD_KINDS; k++)
			subs.push_back(t->command[k]);
		for (int k = 0; k < SIMCMD_KINDS; k++)
			subs.push_back(s.command[k]);
	};
	/* The watcher's wildcards cover its own thermostat: subscribing
	 * both would bring a press twice from a broker that delivers once
	 * per matching subscription. */
	if (opt->connection == CONN_EACH && !c->watcher) {
		topics_of(c->first, &tp);
		add(&tp);
	}
	if (opt->connection == CONN_SHARED || c->watcher) {
		mqtt_make_topics(opt->prefix, "+", opt->dprefix, &tp);
		add(&tp);
	}
	mqtt_sim_topics(&tp, &st);
	subs.push_back(tp.ha_status);
	subs.push_back(fleet_topic);
	std::vector<char *> v;
	for (auto &s : subs)
		v.push_back(&s[0]);
	/*
	 * QoS 0: a clean session holds nothing for a thermostat away, so
	 * QoS 1 would buy nothing on a live connection, and a clustered
	 * broker (NATS) makes each QoS 1 subscription a replicated consumer,
	 * which thousands of thermostats' subscriptions swamp.
	 */
	mosquitto_subscribe_multiple(c->m, NULL, (int)v.size(), v.data(), 0,
	    0, NULL);
}

static void
on_connect(struct mosquitto *m, void *arg, int rc)
{
	(void)m;
	struct conn *c = conn_of(arg);
	int ci = (int)(c - conns.data());

	if (rc != 0) {
		logline_on(opt->brokers[(size_t)c->broker].name, "broker %s "
		    "refused the connection (%s)", opt->brokers[(size_t)c->
		    broker].name, mosquitto_connack_string(rc));
		return;		/* libmosquitto drops it: on_disconnect */
	}
	set_state(c, C_UP);
	c->tries = 0;
	if ((window += 0.25) > CONNECTING_MAX)
		window = CONNECTING_MAX;
	up++;
	subscribe(c);
	/* Announced from the loop, not all queued here: net_announce. */
	announce_from_start(c);
	fleet_wake_at(FLEET_KEY_CONN(ci), fleet_now() + 1000);
}

static void
take_command(int i, int kind, const struct mosquitto_message *msg)
{
	const char *why;
	char refusal[KC_WHY_LEN];
	int value;

	if (!mqtt_parse_command(kind, msg->payload, msg->payloadlen, &value,
	    &why)) {
		logline_on(msg->topic, "%s: %s ignored (expected %s)",
		    msg->topic, mqtt_quote(msg->payload,
		    msg->payloadlen).c_str(), why);
		return;
	}
	if (!world_command(&fleet[(size_t)i], kind, value, refusal,
	    sizeof(refusal))) {
		refused++;
		logline_on(msg->topic, kind == CMD_MODE && value == MODE_AUTO ?
		    "%s: %s ignored (%s)" : "%s: %s refused: %s", msg->topic,
		    mqtt_quote(msg->payload, msg->payloadlen).c_str(), refusal);
	}
	commands++;
	if (!fleet[(size_t)i].pending)
		pending.push_back(i);
	fleet[(size_t)i].pending = true;
}

static void
take_batch(int i, const struct client_batch *b, const char *topic)
{
	struct thermostat *t = &fleet[(size_t)i];

	if (!world_batch(t, b)) {
		refused++;
		logline_on(topic, "%s: refused: %s", topic, t->error);
	}
	commands++;
	if (!t->pending)
		pending.push_back(i);
	t->pending = true;
}

/* A message on PREFIX/ID/...: the thermostat's, if it is ours. */
static void
for_thermostat(struct conn *c, const struct mosquitto_message *msg,
    const char *rest)
{
	const char *slash = strchr(rest, '/');
	struct mqtt_topics tp;
	struct mqtt_sim_topics st;
	struct client_batch b;
	std::string why;
	int i, kind;

	if (slash == NULL)
		return;
	std::string id(rest, (size_t)(slash - rest));
	if (!mqtt_valid_id(id.c_str()))
		return;
	mqtt_make_topics(opt->prefix, id, opt->dprefix, &tp);
	mqtt_sim_topics(&tp, &st);
	int cmd = mqtt_command_of(&tp, msg->topic);
	int sim = mqtt_sim_command_of(&st, msg->topic);
	if (cmd < 0 && sim < 0)
		return;
	if ((i = world_find(id.data(), id.size())) < 0) {
		/* Another shard's thermostats are not ours to mention. */
		char *end;
		long num = strtol(id.c_str() + 1, &end, 10);
		if (id[0] != 't' || *end != '\0' || num < 1 ||
		    num > opt->count || id.size() != (size_t)fleet_width + 1)
			logline_on(msg->topic, "%s: no thermostat %s in this "
			    "fleet (t%0*d..t%d); ignored", msg->topic,
			    id.c_str(), fleet_width, 1, opt->count);
		return;
	}
	if (fleet[(size_t)i].conn != (int)(c - conns.data()))
		return;		/* its own connection takes it */
	if (msg->retain) {
		logline_on(msg->topic, "%s: retained %s ignored (commands must "
		    "not be retained)", msg->topic, mqtt_quote(msg->payload,
		    msg->payloadlen).c_str());
		return;
	}
	if (cmd >= 0) {
		take_command(i, cmd, msg);
		return;
	}
	kind = sim;
	if (!mqtt_sim_parse(kind, msg->payload, msg->payloadlen, &b, &why)) {
		logline_on(msg->topic, "%s: %s ignored (%s)", msg->topic,
		    mqtt_quote(msg->payload, msg->payloadlen).c_str(),
		    why.c_str());
		return;
	}
	take_batch(i, &b, msg->topic);
}

static void
on_message(struct mosquitto *m, void *arg, const struct mosquitto_message *msg)
{
	(void)m;
	struct conn *c = conn_of(arg);
	struct mqtt_topics tp;
	struct client_batch b;
	std::string why;
	size_t plen = opt->prefix.size();

	topics_of(c->first, &tp);
	if (tp.ha_status == msg->topic) {
		if (msg->payloadlen == (int)strlen(MQTT_ONLINE) &&
		    memcmp(msg->payload, MQTT_ONLINE, strlen(MQTT_ONLINE)) == 0)
			announce_from_start(c);
		return;
	}
	if (fleet_topic == msg->topic) {
		if (msg->retain)
			return;
		if (!mqtt_sim_parse(SIMCMD_SET, msg->payload, msg->payloadlen,
		    &b, &why)) {
			logline_on(msg->topic, "%s: %s ignored (%s)", msg->topic,
			    mqtt_quote(msg->payload, msg->payloadlen).c_str(),
			    why.c_str());
			return;
		}
		for (int i = c->first; i < c->first + c->n; i++)
			take_batch(i, &b, msg->topic);
		return;
	}
	if (strncmp(msg->topic, opt->prefix.c_str(), plen) == 0 &&
	    msg->topic[plen] == '/')
		for_thermostat(c, msg, msg->topic + plen + 1);
}

static void
start_connect(int ci)
{
	struct conn *c = &conns[(size_t)ci];
	const struct fleet_broker *b = &opt->brokers[(size_t)c->broker];
	struct epoll_event ev;
	int rc, s;

	set_state(c, C_CONNECTING);
	rc = mosquitto_connect_async(c->m, b->host, b->port, FLEET_KEEPALIVE);
	if (rc != MOSQ_ERR_SUCCESS) {
		conn_down(c, rc == MOSQ_ERR_ERRNO ? strerror(errno) :
		    mosquitto_strerror(rc));
		return;
	}
	if ((s = mosquitto_socket(c->m)) < 0) {
		conn_down(c, "no socket");
		return;
	}
	memset(&ev, 0, sizeof(ev));
	ev.events = EPOLLIN | EPOLLOUT;
	ev.data.u64 = ev_data(ci);
	if (epoll_ctl(epfd, EPOLL_CTL_ADD, s, &ev) < 0) {
		conn_down(c, strerror(errno));
		return;
	}
	c->fd = s;
	c->out = true;
	touch(c);
	/* CONNECT written whole: connected at once (loopback often is). */
	if (!mosquitto_want_write(c->m)) {
		c->established = true;
		connecting++;
	}
	fleet_wake_at(FLEET_KEY_CONN(ci), fleet_now() +
	    (opt->brokers.size() > 1 ? CONNECT_FAILOVER_MS : CONNECT_MS));
}

void
net_pace(long long now)
{
	tokens += (double)(now - paced) * opt->rate / 1000.0;
	paced = now;
	/* A burst of a tenth of a second at most. */
	if (tokens > opt->rate / 10.0 + 1)
		tokens = opt->rate / 10.0 + 1;
	while (!queued.empty() && tokens >= 1 && !stopping &&
	    connecting < (int)window) {
		int ci = queued.front();
		queued.pop_front();
		tokens -= 1;
		start_connect(ci);
	}
}

void
net_event(int ci, uint32_t events)
{
	struct conn *c = &conns[(size_t)ci];
	int rc = MOSQ_ERR_SUCCESS;

	if (c->fd < 0)
		return;
	touch(c);
	/* Writable first, without an error: the TCP connection is made. */
	if (c->state == C_CONNECTING && !c->established && (events &
	    EPOLLOUT) && !(events & (EPOLLERR | EPOLLHUP))) {
		c->established = true;
		connecting++;
	}
	if (events & (EPOLLIN | EPOLLERR | EPOLLHUP))
		rc = mosquitto_loop_read(c->m, 1);
	if (rc == MOSQ_ERR_SUCCESS && c->fd >= 0 && (events & EPOLLOUT))
		rc = mosquitto_loop_write(c->m, 1);
	if (rc != MOSQ_ERR_SUCCESS && c->fd >= 0 && !stopping)
		conn_down(c, rc == MOSQ_ERR_ERRNO ? strerror(errno) :
		    mosquitto_strerror(rc));
}

void
net_timer(int ci, long long now)
{
	struct conn *c = &conns[(size_t)ci];

	switch (c->state) {
	case C_BACKOFF:
		set_state(c, C_QUEUED);
		queued.push_back(ci);
		break;
	case C_CONNECTING: {
		/* A broker that took the connection and did not answer. */
		bool slow = c->established;
		mosquitto_disconnect(c->m);
		conn_down(c, "no answer in 10 s");
		if (slow && now - window_cut >= 1000) {
			window_cut = now;
			if ((window /= 2) < CONNECTING_MIN)
				window = CONNECTING_MIN;
		}
		break;
	}
	case C_UP:
		touch(c);	/* a PINGREQ may be queued */
		if (mosquitto_loop_misc(c->m) != MOSQ_ERR_SUCCESS && c->state ==
		    C_UP)
			conn_down(c, "keep-alive failed");
		if (c->state == C_UP)
			fleet_wake_at(FLEET_KEY_CONN(ci), now + 1000);
		break;
	}
}

void
net_flush(void)
{
	size_t kept = 0;

	/* Those still writing stay on the list until their queue drains. */
	for (int ci : touched) {
		struct conn *c = &conns[(size_t)ci];
		bool more = c->fd >= 0 && mosquitto_want_write(c->m);
		watch(c, more);
		if (more)
			touched[kept++] = ci;
		else
			c->touched = false;
	}
	touched.resize(kept);
	if (!all_said && up == (int)conns.size() && !conns.empty() &&
	    announcing.empty()) {
		all_said = true;
		logline("all %zu thermostats connected (%d connection%s)",
		    fleet.size(), up, up == 1 ? "" : "s");
	}
}

void
net_commit(void)
{
	long long now = fleet_now();

	if (pending.empty())
		return;
	/* Saved first: a published change is never one the store lacks. */
	store_save(true, NULL);
	for (int i : pending) {
		struct thermostat *t = &fleet[(size_t)i];
		t->pending = false;
		if (t->w.paused)
			fleet_wake_at(i, -1);
		else if (!fleet_waiting(i))
			fleet_wake_at(i, now + t->w.interval);
		net_publish_state(i, true);
	}
	pending.clear();
}

/* After a tick: published on a change, every tick, or at the heartbeat. */
void
net_ticked(int i, long long now)
{
	struct thermostat *t = &fleet[(size_t)i];
	struct fleet_shown shown;

	if (!is_up(i))
		return;
	if (opt->publish == PUBLISH_TICK || world_changed(t, &shown) ||
	    now - t->last_pub >= (long long)opt->heartbeat * 1000)
		net_publish_state(i, false);
}

/*
 * The client of connection ci, named as a device would be: the
 * thermostat's id, or the shard for a shared connection.
 */
static bool
make_client(int ci)
{
	struct conn *c = &conns[(size_t)ci];
	std::string cid = "kelvo-fleet/" + opt->prefix + "/";
	char id[16];

	if (opt->connection == CONN_EACH) {
		world_id(fleet[(size_t)c->first].num, id, sizeof(id));
		cid += id;
	} else
		cid += "shard-" + std::to_string(opt->shard) + "-of-" +
		    std::to_string(opt->shards);
	/* ci + 1: libmosquitto takes NULL for "the client itself". */
	c->m = mosquitto_new(cid.c_str(), true, (void *)(intptr_t)(ci + 1));
	if (c->m == NULL)
		return false;
	mosquitto_int_option(c->m, MOSQ_OPT_TCP_NODELAY, 1);
	if (!opt->username.empty())
		mosquitto_username_pw_set(c->m, opt->username.c_str(),
		    opt->has_password ? opt->password.c_str() : NULL);
	if (!opt->cafile.empty() && mosquitto_tls_set(c->m,
	    opt->cafile.c_str(), NULL, NULL, NULL, NULL) != MOSQ_ERR_SUCCESS) {
		fprintf(stderr, "kelvo-fleet: cannot use CA file %s: not a "
		    "readable file\n", opt->cafile.c_str());
		return false;
	}
	if (opt->tls && opt->cafile.empty())
		mosquitto_int_option(c->m, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
	if (opt->connection == CONN_EACH) {
		struct mqtt_topics tp;
		topics_of(c->first, &tp);
		mosquitto_will_set(c->m, tp.availability.c_str(),
		    (int)strlen(MQTT_OFFLINE), MQTT_OFFLINE, 1, true);
	}
	mosquitto_connect_callback_set(c->m, on_connect);
	mosquitto_disconnect_callback_set(c->m, on_disconnect);
	mosquitto_message_callback_set(c->m, on_message);
	return true;
}

bool
net_start(const struct fleet_options *o, int ep)
{
	opt = o;
	epfd = ep;
	fleet_topic = o->prefix + "/fleet/sim/set";
	int n = o->connection == CONN_EACH ? (int)fleet.size() : 1;
	conns.assign((size_t)n, conn());
	for (int ci = 0; ci < n; ci++) {
		struct conn *c = &conns[(size_t)ci];
		c->fd = -1;
		c->state = C_QUEUED;
		c->first = o->connection == CONN_EACH ? ci : 0;
		c->n = o->connection == CONN_EACH ? 1 : (int)fleet.size();
		c->watcher = ci == 0;
		for (int i = c->first; i < c->first + c->n; i++)
			fleet[(size_t)i].conn = ci;
		if (!make_client(ci)) {
			fprintf(stderr, "kelvo-fleet: cannot make an MQTT "
			    "client: %s\n", strerror(errno));
			return false;
		}
		queued.push_back(ci);
	}
	paced = fleet_now();
	tokens = 1;
	return true;
}

int
net_keys(void)
{
	return (int)conns.size();
}

int
net_up(void)
{
	return up;
}

/*
 * offline for every thermostat, then a clean disconnect so the brokers
 * send no will on top of it; what is queued is written for up to
 * STOP_MS.
 */
void
net_stop(void)
{
	const long long STOP_MS = 2000;
	long long until = fleet_now() + STOP_MS;

	for (size_t i = 0; i < fleet.size(); i++) {
		struct mqtt_topics tp;
		if (!conn_up((int)i))
			continue;
		topics_of((int)i, &tp);
		publish(&conns[(size_t)fleet[i].conn], tp.availability,
		    MQTT_OFFLINE, 1);
	}
	stopping = true;
	for (auto &c : conns)
		if (c.state == C_UP)
			mosquitto_disconnect(c.m);
	bool left = true;
	while (left && fleet_now() < until) {
		left = false;
		for (auto &c : conns)
			if (c.fd >= 0 && c.state == C_UP &&
			    mosquitto_want_write(c.m)) {
				mosquitto_loop_write(c.m, 1);
				left = true;
			}
		if (left)
			usleep(1000);
	}
	for (auto &c : conns)
		mosquitto_destroy(c.m);
	conns.clear();
}

void
net_counts(struct net_counts *c)
{
	c->up = up;
	c->down = (int)conns.size() - up;
	c->publishes = publishes;
	c->commands = commands;
	c->refused = refused;
}

std::string
net_fleet_state(void)
{
	nlohmann::ordered_json j, plant = nlohmann::ordered_json::object();
	static const int plants[] = { PLANT_HEATING, PLANT_COOLING, PLANT_FAN,
	    PLANT_IDLE, PLANT_OFF };
	int by[6] = { 0 };

	for (const auto &t : fleet) {
		int p = kc_plant(t.w.mode, t.w.running ? SYS_ON : SYS_OFF,
		    t.w.fan);
		by[p >= 0 && p < 6 ? p : 0]++;
	}
	for (int p : plants)
		plant[kc_plant_name(p)] = by[p];
	plant["unknown"] = by[PLANT_NONE];
	j["thermostats"] = fleet.size();
	j["shard"] = std::to_string(opt->shard) + "/" +
	    std::to_string(opt->shards);
	j["plant"] = plant;
	j["connection"] = { { "up", up }, { "down", (int)conns.size() - up } };
	return j.dump();
}

/* The fleet's document, retained, on the first connection that is up. */
void
net_publish_fleet(void)
{
	for (auto &c : conns)
		if (c.state == C_UP && !stopping) {
			/* Shards of one fleet each count their own. */
			publish(&c, opt->prefix + "/fleet/state" + (opt->shards
			    > 1 ? "/" + std::to_string(opt->shard) : ""),
			    net_fleet_state(), 1);
			return;
		}
}
