/*
 * client.cpp - parsing kelvo's published text, the day of history, the
 * button texts.
 *
 * Nothing here touches a screen or the PPS objects, so every piece can be
 * exercised with made-up texts.  A published text is trusted for nothing:
 * it may come from a half-written hand edit or from another program, and
 * the values end up on terminals, web pages and brokers, so each value is
 * checked against what kelvo can publish and anything else is left
 * unknown.  The texts kept as they came are printable ASCII or nothing.
 */
#include "client.h"

#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "model.h"

/*
 * kelvo moves its clock a few minutes per tick.  A bigger step than this
 * is a kelvo started afresh (or moved to another document), and joining
 * its curves to the old ones would draw a trend that never happened.
 */
#define HISTORY_STEP_MAX	180


/* Lines a sane published text can hold fit easily. */
#define LINE_MAX_LEN	128
#define VALUE_MAX_LEN	63

static bool
parse_int(const char *v, long lo, long hi, int *out)
{
	char *end;
	long n;

	errno = 0;
	n = strtol(v, &end, 10);
	if (end == v || errno != 0)
		return false;
	while (*end == ' ')
		end++;
	if (*end != '\0' || n < lo || n > hi)
		return false;
	*out = (int)n;
	return true;
}

/* A temperature beyond the contract's limit is a broken text. */
static bool
parse_temp(const char *v, double *out)
{
	char *end;
	double d;

	errno = 0;
	d = strtod(v, &end);
	if (end == v || errno != 0)
		return false;
	while (*end == ' ')
		end++;
	if (*end != '\0' || !isfinite(d) || fabs(d) > KC_TEMP_MAX)
		return false;
	*out = d;
	return true;
}

/* Only printable ASCII may reach the screen. */
static bool
printable(const char *v)
{
	for (; *v; v++)
		if ((unsigned char)*v < 0x20 || (unsigned char)*v > 0x7e)
			return false;
	return true;
}

static int
pick(const char *v, const char *a, int ia, const char *b, int ib,
    const char *c, int ic)
{
	if (strcmp(v, a) == 0)
		return ia;
	if (strcmp(v, b) == 0)
		return ib;
	if (c != NULL && strcmp(v, c) == 0)
		return ic;
	return 0;
}

/* A modern attribute's value (ATTR_LOW on); true when it was one. */
static bool
parse_modern(int attr, const char *v, struct client_state *st)
{
	double h;

	switch (attr) {
	case ATTR_LOW:
		return st->has_low = parse_int(v, -999, 999, &st->low);
	case ATTR_HIGH:
		return st->has_high = parse_int(v, -999, 999, &st->high);
	case ATTR_PRESET:
		return (st->preset = kc_preset_of(v)) >= 0;
	case ATTR_CALL:
		return (st->call = kc_call_exact(v)) != CALL_UNKNOWN;
	case ATTR_HUMIDITY_PRECISE:
		if (!parse_temp(v, &h))
			return false;
		st->humidity = h;
		return st->has_humidity = true;
	case ATTR_HUMIDITY:
		/* The whole form stands in only when the precise one is not. */
		if (st->has_humidity || !parse_temp(v, &h))
			return st->has_humidity;
		st->humidity = h;
		return st->has_humidity = true;
	}
	return false;
}

/* One "name:encoding:value" line; true when it was taken. */
static bool
parse_line(char *line, struct client_state *st, bool *in_precise,
    bool *in_whole, bool *out_precise, bool *out_whole)
{
	char *name = line, *enc, *v;
	int i;

	if ((enc = strchr(line, ':')) == NULL)
		return false;
	*enc++ = '\0';
	if ((v = strchr(enc, ':')) == NULL)
		return false;
	*v++ = '\0';
	if (strlen(v) > VALUE_MAX_LEN)
		return false;
	for (i = 0; i < KC_ATTRS_MODERN; i++)
		if (strcmp(name, kc_attr_name[i]) == 0 && printable(v)) {
			snprintf(st->text[i], sizeof(st->text[i]), "%s", v);
			/* Its names make a text modern, whatever their values. */
			if (i >= KC_ATTRS) {
				st->modern = true;
				return parse_modern(i, v, st);
			}
		}

	if (strcmp(name, "ts_mode") == 0) {
		st->mode = pick(v, "OFF", MODE_OFF, "HEAT", MODE_HEAT,
		    "COOL", MODE_COOL);
		if (strcmp(v, kc_mode_name(MODE_AUTO)) == 0)
			st->mode = MODE_AUTO;
		return st->mode != MODE_UNKNOWN;
	}
	if (strcmp(name, "ts_fan") == 0) {
		st->fan = pick(v, "AUTO", FAN_AUTO, "ON", FAN_ON, NULL, 0);
		return st->fan != FAN_UNKNOWN;
	}
	if (strcmp(name, "td_sys") == 0) {
		st->sys = pick(v, "OFF", SYS_OFF, "ON", SYS_ON, NULL, 0);
		return st->sys != SYS_UNKNOWN;
	}
	if (strcmp(name, "ts_temp") == 0)
		return st->has_setpoint = parse_int(v, -KC_TEMP_MAX,
		    KC_TEMP_MAX, &st->setpoint);
	if (strcmp(name, "td_temp_in_") == 0)
		return *in_precise = parse_temp(v, &st->in);
	if (strcmp(name, "td_temp_out_") == 0)
		return *out_precise = parse_temp(v, &st->out);
	if (strcmp(name, "td_temp_in") == 0)
		return *in_whole = parse_int(v, -KC_TEMP_MAX, KC_TEMP_MAX,
		    &st->in_whole);
	if (strcmp(name, "td_temp_out") == 0)
		return *out_whole = parse_int(v, -KC_TEMP_MAX, KC_TEMP_MAX,
		    &st->out_whole);
	if (strcmp(name, "td_time_") == 0) {
		st->minute = kc_minute_of(v);
		return st->minute >= 0;
	}
	if (strcmp(name, "td_time") == 0) {
		size_t n = strlen(v);
		if (n > 0 && n < sizeof(st->clock) && printable(v)) {
			memcpy(st->clock, v, n + 1);
			return true;
		}
		st->clock[0] = '\0';
		return false;
	}
	return false;
}

int
client_parse(const char *text, size_t len, struct client_state *st)
{
	char line[LINE_MAX_LEN];
	const char *p = text, *end = text + len, *eol;
	bool in_precise = false, in_whole = false;
	bool out_precise = false, out_whole = false;
	int taken = 0;

	memset(st, 0, sizeof(*st));
	st->minute = -1;
	st->preset = -1;
	while (p != NULL && p < end) {
		eol = (const char *)memchr(p, '\n', (size_t)(end - p));
		size_t n = (size_t)((eol ? eol : end) - p);
		if (n > 0 && p[n - 1] == '\r')
			n--;
		/* An over-long line is no line of ours: skip it whole. */
		if (n < sizeof(line) && *p != '@' && memchr(p, '\0', n) == NULL) {
			snprintf(line, sizeof(line), "%.*s", (int)n, p);
			if (parse_line(line, st, &in_precise, &in_whole,
			    &out_precise, &out_whole))
				taken++;
		}
		p = eol ? eol + 1 : NULL;
	}

	/* Either form of a temperature stands in for the other. */
	if (in_precise && !in_whole)
		st->in_whole = roundoff((float)st->in);
	else if (in_whole && !in_precise)
		st->in = st->in_whole;
	st->has_in = in_precise || in_whole;
	if (out_precise && !out_whole)
		st->out_whole = roundoff((float)st->out);
	else if (out_whole && !out_precise)
		st->out = st->out_whole;
	st->has_out = out_precise || out_whole;
	/* AUTO is no classic mode: a classic kelvo's AUTO is a text unknown. */
	if (st->mode == MODE_AUTO && !st->modern)
		st->mode = MODE_UNKNOWN;
	return taken;
}

bool
client_band_buttons(const struct client_state *st)
{
	return st->modern && st->mode == MODE_AUTO;
}

int
client_plant(const struct client_state *st)
{
	return kc_plant_call(st->mode, st->sys, st->fan, st->call);
}

const char *
client_plant_name(int plant)
{
	const char *name = kc_plant_name(plant);

	return name ? name : "";
}

bool
client_clock_display(const struct client_state *st, char *buf, size_t len)
{
	if (len > 0)
		buf[0] = '\0';
	if (st->minute < 0 || st->minute >= CLIENT_DAY)
		return false;
	kc_clock_display(st->minute / 60 * 100 + st->minute % 60, buf, len);
	return true;
}

const char *
client_button_name(int btn)
{
	const char *name = kc_button_name(btn);

	return name != nullptr ? name : "?";
}

int
client_button_of(const char *s, bool anycase)
{
	/* Exactly the name, no blanks around it: a URL's or a payload's. */
	for (int b = BTN_MODE; b <= BTN_DOWN; b++)
		if ((anycase ? strcasecmp(s, kc_button_name(b)) :
		    strcmp(s, kc_button_name(b))) == 0)
			return b;
	return 0;
}

int
client_format(const struct client_state *st, char *buf, size_t len)
{
	char in[16] = "?", out[16] = "?", sp[16] = "?", clock[16];
	int n;

	/* The published "12:00a" stays; the clock tells noon from midnight. */
	if (!client_clock_display(st, clock, sizeof(clock)))
		snprintf(clock, sizeof(clock), "?");
	if (st->has_in)
		snprintf(in, sizeof(in), "%.1f", st->in);
	if (st->has_out)
		snprintf(out, sizeof(out), "%.1f", st->out);
	if (st->has_setpoint)
		snprintf(sp, sizeof(sp), "%d", st->setpoint);
	n = snprintf(buf, len,
	    "time %s\nclock %s\nindoor %s\noutdoor %s\nsetpoint %s\nmode %s\n"
	    "fan %s\nplant %s\n", st->clock[0] ? st->clock : "?", clock, in,
	    out, sp,
	    kc_mode_name(st->mode), kc_fan_name(st->fan),
	    kc_plant_name(client_plant(st)) ? kc_plant_name(client_plant(st)) :
	    "?");
	if (!st->modern || n < 0 || (size_t)n >= len)
		return n;
	/* The modern thermostat's values follow, as they were published. */
	return n + snprintf(buf + n, len - (size_t)n,
	    "low %s\nhigh %s\npreset %s\ncall %s\nhumidity %s\n",
	    st->has_low ? st->text[ATTR_LOW] : "?",
	    st->has_high ? st->text[ATTR_HIGH] : "?",
	    st->preset >= 0 ? kc_presets[st->preset].name : "?",
	    kc_call_name(st->call),
	    st->has_humidity ? st->text[ATTR_HUMIDITY] : "?");
}

void
client_history_clear(struct client_history *h)
{
	memset(h->slot, 0, sizeof(h->slot));
	h->now = -1;
}

int
client_history_add(struct client_history *h, const struct client_state *st)
{
	struct client_sample *s;
	int ret = HISTORY_ADDED, d, i;

	if (st->minute < 0 || st->minute >= CLIENT_DAY)
		return HISTORY_IGNORED;
	if (h->now >= 0) {
		d = (st->minute - h->now + CLIENT_DAY) % CLIENT_DAY;
		if (d > HISTORY_STEP_MAX) {
			client_history_clear(h);
			ret = HISTORY_RESTARTED;
		} else {
			/* Minutes kelvo stepped over hold yesterday's. */
			for (i = 1; i < d; i++)
				h->slot[(h->now + i) % CLIENT_DAY].have = 0;
		}
	}
	s = &h->slot[st->minute];
	memset(s, 0, sizeof(*s));
	if (st->has_in) {
		s->in = st->in;
		s->have |= SAMPLE_IN;
	}
	if (st->has_out) {
		s->out = st->out;
		s->have |= SAMPLE_OUT;
	}
	if (st->has_setpoint) {
		s->setpoint = (short)st->setpoint;
		s->have |= SAMPLE_SETPOINT;
	}
	if (st->sys != SYS_UNKNOWN) {
		s->sys = (unsigned char)st->sys;
		s->have |= SAMPLE_SYS;
	}
	h->now = st->minute;
	return ret;
}

const struct client_sample *
client_history_at(const struct client_history *h, int age)
{
	const struct client_sample *s;

	if (h->now < 0 || age < 0 || age >= CLIENT_DAY)
		return NULL;
	s = &h->slot[(h->now - age + CLIENT_DAY) % CLIENT_DAY];
	return s->have ? s : NULL;
}
