/*
 * panel.cpp - parsing kelvo's published text, the day of history behind
 * the chart, the chart's scaling and the button texts.
 *
 * Nothing here touches the terminal or the PPS objects, so every piece can
 * be exercised with made-up texts.  A published text is trusted for
 * nothing: it may come from a half-written hand edit or from another
 * program, and the values end up on a terminal, so each value is checked
 * against what kelvo can publish and anything else is left unknown.
 */
#include "panel.h"

#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

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

/* Temperatures beyond this are no reading but a broken text. */
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
	if (*end != '\0' || !isfinite(d) || d <= -1000 || d >= 1000)
		return false;
	*out = d;
	return true;
}

/* HHMM as kelvo writes it, "%04d" of hours * 100 + minutes. */
static bool
parse_hhmm(const char *v, int *minute)
{
	size_t n = strlen(v);
	int t;

	if (n == 0 || n > 4 || strspn(v, "0123456789") != n)
		return false;
	t = atoi(v);
	if (t / 100 >= 24 || t % 100 >= 60)
		return false;
	*minute = t / 100 * 60 + t % 100;
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

/* kelvo rounds half up, so must we when only the precise value came. */
static int
roundoff(double x)
{
	double f = floor(x);

	return (int)f + (x - f >= 0.5 ? 1 : 0);
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

/* One "name:encoding:value" line; true when it was taken. */
static bool
parse_line(char *line, struct panel_state *st, bool *in_precise,
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

	if (strcmp(name, "ts_mode") == 0) {
		st->mode = pick(v, "OFF", MODE_OFF, "HEAT", MODE_HEAT,
		    "COOL", MODE_COOL);
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
		return st->has_setpoint = parse_int(v, -999, 999,
		    &st->setpoint);
	if (strcmp(name, "td_temp_in_") == 0)
		return *in_precise = parse_temp(v, &st->in);
	if (strcmp(name, "td_temp_out_") == 0)
		return *out_precise = parse_temp(v, &st->out);
	if (strcmp(name, "td_temp_in") == 0)
		return *in_whole = parse_int(v, -999, 999, &st->in_whole);
	if (strcmp(name, "td_temp_out") == 0)
		return *out_whole = parse_int(v, -999, 999, &st->out_whole);
	if (strcmp(name, "td_time_") == 0) {
		if (parse_hhmm(v, &i)) {
			st->minute = i;
			return true;
		}
		st->minute = -1;
		return false;
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
panel_parse(const char *text, size_t len, struct panel_state *st)
{
	char line[LINE_MAX_LEN];
	const char *p = text, *end = text + len, *eol;
	bool in_precise = false, in_whole = false;
	bool out_precise = false, out_whole = false;
	int taken = 0;

	memset(st, 0, sizeof(*st));
	st->minute = -1;
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
		st->in_whole = roundoff(st->in);
	else if (in_whole && !in_precise)
		st->in = st->in_whole;
	st->has_in = in_precise || in_whole;
	if (out_precise && !out_whole)
		st->out_whole = roundoff(st->out);
	else if (out_whole && !out_precise)
		st->out = st->out_whole;
	st->has_out = out_precise || out_whole;
	return taken;
}

/*
 * td_sys says whether the plant runs, the mode says which way.  kelvo
 * leaves td_sys as it was when the mode goes to OFF, so ON then is idle.
 */
int
panel_plant(const struct panel_state *st)
{
	if (st->sys == SYS_UNKNOWN)
		return PLANT_UNKNOWN;
	if (st->sys == SYS_OFF || st->mode == MODE_OFF)
		return PLANT_IDLE;
	if (st->mode == MODE_HEAT)
		return PLANT_HEATING;
	if (st->mode == MODE_COOL)
		return PLANT_COOLING;
	return PLANT_RUNNING;
}

const char *
panel_plant_name(int plant)
{
	static const char *names[] = { "?", "idle", "heating", "cooling",
	    "running" };

	return plant >= 0 && plant <= PLANT_RUNNING ? names[plant] : "?";
}

const char *
panel_mode_name(int mode)
{
	static const char *names[] = { "?", "OFF", "HEAT", "COOL" };

	return mode >= 0 && mode <= MODE_COOL ? names[mode] : "?";
}

const char *
panel_fan_name(int fan)
{
	static const char *names[] = { "?", "AUTO", "ON" };

	return fan >= 0 && fan <= FAN_ON ? names[fan] : "?";
}

int
panel_format(const struct panel_state *st, char *buf, size_t len)
{
	char in[16] = "?", out[16] = "?", sp[16] = "?";

	if (st->has_in)
		snprintf(in, sizeof(in), "%.1f", st->in);
	if (st->has_out)
		snprintf(out, sizeof(out), "%.1f", st->out);
	if (st->has_setpoint)
		snprintf(sp, sizeof(sp), "%d", st->setpoint);
	return snprintf(buf, len,
	    "time %s\nindoor %s\noutdoor %s\nsetpoint %s\nmode %s\nfan %s\n"
	    "plant %s\n", st->clock[0] ? st->clock : "?", in, out, sp,
	    panel_mode_name(st->mode), panel_fan_name(st->fan),
	    panel_plant_name(panel_plant(st)));
}

int
panel_inputs_text(int btn, char *buf, size_t len)
{
	int n;

	if (btn < 0 || btn > BTN_DOWN)
		return -1;
	n = snprintf(buf, len, "@inputs\nbtn1::%s\nbtn2::%s\nbtn3::%s\nbtn4::%s\n",
	    btn == BTN_MODE ? "event" : "", btn == BTN_FAN ? "event" : "",
	    btn == BTN_UP ? "event" : "", btn == BTN_DOWN ? "event" : "");
	return n < 0 || (size_t)n >= len ? -1 : n;
}

void
panel_history_clear(struct panel_history *h)
{
	memset(h->slot, 0, sizeof(h->slot));
	h->now = -1;
}

int
panel_history_add(struct panel_history *h, const struct panel_state *st)
{
	struct panel_sample *s;
	int ret = HISTORY_ADDED, d, i;

	if (st->minute < 0 || st->minute >= PANEL_DAY)
		return HISTORY_IGNORED;
	if (h->now >= 0) {
		d = (st->minute - h->now + PANEL_DAY) % PANEL_DAY;
		if (d > HISTORY_STEP_MAX) {
			panel_history_clear(h);
			ret = HISTORY_RESTARTED;
		} else {
			/* Minutes kelvo stepped over hold yesterday's. */
			for (i = 1; i < d; i++)
				h->slot[(h->now + i) % PANEL_DAY].have = 0;
		}
	}
	s = &h->slot[st->minute];
	memset(s, 0, sizeof(*s));
	if (st->has_in) {
		s->in = (float)st->in;
		s->have |= SAMPLE_IN;
	}
	if (st->has_out) {
		s->out = (float)st->out;
		s->have |= SAMPLE_OUT;
	}
	if (st->has_setpoint) {
		s->setpoint = (short)st->setpoint;
		s->have |= SAMPLE_SETPOINT;
	}
	h->now = st->minute;
	return ret;
}

const struct panel_sample *
panel_history_at(const struct panel_history *h, int age)
{
	const struct panel_sample *s;

	if (h->now < 0 || age < 0 || age >= PANEL_DAY)
		return NULL;
	s = &h->slot[(h->now - age + PANEL_DAY) % PANEL_DAY];
	return s->have ? s : NULL;
}

/*
 * Whole degrees with a degree to spare at each end, and never less than
 * a few degrees in all, so that a steady room reads as a flat line rather
 * than its noise blown up to the chart's height.
 */
#define SCALE_SPAN_MIN	6

struct panel_scale
panel_chart_scale(const struct panel_history *h)
{
	struct panel_scale sc = { false, 0, 0 };
	const struct panel_sample *s;
	double lo = 0, hi = 0;
	bool any = false;

	for (int age = 0; age < PANEL_DAY; age++) {
		double v[4];
		int n = 0;
		if ((s = panel_history_at(h, age)) == NULL)
			continue;
		if (s->have & SAMPLE_IN)
			v[n++] = s->in;
		if (s->have & SAMPLE_OUT)
			v[n++] = s->out;
		if (s->have & SAMPLE_SETPOINT) {
			v[n++] = s->setpoint - 1;
			v[n++] = s->setpoint + 1;
		}
		for (int i = 0; i < n; i++) {
			if (!any || v[i] < lo)
				lo = v[i];
			if (!any || v[i] > hi)
				hi = v[i];
			any = true;
		}
	}
	if (!any)
		return sc;
	sc.valid = true;
	sc.lo = (int)floor(lo) - 1;
	sc.hi = (int)ceil(hi) + 1;
	if (sc.hi - sc.lo < SCALE_SPAN_MIN) {
		int more = SCALE_SPAN_MIN - (sc.hi - sc.lo);
		sc.lo -= more / 2;
		sc.hi += more - more / 2;
	}
	return sc;
}

int
panel_scale_row(const struct panel_scale *s, double v, int rows)
{
	int r;

	if (rows <= 1 || s->hi <= s->lo)
		return 0;
	r = (int)lround((s->hi - v) / (s->hi - s->lo) * (rows - 1));
	return r < 0 ? 0 : r >= rows ? rows - 1 : r;
}

int
panel_chart_col(int age, int cols)
{
	if (cols <= 0)
		return 0;
	if (age < 0)
		age = 0;
	if (age >= PANEL_DAY)
		age = PANEL_DAY - 1;
	return (int)((long)(PANEL_DAY - 1 - age) * cols / PANEL_DAY);
}

static void
mark(struct panel_chart *c, int x, int y, int series)
{
	/* The band is dotted so the set point between stands out. */
	if (series == SERIES_BAND && x % 2 != 0)
		return;
	if (x >= 0 && x < c->cols && y >= 0 && y < c->rows)
		c->dot[(size_t)y * c->cols + x] |= (unsigned char)series;
}

static void
segment(struct panel_chart *c, int x0, int y0, int x1, int y1, int series)
{
	int steps = abs(x1 - x0) > abs(y1 - y0) ? abs(x1 - x0) : abs(y1 - y0);

	if (steps == 0) {
		mark(c, x1, y1, series);
		return;
	}
	for (int i = 0; i <= steps; i++)
		mark(c, x0 + (int)lround((double)(x1 - x0) * i / steps),
		    y0 + (int)lround((double)(y1 - y0) * i / steps), series);
}

/* Neighbouring samples further apart than this are not joined. */
#define JOIN_MAX	60

/* which: 0 indoor, 1 outdoor, 2 set point, 3 below it, 4 above it. */
static bool
series_value(const struct panel_sample *s, int which, double *v)
{
	switch (which) {
	case 0:
		*v = s->in;
		return s->have & SAMPLE_IN;
	case 1:
		*v = s->out;
		return s->have & SAMPLE_OUT;
	default:
		*v = s->setpoint + (which == 3 ? -1 : which == 4 ? 1 : 0);
		return s->have & SAMPLE_SETPOINT;
	}
}

void
panel_chart_plot(const struct panel_history *h, int cols, int rows,
    struct panel_chart *c)
{
	static const int bit[] = { SERIES_IN, SERIES_OUT, SERIES_SETPOINT,
	    SERIES_BAND, SERIES_BAND };

	c->cols = cols > 0 ? cols : 0;
	c->rows = rows > 0 ? rows : 0;
	c->dot.assign((size_t)c->cols * c->rows, 0);
	c->scale = panel_chart_scale(h);
	if (!c->scale.valid || c->cols == 0 || c->rows == 0)
		return;

	for (int which = 0; which < 5; which++) {
		int px = 0, py = 0, page = -1;
		for (int age = PANEL_DAY - 1; age >= 0; age--) {
			const struct panel_sample *s = panel_history_at(h, age);
			double v;
			if (s == NULL || !series_value(s, which, &v))
				continue;
			int x = panel_chart_col(age, c->cols);
			int y = panel_scale_row(&c->scale, v, c->rows);
			if (page >= 0 && page - age <= JOIN_MAX)
				segment(c, px, py, x, y, bit[which]);
			else
				mark(c, x, y, bit[which]);
			px = x;
			py = y;
			page = age;
		}
	}
}

void
panel_sender_init(struct panel_sender *s)
{
	memset(s, 0, sizeof(*s));
	s->last = -1;
}

bool
panel_sender_push(struct panel_sender *s, int btn)
{
	if (s->quitting || btn < BTN_MODE || btn > BTN_DOWN ||
	    s->n == PANEL_PRESS_QUEUE)
		return false;
	s->queue[s->n++] = btn;
	return true;
}

int
panel_sender_next(struct panel_sender *s, long long now, int *wait)
{
	long long due;
	int btn;

	if (s->n > 0) {
		due = s->last < 0 ? now : s->last + PANEL_PRESS_GAP;
		if (now < due) {
			*wait = (int)(due - now);
			return -1;
		}
		btn = s->queue[0];
		memmove(s->queue, s->queue + 1, sizeof(s->queue[0]) * --s->n);
		s->last = now;
		s->dirty = true;
		*wait = s->n > 0 || s->quitting ? PANEL_PRESS_GAP :
		    PANEL_PRESS_CLEAR;
		return btn;
	}
	if (s->dirty) {
		due = s->last + (s->quitting ? PANEL_PRESS_GAP :
		    PANEL_PRESS_CLEAR);
		if (now < due) {
			*wait = (int)(due - now);
			return -1;
		}
		s->dirty = false;
		s->last = now;
		*wait = -1;
		return 0;
	}
	*wait = -1;
	return -1;
}

void
panel_sender_quit(struct panel_sender *s)
{
	s->quitting = true;
}
