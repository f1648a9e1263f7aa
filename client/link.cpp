/*
 * link.cpp - a user interface's link to kelvo: the reader and the worker.
 *
 * The reader sits in a blocking "?wait" read of the outputs object; each
 * text it gets becomes the latest state and a sample of the history, and
 * wakes the worker.  The worker alone writes the inputs object: presses
 * queued by the face, presses of the drives, and the idle text after them.
 * It also decides whether kelvo runs, a question the reader cannot answer
 * (it may wait for ever on a kelvo that has stopped), by looking at the
 * object and the age of the newest text at least every WORKER_TICK ms.
 *
 * Other faces may share the inputs object (two kelvo-webs, a kelvo-web and
 * a kelvo-mqtt), and kelvo's reader takes whatever text the object holds
 * when it wakes, so two writers' presses close together would reach it as
 * one.  The writers therefore take turns through an advisory lock beside
 * the object: the worker takes it before a write and holds it until kelvo
 * has shown the press, or the press's gap is over, and only then may
 * another face write.  The press is judged against the outputs as they
 * stand once the lock is ours, not as our reader last saw them, since the
 * face before us may just have moved them.
 *
 * One mutex guards everything shared; a hook is never called with it held.
 * The worker holds it for each turn's judging and queueing, and lets it
 * go only around what may block: taking the inputs object's lock file
 * (up to LOCK_WAIT while another face has its turn) and reading and
 * writing the objects, which the reader must never wait for.
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

#include "control.h"
#include "platform.h"

#define RETRY_MS	250	/* between looks for a missing outputs object */
#define WORKER_TICK	250	/* the worker looks at kelvo at least this often */
#define GAPS		9	/* gaps between texts the usual one is taken from */
#define LOCK_WAIT	15000	/* ms to wait for another face's turn */
#define LOCK_COURTESY	10	/* ms between our turns, for a face waiting */
/*
 * ms a press kelvo has not shown keeps the turn: as long as a drive waits
 * before it presses again, so a drive's next press is never judged on a
 * text older than its last one.
 */
#define LOCK_HOLD	DRIVE_SETTLE

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
static struct client_pacer pacer;
static struct client_drive drive[DRIVE_KINDS];
static int inflight;				/* the press written last */
static struct client_state inflight_from;	/* what kelvo showed then */
static int sim_period = -1;			/* kelvo's pm_interval, -1 unknown */
static int inputs_lock = -1;			/* ours; the worker's alone */
static long long written_at;			/* ms of the write under it */
static bool inflight_moves;			/* the press will show */
static bool inflight_out;			/* written: texts may ack it */
static long long released_at = -1;

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

/* Does st show kelvo has taken press btn, made when it showed from? */
static bool
shows_press(int btn, const struct client_state *from,
    const struct client_state *st)
{
	struct kc_settings want = { true, from->mode, true, from->fan,
	    from->has_setpoint, from->setpoint };
	struct kc_band band = client_band(from);

	/*
	 * Moved the way the press moves it (the contract's rule), not merely
	 * changed: a text older than from (read before another face's press
	 * showed) must not pass, and a set point may have moved further by
	 * presses of other faces.
	 */
	client_press_rule(from, &want, &band, btn);
	/* In modern AUTO up and down move the band: its low end tells. */
	if (client_band_buttons(from) && (btn == BTN_UP || btn == BTN_DOWN))
		return st->has_low && (!band.has_band ||
		    (btn == BTN_UP ? band.low > from->low && st->low > from->low :
		    band.low < from->low && st->low < from->low));
	switch (btn) {
	case BTN_MODE:
		return st->mode == want.mode;
	case BTN_FAN:
		return st->fan == want.fan;
	case BTN_UP:
		return st->has_setpoint && (!from->has_setpoint ||
		    (want.setpoint > from->setpoint &&
		    st->setpoint > from->setpoint));
	case BTN_DOWN:
		return st->has_setpoint && (!from->has_setpoint ||
		    (want.setpoint < from->setpoint &&
		    st->setpoint < from->setpoint));
	}
	return false;
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
		if ((fd = pps_open(LINK_OUTPUTS "?wait", O_RDONLY)) < 0) {
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
			if (pacer.dirty && !pacer.acked && inflight != 0 &&
			    inflight_out &&
			    shows_press(inflight, &inflight_from, &st))
				client_pacer_ack(&pacer);
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

/* Whether pressing btn on from changes what kelvo shows. */
static bool
press_moves(int btn, const struct client_state *from)
{
	struct kc_settings s = { true, from->mode, false, 0, true,
	    from->setpoint };
	struct kc_band band = client_band(from);

	if (btn == BTN_UP || btn == BTN_DOWN) {
		/* The contract's rule: the buttons stop at the limits. */
		client_press_rule(from, &s, &band, btn);
		if (client_band_buttons(from))
			return !band.has_band || band.low != from->low;
		return !from->has_setpoint || s.setpoint != from->setpoint;
	}
	return btn == BTN_MODE || btn == BTN_FAN;
}

/* What the outputs object shows now, read afresh. */
static bool
outputs_now(struct client_state *st)
{
	char buf[2048];
	ssize_t n;
	int fd;

	if ((fd = pps_open(LINK_OUTPUTS, O_RDONLY)) < 0)
		return false;
	n = pps_read(fd, buf, sizeof(buf));
	pps_close(fd);
	return n > 0 && client_parse(buf, (size_t)n, st) > 0;
}

/* Waits for our turn at the inputs object; false when it did not come. */
static bool
take_turn(void)
{
	long long now = link_now();

	if (inputs_lock >= 0)
		return true;
	/* Our last turn just ended: let a face that waits have the next. */
	if (released_at >= 0 && now - released_at < LOCK_COURTESY)
		delay((unsigned int)(LOCK_COURTESY - (now - released_at)));
	inputs_lock = pps_lock(LINK_INPUTS, LOCK_WAIT);
	return inputs_lock >= 0;
}

static void
end_turn(void)
{
	if (inputs_lock < 0)
		return;
	pps_unlock(inputs_lock);
	inputs_lock = -1;
	released_at = link_now();
}

static bool
write_inputs(int what)
{
	char text[128];
	int fd, n;
	bool ok;

	if ((n = client_inputs_text(what, text, sizeof(text))) < 0)
		return false;
	/* Making the object is kelvo's business: a missing one, no kelvo. */
	if ((fd = pps_open(LINK_INPUTS, O_WRONLY)) < 0)
		return false;
	ok = pps_write(fd, text, (size_t)n) == n;
	pps_close(fd);
	return ok;
}

struct worker_news {
	int	 running;		/* -1 no change */
	int	 ended[DRIVE_KINDS];	/* DRIVE_REACHED, DRIVE_FAILED or 0 */
	int	 target[DRIVE_KINDS];
	bool	 unsent;
};

static void
tell(const struct worker_news *w)
{
	if (w->running >= 0 && hooks.running)
		hooks.running(w->running != 0, hooks.arg);
	for (int k = 0; k < DRIVE_KINDS; k++)
		if (w->ended[k] && hooks.driven)
			hooks.driven(k, w->target[k],
			    w->ended[k] == DRIVE_REACHED, hooks.arg);
	if (w->unsent && hooks.trace)
		hooks.trace("kelvo takes no buttons now (no inputs object)",
		    hooks.arg);
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

/*
 * Under link_mutex: whether our press written last still holds the next
 * back.  The gap is enough for a kelvo that keeps up, but one slowed
 * down (a loaded machine) would take two of our presses as one.
 */
static bool
holding(long long now)
{
	return inputs_lock >= 0 && inflight_moves && pacer.dirty &&
	    !pacer.acked && now - written_at < LOCK_HOLD;
}

/* Under link_mutex: whether kelvo runs, and the drives' next presses. */
static bool
judge(long long now, bool there, struct worker_news *news)
{
	bool run;
	int btn;

	object_there = there;
	run = verdict(now);
	if (run != up) {
		up = run;
		news->running = run;
		/* Presses for a kelvo that is gone must not wait for the
		 * next one: it would take them for new. */
		if (!run)
			client_pacer_drop(&pacer);
	}
	for (int k = 0; k < DRIVE_KINDS; k++) {
		struct client_drive *d = &drive[k];
		if (d->state == DRIVE_ACTIVE && !run)
			d->state = DRIVE_FAILED;
		/*
		 * A drive's next press is judged on a text that shows every
		 * press before it, the face's own included: one judged while
		 * a press of the face is queued or unshown would take that
		 * press's move for its own, and overshoot.
		 */
		else if (d->state == DRIVE_ACTIVE && pacer.n == 0 &&
		    !holding(now) && (btn =
		    client_drive_next(d, have_latest ? &latest : NULL,
		    now)) != 0)
			client_pacer_push(&pacer, btn);
		/* Also a drive a press ended, told here like any. */
		if (d->state == DRIVE_REACHED || d->state == DRIVE_FAILED) {
			news->ended[k] = d->state;
			news->target[k] = d->target;
			d->state = DRIVE_IDLE;
		}
	}
	return run;
}

/* Under link_mutex, which goes while the lock file is let go. */
static void
end_turn_locked(void)
{
	pthread_mutex_unlock(&link_mutex);
	end_turn();
	pthread_mutex_lock(&link_mutex);
}

/*
 * Under link_mutex, which goes while the turn is awaited and the objects
 * are read and written: press what (0: the idle text).  The time of the
 * write.
 */
static long long
send_press(int what, struct worker_news *news)
{
	struct client_state fresh;
	bool turn, have_fresh;
	long long now;

	/*
	 * No text is an answer to this press until it is out: said before
	 * the lock goes, or a text that answers the press before it would
	 * pass for this one's.
	 */
	inflight = what;
	inflight_out = false;
	pthread_mutex_unlock(&link_mutex);
	if (!(turn = take_turn()) && hooks.trace)
		hooks.trace("another face kept the inputs object for 15 s; "
		    "pressing all the same", hooks.arg);
	have_fresh = outputs_now(&fresh);
	pthread_mutex_lock(&link_mutex);
	inflight_from = have_fresh ? fresh : latest;
	inflight_moves = press_moves(what, &inflight_from);
	pthread_mutex_unlock(&link_mutex);
	if (!write_inputs(what) && what != 0)
		news->unsent = true;
	pthread_mutex_lock(&link_mutex);
	inflight_out = true;
	now = written_at = link_now();
	/* The gap counts from the write, not from the wait. */
	pacer.last = now;
	/* The idle text needs no answer. */
	if (what == 0 && turn)
		end_turn_locked();
	return now;
}

/* Under link_mutex: the ms to sleep, given the pacer's wish (-1: none). */
static int
sleep_for(int wait, long long now)
{
	if (inputs_lock >= 0) {
		long long left = (inflight_moves ? LOCK_HOLD :
		    CLIENT_PRESS_GAP) - (now - written_at);
		if (wait < 0 || wait > left)
			wait = (int)std::max(1LL, left);
	}
	return wait < 0 || wait > WORKER_TICK ? WORKER_TICK : wait;
}

/*
 * One turn: a look at kelvo, its drives and the presses due, then a
 * sleep until the next is due or the reader wakes it.  link_mutex is
 * held from the judging to the sleep, and let go only around what may
 * block (see the top): the turn's lock file and the objects' I/O.
 */
static void *
worker(void *arg)
{
	struct worker_news news;
	struct timespec until;
	struct stat sb;
	long long now;
	int what, wait = -1;
	bool there;

	(void)arg;
	for (;;) {
		memset(&news, 0, sizeof(news));
		news.running = -1;
		there = stat(outputs_path, &sb) == 0;
		now = link_now();
		look_at_sim();

		pthread_mutex_lock(&link_mutex);
		judge(now, there, &news);
		/*
		 * Our turn ends once kelvo has shown the press: on a loaded
		 * machine kelvo may take longer than the gap to read it, and
		 * another face's write before that would replace it.  Only a
		 * press that cannot show (up at 90) ends it after the gap.
		 */
		if (inputs_lock >= 0 && (pacer.acked || !pacer.dirty ||
		    now - written_at >= (inflight_moves ? LOCK_HOLD :
		    CLIENT_PRESS_GAP)))
			end_turn_locked();
		/* And until then no press of ours goes either. */
		while (!holding(now) &&
		    (what = client_pacer_next(&pacer, now, &wait)) >= 0)
			now = send_press(what, &news);
		if (stopping && pacer.n == 0 && !pacer.dirty)
			pthread_cond_broadcast(&link_cond);
		wait = sleep_for(wait, now);
		if (!wake_flag) {
			/* link_cond is on the monotonic clock. */
			deadline_in(&until, (unsigned int)wait);
			pthread_cond_timedwait(&link_cond, &link_mutex, &until);
		}
		wake_flag = false;
		pthread_mutex_unlock(&link_mutex);
		tell(&news);
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
	if (pps_path(LINK_OUTPUTS, outputs_path, sizeof(outputs_path)) < 0 ||
	    pps_path(SIM_OBJECT, sim_path, sizeof(sim_path)) < 0)
		return -1;
	pthread_condattr_init(&ca);
	pthread_condattr_setclock(&ca, CLOCK_MONOTONIC);
	pthread_cond_init(&link_cond, &ca);
	pthread_condattr_destroy(&ca);
	client_history_clear(&history);
	client_pacer_init(&pacer);
	latest.minute = -1;

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

int
link_press(int btn)
{
	int n;

	if (!running_now())
		return LINK_DOWN;
	pthread_mutex_lock(&link_mutex);
	if (stopping)
		n = LINK_DOWN;
	else if (!client_pacer_push(&pacer, btn))
		n = LINK_FULL;
	else {
		/* A press is the last word on its setting: a drive of the
		 * same setting still under way (kelvo may not have shown its
		 * target yet) would take the press back. */
		int k = btn == BTN_MODE ? DRIVE_MODE : btn == BTN_FAN ?
		    DRIVE_FAN : DRIVE_SETPOINT;
		if (drive[k].state == DRIVE_ACTIVE)
			drive[k].state = DRIVE_FAILED;
		n = pacer.n;
		wake_worker();
	}
	pthread_mutex_unlock(&link_mutex);
	return n;
}

int
link_drive(int kind, int target)
{
	int ret = 0;

	if (kind < 0 || kind >= DRIVE_KINDS)
		return LINK_DOWN;
	if (!running_now())
		return LINK_DOWN;
	pthread_mutex_lock(&link_mutex);
	if (stopping)
		ret = LINK_DOWN;
	else {
		/* Presses of this setting not yet written served a wish the
		 * target replaces; with them gone nothing is on its way. */
		if (client_pacer_holds(&pacer, kind, true) > 0)
			drive[kind].pressed = -1;
		client_drive_set(&drive[kind], kind, target, link_now());
		wake_worker();
	}
	pthread_mutex_unlock(&link_mutex);
	return ret;
}

void
link_stop(int ms)
{
	struct timespec until;

	deadline_in(&until, ms > 0 ? (unsigned int)ms : 0);
	pthread_mutex_lock(&link_mutex);
	stopping = true;
	for (int k = 0; k < DRIVE_KINDS; k++)
		drive[k].state = DRIVE_IDLE;
	client_pacer_quit(&pacer);
	wake_worker();
	while (pacer.n > 0 || pacer.dirty)
		if (pthread_cond_timedwait(&link_cond, &link_mutex,
		    &until) == ETIMEDOUT)
			break;
	pthread_mutex_unlock(&link_mutex);
}
