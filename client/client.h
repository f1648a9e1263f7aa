/*
 * client.h - what every user interface of kelvo needs, without a screen,
 * a socket or a thread: reading the published text, the day of history,
 * and the button texts.
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
/* Modes and fans by name and of a text are the contract's (kc_mode_*). */
/* A button's name as every face takes it: "mode", "fan", "up", "down". */
const char *client_button_name(int btn);
/* BTN_* of a name, 0 when none; with anycase, in any case ("UP"). */
int	 client_button_of(const char *s, bool anycase);

/* The state as plain "name value" lines, for --once; length as snprintf. */
int	 client_format(const struct client_state *st, char *buf, size_t len);

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

#endif
