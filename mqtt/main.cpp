/*
 * main.cpp - kelvo-mqtt: one kelvo on an MQTT broker, announced to Home
 * Assistant as a climate device, taking commands back.
 *
 * Three parties run at once.  libmosquitto's network thread owns the
 * connection: it connects, reconnects with a growing delay when the
 * broker goes away, and calls on_connect and on_message.  The link to
 * kelvo (link.h) runs a reader and a worker; its hooks publish the state
 * and the availability.  The main thread only waits for SIGTERM or SIGINT
 * (mainloop.h: blocked in every thread, so no handler runs at all), woken
 * by the network thread to time the hello below.
 *
 * What the broker holds must end up true whatever order the threads run
 * in: everything that decides or publishes availability and state does so
 * under pub_mutex, and each connection publishes discovery, state and
 * availability afresh, so a broker restarted without its retained
 * messages gets them back.  Once stopping is set nothing more is
 * published, which also keeps the link's threads, which never end, away
 * from the client after it is destroyed.
 *
 * A broker that is not there yet is no reason to give up: a daemon may
 * well start before its broker, so the first failure is said once and
 * the network thread keeps trying.  Only what cannot work whatever the
 * broker does (bad options, no client, no link) stops start-up.
 *
 * Two bridges given the same id would publish two kelvos' states on one
 * set of topics.  Each process has a client id of its own, so the broker
 * never throws one off for the other (which, with a shared client id,
 * they would do to each other for ever, each reconnection taking over the
 * other's session).  A starting bridge says hello on BASE/bridge before it
 * publishes anything; a bridge already there answers, and the newcomer
 * says so and leaves with status 1, the one running undisturbed.
 */
#include <ctype.h>
#include <errno.h>
#include <getopt.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <string>

#include <mosquitto.h>

#include "json.h"
#include "link.h"
#include "logline.h"
#include "mainloop.h"
#include "mqttopts.h"
#include "parse.h"
#include "platform.h"
#include "sim.h"
#include "simjson.h"
#include "simlink.h"
#include "topics.h"

#define KEEPALIVE	15	/* s; a silent bridge is offline after 1.5x */
#define RECONNECT_MIN	1	/* s, one more each try up to RECONNECT_MAX */
#define RECONNECT_MAX	5
#define OFFLINE_WAIT_MS	2000	/* for the broker to take the last word */
#define STOP_PRESS_MS	1000	/* to write presses already taken */
#define WAITING_SAY_S	5	/* s without a broker before saying so */
#define HELLO_MS	1500	/* for a bridge with our id to answer */

static struct mosquitto *mosq;
static struct mqtt_topics topics;
static std::string discovery;		/* the config text */
static bool discovered_modern;		/* discovery is a modern kelvo's */
static std::string our_id;		/* the thermostat's id, for it */
static char broker[300];		/* HOST:PORT, for the trace */
static std::string client_id;		/* ours alone: BASE/HOST-PID */
static struct mqtt_sim_topics simtopics;
static std::string dprefix_used;	/* DPREFIX, for the sim's configs */
static int config_minutes = -1;		/* pm_minutes the configs were for */

/* What the broker is told; guarded by pub_mutex. */
static std::mutex pub_mutex;
static bool connected;			/* a connection is up */
static bool ever_connected;		/* once: no "still waiting" line */
static bool kelvo_up;			/* the link says kelvo runs */
static bool stopping;			/* publish nothing more */
static bool greeting = true;		/* hello said, answer awaited */
static long long greet_until = -1;	/* ms; -1 before the first connection */
static std::string other_bridge;	/* who answered our hello */
static int last_refusal;		/* CONNACK code said last, 0 none */

/* Its own lock: the library may log from inside a call under pub_mutex. */
static std::mutex error_mutex;
static std::string last_error;		/* library error said last */

/* The last "offline", waited for on the way out. */
static std::mutex offline_mutex;
static std::condition_variable offline_cv;
static int offline_mid = -1;
static bool offline_sent;

/* The setting each set command targets; the press command has none. */
static const char *const target_of[CMD_KINDS] = { "ts_mode", "ts_fan",
    "ts_temp", NULL };

static int
publish(const std::string &topic, const std::string &payload, int qos,
    int *mid = NULL)
{
	return mosquitto_publish(mosq, mid, topic.c_str(), (int)payload.size(),
	    payload.data(), qos, true);
}

/* Nothing goes out before we know the id is ours; pub_mutex held. */
static bool
may_publish_locked(void)
{
	return connected && !stopping && !greeting;
}

/* The truth about availability; pub_mutex held. */
static void
announce_locked(void)
{
	if (may_publish_locked())
		publish(topics.availability, kelvo_up ? MQTT_ONLINE :
		    MQTT_OFFLINE, 1);
}

/*
 * The sim object and, with configs or when the speed changed (the hour
 * button's ticks and name follow it), the simulation's discovery
 * configs; pub_mutex held.
 */
static void
publish_sim_locked(bool configs)
{
	struct client_sim sim;
	bool have = simlink_latest(&sim);

	if (!connected || stopping)
		return;
	if (have) {
		configs = configs || sim.pm_minutes != config_minutes;
		config_minutes = sim.pm_minutes;
	}
	if (configs)
		for (const auto &c : mqtt_sim_discovery(topics.base.substr(
		    topics.base.rfind('/') + 1), dprefix_used, &topics,
		    &simtopics, have ? &sim : NULL))
			publish(c.first, c.second, 1);
	if (have)
		publish(simtopics.state, client_sim_json(&sim).dump(), 1);
}

/* Everything a fresh broker or a restarted Home Assistant needs. */
static void
publish_all_locked(void)
{
	struct client_state st;

	if (!may_publish_locked())
		return;
	publish(topics.discovery, discovery, 1);
	if (link_latest(&st))
		publish(topics.state, mqtt_state_json(&st).dump(), 0);
	publish_sim_locked(true);
	announce_locked();
}

static void
on_connect(struct mosquitto *m, void *arg, int rc)
{
	(void)arg;
	std::lock_guard<std::mutex> lk(pub_mutex);
	if (stopping)
		return;
	/* Said once: a wrong password is refused every few seconds. */
	if (rc != 0) {
		if (rc != last_refusal)
			logline("broker %s refused the connection (%s); "
			    "trying again", broker, mosquitto_connack_string(rc));
		last_refusal = rc;
		return;
	}
	last_refusal = 0;
	{
		std::lock_guard<std::mutex> elk(error_mutex);
		last_error.clear();
	}
	logline("connected to broker %s as %s", broker, topics.base.c_str());
	for (int k = 0; k < CMD_KINDS; k++)
		mosquitto_subscribe(m, NULL, topics.command[k].c_str(), 1);
	mosquitto_subscribe(m, NULL, topics.ha_status.c_str(), 1);
	mosquitto_subscribe(m, NULL, topics.bridge.c_str(), 1);
	/* The broker takes the subscription before the hello, so an
	 * answer cannot pass us by. */
	if (!ever_connected) {
		std::string hello = "hello " + client_id;
		mosquitto_publish(m, NULL, topics.bridge.c_str(),
		    (int)hello.size(), hello.data(), 1, false);
		greet_until = link_now() + HELLO_MS;
		mainloop_wake();
	}
	for (int k = 0; k < SIMCMD_KINDS; k++)
		mosquitto_subscribe(m, NULL, simtopics.command[k].c_str(), 1);
	connected = ever_connected = true;
	publish_all_locked();
}

/*
 * Another bridge's hello or answer on BASE/bridge.  Only a bridge that
 * has got past its own hello answers, so two that start together both
 * carry on rather than both leaving.
 */
static void
on_bridge(const struct mosquitto_message *msg)
{
	std::string text((const char *)msg->payload, msg->payloadlen > 0 ?
	    (size_t)msg->payloadlen : 0);
	size_t sp = text.find(' ');

	if (msg->retain || sp == std::string::npos ||
	    text.compare(sp + 1, std::string::npos, client_id) == 0)
		return;
	std::string word = text.substr(0, sp), who = text.substr(sp + 1);
	std::lock_guard<std::mutex> lk(pub_mutex);
	if (word == "hello" && !greeting && connected && !stopping) {
		std::string here = "here " + client_id;
		mosquitto_publish(mosq, NULL, topics.bridge.c_str(),
		    (int)here.size(), here.data(), 1, false);
		logline("another bridge (%s) started with id %s; told it this "
		    "one is here", mqtt_quote(who.data(), (int)who.size()).c_str(),
		    topics.base.c_str());
	} else if (word == "here" && greeting && other_bridge.empty())
		other_bridge = who;
}

static void
on_disconnect(struct mosquitto *m, void *arg, int rc)
{
	bool quiet;

	(void)m;
	(void)arg;
	{
		std::lock_guard<std::mutex> lk(pub_mutex);
		quiet = stopping || !connected;
		connected = false;
	}
	if (!quiet)
		logline("lost broker %s (%s); reconnecting", broker,
		    rc == 0 ? "disconnected" : mosquitto_strerror(rc));
}

static void
on_publish(struct mosquitto *m, void *arg, int mid)
{
	(void)m;
	(void)arg;
	std::lock_guard<std::mutex> lk(offline_mutex);
	if (mid == offline_mid) {
		offline_sent = true;
		offline_cv.notify_all();
	}
}

/* A command of the simulation: read here, sent by the sim worker. */
static void
on_sim_command(int kind, const struct mosquitto_message *msg)
{
	struct client_batch b;
	std::string why;

	if (msg->retain) {
		logline_on(msg->topic, "%s: retained %s ignored (commands must "
		    "not be retained)", msg->topic, mqtt_quote(msg->payload,
		    msg->payloadlen).c_str());
		return;
	}
	if (!mqtt_sim_parse(kind, msg->payload, msg->payloadlen, &b, &why)) {
		logline_on(msg->topic, "%s: %s ignored (%s)", msg->topic,
		    mqtt_quote(msg->payload, msg->payloadlen).c_str(),
		    why.c_str());
		return;
	}
	mqtt_sim_send(&b, msg->topic);
}

/* Whether kelvo's latest outputs are a modern thermostat's. */
static bool
latest_modern(void)
{
	struct client_state st;

	return link_latest(&st) && st.modern;
}

/*
 * A modern command: one control batch, so that kelvo judges it by the
 * deadband's rule; a refusal is said in a line (mqtt_sim_send) and
 * changes nothing.
 */
static void
modern_command(int kind, int value, const char *topic)
{
	struct client_batch b;
	char v[16];

	client_batch_init(&b);
	snprintf(v, sizeof(v), "%d", value);
	if (kind == CMD_PRESET)
		client_batch_add(&b, "preset", kc_presets[value].name);
	else
		client_batch_add(&b, kind == CMD_LOW ? "ts_temp_low" :
		    "ts_temp_high", v);
	mqtt_sim_send(&b, topic);
}

static void
on_message(struct mosquitto *m, void *arg, const struct mosquitto_message *msg)
{
	const char *why, *topic = msg->topic;
	int kind, value, rc;

	(void)m;
	(void)arg;
	/* Home Assistant came (back): it wants the config again. */
	if (topics.bridge == topic) {
		on_bridge(msg);
		return;
	}
	if (topics.ha_status == topic) {
		if (msg->payloadlen == (int)strlen(MQTT_ONLINE) &&
		    memcmp(msg->payload, MQTT_ONLINE, msg->payloadlen) == 0) {
			std::lock_guard<std::mutex> lk(pub_mutex);
			publish_all_locked();
		}
		return;
	}
	if ((kind = mqtt_sim_command_of(&simtopics, topic)) >= 0) {
		on_sim_command(kind, msg);
		return;
	}
	if ((kind = mqtt_command_of(&topics, topic)) < 0)
		return;
	std::string q = mqtt_quote(msg->payload, msg->payloadlen);
	/* A retained command would be taken again on every reconnection. */
	if (msg->retain) {
		logline_on(topic, "%s: retained %s ignored (commands must not "
		    "be retained)", topic, q.c_str());
		return;
	}
	if (!mqtt_parse_command(kind, msg->payload, msg->payloadlen, &value,
	    &why)) {
		logline_on(topic, "%s: %s ignored (expected %s)", topic,
		    q.c_str(), why);
		return;
	}
	/* Perhaps another bridge's command, if the id is not ours. */
	{
		std::lock_guard<std::mutex> lk(pub_mutex);
		if (greeting) {
			logline_on(topic, "%s: %s dropped: still checking that "
			    "no other bridge has this id", topic, q.c_str());
			return;
		}
	}
	if (kind >= CMD_FIRST_BATCH) {
		modern_command(kind, value, topic);
		return;
	}
	if (kind == CMD_MODE && value == MODE_AUTO && !latest_modern()) {
		logline_on(topic, "%s: %s ignored (AUTO is a mode of the modern "
		    "profile only)", topic, q.c_str());
		return;
	}
	rc = kind == CMD_PRESS ? link_press(value) :
	    link_set(target_of[kind], kind == CMD_MODE ? kc_mode_name(value) :
	    kind == CMD_FAN ? kc_fan_name(value) :
	    std::to_string(value).c_str());
	if (rc == LINK_DOWN)
		logline_on(topic, "%s: %s dropped: kelvo is not running", topic,
		    q.c_str());
	else if (rc == LINK_FULL)
		logline_on(topic, "%s: %s dropped: too many presses waiting",
		    topic, q.c_str());
	else if (rc == LINK_BAD)
		logline_on(topic, "%s: %s refused: outside the thermostat's "
		    "limits", topic, q.c_str());
}

/* The link's hooks, on its threads. */
static void
on_published(const struct client_state *st, void *arg)
{
	(void)arg;
	std::string text = mqtt_state_json(st).dump();
	std::lock_guard<std::mutex> lk(pub_mutex);
	/* Another profile is another device to Home Assistant: say so. */
	if (st->modern != discovered_modern) {
		discovered_modern = st->modern;
		discovery = mqtt_discovery(our_id, &topics, "kelvo-mqtt",
		    st->modern).dump();
		if (may_publish_locked())
			publish(topics.discovery, discovery, 1);
	}
	if (may_publish_locked())
		publish(topics.state, text, 0);
}

static void
on_running(bool running, void *arg)
{
	(void)arg;
	{
		std::lock_guard<std::mutex> lk(pub_mutex);
		kelvo_up = running;
		announce_locked();
	}
	logline(running ? "kelvo is running" :
	    "kelvo is not running: offline until it is back");
}

static void
on_sim(const struct client_sim *sim, void *arg)
{
	(void)sim;
	(void)arg;
	std::lock_guard<std::mutex> lk(pub_mutex);
	publish_sim_locked(false);
}

static void
say_line(const char *about, const char *line)
{
	logline_on(about, "%s", line);
}

/*
 * kelvo's answer to a command: one that was not applied says why, "may
 * yet be taken" when nobody knows yet.
 */
static void
on_answered(const char *what, int result, const char *why, void *arg)
{
	(void)arg;
	if (result != CONTROL_APPLIED)
		logline("%s: %s", what, why);
}

static void
on_trace(const char *line, void *arg)
{
	(void)arg;
	logline("%s", line);
}

/*
 * libmosquitto says why a connection failed (TLS above all: an unknown
 * CA, a name that does not match) only in its log; each distinct error
 * is told once until a connection succeeds.
 */
static void
on_log(struct mosquitto *m, void *arg, int level, const char *str)
{
	(void)m;
	(void)arg;
	if (level != MOSQ_LOG_ERR)
		return;
	std::lock_guard<std::mutex> lk(error_mutex);
	if (last_error == str)
		return;
	last_error = str;
	logline("broker %s: %s", broker, str);
}

static void
usage(FILE *f)
{
	fprintf(f,
	    "usage: kelvo-mqtt [--broker HOST[:PORT]] [--id ID] [--prefix PREFIX]\n"
	    "                  [--discovery-prefix DPREFIX] [--username USER]\n"
	    "                  [--cafile FILE | --tls]\n"
	    "Bridges the kelvo under $PPS_ROOT/kelvo (default /pps) to an MQTT\n"
	    "broker (default localhost:1883, 8883 with TLS) as PREFIX/ID (default\n"
	    "kelvo/kelvo), announced to Home Assistant under DPREFIX (default\n"
	    "homeassistant).  ID is letters, digits, '_' and '-'.  The password\n"
	    "for USER is taken from $" MQTT_PASSWORD_ENV ".  --cafile speaks TLS with\n"
	    "the broker's CA certificate in FILE, --tls with the system's CAs.\n");
}

/* Whether the first connection said "not reachable yet". */
static bool said_waiting;

/* Whether "no broker yet" has been said, and since when it would be. */
struct waiting {
	long long	 started;	/* ms */
	bool		 said;
};

/*
 * The main thread's look, once a second and when woken: the hello's
 * answer awaited (every 50 ms until it is due), and the network thread,
 * which connects in the background and says nothing while it keeps
 * failing: said once that it is still waiting.  -1 when another bridge
 * answered.
 */
static int
tick(void *arg)
{
	struct waiting *w = (struct waiting *)arg;
	std::lock_guard<std::mutex> lk(pub_mutex);

	if (!other_bridge.empty())
		return -1;
	/* Nobody answered: the id is ours, and the broker learns all. */
	if (greeting && greet_until >= 0 && link_now() >= greet_until) {
		greeting = false;
		publish_all_locked();
	}
	if (!w->said && link_now() - w->started >= WAITING_SAY_S * 1000) {
		if (!ever_connected)
			logline("no broker at %s yet; trying again until "
			    "there is", broker);
		w->said = true;
	}
	return greeting && greet_until >= 0 ? 50 : MAINLOOP_MS;
}

static bool
topic_ok(const std::string &t)
{
	return mosquitto_validate_utf8(t.c_str(), (int)t.size()) ==
	    MOSQ_ERR_SUCCESS && mosquitto_pub_topic_check(t.c_str()) ==
	    MOSQ_ERR_SUCCESS;
}

/* What the command line and the environment asked for. */
struct options : mqtt_options {
	std::string	 id = "kelvo";
	char		 host[HOSTPORT_HOST_MAX] = "localhost";
	int		 port = -1;
};

static int take_option(int ch, void *arg);

static const struct option own_options[] = {
	{ "broker", required_argument, NULL, 'b' },
	{ "id", required_argument, NULL, 'i' },
	{ NULL, 0, NULL, 0 },
};
static struct mqtt_face face = { "kelvo-mqtt", usage, own_options,
    take_option, NULL };

/* One of kelvo-mqtt's own options into arg; as mqtt_face's take. */
static int
take_option(int ch, void *arg)
{
	struct options *o = (struct options *)arg;

	switch (ch) {
	case 'b':
		/* HOST, HOST:PORT, [V6ADDR] or [V6ADDR]:PORT, and a bare
		 * V6ADDR without one; the port's default waits for --tls. */
		if (!client_hostport(optarg, HOSTPORT_OPTIONAL, o->host,
		    sizeof(o->host), &o->port))
			return mqtt_bad_usage(&face, "bad broker \"%s\" (HOST "
			    "or HOST:PORT, PORT 1..65535)", optarg);
		return -1;
	case 'i':
		if (!mqtt_valid_id(optarg))
			return mqtt_bad_usage(&face, "bad id \"%s\" (letters, "
			    "digits, '_' and '-' only)", optarg);
		o->id = optarg;
		return -1;
	default:		/* only its own options come here */
		return -1;
	}
}

/*
 * The options, the password from the environment, and the topics they
 * make; -1 to go on, else the status to exit with.
 */
static int
read_options(int argc, char *argv[], struct options *o)
{
	int rc;

	face.arg = o;
	if ((rc = mqtt_read_options(argc, argv, &face, o)) >= 0)
		return rc;
	if (o->port < 0)
		o->port = mqtt_default_port(o->tls);
	if ((rc = mqtt_take_password(&face, o)) >= 0)
		return rc;
	mqtt_make_topics(o->prefix, o->id, o->dprefix, &topics);
	mqtt_sim_topics(&topics, &simtopics);
	dprefix_used = o->dprefix;
	if (!topic_ok(topics.command[CMD_SETPOINT]) ||
	    !topic_ok(topics.discovery))
		return mqtt_bad_usage(&face, "prefixes \"%s\" and \"%s\" do "
		    "not make MQTT topics", o->prefix.c_str(),
		    o->dprefix.c_str());
	our_id = o->id;
	discovery = mqtt_discovery(o->id, &topics).dump();
	mqtt_broker_name(o->host, o->port, broker, sizeof(broker));
	return -1;
}

/*
 * The broker session: the client, its id, credentials, TLS, will and
 * callbacks; false, said on stderr, when one cannot be had.
 */
static bool
make_session(struct options *o)
{
	char host_name[64];
	int rc;

	/* Ours alone (see the top): the host tells bridges of one id apart
	 * across a fleet, the process on one host. */
	if (gethostname(host_name, sizeof(host_name)) < 0)
		host_name[0] = '\0';
	host_name[sizeof(host_name) - 1] = '\0';
	for (char *p = host_name; *p; p++)
		if (!isalnum((unsigned char)*p) && *p != '-' && *p != '.')
			*p = '_';
	client_id = "kelvo-mqtt/" + topics.base + "/" + host_name + "-" +
	    std::to_string((long)getpid());
	if ((mosq = mosquitto_new(client_id.c_str(), true, NULL)) == NULL) {
		fprintf(stderr, "kelvo-mqtt: cannot make an MQTT client: %s\n",
		    strerror(errno));
		return false;
	}
	/* Commands and their states are small and should not wait. */
	mosquitto_int_option(mosq, MOSQ_OPT_TCP_NODELAY, 1);
	if (!o->username.empty() && (rc = mosquitto_username_pw_set(mosq,
	    o->username.c_str(), o->has_password ? o->password.c_str() :
	    NULL)) != MOSQ_ERR_SUCCESS) {
		fprintf(stderr, "kelvo-mqtt: cannot use user name %s: %s\n",
		    o->username.c_str(), mosquitto_strerror(rc));
		return false;
	}
	o->password.assign(o->password.size(), '\0');
	if (!o->cafile.empty() && (rc = mosquitto_tls_set(mosq,
	    o->cafile.c_str(), NULL, NULL, NULL, NULL)) != MOSQ_ERR_SUCCESS) {
		fprintf(stderr, "kelvo-mqtt: cannot use CA file %s: %s\n",
		    o->cafile.c_str(), rc == MOSQ_ERR_INVAL ? "not a readable "
		    "file" : mosquitto_strerror(rc));
		return false;
	}
	if (o->tls && o->cafile.empty() && (rc = mosquitto_int_option(mosq,
	    MOSQ_OPT_TLS_USE_OS_CERTS, 1)) != MOSQ_ERR_SUCCESS) {
		fprintf(stderr, "kelvo-mqtt: cannot use the system's CA "
		    "certificates: %s\n", mosquitto_strerror(rc));
		return false;
	}
	mosquitto_will_set(mosq, topics.availability.c_str(),
	    (int)strlen(MQTT_OFFLINE), MQTT_OFFLINE, 1, true);
	mosquitto_reconnect_delay_set(mosq, RECONNECT_MIN, RECONNECT_MAX, false);
	mosquitto_connect_callback_set(mosq, on_connect);
	mosquitto_disconnect_callback_set(mosq, on_disconnect);
	mosquitto_publish_callback_set(mosq, on_publish);
	mosquitto_message_callback_set(mosq, on_message);
	mosquitto_log_callback_set(mosq, on_log);
	return true;
}

/*
 * The link to kelvo, the simulation's followers, the network thread and
 * the first connection, which goes on in the background: 1 when one
 * cannot start, else 0 with *said when "not reachable yet" was said.
 */
static int
start_threads(const struct options *o, const char *path, bool *said)
{
	static struct link_hooks hooks = { on_published, on_running,
	    on_answered, on_trace, NULL };
	static struct simlink_hooks simhooks = { on_sim, NULL };
	int rc;

	if (link_start(&hooks) < 0) {
		fprintf(stderr, "kelvo-mqtt: cannot start the link to kelvo "
		    "at %s\n", path);
		return 1;
	}
	if (simlink_start(&simhooks) < 0 || mqtt_sim_start(say_line) < 0) {
		fprintf(stderr, "kelvo-mqtt: cannot start following kelvo's "
		    "simulation\n");
		return 1;
	}
	if ((rc = mosquitto_loop_start(mosq)) != MOSQ_ERR_SUCCESS) {
		fprintf(stderr, "kelvo-mqtt: cannot start the MQTT thread: "
		    "%s\n", mosquitto_strerror(rc));
		return 1;
	}
	rc = mosquitto_connect_async(mosq, o->host, o->port, KEEPALIVE);
	if (rc == MOSQ_ERR_INVAL) {
		fprintf(stderr, "kelvo-mqtt: cannot connect to %s: %s\n",
		    broker, mosquitto_strerror(rc));
		return 1;
	}
	*said = false;
	if (rc != MOSQ_ERR_SUCCESS) {
		logline("broker %s not reachable yet (%s); trying again until "
		    "it is", broker, rc == MOSQ_ERR_ERRNO ? strerror(errno) :
		    mosquitto_strerror(rc));
		*said = true;
	}
	return 0;
}

/*
 * The last word: offline, retained, and a clean disconnect so the broker
 * does not send the will on top of it; then every thread stopped.
 */
static void
stop_session(void)
{
	bool wait = false, was_connected;
	{
		std::lock_guard<std::mutex> lk(pub_mutex);
		stopping = true;
		was_connected = connected;
		/* A bridge that never spoke leaves the other's word alone. */
		if (connected && !greeting) {
			std::lock_guard<std::mutex> olk(offline_mutex);
			wait = publish(topics.availability, MQTT_OFFLINE, 1,
			    &offline_mid) == MOSQ_ERR_SUCCESS;
		}
	}
	if (wait) {
		std::unique_lock<std::mutex> olk(offline_mutex);
		offline_cv.wait_for(olk, std::chrono::milliseconds(
		    OFFLINE_WAIT_MS), [] { return offline_sent; });
	}
	/* Without a connection the network thread may sleep between tries,
	 * or hang in connect() to an unreachable host, for longer than a
	 * stop should take: it has nothing to finish, so it is cancelled. */
	mosquitto_disconnect(mosq);
	mosquitto_loop_stop(mosq, !was_connected);
	/* Presses already taken still reach kelvo, and the object is left
	 * idle for the next kelvo. */
	link_stop(STOP_PRESS_MS);
	mosquitto_destroy(mosq);
	mosquitto_lib_cleanup();
}

/* The loop until a stop signal, or another bridge of our id: the status. */
static int
run(void)
{
	struct waiting w = { link_now(), said_waiting };
	int sig, status = 0;

	if ((sig = mainloop_run(tick, &w)) == 0)
		status = 1;		/* another bridge answered */
	if (status != 0)
		logline("another bridge (%s) already bridges a kelvo as %s on "
		    "broker %s: give each its own --id; stopping",
		    mqtt_quote(other_bridge.data(),
		    (int)other_bridge.size()).c_str(), topics.base.c_str(),
		    broker);
	else
		logline("stopping (%s)", sig == SIGTERM ? "SIGTERM" : "SIGINT");
	return status;
}

int
main(int argc, char *argv[])
{
	struct options o;
	char path[PATH_MAX];
	int rc, status;

	if ((rc = read_options(argc, argv, &o)) >= 0)
		return rc;
	if (pps_path(KC_OUTPUTS, path, sizeof(path)) < 0) {
		fprintf(stderr, "kelvo-mqtt: PPS_ROOT is too long\n");
		return 1;
	}

	/* Before any thread starts, so every thread inherits the mask. */
	mainloop_signals();

	logline_name("kelvo-mqtt");
	mosquitto_lib_init();
	if (!make_session(&o))
		return 1;
	logline("bridging %s to broker %s%s as %s", path, broker,
	    o.tls ? " over TLS" : "", topics.base.c_str());
	if (start_threads(&o, path, &said_waiting) != 0)
		return 1;
	status = run();
	stop_session();
	logline("stopped");
	logline_end();
	return status;
}
