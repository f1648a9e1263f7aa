/*
 * thermodyn.h - the thermal simulation: the simulation thread, whose
 * ticks move the document's world by the model (model/), the control
 * commands and the thermostat's button actions.
 */
#ifndef KELVO_THERMODYN_H
#define KELVO_THERMODYN_H

#include <stddef.h>

#include <atomic>

#include "contract.h"

class dbXML;
struct wakeup;

/* Changed only under xml_mutex, once the simulation runs. */
extern std::atomic<int> pm_interval;	/* real milliseconds between ticks */
extern std::atomic<int> pm_minutes;	/* simulated minutes per tick */
extern std::atomic<bool> sim_paused;	/* the clock and the model stand */
extern std::atomic<int> sim_faults;	/* KC_FAULT_* in force */
/* KC_PROFILE_* of the document, as its last store cycle left it. */
extern std::atomic<int> sim_profile;

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
 * Carries out a control command that the contract's kc_command_check
 * took, on d and on the settings above, under xml_mutex.
 */
void sim_apply(dbXML *d, const char *name, const char *value);
/* One button press (btn1..btn4), as one store cycle; under xml_mutex. */
void web_cgi(char *name);
/*
 * The model's step on the loaded document d: the temperatures and the
 * plant moved m minutes (1..60) at the new time t, with the faults
 * (KC_FAULT_*) in force.
 */
void model_step(dbXML *d, int t, int m, int faults = 0);
/* KC_PROFILE_* of d: classic unless its pm_profile says modern. */
int doc_profile(dbXML *d);

#endif
