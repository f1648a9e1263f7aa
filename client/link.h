/*
 * link.h - one user interface's link to a running kelvo: follows every
 * published text, keeps the latest state and the day's history, sends
 * presses and targets as control batches, and says whether kelvo is
 * running.
 *
 * The link runs two threads of its own: a reader blocked in a "?wait"
 * read of the outputs object, and a worker that watches for kelvo going
 * quiet; the batches go by the client library's sender (sender.h).  The
 * hooks are called on those threads, never with the link's lock held, so
 * they may call back in.  A process has one link; it lives until the
 * process ends.
 */
#ifndef KELVO_LINK_H
#define KELVO_LINK_H

#include "client.h"
#include "platform.h"

#define LINK_QUEUE_MAX	256	/* presses and targets waiting, at most */

/*
 * kelvo counts as running while its outputs object exists and texts keep
 * coming, by the one rule (client_running in control.h): a stopped kelvo
 * leaves its last text behind, so silence beyond the quiet limit of its
 * period (the larger of its usual gap and its sim object's pm_interval)
 * means it is gone.
 */

struct link_hooks {
	/* A text kelvo published (the first one may be an old one). */
	void	(*published)(const struct client_state *st, void *arg);
	/* kelvo began or ceased running. */
	void	(*running)(bool running, void *arg);
	/*
	 * kelvo's answer to a press or target the face queued: what it was
	 * ("press up", "ts_temp 72"), CONTROL_* (or CONTROL_STOPPED) and
	 * why when it is not APPLIED.
	 */
	void	(*answered)(const char *what, int result, const char *why,
		    void *arg);
	/* One line worth telling the user (no newline). */
	void	(*trace)(const char *line, void *arg);
	void	*arg;
};

enum { LINK_NONE, LINK_SILENT, LINK_LIVE };	/* link_status() */
#define LINK_DOWN	(-1)	/* kelvo is not running: nothing written */
#define LINK_FULL	(-2)	/* too many presses waiting */
#define LINK_BAD	(-3)	/* no button, or a target outside the limits */

/* Starts the link's threads; -1 when they cannot be started. */
int	 link_start(const struct link_hooks *hooks);
bool	 link_running(void);
/* LINK_*; *silent gets the ms since the last text, -1 none yet. */
int	 link_status(long long *silent);
/* The latest published state; false when none has come yet. */
bool	 link_latest(struct client_state *st);
/*
 * Waits up to ms until the latest state is what the outputs object holds
 * now, or newer: a face that answers for a batch kelvo has applied (and
 * so published) catches up first, so its next state is the result.
 * false when there is no text or it did not come in time.
 */
bool	 link_catch_up(int ms);
void	 link_history(struct client_history *h);
/*
 * Queues a press, or a target (ts_temp, ts_mode or ts_fan to value, by
 * the contract's kc_target_check), as one batch: the batches waiting,
 * this one included, or LINK_DOWN/FULL/BAD.  The answer comes to the
 * answered hook; they go in the order queued.
 */
int	 link_press(int btn);
int	 link_set(const char *name, const char *value);
/* Sends what is queued, for at most ms; then takes no more. */
void	 link_stop(int ms);
/* Milliseconds on the monotonic clock: the platform's, one clock for all. */
static inline long long link_now(void) { return monotonic_ms(); }

#endif
