/*
 * link.cpp - a user interface's link to kelvo: the reader and the worker.
 *
 * The reader sits in a blocking "?wait" read of the outputs object; each
 * text it gets becomes the latest state and a sample of the history, and
 * wakes the worker.  The worker decides whether kelvo runs, a question
 * the reader cannot answer (it may wait for ever on a kelvo that has
 * stopped), by looking at the object and the age of the newest text at
 * least every WORKER_TICK ms.
 *
 * Presses and targets are control batches, sent in order by the client
 * library's sender (sender.h) and answered by kelvo by their id, so no
 * face has to take turns with another or judge a press by what the
 * outputs show next: kelvo applies each under its own rule, and says so.
 *
 * One mutex guards everything shared; a hook is never called with it held.
 * The threads are detached and never end: the reader may sit in a read
 * that only kelvo can end, and the process's exit ends both.
 */
#include "link.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <new>

#include "control.h"
#include "platform.h"
#include "sender.h"

#define RETRY_MS	250	/* between looks for a missing outputs object */
#define WORKER_TICK	250	/* the worker looks at kelvo at least this often */
#define GAPS		9	/* gaps between texts the usual one is taken from */

static pthread_mutex_t link_mutex = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t link_cond;
static struct link_hooks hooks;			/* set once, before the threads */
static char outputs_path[PATH_MAX];
static char sim_path[PATH_MAX];
static struct timespec sim_seen;		/* the worker's alone */

/* All guarded by link_mutex. */
static struct client_state latest;
static bool have_latest;
static long texts_taken;	/* by the reader, for link_catch_up */
static struct client_history history;
static long long last_text = -1;		/* ms of the newest text */
static long long gap[GAPS];
static int ngaps, gap_next;
static bool object_there;
static bool up;					/* the worker's last verdict */
static bool wake_flag;
static bool stopping;
static int sim_period = -1;			/* kelvo's pm_interval, -1 unknown */

/* One press or target on its way, named for the answer's line. */
struct link_job {
	char	 what[48];
};

/*
 * The median of the last gaps: kelvo publishes once a period, and once
 * more after each batch of presses, and neither a burst of presses nor
 * one long stall should move what counts as usual.
 */
static long long
usual_gap(void)
{
	long long g[GAPS];

	if (ngaps == 0)
		return 0;
	/* Nine numbers: an insertion sort is all it takes. */
	for (int i = 0; i < ngaps; i++) {
		int j = i;
		for (; j > 0 && g[j - 1] > gap[i]; j--)
			g[j] = g[j - 1];
		g[j] = gap[i];
	}
	return g[ngaps / 2];
}


static bool
verdict(long long now)
{
	/*
	 * Its own period too: a kelvo set to tick once a minute is quiet
	 * for a minute, and its first gaps are not known yet.
	 */
	long long period = std::max(usual_gap(), (long long)sim_period);

	return object_there && last_text >= 0 &&
	    client_running(now - last_text, period);
}

static void
wake_worker(void)
{
	wake_flag = true;
	/* link_stop() may be waiting too: wake both. */
	pthread_cond_broadcast(&link_cond);
}

/*
 * How long ago the object was last written, for the first text after an
 * open: that text may be what a kelvo stopped long ago left behind.
 */
static long long
age_of_object(void)
{
	struct timespec now;
	struct stat sb;
	long long age;

	if (stat(outputs_path, &sb) < 0)
		return 0;
	clock_gettime(CLOCK_REALTIME, &now);
	age = (long long)(now.tv_sec - sb.st_mtim.tv_sec) * 1000 +
	    (now.tv_nsec - sb.st_mtim.tv_nsec) / 1000000;
	return age > 0 ? age : 0;
}

static void *
reader(void *arg)
{
	static char buf[2048], line[PATH_MAX + 64];
	struct client_state st;
	int told = 0;			/* the open's error said last */
	long long now, when;
	ssize_t n;
	bool first;
	int fd;

	(void)arg;
	for (;;) {
		if ((fd = pps_open(KC_OUTPUTS "?wait", O_RDONLY)) < 0) {
			int err = errno;
			pthread_mutex_lock(&link_mutex);
			if (object_there) {
				object_there = false;
				wake_worker();
			}
			pthread_mutex_unlock(&link_mutex);
			/* No object is no kelvo yet; anything else (no inotify
			 * left, a PPS_ROOT that is a file) would keep the face
			 * waiting for a kelvo that runs: say so, once. */
			if (err != ENOENT && err != told && hooks.trace) {
				snprintf(line, sizeof(line), "cannot follow %s: %s",
				    outputs_path, strerror(err));
				hooks.trace(line, hooks.arg);
			}
			told = err;
			delay(RETRY_MS);
			continue;
		}
		told = 0;
		first = true;
		while ((n = pps_read(fd, buf, sizeof(buf))) >= 0) {
			/* A cut-off last line would give a wrong value. */
			if ((size_t)n == sizeof(buf))
				while (n > 0 && buf[n - 1] != '\n')
					n--;
			client_parse(buf, (size_t)n, &st);
			now = link_now();
			when = first ? now - age_of_object() : now;

			pthread_mutex_lock(&link_mutex);
			if (!first && last_text >= 0 && when > last_text) {
				gap[gap_next] = when - last_text;
				gap_next = (gap_next + 1) % GAPS;
				ngaps = std::min(ngaps + 1, GAPS);
			}
			last_text = std::max(last_text, when);
			latest = st;
			have_latest = true;
			texts_taken++;
			client_history_add(&history, &st);
			object_there = true;
			wake_worker();
			pthread_mutex_unlock(&link_mutex);

			first = false;
			if (hooks.published)
				hooks.published(&st, hooks.arg);
		}
		/* The object went away: look for it again, not too eagerly. */
		pps_close(fd);
		delay(RETRY_MS);
	}
	return NULL;
}

/* The sim object changes only with a batch: its period is read then. */
static void
look_at_sim(void)
{
	struct client_sim sim;
	struct stat sb;

	if (stat(sim_path, &sb) < 0 || (sb.st_mtim.tv_sec == sim_seen.tv_sec &&
	    sb.st_mtim.tv_nsec == sim_seen.tv_nsec))
		return;
	sim_seen = sb.st_mtim;
	if (client_sim_read(&sim)) {
		pthread_mutex_lock(&link_mutex);
		sim_period = sim.pm_interval;
		pthread_mutex_unlock(&link_mutex);
	}
}

/* Under link_mutex: whether kelvo runs; news->running when that changed. */
static void
judge(long long now, bool there, int *news)
{
	bool run;

	object_there = there;
	run = verdict(now);
	if (run != up) {
		up = run;
		*news = run;
	}
}

/*
 * One turn: a look at kelvo, then a sleep until the next look is due or
 * the reader wakes it.
 */
static void *
worker(void *arg)
{
	struct timespec until;
	struct stat sb;
	int news;
	bool there;

	(void)arg;
	for (;;) {
		news = -1;
		there = stat(outputs_path, &sb) == 0;
		look_at_sim();

		pthread_mutex_lock(&link_mutex);
		judge(link_now(), there, &news);
		if (!wake_flag) {
			/* link_cond is on the monotonic clock. */
			deadline_in(&until, WORKER_TICK);
			pthread_cond_timedwait(&link_cond, &link_mutex, &until);
		}
		wake_flag = false;
		pthread_mutex_unlock(&link_mutex);
		if (news >= 0 && hooks.running)
			hooks.running(news != 0, hooks.arg);
	}
	return NULL;
}

int
link_start(const struct link_hooks *h)
{
	pthread_condattr_t ca;
	pthread_t tid;

	if (h != NULL)
		hooks = *h;
	if (pps_path(KC_OUTPUTS, outputs_path, sizeof(outputs_path)) < 0 ||
	    pps_path(KC_SIM, sim_path, sizeof(sim_path)) < 0)
		return -1;
	pthread_condattr_init(&ca);
	pthread_condattr_setclock(&ca, CLOCK_MONOTONIC);
	pthread_cond_init(&link_cond, &ca);
	pthread_condattr_destroy(&ca);
	client_history_clear(&history);
	latest.minute = -1;
	if (sender_start() < 0)
		return -1;

	if (pthread_create(&tid, NULL, reader, NULL) != 0)
		return -1;
	pthread_detach(tid);
	if (pthread_create(&tid, NULL, worker, NULL) != 0)
		return -1;
	pthread_detach(tid);
	return 0;
}

/* A fresh look at the object, for a caller about to write to kelvo. */
static bool
running_now(void)
{
	struct stat sb;
	bool there = stat(outputs_path, &sb) == 0;

	pthread_mutex_lock(&link_mutex);
	bool run = there && verdict(link_now());
	pthread_mutex_unlock(&link_mutex);
	return run;
}

bool
link_running(void)
{
	return running_now();
}

int
link_status(long long *silent)
{
	long long now = link_now();
	int st;

	pthread_mutex_lock(&link_mutex);
	st = !object_there ? LINK_NONE : verdict(now) ? LINK_LIVE : LINK_SILENT;
	if (silent)
		*silent = last_text >= 0 ? now - last_text : -1;
	pthread_mutex_unlock(&link_mutex);
	return st;
}

/*
 * What the outputs object holds now, or a later text, is the link's once
 * it has taken that text or taken any since: a text it reads after ours
 * cannot be older.
 */
bool
link_catch_up(int ms)
{
	struct client_state now;
	struct timespec until;
	long before;
	bool caught;

	pthread_mutex_lock(&link_mutex);
	before = texts_taken;
	pthread_mutex_unlock(&link_mutex);
	if (client_outputs_read(&now) < 0)
		return false;

	deadline_in(&until, ms > 0 ? (unsigned int)ms : 0);
	pthread_mutex_lock(&link_mutex);
	while (!(caught = texts_taken != before || (have_latest &&
	    memcmp(latest.text, now.text, sizeof(now.text)) == 0)))
		if (pthread_cond_timedwait(&link_cond, &link_mutex,
		    &until) == ETIMEDOUT)
			break;
	pthread_mutex_unlock(&link_mutex);
	return caught;
}

bool
link_latest(struct client_state *st)
{
	pthread_mutex_lock(&link_mutex);
	bool have = have_latest;
	*st = latest;
	pthread_mutex_unlock(&link_mutex);
	return have;
}

void
link_history(struct client_history *h)
{
	pthread_mutex_lock(&link_mutex);
	*h = history;
	pthread_mutex_unlock(&link_mutex);
}

/* On the sender's worker: kelvo's answer told, the job gone. */
static void
answered(int result, const struct client_sim *sim, const char *why,
    void *arg)
{
	struct link_job *job = (struct link_job *)arg;

	(void)sim;
	if (hooks.answered)
		hooks.answered(job->what, result, why, hooks.arg);
	delete job;
}

/* Queues b, named what: LINK_DOWN, LINK_FULL or the batches waiting. */
static int
queue(const struct client_batch *b, const char *what)
{
	struct link_job *job;
	int n;

	if (!running_now())
		return LINK_DOWN;
	pthread_mutex_lock(&link_mutex);
	bool stop = stopping;
	pthread_mutex_unlock(&link_mutex);
	if (stop || (job = new (std::nothrow) link_job) == NULL)
		return LINK_DOWN;
	snprintf(job->what, sizeof(job->what), "%s", what);
	if ((n = sender_push_in_turn(b, answered, job, LINK_QUEUE_MAX)) <= 0) {
		delete job;
		return LINK_FULL;
	}
	return n;
}

int
link_press(int btn)
{
	struct client_batch b;
	char what[32];

	if (kc_button_name(btn) == NULL)
		return LINK_BAD;
	client_batch_init(&b);
	client_batch_add(&b, "press", kc_button_name(btn));
	snprintf(what, sizeof(what), "press %s", kc_button_name(btn));
	return queue(&b, what);
}

int
link_set(const char *name, const char *value)
{
	struct client_batch b;
	char what[48], why[KC_WHY_LEN];

	if (!kc_target_check(name, value, why, sizeof(why)))
		return LINK_BAD;
	client_batch_init(&b);
	if (!client_batch_add(&b, name, value))
		return LINK_BAD;
	snprintf(what, sizeof(what), "%s %s", name, value);
	return queue(&b, what);
}

void
link_stop(int ms)
{
	pthread_mutex_lock(&link_mutex);
	stopping = true;
	pthread_mutex_unlock(&link_mutex);
	/* What the face queued still goes, as far as ms allows. */
	sender_drain(ms);
}
