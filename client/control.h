/*
 * control.h - driving kelvo's simulation: the control text, the sim
 * object kelvo answers in, and sending one batch and waiting for it.
 *
 * A batch is one text of name::value lines that kelvo checks whole and
 * applies whole, or refuses whole.  Every batch sent carries a fresh id,
 * and kelvo repeats the id of the batch it answers in the sim object, so
 * a sender judges only the answer with its own id.  kelvo writes the sim
 * object only once the outputs show the batch, so what a sender reads
 * next is the result.
 *
 * The parsing and the text are pure; client_control_send and
 * client_sim_read work on the PPS objects under $PPS_ROOT.  The commands,
 * their checks and the fault names are the contract's; the one rule for
 * "is kelvo running" lives here, below the link, so that faces with a
 * link and faces without one (kelvo-ctl, the panel's --once) agree.
 */
#ifndef KELVO_CLIENT_CONTROL_H
#define KELVO_CLIENT_CONTROL_H

#include <stddef.h>

#include "contract.h"

#define CONTROL_WAIT_MS	2000	/* how long a batch may take to be taken */

/* The sim object, typed. */
struct client_sim {
	bool	 paused;		/* state::paused */
	int	 pm_interval;		/* ms per tick, -1 unknown */
	int	 pm_minutes;		/* simulated minutes per tick, -1 unknown */
	int	 faults;		/* KC_FAULT_* */
	long	 batch;			/* batches taken since kelvo started */
	char	 error[256];		/* why the last was refused, "" applied */
	char	 id[KC_ID_MAX + 1];	/* the batch answered, "" none */
	char	 start[48];		/* this start of kelvo, "" unknown */
};

/* Fills sim from a sim object text; false when it is not one. */
bool	 client_sim_parse(const char *text, size_t len, struct client_sim *sim);
/* The faults' names and lists are the contract's (kc_fault_*). */
/* The sim object as "name value" lines, for kelvo-ctl status. */
int	 client_sim_format(const struct client_sim *sim, char *buf, size_t len);

/*
 * A control text being built; the sender adds its id line, for which
 * the text keeps room.
 */
#define CONTROL_ID_ROOM	(sizeof("id::\n") - 1 + KC_ID_MAX)
struct client_batch {
	char	 text[KC_CONTROL_LEN];
	size_t	 len;
	int	 n;			/* commands in it */
};

void	 client_batch_init(struct client_batch *b);
/*
 * The text kelvo takes for a command's value: a mode, fan or system state
 * in any letter case, blanks around it, is kelvo's own ("heat" for
 * ts_mode is "HEAT"), since the control object takes only that; any
 * other value is value itself, for kelvo to judge.
 */
const char *client_control_value(const char *name, const char *value);
/*
 * Adds name::value, the value as client_control_value gives it.  false when it cannot go into one line of a control
 * text (a name that is empty or holds ':' or blanks, a value with a line
 * break or a control character) or the text would be too long: kelvo
 * checks what the command means.
 */
bool	 client_batch_add(struct client_batch *b, const char *name,
	    const char *value);

enum {
	CONTROL_APPLIED,	/* kelvo applied the batch */
	CONTROL_REFUSED,	/* kelvo refused it: sim->error says why */
	CONTROL_DOWN,		/* kelvo is not running: nothing written */
	CONTROL_TIMEOUT,	/* no answer in time: kelvo may yet take it */
	CONTROL_FAILED,		/* the control object could not be written */
	CONTROL_UNPUBLISHED,	/* applied, but kelvo could not publish it */
	CONTROL_BUSY,		/* not written: other senders kept the object */
};

/*
 * Writes the batch under a fresh id and waits up to ms for kelvo's answer
 * to that id; *sim gets the sim object that answered (or the last one
 * read).  Senders in one PPS root take turns at the control object, which
 * holds one text; a process keeps its turn's lock and its wait on the sim
 * object from one batch to the next, and a second thread sending
 * meanwhile makes its own.  why gets a line for a face to show when the result is
 * not APPLIED; for TIMEOUT it is CONTROL_UNKNOWN.  Nothing is taken back:
 * a batch not answered is one kelvo may still apply.
 */
#define CONTROL_UNKNOWN	"kelvo did not answer within 2 s: the batch may " \
	    "yet be taken"
/* A fresh id for a batch: this process's, never used before. */
void	 client_batch_id(char *out, size_t len);
int	 client_control_send(const struct client_batch *b, int ms,
	    struct client_sim *sim, char *why, size_t whylen);
/* The sim object now; false when there is none or it does not parse. */
bool	 client_sim_read(struct client_sim *sim);
/*
 * Is kelvo running: the one rule every face shows (the panel, kelvo-web's
 * state and sim, kelvo-mqtt, kelvo-ctl status).  kelvo publishes once a
 * period, so it is running while it last published (age ms ago; -1: no
 * outputs object) within the quiet limit: CLIENT_QUIET_PERIODS of its
 * period (ms; <= 0 unknown) and a second of slack, CLIENT_QUIET_MS at
 * least.  A kelvo under the silent fault publishes nothing, so it is not
 * running to any display; it still takes control batches, which is why
 * the senders ask client_takes_batches instead, and "fault none" clears
 * it from any face.
 */
#define CLIENT_QUIET_MS		3000
#define CLIENT_QUIET_PERIODS	3
#define CLIENT_QUIET_SLACK_MS	1000
long long client_quiet_limit(long long period);
bool	 client_running(long long age, long long period);
/*
 * The rule looked up now, for a face without a link (kelvo-ctl, the
 * panel's --once): the outputs object's age, the sim object's period.
 * *sim gets the sim object when sim is not NULL and there is one.
 */
bool	 client_running_now(struct client_sim *sim, bool *have_sim);
/*
 * Whether a control batch may be written: kelvo is running, or silent by
 * its fault (its sim object, NULL when none, says so).
 */
bool	 client_takes_batches(long long age, const struct client_sim *sim);
/* ms since the outputs object was last written; -1 when it is missing. */
long long client_outputs_age(void);
/*
 * The outputs object as it stands, parsed into st: the attributes taken
 * (client_parse), or -1 when there is no object or no text in it.
 */
int	 client_outputs_read(struct client_state *st);

#endif
