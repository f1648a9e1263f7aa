/*
 * thermodyn.h - the thermal simulation: the simulation thread, its clock,
 * the thermal model and thermostat, and the thermostat's button actions.
 */
#ifndef KELVO_THERMODYN_H
#define KELVO_THERMODYN_H

#include <stddef.h>

class dbXML;

extern int pm_interval;		/* real milliseconds between ticks */
extern int pm_minutes;		/* simulated minutes per tick */

/* The simulation thread: initialises the document, then ticks. */
void *thermodyn(void *arg);
/* One tick: a store cycle on xml_fname; the caller holds xml_mutex. */
void thermodyn_tick(void);
/* One button press, as one store cycle; the caller holds xml_mutex. */
void web_cgi(char *name);
/* Whether web_cgi acts on name: one of btn1 to btn4. */
bool is_button(const char *name);

/* The HHMM time minutes after t (t a valid HHMM, minutes 0..1440). */
int clock_step(int t, int minutes);
/* Whether t is a time of day as HHMM. */
bool clock_valid(int t);
/* The 12-hour display text of HHMM time t, as "05:02p". */
void clock_text(int t, char *out, size_t len);
/* Moves the temperatures and the plant one tick of m minutes at time t. */
void model_step(dbXML *d, int t, int m);
/* Rounds half up to an int, clamped to the int range (nan gives 0). */
int roundoff(float x);

#endif
