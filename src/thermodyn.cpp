/*
 * thermodyn.cpp - the simulation thread and the thermostat's buttons.
 *
 * The thread keeps no state between ticks: every tick is one store cycle
 * under xml_mutex that reads the clock, the temperatures and the plant
 * from the document and writes them back moved on by pm_minutes of
 * simulated time, so a restart continues where the last run stopped.
 *
 * Temperatures are stored as single-precision floats and worked in double
 * precision; the document keeps three decimals, and that rounding is part
 * of the simulation's behaviour, so the step is written out exactly.
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
 */
#include "thermodyn.h"

#include <limits.h>
#include <math.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "contract.h"
#include "dbXML.h"
#include "kelvo.h"
#include "platform.h"

std::atomic<int> pm_interval(1000);
std::atomic<int> pm_minutes(0);
std::atomic<bool> sim_paused(false);
std::atomic<int> sim_faults(0);

/* Posted by sim_wakeup; the thread pauses without it if it cannot be had. */
static struct wakeup sim_wake;
static bool sim_wake_made;

#define DEFAULT_INTERVAL	200
#define DEFAULT_MINUTES		2
#define MAX_MINUTES		KC_MINUTES_MAX	/* a whole day per tick */
#define HOUR			60	/* the longest step the model takes */
#define MAX_TEMP		((float)KC_TEMP_MAX)	/* beyond this a value is no temperature */

static void
tracef(const char *fmt, const char *name, long value)
{
	char line[256];

	snprintf(line, sizeof(line), fmt, name, value);
	Printf(line);
}

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

bool
clock_valid(int t)
{
	return kc_clock_valid(t);
}

int
clock_step(int t, int minutes)
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
clock_text(int t, char *out, size_t len)
{
	/* The historic form, noon reading "12:00a": the contract's. */
	kc_clock_text(t, out, len);
}

/* A temperature from the document, or fallback when it is none. */
static float
temperature(dbXML *d, const char *name, float fallback)
{
	float v = d->getValFp(name);

	if (isfinite(v) && fabsf(v) <= MAX_TEMP)
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

void
model_step(dbXML *d, int t, int m, int faults)
{
	char sys[16], mode[16];
	float out, in, diff;
	bool running;
	int s;

	out = temperature(d, "td_temp_out_", 60.0f);
	if (t >= 500 && t < 1700)
		out = (float)(out + 2.0 * m / 60);
	else
		out = (float)(out - 2.0 * m / 60);
	d->setValFp("td_temp_out_", out);
	d->setValInt("td_temp_out", roundoff(out));

	in = temperature(d, "td_temp_in_", 66.0f);
	diff = in - out;
	copy_text(d, "td_sys", sys, sizeof(sys), "OFF");
	running = strcmp(sys, "OFF") != 0;
	copy_text(d, "ts_mode", mode, sizeof(mode), "OFF");
	s = d->getValInt("ts_temp");

	auto drift = [&]() {
		in = in - (float)(diff * (m / 60.0) * 0.2);
	};
	/* A broken plant is switched as usual; only the heat never comes. */
	bool works = !(faults & FAULT_PLANT);
	if (strcmp(mode, "OFF") == 0 || (faults & FAULT_SENSOR)) {
		/*
		 * No heating or cooling happens, so none is shown; a thermostat
		 * that cannot read the room keeps the plant off.
		 */
		drift();
		running = false;
	} else if (strcmp(mode, "HEAT") == 0) {
		if (running) {
			if (works)
				in = (float)(in + 5.0 * m / 60);
			else
				drift();
			running = !(in >= s + 1.0);
		} else {
			drift();
			running = in <= s - 1.0;
		}
	} else {
		if (running) {
			if (works)
				in = (float)(in - 15.0 * m / 60);
			else
				drift();
			running = !(in <= s - 1.0);
		} else {
			drift();
			running = in >= s + 1.0;
		}
	}
	d->setValFp("td_temp_in_", in);
	d->setValInt("td_temp_in", roundoff(in));
	d->setValStr("td_sys", running ? "ON" : "OFF");
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
	char tbuf[16], line[256];
	char *end;
	long v;
	int t;

	copy_text(d, "td_time_", tbuf, sizeof(tbuf), "0000");
	v = strtol(tbuf, &end, 10);
	t = (v >= 0 && v <= 2359) ? (int)v : -1;
	if (end == tbuf || *end != '\0' || !clock_valid(t)) {
		snprintf(line, sizeof(line), "thermodyn::td_time_ %s is no time "
		    "of day, restarting the clock at 0000\n", tbuf);
		Printf(line);
		t = 0;
	}
	t = clock_step(t, m);
	snprintf(tbuf, sizeof(tbuf), "%04d", t);
	d->setValStr("td_time_", tbuf);
	clock_text(t, tbuf, sizeof(tbuf));
	d->setValStr("td_time", tbuf);

	model_step(d, t, m, sim_faults);
}

void
sim_tick(dbXML *d)
{
	char line[256];
	const char *sys, *mode, *fan;
	int m = pm_minutes;
	int n = m > HOUR ? (m + HOUR - 1) / HOUR : 1;

	/*
	 * The model holds for steps of up to an hour: beyond that the drift
	 * overshoots and the outdoor ramp never turns.  A longer tick is
	 * ticks of at most an hour, the longer ones first, each with the
	 * thermostat deciding, so a day a tick is 24 ticks of an hour.
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
	sim_paused = s != nullptr && strcmp(s, "paused") == 0;
	if (s != nullptr && !sim_paused && strcmp(s, "running") != 0) {
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
	if (argMode != nullptr)
		db->setValStr("ts_mode", argMode);
	if (argFan != nullptr)
		db->setValStr("ts_fan", argFan);
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

bool
is_button(const char *name)
{
	return kc_button_of_attr(name) != 0;
}

/*
 * A press is the contract's rule (kc_press) applied to the document: the
 * values read exactly as written, each button reading and writing only
 * its own value.  The inputs object and the control object's press
 * command both come here, so a press is one thing whichever road it took.
 */
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
 * The control commands, checked by the contract's rule (every value is
 * untrusted text: a command is checked whole before a batch applies any
 * of them, and the texts that reach the document are the checked ones).
 */
bool
sim_check(const char *name, const char *value, char *why, size_t len)
{
	return kc_command_check(name, value, why, len);
}

static void
set_paused(dbXML *d, bool paused)
{
	sim_paused = paused;
	if (paused)
		d->putValStr("pm_state", "paused");
	else
		d->delVal("pm_state");
}

void
sim_apply(dbXML *d, const char *name, const char *value)
{
	const struct kc_command *c = kc_command_of(name);
	char text[32];
	long v = 0;
	float f;

	if (c == nullptr)
		return;
	switch (c->kind) {
	case KC_CMD_STATE:
		set_paused(d, strcmp(value, "paused") == 0);
		break;
	case KC_CMD_STEP:
		set_paused(d, true);
		if (kc_whole(value, 1, STEP_MAX, &v))
			for (long i = 0; i < v; i++)
				sim_tick(d);
		break;
	case KC_CMD_INTERVAL:
	case KC_CMD_MINUTES:
		if (!kc_whole(value, 1, 60000, &v))
			break;
		snprintf(text, sizeof(text), "%ld", v);
		d->putValStr(name, text);
		if (c->kind == KC_CMD_INTERVAL)
			pm_interval = (int)v;
		else
			pm_minutes = (int)v;
		break;
	case KC_CMD_TIME:
		d->setValStr("td_time_", value);
		clock_text(atoi(value), text, sizeof(text));
		d->setValStr("td_time", text);
		break;
	case KC_CMD_TEMP:
		if (!kc_temperature(value, &f))
			break;
		d->setValFp(name, f);
		/* The rounded form is the name without its trailing "_". */
		snprintf(text, sizeof(text), "%.*s", (int)strlen(name) - 1, name);
		d->setValInt(text, roundoff(f));
		break;
	case KC_CMD_SYS:
	case KC_CMD_MODE:
	case KC_CMD_FAN:
		d->setValStr(name, value);
		break;
	case KC_CMD_SETPOINT:
		if (kc_whole(value, 0, 1000, &v))
			d->setValInt(name, (int)v);
		break;
	case KC_CMD_FAULT: {
		char why[96];
		int faults = kc_fault_parse(value, why, sizeof(why));
		if (faults < 0)
			break;
		sim_faults = faults;
		kc_fault_text(faults, text, sizeof(text));
		if (faults != 0)
			d->putValStr("pm_fault", text);
		else
			d->delVal("pm_fault");
		break;
	}
	case KC_CMD_RESET:
		d->reset();
		sim_paused = false;
		sim_faults = 0;
		pm_interval = d->getValInt("pm_interval");
		pm_minutes = d->getValInt("pm_minutes");
		break;
	case KC_CMD_PRESS:
		press_apply(d, kc_button_of(value, false));
		break;
	case KC_CMD_ID:		/* the batch's name, not a change */
		break;
	}
}
