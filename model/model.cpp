/*
 * model.cpp - one thermostat's world moved on by a tick.
 *
 * The outdoor temperature rises 2 degrees an hour by day (05:00 to 17:00)
 * and falls as much by night.  Indoors, a running plant heats 5 degrees
 * an hour in HEAT and cools 15 in any other mode; otherwise the room
 * drifts towards the outdoors by 0.2 of the difference an hour.  The
 * thermostat switches the plant with one degree of hysteresis either side
 * of the set point.  A broken plant switches as usual but has no effect;
 * a thermostat whose sensor fails keeps the plant off.
 *
 * Temperatures are single-precision floats worked in double precision.
 * The document keeps three decimals and the next tick reads that text
 * back, so the rounding is part of the simulation: every step ends with
 * it (km_kept), which is what lets a world kept in memory give the
 * document's values to the byte.  The whole forms are rounded from the
 * value before that rounding, as the document's always were.
 *
 * No value leaves the contract's limits: a temperature that heating or
 * cooling would carry past +-KC_TEMP_MAX stops there, since beyond it the
 * next reader would take it for no temperature at all.
 */
#include "model.h"

#include <limits.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define DAY_FROM	500	/* HHMM the outdoors starts warming */
#define DAY_UNTIL	1700	/* HHMM it starts cooling again */
#define OUT_RATE	2.0	/* outdoor degrees an hour */
#define HEAT_RATE	5.0	/* degrees an hour a running heater gives */
#define COOL_RATE	15.0	/* degrees an hour a running cooler takes */
#define DRIFT		0.2	/* of the indoor-outdoor difference an hour */
#define HYSTERESIS	1.0	/* degrees either side of the set point */

int
roundoff(float x)
{
	float f;

	if (isnan(x))
		return 0;
	f = floorf(x);
	if (f >= 2147483647.0f)
		return INT_MAX;
	if (f < -2147483648.0f)
		return INT_MIN;
	return (x - f >= 0.5f && f < 2147483520.0f) ? (int)f + 1 : (int)f;
}

float
km_kept(float x)
{
	char text[64];

	snprintf(text, sizeof(text), "%8.3f", (double)x);
	return strtof(text, nullptr);
}

/* Within the contract's limits: what any reader takes as a temperature. */
static float
bounded(float x)
{
	if (x > (float)KC_TEMP_MAX)
		return (float)KC_TEMP_MAX;
	if (x < -(float)KC_TEMP_MAX)
		return -(float)KC_TEMP_MAX;
	return x;
}

/* The plant runs for any td_sys text but "OFF", as kelvo always read it. */
static bool
running_of(const char *sys)
{
	return strcmp(sys, kc_sys_name(SYS_OFF)) != 0;
}

int
km_clock_step(int t, int minutes)
{
	int h = t / 100;
	int m = t % 100 + minutes;

	if (m >= 60) {
		h += m / 60;
		m %= 60;
		h %= 24;
	}
	return h * 100 + m;
}

void
km_reset(struct km_world *w)
{
	w->clock = kc_clock_of(kc_default("td_time_"));
	w->out = km_kept(strtof(kc_default("td_temp_out_"), nullptr));
	w->out_whole = atoi(kc_default("td_temp_out"));
	w->in = km_kept(strtof(kc_default("td_temp_in_"), nullptr));
	w->in_whole = atoi(kc_default("td_temp_in"));
	w->running = running_of(kc_default("td_sys"));
	w->mode = kc_mode_exact(kc_default("ts_mode"));
	w->fan = kc_fan_exact(kc_default("ts_fan"));
	w->setpoint = atoi(kc_default("ts_temp"));
	w->interval = atoi(kc_default("pm_interval"));
	w->minutes = atoi(kc_default("pm_minutes"));
	w->paused = false;
	w->faults = 0;
}

void
km_step(struct km_world *w, int t, int m)
{
	float out, in, diff;
	bool running = w->running;
	int s = w->setpoint;

	if (t >= DAY_FROM && t < DAY_UNTIL)
		out = (float)(w->out + OUT_RATE * m / 60);
	else
		out = (float)(w->out - OUT_RATE * m / 60);
	out = bounded(out);
	in = w->in;
	diff = in - out;

	auto drift = [&]() {
		in = in - (float)(diff * (m / 60.0) * DRIFT);
	};
	/* A broken plant is switched as usual; only the heat never comes. */
	bool works = !(w->faults & KC_FAULT_PLANT);
	if (w->mode == MODE_OFF || (w->faults & KC_FAULT_SENSOR)) {
		/*
		 * No heating or cooling happens, so none is shown; a thermostat
		 * that cannot read the room keeps the plant off.
		 */
		drift();
		running = false;
	} else if (w->mode == MODE_HEAT) {
		if (running) {
			if (works)
				in = (float)(in + HEAT_RATE * m / 60);
			else
				drift();
			running = !(in >= s + HYSTERESIS);
		} else {
			drift();
			running = in <= s - HYSTERESIS;
		}
	} else {
		if (running) {
			if (works)
				in = (float)(in - COOL_RATE * m / 60);
			else
				drift();
			running = !(in <= s - HYSTERESIS);
		} else {
			drift();
			running = in >= s + HYSTERESIS;
		}
	}
	in = bounded(in);
	w->clock = t;
	w->out = km_kept(out);
	w->out_whole = roundoff(out);
	w->in = km_kept(in);
	w->in_whole = roundoff(in);
	w->running = running;
}

void
km_tick(struct km_world *w)
{
	int m = w->minutes;
	int n = m > KM_HOUR ? (m + KM_HOUR - 1) / KM_HOUR : 1;

	for (int i = 0; i < n; i++) {
		int part = m / n + (i < m % n);
		km_step(w, km_clock_step(w->clock, part), part);
	}
}

void
km_values(const struct km_world *w, char (*values)[KC_VALUE_LEN])
{
	snprintf(values[ATTR_MODE], KC_VALUE_LEN, "%s", kc_mode_name(w->mode));
	snprintf(values[ATTR_FAN], KC_VALUE_LEN, "%s", kc_fan_name(w->fan));
	snprintf(values[ATTR_SETPOINT], KC_VALUE_LEN, "%d", w->setpoint);
	snprintf(values[ATTR_IN_PRECISE], KC_VALUE_LEN, "%.3f", (double)w->in);
	snprintf(values[ATTR_IN], KC_VALUE_LEN, "%d", w->in_whole);
	snprintf(values[ATTR_OUT_PRECISE], KC_VALUE_LEN, "%.3f",
	    (double)w->out);
	snprintf(values[ATTR_OUT], KC_VALUE_LEN, "%d", w->out_whole);
	snprintf(values[ATTR_SYS], KC_VALUE_LEN, "%s",
	    kc_sys_name(w->running ? SYS_ON : SYS_OFF));
	snprintf(values[ATTR_TIME_PRECISE], KC_VALUE_LEN, "%04d", w->clock);
	kc_clock_text(w->clock, values[ATTR_TIME], KC_VALUE_LEN);
	/* A failed sensor reads nothing; the room goes on underneath. */
	if (w->faults & KC_FAULT_SENSOR)
		values[ATTR_IN_PRECISE][0] = values[ATTR_IN][0] = '\0';
}

/* A temperature command: the value as the document keeps it. */
static unsigned
set_temperature(struct km_world *w, const char *name, const char *value)
{
	float f;

	if (!kc_temperature(value, &f))
		return 0;
	if (strcmp(name, kc_attr_name[ATTR_OUT_PRECISE]) == 0) {
		w->out = km_kept(f);
		w->out_whole = roundoff(f);
		return KM_SET_OUT;
	}
	w->in = km_kept(f);
	w->in_whole = roundoff(f);
	return KM_SET_IN;
}

unsigned
km_apply(struct km_world *w, const char *name, const char *value)
{
	const struct kc_command *c = kc_command_of(name);
	long v;
	int f;

	if (c == nullptr)
		return 0;
	switch (c->kind) {
	case KC_CMD_STATE:
		w->paused = strcmp(value, KC_PAUSED) == 0;
		return KM_SET_PAUSED;
	case KC_CMD_STEP:
		w->paused = true;
		if (kc_whole(value, 1, KC_STEP_MAX, &v))
			for (long i = 0; i < v; i++)
				km_tick(w);
		return KM_SET_PAUSED | KM_SET_TICK;
	case KC_CMD_INTERVAL:
		if (!kc_whole(value, 1, KC_INTERVAL_MAX, &v))
			return 0;
		w->interval = (int)v;
		return KM_SET_INTERVAL;
	case KC_CMD_MINUTES:
		if (!kc_whole(value, 1, KC_MINUTES_MAX, &v))
			return 0;
		w->minutes = (int)v;
		return KM_SET_MINUTES;
	case KC_CMD_TIME:
		if ((f = kc_clock_of(value)) < 0)
			return 0;
		w->clock = f;
		return KM_SET_CLOCK;
	case KC_CMD_TEMP:
		return set_temperature(w, name, value);
	case KC_CMD_SYS:
		w->running = running_of(value);
		return KM_SET_SYS;
	case KC_CMD_MODE:
		w->mode = kc_mode_exact(value);
		return KM_SET_MODE;
	case KC_CMD_FAN:
		w->fan = kc_fan_exact(value);
		return KM_SET_FAN;
	case KC_CMD_SETPOINT:
		if (!kc_whole(value, 0, KC_TEMP_MAX, &v))
			return 0;
		w->setpoint = (int)v;
		return KM_SET_SETPOINT;
	case KC_CMD_FAULT:
		if ((f = kc_fault_parse(value, nullptr, 0)) < 0)
			return 0;
		w->faults = f;
		return KM_SET_FAULTS;
	case KC_CMD_RESET:
		km_reset(w);
		return KM_SET_ALL;
	case KC_CMD_PRESS:
		km_press(w, kc_button_of(value, false));
		return KM_SET_MODE | KM_SET_FAN | KM_SET_SETPOINT;
	case KC_CMD_ID:		/* names the batch; changes nothing */
		return 0;
	}
	return 0;
}

void
km_press(struct km_world *w, int btn)
{
	struct kc_settings s = {};

	s.has_mode = s.has_fan = s.has_setpoint = true;
	s.mode = w->mode;
	s.fan = w->fan;
	s.setpoint = w->setpoint;
	kc_press(&s, btn);
	w->mode = s.mode;
	w->fan = s.fan;
	w->setpoint = s.setpoint;
}
