/*
 * thermodyn.cpp - the simulation thread and the thermostat's buttons.
 *
 * The thread keeps no state between ticks: every tick is one store cycle
 * under xml_mutex that reads the clock, the temperatures and the plant
 * from the document and writes them back moved on by pm_minutes of
 * simulated time, so a restart continues where the last run stopped.
 *
 * What a tick does to the world is the model's (model/, the same code a
 * fleet runs); this file loads the world from the document, hands it to
 * the model and stores what changed, so every byte stays the document's.
 *
 * The document is edited by hand, so the tick reads every value as
 * untrusted: a missing text, a time that is no time, a temperature that is
 * no temperature each gets a sensible fallback and a trace line.
 *
 * An interface under test drives the simulation through control commands
 * (the control reader hands them here one batch at a time, under
 * xml_mutex): a pause, steps of many ticks at once, another speed, any
 * value set, faults.  A step runs its ticks on one loaded document and
 * saves it once, which gives the same document as that many ordinary
 * ticks, since a tick reads back exactly what the one before stored.
 * The pause, the speed and the faults are kept in the parameters section
 * as well, so a restart continues with them; a document without them
 * runs as it always did.
 *
 * The profile is pm_profile in the parameters, classic when missing.  A
 * modern document keeps the modern values beside the classic ones; going
 * back to classic removes them all, so a classic document is always one
 * kelvo could have written before there were profiles.
 */
#include "thermodyn.h"

#include <math.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "contract.h"
#include "dbXML.h"
#include "kelvo.h"
#include "model.h"
#include "platform.h"

std::atomic<int> pm_interval(1000);
std::atomic<int> pm_minutes(0);
std::atomic<bool> sim_paused(false);
std::atomic<int> sim_faults(0);
std::atomic<int> sim_profile(KC_PROFILE_CLASSIC);

/* Posted by sim_wakeup; the thread pauses without it if it cannot be had. */
static struct wakeup sim_wake;
static bool sim_wake_made;

#define DEFAULT_INTERVAL	200
#define DEFAULT_MINUTES		2
#define MAX_MINUTES		KC_MINUTES_MAX	/* a whole day per tick */

static void
tracef(const char *fmt, const char *name, long value)
{
	char line[256];

	snprintf(line, sizeof(line), fmt, name, value);
	Printf(line);
}

static void world_store(dbXML *, const struct km_world *, unsigned);
static void modern_peek(dbXML *, struct km_world *, bool);
static void world_store_params(dbXML *, const struct km_world *, unsigned);

/*
 * A temperature from the document, or fallback when it is none.  A
 * missing element reads as the store's failure value, with its line; a
 * text that is no number, or no temperature kelvo takes, restarts at the
 * fallback with a line of its own.
 */
static float
temperature(dbXML *d, const char *name, float fallback)
{
	const char *s = d->findValStr(name);
	char *end;
	float v;

	if (s == nullptr)
		return d->getValFp(name);
	v = strtof(s, &end);
	end += strspn(end, " \t\r\n");
	if (end != s && *end == '\0' && isfinite(v) &&
	    fabsf(v) <= (float)KC_TEMP_MAX)
		return v;
	tracef("thermodyn::%s is no temperature, restarting it at %ld\n",
	    name, (long)fallback);
	return fallback;
}

/* Copies a text value into buf, or fallback when the text is missing. */
static void
copy_text(dbXML *d, const char *name, char *buf, size_t len,
    const char *fallback)
{
	const char *s = d->getValStr(name);

	if (s == nullptr) {
		char line[256];
		snprintf(line, sizeof(line), "thermodyn::%s has no text, "
		    "taking it as %s\n", name, fallback);
		Printf(line);
		s = fallback;
	}
	snprintf(buf, len, "%s", s);
}

/*
 * The model's step on the document: the world read in the order the step
 * has always read it, each value with its fallback and its line (a mode
 * that is no mode text cools, as it always did), moved by the model and
 * stored back.
 */
void
model_step(dbXML *d, int t, int m, int faults)
{
	char text[16];
	struct km_world w = {};

	w.clock = t;
	w.out = temperature(d, "td_temp_out_", 60.0f);
	w.in = temperature(d, "td_temp_in_", 66.0f);
	copy_text(d, "td_sys", text, sizeof(text), "OFF");
	w.running = strcmp(text, "OFF") != 0;
	copy_text(d, "ts_mode", text, sizeof(text), "OFF");
	w.mode = kc_mode_exact(text);
	w.setpoint = d->getValInt("ts_temp");
	w.faults = faults;
	modern_peek(d, &w, true);
	km_step(&w, t, m);
	world_store(d, &w, KM_SET_OUT | KM_SET_IN | KM_SET_SYS | KM_SET_CALL |
	    KM_SET_HUMIDITY);
}

/* The profile a document is in: classic unless it says modern. */
int
doc_profile(dbXML *d)
{
	int p = kc_profile_of(d->findValStr("pm_profile")) ==
	    KC_PROFILE_MODERN ? KC_PROFILE_MODERN : KC_PROFILE_CLASSIC;

	/* A hand edit is what the next batch is checked against. */
	sim_profile = p;
	return p;
}

/* A whole number of the document within lo..hi, or fallback with a line. */
static int
modern_whole(dbXML *d, const char *name, int lo, int hi, bool trace)
{
	const char *s = d->findValStr(name);
	int fallback = atoi(kc_default(name));
	long v;

	if (s != nullptr && kc_whole(s, lo, hi, &v))
		return (int)v;
	if (trace)
		tracef("thermodyn::%s is missing or out of its limits, taking "
		    "it as %ld\n", name, fallback);
	return fallback;
}

/*
 * The modern values of a modern document, each as untrusted as the rest:
 * what is missing or no value of its kind is taken as its default (with
 * a line, when trace).  A classic world keeps km_reset's values.
 */
static void
modern_peek(dbXML *d, struct km_world *w, bool trace)
{
	const char *s;
	char *end;
	float f;
	int i;

	w->profile = doc_profile(d);
	if (w->profile != KC_PROFILE_MODERN)
		return;
	w->low = modern_whole(d, "ts_temp_low", KC_SETPOINT_MIN,
	    KC_SETPOINT_MAX - KC_DEADBAND, trace);
	w->high = modern_whole(d, "ts_temp_high", w->low + KC_DEADBAND,
	    KC_SETPOINT_MAX, trace);
	w->preset = (i = kc_preset_of(d->findValStr("ts_preset"))) >= 0 ? i :
	    PRESET_NONE;
	i = kc_call_exact(d->findValStr("td_call"));
	w->call = i != CALL_UNKNOWN ? i : CALL_NONE;
	s = d->findValStr("td_humidity_");
	f = s != nullptr ? strtof(s, &end) : NAN;
	if (s != nullptr && end != s && f >= KC_HUMIDITY_MIN &&
	    f <= KC_HUMIDITY_MAX) {
		w->humidity = f;
		w->humidity_whole = roundoff(f);
	} else {
		w->humidity = strtof(kc_default("td_humidity_"), nullptr);
		w->humidity_whole = atoi(kc_default("td_humidity"));
		if (trace)
			tracef("thermodyn::%s is missing or out of its limits, "
			    "taking it as %ld\n", "td_humidity_",
			    w->humidity_whole);
	}
}

/*
 * The same, for a control command: quietly, since a command that sets
 * the fan has no business tracing the temperatures, and only what the
 * command changed is stored (world_store).
 */
static void
world_peek(dbXML *d, struct km_world *w)
{
	const char *s;

	km_reset(w);
	if ((s = d->findValStr("td_time_")) != nullptr)
		w->clock = kc_clock_of(s);
	if ((s = d->findValStr("td_temp_out_")) != nullptr)
		w->out = strtof(s, nullptr);
	if ((s = d->findValStr("td_temp_in_")) != nullptr)
		w->in = strtof(s, nullptr);
	if ((s = d->findValStr("td_sys")) != nullptr)
		w->running = strcmp(s, "OFF") != 0;
	w->mode = kc_mode_exact(d->findValStr("ts_mode"));
	w->fan = kc_fan_exact(d->findValStr("ts_fan"));
	if ((s = d->findValStr("ts_temp")) != nullptr)
		w->setpoint = atoi(s);
	w->minutes = pm_minutes;
	w->interval = pm_interval;
	w->paused = sim_paused;
	w->faults = sim_faults;
	modern_peek(d, w, false);
}


/*
 * The modern values: written only in a modern world, all of them when
 * the profile was set; a world set to classic takes them all away.
 */
static void
world_store_modern(dbXML *d, const struct km_world *w, unsigned set)
{
	static const char *const names[] = { "pm_profile", "ts_temp_low",
	    "ts_temp_high", "ts_preset", "td_call", "td_humidity_",
	    "td_humidity" };
	char text[32];

	if (set & KM_SET_PROFILE)
		sim_profile = w->profile;
	if (w->profile != KC_PROFILE_MODERN) {
		if (set & KM_SET_PROFILE)
			for (const char *name : names)
				d->delVal(name);
		return;
	}
	if (set & KM_SET_PROFILE) {
		d->putValStr("pm_profile", kc_profile_name(w->profile));
		set |= KM_SET_BAND | KM_SET_PRESET | KM_SET_CALL |
		    KM_SET_HUMIDITY;
	}
	if (set & KM_SET_BAND) {
		snprintf(text, sizeof(text), "%d", w->low);
		d->putValStr("ts_temp_low", text);
		snprintf(text, sizeof(text), "%d", w->high);
		d->putValStr("ts_temp_high", text);
	}
	if (set & KM_SET_PRESET)
		d->putValStr("ts_preset", kc_presets[w->preset].name);
	if (set & KM_SET_CALL)
		d->putValStr("td_call", kc_call_name(w->call));
	if (set & KM_SET_HUMIDITY) {
		snprintf(text, sizeof(text), "%8.3f", (double)w->humidity);
		d->putValStr("td_humidity_", text);
		snprintf(text, sizeof(text), "%d", w->humidity_whole);
		d->putValStr("td_humidity", text);
	}
}

/* Writes what set (KM_SET_*) says changed, as the document keeps it. */
static void
world_store(dbXML *d, const struct km_world *w, unsigned set)
{
	char text[32];

	if (set & KM_SET_CLOCK) {
		snprintf(text, sizeof(text), "%04d", w->clock);
		d->setValStr("td_time_", text);
		kc_clock_text(w->clock, text, sizeof(text));
		d->setValStr("td_time", text);
	}
	if (set & KM_SET_OUT) {
		d->setValFp("td_temp_out_", w->out);
		d->setValInt("td_temp_out", w->out_whole);
	}
	if (set & KM_SET_IN) {
		d->setValFp("td_temp_in_", w->in);
		d->setValInt("td_temp_in", w->in_whole);
	}
	if (set & KM_SET_SYS)
		d->setValStr("td_sys", w->running ? "ON" : "OFF");
	if (set & KM_SET_MODE)
		d->setValStr("ts_mode", kc_mode_name(w->mode));
	if (set & KM_SET_FAN)
		d->setValStr("ts_fan", kc_fan_name(w->fan));
	if (set & KM_SET_SETPOINT)
		d->setValInt("ts_temp", w->setpoint);
	world_store_modern(d, w, set);
	world_store_params(d, w, set);
}

void
thermodyn_tick(void)
{
	db = new dbXML(xml_fname, false);
	sim_tick(db);
	delete db;
}

/* One tick of m minutes, as long ticks are made of. */
static void
tick_of(dbXML *d, int m)
{
	char text[16], line[256];
	int t;

	copy_text(d, "td_time_", text, sizeof(text), "0000");
	if ((t = kc_clock_of(text)) < 0) {
		snprintf(line, sizeof(line), "thermodyn::td_time_ %s is no time "
		    "of day, restarting the clock at 0000\n", text);
		Printf(line);
		t = 0;
	}
	struct km_world w = {};
	w.clock = km_clock_step(t, m);
	world_store(d, &w, KM_SET_CLOCK);
	model_step(d, w.clock, m, sim_faults);
}

void
sim_tick(dbXML *d)
{
	char line[256];
	const char *sys, *mode, *fan;
	int m = pm_minutes;
	int n = m > KM_HOUR ? (m + KM_HOUR - 1) / KM_HOUR : 1;

	/*
	 * The model holds for steps of up to an hour: a longer tick is
	 * ticks of at most an hour, the longer ones first (the model's rule,
	 * km_tick), each read back from the document as the next one finds it.
	 */
	for (int i = 0; i < n; i++)
		tick_of(d, m / n + (i < m % n));

	if (Verbose > 1) {
		sys = d->getValStr("td_sys");
		mode = d->getValStr("ts_mode");
		fan = d->getValStr("ts_fan");
		snprintf(line, sizeof(line),
		    "%04d  %4.1f  %4.1f  %3s * %3d %4s fan-%s",
		    d->getValInt("td_time_"),
		    (double)d->getValFp("td_temp_out_"),
		    (double)d->getValFp("td_temp_in_"), sys ? sys : "",
		    d->getValInt("ts_temp"), mode ? mode : "",
		    fan ? fan : "");
		Printf(line);
	}
}

void
sim_wakeup(void)
{
	if (sim_wake_made)
		wakeup_post(&sim_wake);
}

/* The pause and the faults a document keeps; absent, running and none. */
static void
sim_load(dbXML *d)
{
	char why[128], line[256];
	const char *s;
	int f = 0;

	s = d->findValStr("pm_state");
	sim_paused = s != nullptr && strcmp(s, KC_PAUSED) == 0;
	if (s != nullptr && !sim_paused && strcmp(s, KC_RUNNING) != 0) {
		snprintf(line, sizeof(line), "thermodyn::pm_state %.32s is no "
		    "state, running\n", s);
		Printf(line);
	}
	s = d->findValStr("pm_fault");
	if (s != nullptr && (f = kc_fault_parse(s, why, sizeof(why))) < 0) {
		snprintf(line, sizeof(line), "thermodyn::pm_fault: %s; running "
		    "without faults\n", why);
		Printf(line);
		f = 0;
	}
	sim_faults = f;
	doc_profile(d);
}

void *
thermodyn(void *)
{
	struct timespec due, from;
	int period;

	Printf("thermodyn::initializing\n");

	/* Alone with the document: main waits at the barrier. */
	db = new dbXML(xml_fname, reInit);
	if (argTemp >= 0)
		db->setValInt("ts_temp", argTemp);
	if (argFan != nullptr)
		db->setValStr("ts_fan", argFan);
	if (argProfile != nullptr)
		sim_apply(db, "profile", argProfile);
	if (argMode != nullptr)
		db->setValStr("ts_mode", argMode);
	pm_interval = db->getValInt("pm_interval");
	pm_minutes = db->getValInt("pm_minutes");
	sim_load(db);
	delete db;
	db_release();
	sim_wake_made = wakeup_init(&sim_wake) == 0;

	/* A period of zero or less would rewrite the document in a spin. */
	if (pm_interval <= 0) {
		tracef("thermodyn::%s %ld is no period, using 200 ms\n",
		    "pm_interval", pm_interval);
		pm_interval = DEFAULT_INTERVAL;
	}
	if (pm_minutes <= 0 || pm_minutes > MAX_MINUTES) {
		tracef("thermodyn::%s %ld is outside 1..1440, using 2\n",
		    "pm_minutes", pm_minutes);
		pm_minutes = DEFAULT_MINUTES;
	}

	pthread_barrier_wait(&barrier);
	Printf("thermodyn::enter main processing\n");

	precise_pauses();
	while (!exit_in_progress) {
		if (sim_paused) {
			/* No store cycles at all; a resume wakes us. */
			if (!sim_wake_made) {
				delay(pm_interval);
				continue;
			}
			deadline_in(&due, 1000);
			wakeup_wait(&sim_wake, &due);
			continue;
		}
		pthread_mutex_lock(&xml_mutex);
		/* A pause or a step may have come while we waited for the lock. */
		if (!sim_paused)
			thermodyn_tick();
		pthread_mutex_unlock(&xml_mutex);
		/* The pause starts now: freeing the old document is part of it. */
		clock_gettime(CLOCK_MONOTONIC, &from);
		period = pm_interval;
		deadline_after(&due, &from, (unsigned int)period);
		db_release();
		if (!sim_wake_made) {
			pause_until(&due);
			continue;
		}
		/* A new period counts from this tick; a pause ends the wait. */
		while (wakeup_wait(&sim_wake, &due) && !sim_paused &&
		    !exit_in_progress)
			if (pm_interval != period) {
				period = pm_interval;
				deadline_after(&due, &from, (unsigned int)period);
			}
	}

	Printf("thermodyn::exit\n");
	sem_post(&exit_semaphore);
	return nullptr;
}

/*
 * A press is the contract's rule (kc_press) applied to the document: the
 * values read exactly as written, each button reading and writing only
 * its own value.  The inputs object and the control object's press
 * command both come here, so a press is one thing whichever road it took.
 */
static void modern_press(dbXML *, int, struct kc_settings *);

static void
press_apply(dbXML *d, int btn)
{
	struct kc_settings s = {}, was;
	const char *v;

	switch (btn) {
	case BTN_MODE:
		if ((v = d->getValStr("ts_mode")) != nullptr) {
			s.has_mode = true;
			s.mode = kc_mode_exact(v);
		}
		break;
	case BTN_FAN:
		if ((v = d->getValStr("ts_fan")) != nullptr) {
			s.has_fan = true;
			s.fan = kc_fan_exact(v);
		}
		break;
	case BTN_UP:
	case BTN_DOWN:
		s.has_setpoint = true;
		s.setpoint = d->getValInt("ts_temp");
		break;
	default:
		Printf(">>>>> unexpected event\n");
		break;
	}
	if (doc_profile(d) == KC_PROFILE_MODERN) {
		modern_press(d, btn, &s);
		return;
	}
	was = s;
	kc_press(&s, btn);
	if (s.has_mode)
		d->setValStr("ts_mode", kc_mode_name(s.mode));
	if (s.has_fan)
		d->setValStr("ts_fan", kc_fan_name(s.fan));
	if (s.has_setpoint && s.setpoint != was.setpoint)
		d->setValInt("ts_temp", s.setpoint);
}

void
web_cgi(char *name)
{
	db = new dbXML(xml_fname, false);
	press_apply(db, kc_button_of_attr(name));
	delete db;
}

/*
 * A modern press: the button's own value as a classic one reads it, and
 * what its rule needs beside it (the mode and the band for up and down),
 * applied by the model, which also drops a preset whose values moved.
 */
static void
modern_press(dbXML *d, int btn, struct kc_settings *s)
{
	const char *v;
	struct km_world w;
	unsigned set = 0;

	world_peek(d, &w);
	if (btn == BTN_UP || btn == BTN_DOWN) {
		/* The set point as the button always read it. */
		w.setpoint = s->setpoint;
		if ((v = d->getValStr("ts_mode")) != nullptr)
			w.mode = kc_mode_exact(v);
		set = KM_SET_SETPOINT | KM_SET_BAND;
	} else if (s->has_mode) {
		set = KM_SET_MODE;
	} else if (s->has_fan) {
		set = KM_SET_FAN;
	}
	struct km_world was = w;
	km_press(&w, btn);
	if (w.setpoint == was.setpoint)
		set &= ~KM_SET_SETPOINT;
	if (w.low == was.low && w.high == was.high)
		set &= ~KM_SET_BAND;
	if (w.preset != was.preset)
		set |= KM_SET_PRESET;
	world_store(d, &w, set);
}

/*
 * The simulation's own parameters: kept in the document so a restart
 * continues with them, and in force at once.  A document without them
 * runs as it always did, so running and no faults are kept as nothing.
 */
static void
world_store_params(dbXML *d, const struct km_world *w, unsigned set)
{
	char text[32];

	if (set & KM_SET_INTERVAL) {
		snprintf(text, sizeof(text), "%d", w->interval);
		d->putValStr("pm_interval", text);
		pm_interval = w->interval;
	}
	if (set & KM_SET_MINUTES) {
		snprintf(text, sizeof(text), "%d", w->minutes);
		d->putValStr("pm_minutes", text);
		pm_minutes = w->minutes;
	}
	if (set & KM_SET_PAUSED) {
		sim_paused = w->paused;
		if (w->paused)
			d->putValStr("pm_state", KC_PAUSED);
		else
			d->delVal("pm_state");
	}
	if (set & KM_SET_FAULTS) {
		sim_faults = w->faults;
		kc_fault_text(w->faults, text, sizeof(text));
		if (w->faults != 0)
			d->putValStr("pm_fault", text);
		else
			d->delVal("pm_fault");
	}
}

void
sim_apply(dbXML *d, const char *name, const char *value)
{
	const struct kc_command *c = kc_command_of(name);
	struct km_world w;
	long v = 0;

	if (c == nullptr)
		return;
	switch (c->kind) {
	case KC_CMD_STEP:
		/* Tick by tick on the document, each with its trace line. */
		world_peek(d, &w);
		w.paused = true;
		world_store_params(d, &w, KM_SET_PAUSED);
		if (kc_whole(value, 1, KC_STEP_MAX, &v))
			for (long i = 0; i < v; i++)
				sim_tick(d);
		break;
	case KC_CMD_RESET:
		d->reset();
		sim_paused = false;
		sim_faults = 0;
		sim_profile = KC_PROFILE_CLASSIC;
		pm_interval = d->getValInt("pm_interval");
		pm_minutes = d->getValInt("pm_minutes");
		break;
	case KC_CMD_PRESS:
		press_apply(d, kc_button_of(value, false));
		break;
	case KC_CMD_ID:		/* the batch's name, not a change */
		break;
	default:
		world_peek(d, &w);
		world_store(d, &w, km_apply(&w, name, value));
		break;
	}
}
