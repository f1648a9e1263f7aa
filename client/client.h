/*
 * client.h - what every user interface of kelvo needs, without a screen,
 * a socket or a thread: reading the published text, the day of history,
 * the inputs texts, the pacing of presses and driving to a target.
 *
 * A published text is parsed field by field and a field that is missing
 * or does not make sense is left unknown rather than spoiling the others;
 * the text of each attribute is kept as well, for faces that pass values
 * on as they came.  The history keeps one sample per simulated minute of
 * the last simulated day, indexed by the minute, so it needs no wall clock
 * and wraps at simulated midnight by itself.  Everything here is a pure
 * function of its arguments and the time it is given, so it can be tested
 * with made-up texts; link.h puts it to work against a running kelvo.
 */
#ifndef KELVO_CLIENT_H
#define KELVO_CLIENT_H

#include <stddef.h>

#include "contract.h"

/*
 * The modes, fans, plant states, buttons and attributes are the
 * contract's (contract.h); KC_ATTRS counts the published attributes.
 */
#define CLIENT_TEXT_LEN	64	/* one published value, NUL included */

struct client_state {
	int	 mode;		/* MODE_* */
	int	 fan;		/* FAN_* */
	int	 sys;		/* SYS_*, td_sys */
	bool	 has_setpoint;
	int	 setpoint;
	bool	 has_in;	/* indoor: precise value and its rounded form */
	double	 in;
	int	 in_whole;
	bool	 has_out;
	double	 out;
	int	 out_whole;
	int	 minute;	/* minute of the simulated day, -1 unknown */
	char	 clock[16];	/* 12-hour time text, "" unknown */
	/*
	 * The modern profile's values: modern when the text has any of its
	 * attributes (a classic kelvo publishes none), each known or not
	 * like the rest.  MODE_AUTO only in a modern text.
	 */
	bool	 modern;
	bool	 has_low;
	int	 low;		/* ts_temp_low */
	bool	 has_high;
	int	 high;		/* ts_temp_high */
	int	 preset;	/* PRESET_*, -1 unknown */
	int	 call;		/* CALL_* */
	bool	 has_humidity;
	double	 humidity;	/* td_humidity_, or td_humidity */
	/* Each attribute's text as published; "" when absent or empty. */
	char	 text[KC_ATTRS_MODERN][CLIENT_TEXT_LEN];
};

/*
 * Fills st from the len bytes of a published text and returns how many
 * attributes it accepted.  Unknown attributes are ignored.
 */
int	 client_parse(const char *text, size_t len, struct client_state *st);
/*
 * One press of btn by the contract's rule for the profile st is in: the
 * settings s and the band b (client_band) as the press leaves them.
 */
void	 client_press_rule(const struct client_state *st,
	    struct kc_settings *s, struct kc_band *b, int btn);
/* The band st shows, has_band false when either end is unknown. */
struct kc_band client_band(const struct client_state *st);
/* Whether st's up and down buttons move the band: modern, in AUTO. */
bool	 client_band_buttons(const struct client_state *st);
/* The plant's action (PLANT_*), by the contract's one rule. */
int	 client_plant(const struct client_state *st);
/* Its name ("heating"), "" for PLANT_NONE. */
const char *client_plant_name(int plant);
/*
 * The clock as the faces show it ("12:00 pm"), from td_time_; false,
 * with buf "", when st does not know the time.
 */
bool	 client_clock_display(const struct client_state *st, char *buf,
	    size_t len);
const char *client_mode_name(int mode);
const char *client_fan_name(int fan);
/* MODE_* or FAN_* of a text in any case, surrounding blanks allowed. */
int	 client_mode_of(const char *s);
int	 client_fan_of(const char *s);
/* A button's name as every face takes it: "mode", "fan", "up", "down". */
const char *client_button_name(int btn);
/* BTN_* of a name, 0 when none; with anycase, in any case ("UP"). */
int	 client_button_of(const char *s, bool anycase);

/* The state as plain "name value" lines, for --once; length as snprintf. */
int	 client_format(const struct client_state *st, char *buf, size_t len);

/* The whole inputs text pressing button btn (0: no button); -1 if bad. */
int	 client_inputs_text(int btn, char *buf, size_t len);

#define CLIENT_DAY	1440	/* minutes in the simulated day */

enum { SAMPLE_IN = 1, SAMPLE_OUT = 2, SAMPLE_SETPOINT = 4, SAMPLE_SYS = 8 };

struct client_sample {
	double		 in, out;
	short		 setpoint;
	unsigned char	 sys;	/* SYS_* */
	unsigned char	 have;	/* SAMPLE_* */
};

struct client_history {
	struct client_sample slot[CLIENT_DAY];
	int		 now;	/* minute of the newest sample, -1 empty */
};

enum { HISTORY_IGNORED = -1, HISTORY_ADDED, HISTORY_RESTARTED };

void	 client_history_clear(struct client_history *h);
/* Adds st at its minute; HISTORY_RESTARTED when the past was dropped. */
int	 client_history_add(struct client_history *h,
	    const struct client_state *st);
/* The sample age minutes before the newest one, NULL when none. */
const struct client_sample *client_history_at(const struct client_history *h,
	    int age);

/*
 * The press pacer: button presses waiting to be written.  kelvo's reader takes whatever
 * text the object holds when it wakes, so two writes close together can
 * reach it as one; presses therefore go out spaced apart, unless kelvo has
 * already shown the last one taken (client_pacer_ack).  A while after the
 * last one the idle text goes out, so that a kelvo started later does not
 * take the last press left in the object for a new one.
 */
#define CLIENT_PRESS_GAP	100	/* ms between two writes */
#define CLIENT_PRESS_CLEAR	1000	/* ms from a press to the idle text */
#define CLIENT_PRESS_QUEUE	32

struct client_pacer {
	int		 queue[CLIENT_PRESS_QUEUE];
	int		 n;
	long long	 last;		/* ms of the last write, -1 none */
	bool		 dirty;		/* the object holds an event */
	bool		 acked;		/* kelvo has taken the last press */
	bool		 ackable;	/* an ack of the last press can be told */
	bool		 quitting;
};

void	 client_pacer_init(struct client_pacer *s);
bool	 client_pacer_push(struct client_pacer *s, int btn);
/*
 * What to write at time now (ms): a button, 0 for the idle text, -1 for
 * nothing; the caller is taken to write it then.  *wait gets the ms
 * until there is more to do, -1 for never.
 */
int	 client_pacer_next(struct client_pacer *s, long long now, int *wait);
/*
 * kelvo has shown the last press taken: the next may go at once.  Taken
 * only when what kelvo showed before that press was sure to hold every
 * earlier one, else a late text could pass for the ack and two writes
 * reach kelvo as one.
 */
void	 client_pacer_ack(struct client_pacer *s);
/* Forgets the presses not yet written (kelvo went away). */
void	 client_pacer_drop(struct client_pacer *s);
/* Presses of the buttons of drive kind waiting; with forget, dropped. */
int	 client_pacer_holds(struct client_pacer *s, int kind, bool forget);
/* Sends what is queued and the idle text soon after, then nothing more. */
void	 client_pacer_quit(struct client_pacer *s);

/*
 * Driving one setting to a target by presses: the set point with up and
 * down, the mode and the fan by stepping round their cycles.  One press is
 * out at a time; the next waits until a published text shows the last one
 * taken, or until DRIVE_SETTLE ms have passed without that, so a kelvo
 * that publishes slowly is not overrun.  The drive gives up after
 * DRIVE_PRESSES presses or DRIVE_MS ms.
 */
enum { DRIVE_SETPOINT, DRIVE_MODE, DRIVE_FAN, DRIVE_KINDS };
#define DRIVE_PRESSES	45	/* 60 to 90 and back half way, with slack */
#define DRIVE_MS	15000
/*
 * Generous: a kelvo on a machine under load has been seen to take more
 * than a second and a half to show a press, and a press written before
 * it read the last would replace it.  One that shows ends the wait.
 */
#define DRIVE_SETTLE	5000

enum { DRIVE_IDLE, DRIVE_ACTIVE, DRIVE_REACHED, DRIVE_FAILED };

struct client_drive {
	int		 state;		/* DRIVE_IDLE etc. */
	int		 kind;		/* DRIVE_* */
	int		 target;	/* degrees, MODE_* or FAN_* */
	int		 presses;
	long long	 started;	/* ms */
	long long	 pressed;	/* ms of the last press, -1 none */
	int		 before;	/* the value that press was made on */
};

/*
 * Starts d towards target at time now.  A drive of the same setting under
 * way hands over its press on its way to kelvo, if any, so the new one
 * waits for it to show instead of pressing on a value about to change.
 */
void	 client_drive_set(struct client_drive *d, int kind, int target,
	    long long now);
/*
 * The button to press now towards the target given the latest published
 * state st (NULL when none), or 0 for none; updates d->state when the
 * target is reached or the drive gives up.  The caller presses what it
 * gets, at once.
 */
int	 client_drive_next(struct client_drive *d,
	    const struct client_state *st, long long now);
/*
 * What a drive of kind is called ("set point") and its target as text
 * ("72", "COOL") into buf, for the faces' trace lines.
 */
const char *client_drive_name(int kind);
void	 client_drive_target(int kind, int target, char *buf, size_t len);
/* The setting d drives, as st shows it; -1 when st does not say. */
int	 client_drive_value(int kind, const struct client_state *st);

#endif
