/*
 * press.cpp - a press written in the faces' turn and waited for.
 *
 * The settings a press must give are compared as parsed (MODE_*, FAN_*,
 * the set point), missing ones included, so a text kelvo publishes with
 * a setting it does not know is judged as kelvo judges it: kc_press takes
 * an unknown mode to OFF and an unknown fan to ON, as kelvo does.
 */
#include "press.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>

#include "control.h"
#include "link.h"
#include "platform.h"

#define OUTPUTS_TEXT_MAX	2048	/* longer than any outputs text */

/*
 * The settings st shows, as the buttons' rule takes them, with the band
 * of a modern thermostat beside them.
 */
struct shown {
	struct kc_settings s;
	struct kc_band b;
	bool modern;
};

static struct shown
settings_of(const struct client_state *st)
{
	struct shown sh;
	struct kc_settings &s = sh.s;

	s.has_mode = st->text[ATTR_MODE][0] != '\0';
	s.mode = st->mode;
	s.has_fan = st->text[ATTR_FAN][0] != '\0';
	s.fan = st->fan;
	s.has_setpoint = st->has_setpoint;
	s.setpoint = st->has_setpoint ? st->setpoint : 0;
	sh.b = client_band(st);
	sh.modern = st->modern;
	return sh;
}

/* One press by the rule of the profile sh was shown in. */
static void
press_rule(struct shown *sh, int btn)
{
	if (sh->modern)
		kc_press_modern(&sh->s, &sh->b, btn);
	else
		kc_press(&sh->s, btn);
}

static bool
same(const struct shown &x, const struct shown &y)
{
	const struct kc_settings &a = x.s, &b = y.s;

	if (x.b.has_band != y.b.has_band || (x.b.has_band &&
	    (x.b.low != y.b.low || x.b.high != y.b.high)))
		return false;
	return a.has_mode == b.has_mode && (!a.has_mode || a.mode == b.mode) &&
	    a.has_fan == b.has_fan && (!a.has_fan || a.fan == b.fan) &&
	    a.has_setpoint == b.has_setpoint &&
	    (!a.has_setpoint || a.setpoint == b.setpoint);
}

/* The outputs as they stand now, into w->st. */
static bool
read_now(struct press_watch *w)
{
	if (client_outputs_read(w->st) <= 0)
		return false;
	if (w->seen != NULL)
		w->seen(w->arg);
	return true;
}

/* Writes the inputs text pressing the buttons in mask (1 << BTN_*). */
static bool
write_inputs(int mask)
{
	char text[128];
	int fd, n = snprintf(text, sizeof(text), "@inputs\n");
	bool ok;

	for (int b = 1; b <= KC_BUTTONS; b++)
		n += snprintf(text + n, sizeof(text) - (size_t)n, "%s::%s\n",
		    kc_button_attr(b), mask & (1 << b) ? "event" : "");
	/* Making the object is kelvo's business: a missing one, no kelvo. */
	if ((fd = pps_open(KC_INPUTS, O_WRONLY)) < 0)
		return false;
	ok = pps_write(fd, text, (size_t)n) == n;
	pps_close(fd);
	return ok;
}

/* Writes the buttons in mask and waits until w->st shows want. */
static bool
press_mask(struct press_watch *w, int mask, const struct shown &want,
    char *why, size_t whylen)
{
	char buf[OUTPUTS_TEXT_MAX];
	long long end;
	ssize_t n;

	if (!write_inputs(mask)) {
		snprintf(why, whylen, "cannot write the inputs object: %s",
		    strerror(errno));
		return false;
	}
	end = link_now() + PRESS_SHOW_MS;
	while (!same(settings_of(w->st), want)) {
		long long left = end - link_now();
		if (left <= 0 || (n = pps_read_within(w->fd, buf, sizeof(buf),
		    (int)left)) <= 0) {
			snprintf(why, whylen, "kelvo did not show a press within "
			    "%d ms", PRESS_SHOW_MS);
			return false;
		}
		client_parse(buf, (size_t)n, w->st);
		if (w->seen != NULL)
			w->seen(w->arg);
	}
	return true;
}

/* The press itself, in our turn. */
static bool
press_in_turn(struct press_watch *w, int btn, char *why, size_t whylen)
{
	if (!read_now(w)) {
		snprintf(why, whylen, "kelvo's outputs cannot be read");
		return false;
	}
	struct shown was = settings_of(w->st), want = was;
	press_rule(&want, btn);
	if (!same(want, was))
		return press_mask(w, 1 << btn, want, why, whylen);
	if (!was.s.has_fan || (was.s.fan != FAN_ON && was.s.fan != FAN_AUTO)) {
		snprintf(why, whylen, "a press that changes nothing cannot be "
		    "seen taken while the fan is unknown");
		return false;
	}
	press_rule(&want, BTN_FAN);
	return press_mask(w, 1 << btn | 1 << BTN_FAN, want, why, whylen) &&
	    press_mask(w, 1 << BTN_FAN, was, why, whylen);
}

bool
client_press_shown(struct press_watch *w, int btn, char *why, size_t whylen)
{
	int turn;
	bool ok;

	if (kc_button_attr(btn) == NULL) {
		snprintf(why, whylen, "no such button");
		return false;
	}
	if ((turn = pps_lock(KC_INPUTS, PRESS_TURN_MS)) < 0) {
		snprintf(why, whylen, "no turn at the inputs object within "
		    "%d s: %s", PRESS_TURN_MS / 1000, strerror(errno));
		return false;
	}
	ok = press_in_turn(w, btn, why, whylen);
	/* Shown, or taken back: no later kelvo takes it for a new press. */
	if (!write_inputs(0) && ok) {
		snprintf(why, whylen, "cannot write the idle inputs text: %s",
		    strerror(errno));
		ok = false;
	}
	pps_unlock(turn);
	return ok;
}
