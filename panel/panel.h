/*
 * panel.h - the pieces of kelvo-panel that need no terminal.
 *
 * The panel reads kelvo's outputs object and writes its inputs object; all
 * it knows of kelvo comes through these functions, so the screen code in
 * main.cpp only draws.  A published text is parsed field by field and a
 * field that is missing or does not make sense is left unknown rather than
 * spoiling the others.  The history keeps one sample per simulated minute
 * of the last simulated day, indexed by the minute, so the chart needs no
 * wall clock and wraps at simulated midnight by itself.
 */
#ifndef KELVO_PANEL_H
#define KELVO_PANEL_H

#include <stddef.h>

#include <vector>

enum { MODE_UNKNOWN, MODE_OFF, MODE_HEAT, MODE_COOL };
enum { FAN_UNKNOWN, FAN_AUTO, FAN_ON };
enum { SYS_UNKNOWN, SYS_OFF, SYS_ON };
enum { PLANT_UNKNOWN, PLANT_IDLE, PLANT_HEATING, PLANT_COOLING,
    PLANT_RUNNING };

/* Buttons of the inputs object, btn1 to btn4. */
enum { BTN_MODE = 1, BTN_FAN, BTN_UP, BTN_DOWN };

struct panel_state {
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
};

/*
 * Fills st from the len bytes of a published text and returns how many
 * attributes it accepted.  Unknown attributes are ignored.
 */
int	 panel_parse(const char *text, size_t len, struct panel_state *st);
int	 panel_plant(const struct panel_state *st);
const char *panel_plant_name(int plant);
const char *panel_mode_name(int mode);
const char *panel_fan_name(int fan);

/* The state as plain "name value" lines, for --once; length as snprintf. */
int	 panel_format(const struct panel_state *st, char *buf, size_t len);

/* The whole inputs text pressing button btn (0: no button); -1 if bad. */
int	 panel_inputs_text(int btn, char *buf, size_t len);

#define PANEL_DAY	1440	/* minutes in the simulated day */

enum { SAMPLE_IN = 1, SAMPLE_OUT = 2, SAMPLE_SETPOINT = 4 };

struct panel_sample {
	float		 in, out;
	short		 setpoint;
	unsigned char	 have;	/* SAMPLE_* */
};

struct panel_history {
	struct panel_sample slot[PANEL_DAY];
	int		 now;	/* minute of the newest sample, -1 empty */
};

enum { HISTORY_IGNORED = -1, HISTORY_ADDED, HISTORY_RESTARTED };

void	 panel_history_clear(struct panel_history *h);
/* Adds st at its minute; HISTORY_RESTARTED when the past was dropped. */
int	 panel_history_add(struct panel_history *h,
	    const struct panel_state *st);
/* The sample age minutes before the newest one, NULL when none. */
const struct panel_sample *panel_history_at(const struct panel_history *h,
	    int age);

/* Temperatures lo..hi spread over the chart's rows. */
struct panel_scale {
	bool	 valid;
	int	 lo, hi;
};

struct panel_scale panel_chart_scale(const struct panel_history *h);
/* Row of value v among rows (0 at the top), kept inside the chart. */
int	 panel_scale_row(const struct panel_scale *s, double v, int rows);
/* Column of a sample age minutes old among cols (the newest rightmost). */
int	 panel_chart_col(int age, int cols);

/* What the chart draws, strongest last: a dot shows the strongest. */
enum { SERIES_BAND = 1, SERIES_SETPOINT = 2, SERIES_OUT = 4, SERIES_IN = 8 };

struct panel_chart {
	int		 cols, rows;	/* in dots */
	struct panel_scale scale;
	std::vector<unsigned char> dot;	/* SERIES_* bits, row by row */
};

void	 panel_chart_plot(const struct panel_history *h, int cols, int rows,
	    struct panel_chart *c);

/*
 * Button presses waiting to be written.  kelvo's reader takes whatever
 * text the object holds when it wakes, so two writes close together can
 * reach it as one; presses therefore go out spaced apart.  A while after
 * the last one the idle text goes out, so that a kelvo started later does
 * not take the last press left in the object for a new one.
 */
#define PANEL_PRESS_GAP		100	/* ms between two writes */
#define PANEL_PRESS_CLEAR	1000	/* ms from a press to the idle text */
#define PANEL_PRESS_QUEUE	8

struct panel_sender {
	int		 queue[PANEL_PRESS_QUEUE];
	int		 n;
	long long	 last;		/* ms of the last write, -1 none */
	bool		 dirty;		/* the object holds an event */
	bool		 quitting;
};

void	 panel_sender_init(struct panel_sender *s);
bool	 panel_sender_push(struct panel_sender *s, int btn);
/*
 * What to write at time now (ms): a button, 0 for the idle text, -1 for
 * nothing; the caller is taken to write it then.  *wait gets the ms
 * until there is more to do, -1 for never.
 */
int	 panel_sender_next(struct panel_sender *s, long long now, int *wait);
/* Sends what is queued and the idle text soon after, then nothing more. */
void	 panel_sender_quit(struct panel_sender *s);

#endif
