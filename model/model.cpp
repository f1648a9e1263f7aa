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
 * The modern profile adds AUTO: heating starts at ts_temp_low - 1 and
 * stops at ts_temp_low + 1, cooling starts at ts_temp_high + 1 and stops
 * at ts_temp_high - 1, and td_call says which runs, never both.  Its room
 * has a humidity, which moves towards an outdoor level by 0.2 of the
 * difference an hour; that level falls 2.5% an hour by day, from 65% at
 * 05:00 to 35% at 17:00, and rises as much by night.  A running plant
 * that works takes 4% an hour off it cooling and 1% heating, and the room
 * stays within 10..90%.  The sensor fault hides it with the temperature.
 * A classic world never touches the modern values, so its every step is
 * the one it always was.
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
#define HUM_HIGH	65.0	/* % of the outdoor level at DAY_FROM */
#define HUM_LOW		35.0	/* % at DAY_UNTIL */
#define HUM_COOL	4.0	/* % an hour running cooling takes */
#define HUM_HEAT	1.0	/* % an hour running heating takes */

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
	w->profile = KC_PROFILE_CLASSIC;
	w->low = atoi(kc_default("ts_temp_low"));
	w->high = atoi(kc_default("ts_temp_high"));
	w->preset = kc_preset_of(kc_default("ts_preset"));
	w->call = kc_call_exact(kc_default("td_call"));
	w->humidity = km_kept(strtof(kc_default("td_humidity_"), nullptr));
	w->humidity_whole = atoi(kc_default("td_humidity"));
}

void
km_profile(struct km_world *w, int profile)
{
	w->profile = profile;
	if (profile == KC_PROFILE_CLASSIC && w->mode == MODE_AUTO)
		w->mode = MODE_OFF;
}

/* The outdoor humidity at HHMM t: HUM_HIGH at DAY_FROM, HUM_LOW at DAY_UNTIL. */
static double
humidity_outdoors(int t)
{
	int from = (DAY_FROM / 100) * 60, half = 12 * 60;
	int mins = ((t / 100) * 60 + t % 100 - from + 24 * 60) % (24 * 60);

	if (mins < half)
		return HUM_HIGH - (HUM_HIGH - HUM_LOW) * mins / half;
	return HUM_LOW + (HUM_HIGH - HUM_LOW) * (mins - half) / half;
}

/* The humidity after m minutes at t, with acting (CALL_*) the plant's effect. */
static void
humidity_step(struct km_world *w, int t, int m, int acting)
{
	double h = w->humidity;

	h += (humidity_outdoors(t) - h) * DRIFT * m / 60;
	if (acting == CALL_COOL)
		h -= HUM_COOL * m / 60;
	else if (acting == CALL_HEAT)
		h -= HUM_HEAT * m / 60;
	if (h < KC_HUMIDITY_MIN)
		h = KC_HUMIDITY_MIN;
	if (h > KC_HUMIDITY_MAX)
		h = KC_HUMIDITY_MAX;
	w->humidity = km_kept((float)h);
	w->humidity_whole = roundoff((float)h);
}

/*
 * AUTO: the call goes on as long as its stop is not reached; an idle
 * thermostat calls for heat or cold at either start, never for both, as
 * the band keeps the starts KC_DEADBAND + 2 apart.  *acting is what the
 * plant did this step (CALL_NONE when it did nothing).
 */
static void
auto_step(const struct km_world *w, int m, float *in, float diff, bool works,
    bool *running, int *call, int *acting)
{
	int c = *running ? w->call : CALL_NONE;

	auto drift = [&]() {
		*in = *in - (float)(diff * (m / 60.0) * DRIFT);
	};
	*acting = CALL_NONE;
	if (c == CALL_HEAT) {
		if (works) {
			*in = (float)(*in + HEAT_RATE * m / 60);
			*acting = CALL_HEAT;
		} else
			drift();
		*running = !(*in >= w->low + HYSTERESIS);
	} else if (c == CALL_COOL) {
		if (works) {
			*in = (float)(*in - COOL_RATE * m / 60);
			*acting = CALL_COOL;
		} else
			drift();
		*running = !(*in <= w->high - HYSTERESIS);
	} else {
		drift();
		if (*in <= w->low - HYSTERESIS)
			c = CALL_HEAT;
		else if (*in >= w->high + HYSTERESIS)
			c = CALL_COOL;
		*running = c != CALL_NONE;
	}
	*call = *running ? c : CALL_NONE;
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
	bool modern = w->profile == KC_PROFILE_MODERN;
	int call = CALL_NONE, acting = CALL_NONE;
	if (w->mode == MODE_OFF || (w->faults & KC_FAULT_SENSOR)) {
		/*
		 * No heating or cooling happens, so none is shown; a thermostat
		 * that cannot read the room keeps the plant off.
		 */
		drift();
		running = false;
	} else if (w->mode == MODE_AUTO && modern) {
		auto_step(w, m, &in, diff, works, &running, &call, &acting);
	} else if (w->mode == MODE_HEAT) {
		if (running) {
			if (works) {
				in = (float)(in + HEAT_RATE * m / 60);
				acting = CALL_HEAT;
			} else
				drift();
			running = !(in >= s + HYSTERESIS);
		} else {
			drift();
			running = in <= s - HYSTERESIS;
		}
		call = running ? CALL_HEAT : CALL_NONE;
	} else {
		if (running) {
			if (works) {
				in = (float)(in - COOL_RATE * m / 60);
				acting = CALL_COOL;
			} else
				drift();
			running = !(in <= s - HYSTERESIS);
		} else {
			drift();
			running = in >= s + HYSTERESIS;
		}
		call = running ? CALL_COOL : CALL_NONE;
	}
	in = bounded(in);
	if (modern) {
		w->call = call;
		humidity_step(w, t, m, acting);
	}
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

int
km_values_all(const struct km_world *w, char (*values)[KC_VALUE_LEN])
{
	km_values(w, values);
	for (int i = KC_ATTRS; i < KC_ATTRS_MODERN; i++)
		values[i][0] = '\0';
	if (w->profile != KC_PROFILE_MODERN)
		return KC_ATTRS;
	snprintf(values[ATTR_LOW], KC_VALUE_LEN, "%d", w->low);
	snprintf(values[ATTR_HIGH], KC_VALUE_LEN, "%d", w->high);
	snprintf(values[ATTR_PRESET], KC_VALUE_LEN, "%s",
	    kc_presets[w->preset].name);
	snprintf(values[ATTR_CALL], KC_VALUE_LEN, "%s", kc_call_name(w->call));
	if (!(w->faults & KC_FAULT_SENSOR)) {
		snprintf(values[ATTR_HUMIDITY_PRECISE], KC_VALUE_LEN, "%.3f",
		    (double)w->humidity);
		snprintf(values[ATTR_HUMIDITY], KC_VALUE_LEN, "%d",
		    w->humidity_whole);
	}
	return KC_ATTRS_MODERN;
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

/* A modern world whose set point or band changed has no preset any more. */
static unsigned
unpreset(struct km_world *w)
{
	if (w->profile != KC_PROFILE_MODERN || w->preset == PRESET_NONE)
		return 0;
	w->preset = PRESET_NONE;
	return KM_SET_PRESET;
}

/*
 * One end of the band set: the other follows to keep KC_DEADBAND, which
 * kc_command_check_as has made sure the limits allow.
 */
static unsigned
set_band(struct km_world *w, const char *name, int v)
{
	int low = w->low, high = w->high;

	if (strcmp(name, kc_attr_name[ATTR_LOW]) == 0) {
		low = v;
		if (high - low < KC_DEADBAND)
			high = low + KC_DEADBAND;
	} else {
		high = v;
		if (high - low < KC_DEADBAND)
			low = high - KC_DEADBAND;
	}
	if (low < KC_SETPOINT_MIN || high > KC_SETPOINT_MAX)
		return 0;
	if (low == w->low && high == w->high)
		return KM_SET_BAND;
	w->low = low;
	w->high = high;
	return KM_SET_BAND | unpreset(w);
}

/* The modern profile's commands; none of them in a classic world. */
static unsigned
apply_modern(struct km_world *w, const struct kc_command *c,
    const char *value)
{
	const struct kc_preset *p;
	long v;
	float f;
	int i;

	if (w->profile != KC_PROFILE_MODERN)
		return 0;
	switch (c->kind) {
	case KC_CMD_PRESET:
		if ((i = kc_preset_of(value)) <= PRESET_NONE)
			return 0;
		p = &kc_presets[i];
		w->preset = i;
		w->setpoint = p->setpoint;
		w->low = p->low;
		w->high = p->high;
		return KM_SET_PRESET | KM_SET_SETPOINT | KM_SET_BAND;
	case KC_CMD_BAND:
		if (!kc_whole(value, KC_SETPOINT_MIN, KC_SETPOINT_MAX, &v))
			return 0;
		return set_band(w, c->name, (int)v);
	case KC_CMD_CALL:
		if ((i = kc_call_exact(value)) == CALL_UNKNOWN)
			return 0;
		w->call = i;
		return KM_SET_CALL;
	case KC_CMD_HUMIDITY:
		if (!kc_temperature(value, &f) || f < KC_HUMIDITY_MIN ||
		    f > KC_HUMIDITY_MAX)
			return 0;
		w->humidity = km_kept(f);
		w->humidity_whole = roundoff(f);
		return KM_SET_HUMIDITY;
	}
	return 0;
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
		f = w->setpoint != (int)v;
		w->setpoint = (int)v;
		return KM_SET_SETPOINT | (f ? unpreset(w) : 0);
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
		return KM_SET_MODE | KM_SET_FAN | KM_SET_SETPOINT |
		    (w->profile == KC_PROFILE_MODERN ?
		    KM_SET_BAND | KM_SET_PRESET : 0);
	case KC_CMD_ID:		/* names the batch; changes nothing */
		return 0;
	case KC_CMD_PROFILE:
		if ((f = kc_profile_of(value)) < 0)
			return 0;
		v = w->mode;
		km_profile(w, f);
		return KM_SET_PROFILE | (w->mode != v ? KM_SET_MODE : 0);
	default:
		return apply_modern(w, c, value);
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
	if (w->profile != KC_PROFILE_MODERN) {
		kc_press(&s, btn);
	} else {
		struct kc_band b = { true, w->low, w->high };
		kc_press_modern(&s, &b, btn);
		if (s.setpoint != w->setpoint || b.low != w->low ||
		    b.high != w->high)
			unpreset(w);
		w->low = b.low;
		w->high = b.high;
	}
	w->mode = s.mode;
	w->fan = s.fan;
	w->setpoint = s.setpoint;
}
