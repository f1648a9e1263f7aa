/*
 * simlink.cpp - the sim object's follower.
 *
 * kelvo replaces the object whole on every change and a "?wait" read
 * returns each new text, so the follower compares what it reads with
 * what it last told: a rewrite with nothing new (a kelvo restarted into
 * the same state) is no change.  A missing object (kelvo not started
 * yet, or its PPS directory gone) is looked for again every RETRY_MS;
 * the last one seen stays the latest meanwhile, as the outputs do.
 */
#include "simlink.h"

#include <fcntl.h>
#include <pthread.h>
#include <string.h>

#include "platform.h"

#define RETRY_MS	500
#define SIM_TEXT_MAX	1024

static pthread_mutex_t sim_mutex = PTHREAD_MUTEX_INITIALIZER;
static struct client_sim latest;		/* guarded by sim_mutex */
static bool have_latest;
static struct simlink_hooks hooks;

static bool
same(const struct client_sim *a, const struct client_sim *b)
{
	return a->paused == b->paused && a->pm_interval == b->pm_interval &&
	    a->pm_minutes == b->pm_minutes && a->faults == b->faults &&
	    a->batch == b->batch && strcmp(a->error, b->error) == 0;
}

static void *
follow(void *arg)
{
	static char buf[SIM_TEXT_MAX];
	struct client_sim sim;
	ssize_t n;
	bool changed;
	int fd;

	(void)arg;
	for (;;) {
		if ((fd = pps_open(KC_SIM "?wait", O_RDONLY)) < 0) {
			delay(RETRY_MS);
			continue;
		}
		while ((n = pps_read(fd, buf, sizeof(buf))) >= 0) {
			if (!client_sim_parse(buf, (size_t)n, &sim))
				continue;
			pthread_mutex_lock(&sim_mutex);
			changed = !have_latest || !same(&sim, &latest);
			latest = sim;
			have_latest = true;
			pthread_mutex_unlock(&sim_mutex);
			if (changed && hooks.changed)
				hooks.changed(&sim, hooks.arg);
		}
		pps_close(fd);
		delay(RETRY_MS);
	}
	return NULL;
}

int
simlink_start(const struct simlink_hooks *h)
{
	pthread_attr_t attr;
	pthread_t tid;
	int rc;

	hooks = *h;
	pthread_attr_init(&attr);
	pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
	rc = pthread_create(&tid, &attr, follow, NULL);
	pthread_attr_destroy(&attr);
	return rc == 0 ? 0 : -1;
}

bool
simlink_latest(struct client_sim *sim)
{
	pthread_mutex_lock(&sim_mutex);
	bool have = have_latest;
	if (have)
		*sim = latest;
	pthread_mutex_unlock(&sim_mutex);
	return have;
}
