/*
 * panel.h - the chart of kelvo-panel, the one piece of the panel that is
 * its own and needs no terminal: the scale of the day's temperatures and
 * the dots of its curves.  Reading kelvo and pressing its buttons come
 * from the client library (client.h, link.h), shared by every face.
 */
#ifndef KELVO_PANEL_H
#define KELVO_PANEL_H

#include <vector>

#include "client.h"

/* Temperatures lo..hi spread over the chart's rows. */
struct panel_scale {
	bool	 valid;
	int	 lo, hi;
};

struct panel_scale panel_chart_scale(const struct client_history *h);
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

void	 panel_chart_plot(const struct client_history *h, int cols, int rows,
	    struct panel_chart *c);

#endif
