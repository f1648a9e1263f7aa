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
 */
#include "thermodyn.h"

#include <limits.h>
#include <math.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "dbXML.h"
#include "kelvo.h"
#include "platform.h"

int pm_interval = 1000;
int pm_minutes = 0;

#define DEFAULT_INTERVAL	200
#define DEFAULT_MINUTES		2
#define MAX_MINUTES		1440	/* a whole day per tick */
#define MAX_TEMP		1000.0f	/* beyond this a value is no temperature */

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
	return t >= 0 && t <= 2359 && t % 100 < 60;
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
	int h = t / 100, m = t % 100;

	/* Noon itself still reads as "a"; 12:01 is the first "p". */
	if (t <= 1200)
		snprintf(out, len, "%02d:%02d%s", h == 0 ? 12 : h, m, "a");
	else
		snprintf(out, len, "%02d:%02d%s", h == 12 ? 12 : h - 12, m, "p");
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
model_step(dbXML *d, int t, int m)
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
	if (strcmp(mode, "OFF") == 0) {
		/* No heating or cooling happens, so none is shown. */
		drift();
		running = false;
	} else if (strcmp(mode, "HEAT") == 0) {
		if (running) {
			in = (float)(in + 5.0 * m / 60);
			running = !(in >= s + 1.0);
		} else {
			drift();
			running = in <= s - 1.0;
		}
	} else {
		if (running) {
			in = (float)(in - 15.0 * m / 60);
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
	char tbuf[16], line[256];
	const char *sys, *mode, *fan;
	char *end;
	long v;
	int t;

	db = new dbXML(xml_fname, false);

	copy_text(db, "td_time_", tbuf, sizeof(tbuf), "0000");
	v = strtol(tbuf, &end, 10);
	t = (v >= 0 && v <= 2359) ? (int)v : -1;
	if (end == tbuf || *end != '\0' || !clock_valid(t)) {
		snprintf(line, sizeof(line), "thermodyn::td_time_ %s is no time "
		    "of day, restarting the clock at 0000\n", tbuf);
		Printf(line);
		t = 0;
	}
	t = clock_step(t, pm_minutes);
	snprintf(tbuf, sizeof(tbuf), "%04d", t);
	db->setValStr("td_time_", tbuf);
	clock_text(t, tbuf, sizeof(tbuf));
	db->setValStr("td_time", tbuf);

	model_step(db, t, pm_minutes);

	if (Verbose > 1) {
		sys = db->getValStr("td_sys");
		mode = db->getValStr("ts_mode");
		fan = db->getValStr("ts_fan");
		snprintf(line, sizeof(line),
		    "%04d  %4.1f  %4.1f  %3s * %3d %4s fan-%s",
		    db->getValInt("td_time_"),
		    (double)db->getValFp("td_temp_out_"),
		    (double)db->getValFp("td_temp_in_"), sys ? sys : "",
		    db->getValInt("ts_temp"), mode ? mode : "",
		    fan ? fan : "");
		Printf(line);
	}
	delete db;
}

void *
thermodyn(void *)
{
	struct timespec due;

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
	delete db;
	db_release();

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
		pthread_mutex_lock(&xml_mutex);
		thermodyn_tick();
		pthread_mutex_unlock(&xml_mutex);
		/* The pause starts now: freeing the old document is part of it. */
		deadline_in(&due, (unsigned int)pm_interval);
		db_release();
		pause_until(&due);
	}

	Printf("thermodyn::exit\n");
	sem_post(&exit_semaphore);
	return nullptr;
}

bool
is_button(const char *name)
{
	return strncmp(name, "btn", 3) == 0 && name[3] >= '1' &&
	    name[3] <= '4' && name[4] == '\0';
}

void
web_cgi(char *name)
{
	const char *s;
	int temp;

	db = new dbXML(xml_fname, false);
	if (strcmp(name, "btn1") == 0) {
		/* OFF -> HEAT -> COOL -> OFF; anything unknown turns it off. */
		if ((s = db->getValStr("ts_mode")) != nullptr)
			db->setValStr("ts_mode", strcmp(s, "OFF") == 0 ? "HEAT" :
			    strcmp(s, "HEAT") == 0 ? "COOL" : "OFF");
	} else if (strcmp(name, "btn2") == 0) {
		if ((s = db->getValStr("ts_fan")) != nullptr)
			db->setValStr("ts_fan",
			    strcmp(s, "ON") == 0 ? "AUTO" : "ON");
	} else if (strcmp(name, "btn3") == 0) {
		/* The buttons keep a set point within 60..90. */
		if ((temp = db->getValInt("ts_temp")) <= 89)
			db->setValInt("ts_temp", temp + 1);
	} else if (strcmp(name, "btn4") == 0) {
		if ((temp = db->getValInt("ts_temp")) > 60)
			db->setValInt("ts_temp", temp - 1);
	} else {
		Printf(">>>>> unexpected event\n");
	}
	delete db;
}
