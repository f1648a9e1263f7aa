/*
 * panel.cpp - the chart of kelvo-panel: the scale of the day's
 * temperatures, the placement of samples and the dots the chart draws.
 *
 * Nothing here touches the terminal, so the drawing can be tested with a
 * made-up history.
 */
#include "panel.h"

#include <math.h>
#include <stdlib.h>

/*
 * Whole degrees with a degree to spare at each end, and never less than
 * a few degrees in all, so that a steady room reads as a flat line rather
 * than its noise blown up to the chart's height.
 */
#define SCALE_SPAN_MIN	6

struct panel_scale
panel_chart_scale(const struct client_history *h)
{
	struct panel_scale sc = { false, 0, 0 };
	const struct client_sample *s;
	double lo = 0, hi = 0;
	bool any = false;

	for (int age = 0; age < CLIENT_DAY; age++) {
		double v[4];
		int n = 0;
		if ((s = client_history_at(h, age)) == NULL)
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
	if (age >= CLIENT_DAY)
		age = CLIENT_DAY - 1;
	return (int)((long)(CLIENT_DAY - 1 - age) * cols / CLIENT_DAY);
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
series_value(const struct client_sample *s, int which, double *v)
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
panel_chart_plot(const struct client_history *h, int cols, int rows,
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
		for (int age = CLIENT_DAY - 1; age >= 0; age--) {
			const struct client_sample *s = client_history_at(h, age);
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
