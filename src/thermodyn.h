/*
 * thermodyn.h - the thermal simulation: the simulation thread, its clock,
 * the thermal model and thermostat, and the thermostat's button actions.
 */
#ifndef KELVO_THERMODYN_H
#define KELVO_THERMODYN_H

#include <stddef.h>

#include <atomic>

#include "contract.h"

class dbXML;
struct wakeup;

/* Faults an interface can be tested against, as a set of bits. */
#define FAULT_PLANT	KC_FAULT_PLANT	/* the plant switches but has no effect */
#define FAULT_SENSOR	KC_FAULT_SENSOR	/* the indoor sensor reads nothing */
#define FAULT_SILENT	KC_FAULT_SILENT	/* nothing is published */
#define FAULT_ALL	KC_FAULT_ALL

#define STEP_MAX	KC_STEP_MAX	/* ticks one step command may take: a week */

/* Changed only under xml_mutex, once the simulation runs. */
extern std::atomic<int> pm_interval;	/* real milliseconds between ticks */
extern std::atomic<int> pm_minutes;	/* simulated minutes per tick */
extern std::atomic<bool> sim_paused;	/* the clock and the model stand */
extern std::atomic<int> sim_faults;	/* FAULT_* in force */

/* The simulation thread: initialises the document, then ticks. */
void *thermodyn(void *arg);
/* One tick: a store cycle on xml_fname; the caller holds xml_mutex. */
void thermodyn_tick(void);
/*
 * One tick on the loaded document d, which the caller saves.  A tick of
 * more than an hour is made of ticks of at most an hour.
 */
void sim_tick(dbXML *d);
/* Cuts the simulation's pause short to look at its period and state. */
void sim_wakeup(void);

/*
 * The control commands.  sim_check says whether name::value is one, and
 * when not puts why into why; sim_apply carries out a checked one on d
 * and on the settings above, under xml_mutex.
 */
bool sim_check(const char *name, const char *value, char *why, size_t len);
void sim_apply(dbXML *d, const char *name, const char *value);
/* The faults' list is the contract's: kc_fault_parse, kc_fault_text. */
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
/*
 * Moves the temperatures and the plant one tick of m minutes at time t,
 * with the faults (FAULT_*) in force.
 */
void model_step(dbXML *d, int t, int m, int faults = 0);
/* Rounds half up to an int, clamped to the int range (nan gives 0). */
int roundoff(float x);

#endif
