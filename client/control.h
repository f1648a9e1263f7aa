/*
 * control.h - driving kelvo's simulation: the control text, the sim
 * object kelvo answers in, and sending one batch and waiting for it.
 *
 * A batch is one text of name::value lines that kelvo checks whole and
 * applies whole, or refuses whole.  kelvo counts every batch it takes in
 * the sim object, so a sender reads the count, writes its batch, and
 * waits for the count to move: the error then says whether it was its
 * batch that was refused.  kelvo writes the sim object only once the
 * outputs show the batch, so what a sender reads next is the result.
 *
 * The parsing and the text are pure; client_control_send and
 * client_sim_read work on the PPS objects under $PPS_ROOT.
 */
#ifndef KELVO_CLIENT_CONTROL_H
#define KELVO_CLIENT_CONTROL_H

#include <stddef.h>

#define CONTROL_OBJECT	"/pps/kelvo/control"
#define SIM_OBJECT	"/pps/kelvo/sim"
#define CONTROL_WAIT_MS	2000	/* how long a batch may take to be taken */
#define CONTROL_TEXT_MAX 4096	/* kelvo refuses longer texts */

/* As kelvo's FAULT_* bits. */
enum { SIM_FAULT_PLANT = 1, SIM_FAULT_SENSOR = 2, SIM_FAULT_SILENT = 4 };

extern const char *const client_fault_name[3];	/* plant, sensor, silent */

/* The sim object, typed. */
struct client_sim {
	bool	 paused;		/* state::paused */
	int	 pm_interval;		/* ms per tick, -1 unknown */
	int	 pm_minutes;		/* simulated minutes per tick, -1 unknown */
	int	 faults;		/* SIM_FAULT_* */
	long	 batch;			/* batches taken since kelvo started */
	char	 error[256];		/* why the last was refused, "" applied */
};

/* Fills sim from a sim object text; false when it is not one. */
bool	 client_sim_parse(const char *text, size_t len, struct client_sim *sim);
/* SIM_FAULT_* of a comma-separated list ("" none); -1 when one is bad. */
int	 client_fault_parse(const char *list);
/* The list of faults, as kelvo writes it ("plant,silent", "" none). */
void	 client_fault_text(int faults, char *buf, size_t len);
/* The sim object as "name value" lines, for kelvo-ctl status. */
int	 client_sim_format(const struct client_sim *sim, char *buf, size_t len);

/* A control text being built. */
struct client_batch {
	char	 text[CONTROL_TEXT_MAX];
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
	CONTROL_TIMEOUT,	/* nothing taken in time: the text was taken back */
	CONTROL_FAILED,		/* the control object could not be written */
};

/*
 * Writes the batch and waits up to ms for kelvo to take it; *sim gets the
 * sim object that answered (or the last one read).  Senders in one
 * PPS root take turns, so one batch's answer is never read as another's.
 * why gets a line for a face to show when the result is not APPLIED.
 */
int	 client_control_send(const struct client_batch *b, int ms,
	    struct client_sim *sim, char *why, size_t whylen);
/* The sim object now; false when there is none or it does not parse. */
bool	 client_sim_read(struct client_sim *sim);
/*
 * Whether a kelvo that last published age ms ago (-1: no outputs object)
 * is still running, given its sim object (NULL when none): kelvo
 * publishes once a period, so silence counts only beyond a few of its
 * periods, and a silent fault is no sign of a stop.
 */
bool	 client_alive(long long age, const struct client_sim *sim);
/* How long a kelvo with this sim object (NULL: none) may be quiet, ms. */
long long client_quiet_limit(const struct client_sim *sim);
/* ms since the outputs object was last written; -1 when it is missing. */
long long client_outputs_age(void);
/* Names whose control command a face may hand on: the known ones. */
bool	 client_control_known(const char *name);

#endif
