/*
 * model.h - one thermostat's world and how it moves: the clock, the
 * outdoor ramp, the indoor temperature heated, cooled or drifting, the
 * thermostat's hysteresis, the faults' effects, the control commands and
 * the buttons, applied to a plain struct.
 *
 * Pure: no document, no globals, no I/O, no locks.  The daemon loads a
 * world from its document, moves it here and stores it; a fleet keeps
 * thousands of worlds in memory and moves them here alike, so the same
 * start and the same ticks give the same values to the byte.
 */
#ifndef KELVO_MODEL_H
#define KELVO_MODEL_H

#include <stddef.h>

#include "contract.h"

/*
 * One thermostat's world: every value the document keeps, typed.  The
 * temperatures are as the document gives them back (three decimals, see
 * km_kept); their whole forms are kept beside them, since those are
 * rounded from the value before the document's rounding.
 */
struct km_world {
	int	 clock;		/* td_time_: HHMM 0000..2359 */
	float	 out;		/* td_temp_out_ */
	int	 out_whole;	/* td_temp_out */
	float	 in;		/* td_temp_in_ */
	int	 in_whole;	/* td_temp_in */
	bool	 running;	/* td_sys: ON */
	int	 mode;		/* ts_mode: MODE_*; MODE_UNKNOWN cools */
	int	 fan;		/* ts_fan: FAN_* */
	int	 setpoint;	/* ts_temp */
	int	 interval;	/* pm_interval: real ms between ticks */
	int	 minutes;	/* pm_minutes: simulated minutes per tick */
	bool	 paused;	/* pm_state: paused */
	int	 faults;	/* pm_fault: KC_FAULT_* */
	/* The modern profile's; a classic world keeps them as reset left them. */
	int	 profile;	/* pm_profile: KC_PROFILE_* */
	int	 low;		/* ts_temp_low */
	int	 high;		/* ts_temp_high */
	int	 preset;	/* ts_preset: PRESET_* */
	int	 call;		/* td_call: CALL_* */
	float	 humidity;	/* td_humidity_, in % */
	int	 humidity_whole; /* td_humidity */
};

/* What a command changed, so that a store writes only that. */
enum {
	KM_SET_CLOCK = 1 << 0,
	KM_SET_OUT = 1 << 1,
	KM_SET_IN = 1 << 2,
	KM_SET_SYS = 1 << 3,
	KM_SET_MODE = 1 << 4,
	KM_SET_FAN = 1 << 5,
	KM_SET_SETPOINT = 1 << 6,
	KM_SET_INTERVAL = 1 << 7,
	KM_SET_MINUTES = 1 << 8,
	KM_SET_PAUSED = 1 << 9,
	KM_SET_FAULTS = 1 << 10,
	KM_SET_PROFILE = 1 << 11,	/* and every modern value */
	KM_SET_BAND = 1 << 12,		/* ts_temp_low, ts_temp_high */
	KM_SET_PRESET = 1 << 13,
	KM_SET_CALL = 1 << 14,
	KM_SET_HUMIDITY = 1 << 15,
	KM_SET_TICK = KM_SET_CLOCK | KM_SET_OUT | KM_SET_IN | KM_SET_SYS |
	    KM_SET_CALL | KM_SET_HUMIDITY,
	KM_SET_ALL = (1 << 16) - 1,
};

/* The longest model step, in minutes: longer ticks are made of these. */
#define KM_HOUR	60

/* The world of the default document, which a reset gives: classic. */
void	 km_reset(struct km_world *w);
/*
 * A profile chosen.  Into modern the modern values stay as they are
 * (km_reset's defaults for a world that never had them); into classic a
 * mode AUTO, which classic does not have, turns the thermostat off.
 */
void	 km_profile(struct km_world *w, int profile);
/*
 * One tick of w->minutes: the clock, then the model.  A tick of more than
 * an hour is ticks of at most an hour, the longer ones first, each with
 * the thermostat deciding (the model holds for steps up to an hour).
 */
void	 km_tick(struct km_world *w);
/* One model step of m minutes (1..60) at the new time t (HHMM). */
void	 km_step(struct km_world *w, int t, int m);
/* The HHMM time minutes (0..1440) after a valid HHMM t. */
int	 km_clock_step(int t, int minutes);
/* Rounds half up to an int, clamped to the int range (nan gives 0). */
int	 roundoff(float x);
/* A temperature as the document gives it back: "%8.3f" text, read. */
float	 km_kept(float x);

/*
 * The published attributes' texts, in the contract's order, as kelvo
 * publishes a document that holds this world (a failed sensor's indoor
 * values empty).
 */
void	 km_values(const struct km_world *w, char (*values)[KC_VALUE_LEN]);
/*
 * The same for every attribute of KC_ATTRS_MODERN, the modern ones empty
 * in a classic world; returns how many the world's profile publishes.
 */
int	 km_values_all(const struct km_world *w,
	    char (*values)[KC_VALUE_LEN]);
/*
 * A control command that kc_command_check took, applied (KM_SET_* of what
 * it changed; 0 for a command the model does not know).  A step ticks the
 * world that many times and pauses it.
 */
unsigned km_apply(struct km_world *w, const char *name, const char *value);
/*
 * One button press (BTN_*), the contract's rule on the world; a modern
 * one's preset is none once a press moved its set point or band.
 */
void	 km_press(struct km_world *w, int btn);

#endif
