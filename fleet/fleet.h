/*
 * fleet.h - kelvo-fleet: many thermostats in one process, each the
 * model's world (model.h) on an MQTT broker with kelvo-mqtt's topics.
 *
 * One thread runs everything: an epoll loop (main.cpp) wakes for the
 * broker connections' sockets (net.cpp), the metrics listener
 * (http.cpp) and the timer wheel (wheel.h) that holds every
 * thermostat's next tick and every connection's next try.  The worlds
 * (world.cpp) are plain structs in one array; the store (store.cpp)
 * keeps them in SQLite so that a restart continues each one.
 *
 * This header is the table of contents: what each module offers the
 * others.  Thermostats are numbered globally (1..count, the id's digits)
 * and held locally by index (0..n-1, the numbers of this shard).
 */
#ifndef KELVO_FLEET_H
#define KELVO_FLEET_H

#include <stdint.h>

#include <string>
#include <vector>

#include "control.h"
#include "model.h"
#include "mqttopts.h"

#define FLEET_COUNT_MAX		1000000
#define FLEET_BROKERS_MAX	16
#define FLEET_RATE		500	/* connections started a second */
#define FLEET_BACKOFF_MS	5000	/* the longest wait before a retry */
#define FLEET_KEEPALIVE		15	/* s */
#define FLEET_SAVE_MS		1000	/* between the store's transactions */

enum { CONN_EACH, CONN_SHARED };
enum { PUBLISH_CHANGE, PUBLISH_TICK };
/* --profile: mixed draws each thermostat's from the seed. */
enum { FLEET_PROFILE_CLASSIC, FLEET_PROFILE_MODERN, FLEET_PROFILE_MIXED };

struct fleet_broker {
	char	 host[256];
	int	 port;
	char	 name[300];		/* HOST:PORT, for lines */
};

/* The shared MQTT options (mqttopts.h) and kelvo-fleet's own. */
struct fleet_options : mqtt_options {
	int		 count = 1;
	int		 shard = 1, shards = 1;
	std::string	 store = "kelvo-fleet.sqlite";
	std::vector<struct fleet_broker> brokers;
	int		 connection = CONN_EACH;
	int		 interval = -1, minutes = -1;	/* -1: the model's */
	uint64_t	 seed = 1;
	int		 publish = PUBLISH_CHANGE;
	int		 profile = FLEET_PROFILE_CLASSIC;
	int		 heartbeat = 60;		/* s */
	char		 listen_host[256] = "127.0.0.1";
	int		 listen_port = 9464;
	int		 rate = FLEET_RATE;
};

/* What a thermostat last showed, to publish again only on a change. */
struct fleet_shown {
	int	 in, mode, fan, setpoint, plant;
	bool	 online;
	bool	 modern;
	int	 low, high, preset, humidity;	/* a modern one's */
	bool	 any;			/* something was published */
};

struct thermostat {
	struct km_world	 w;
	int		 num;		/* global: the id's digits */
	long		 batch;		/* batches taken, as kelvo counts */
	char		 error[KC_WHY_LEN];	/* the last refusal, "" none */
	struct fleet_shown shown;
	int		 sim_minutes;	/* pm_minutes the sim configs show */
	long long	 last_pub;	/* ms of the last state published */
	bool		 dirty;		/* changed since the last save */
	bool		 pending;	/* took a command: save, then publish */
	int		 conn;		/* its connection's index */
	int		 disc_modern;	/* the discovery sent: 0, 1, -1 none */
	bool		 announced;	/* discovery and state out since up */
};

/* world.cpp: the thermostats and what they do. */
extern std::vector<struct thermostat> fleet;
extern int fleet_width;			/* digits of an id */
/* The shard's thermostats, each drawn from the seed. */
void	 world_make(const struct fleet_options *o);
/* A thermostat's id ("t00042"), into buf. */
void	 world_id(int num, char *buf, size_t len);
/* The local index of an id of this shard, -1 when it is none. */
int	 world_find(const char *id, size_t len);
/* One tick; the ms until the next, -1 while paused. */
int	 world_tick(struct thermostat *t);
/*
 * A control batch applied whole, or refused whole with its reason in
 * t->error; counted either way, as kelvo counts them.
 */
bool	 world_batch(struct thermostat *t, const struct client_batch *b);
/*
 * A set/ command (CMD_*) or a press, with its value; false, with the
 * reason in why, when the thermostat refused it and nothing changed.
 */
bool	 world_command(struct thermostat *t, int kind, int value, char *why,
	    size_t len);
/* The state JSON as kelvo-mqtt publishes it. */
std::string world_state_json(const struct thermostat *t);
/* The sim object JSON as kelvo-mqtt publishes it. */
std::string world_sim_json(const struct thermostat *t);
void	 world_sim(const struct thermostat *t, struct client_sim *sim);
/* What Home Assistant would show now; whether it differs from shown. */
bool	 world_changed(const struct thermostat *t, struct fleet_shown *now);
/* A thermostat under the silent fault publishes no state. */
bool	 world_silent(const struct thermostat *t);

/* store.cpp: the SQLite file. */
/* Opens, locks and reads; false with the line said (exit 1). */
bool	 store_open(const char *path);
/* Fills t from the store; false when it holds no row for t->num. */
bool	 store_load(struct thermostat *t);
/* One transaction for every dirty (or, with pending, pending) one. */
int	 store_save(bool pending_only, long long *ms);
void	 store_close(void);

/* net.cpp: the broker connections. */
bool	 net_start(const struct fleet_options *o, int epfd);
/* An event on connection c's socket. */
void	 net_event(int c, uint32_t events);
/* A connection's timer (retry, keep-alive) fell due. */
void	 net_timer(int c, long long now);
/* Connections that may start now, at the pace allowed. */
void	 net_pace(long long now);
/* Every loop turn: the next thermostats' discovery and state, paced. */
void	 net_announce(void);
/* After every loop turn: write what is queued, watch for writability. */
void	 net_flush(void);
/* A thermostat's state (and with sim its sim object) published. */
void	 net_publish_state(int i, bool sim);
/* Its availability, and with sim configs again. */
void	 net_publish_sim_configs(int i);
/* Every thermostat taken by commands this turn: saved, then published. */
void	 net_commit(void);
/* After thermostat i ticked: its state, if it is to be published. */
void	 net_ticked(int i, long long now);
/* The fleet/state document, retained. */
void	 net_publish_fleet(void);
/* offline for all, and goodbye. */
void	 net_stop(void);
int	 net_keys(void);		/* the wheel keys connections use */
int	 net_up(void);			/* connections up */
struct net_counts {
	int		 up, down;
	unsigned long	 publishes, commands, refused;
};
void	 net_counts(struct net_counts *c);
/* The fleet/state document: thermostats by plant and by connection. */
std::string net_fleet_state(void);

/* http.cpp: /metrics and /healthz. */
int	 http_start(const char *host, int port, int epfd, std::string *why);
void	 http_event(int fd, uint32_t events);

/* main.cpp: the wheel and the clock, for the modules. */
long long fleet_now(void);
/* key (a thermostat's tick, a connection's timer) due then; -1 none. */
void	 fleet_wake_at(int key, long long due);
bool	 fleet_waiting(int key);
/* The wheel's keys: thermostats 0..n-1 tick, connections follow. */
#define FLEET_KEY_CONN(c)	((int)fleet.size() + (c))

/* The store's figures for /metrics. */
struct store_counts {
	unsigned long	 saves, rows;
	long long	 last_ms, total_ms;
};
void	 store_counts(struct store_counts *c);
/* The tick loop's lag: how late the last ticks ran, ms. */
long long fleet_lag(void);
/* The last whole second's publishes (0) or commands (1). */
unsigned long fleet_rate(int which);

#endif
