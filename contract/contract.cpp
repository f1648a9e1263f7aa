/*
 * contract.cpp - the rules every side of kelvo shares.  Tables rather
 * than code where a rule is a list, so that adding a value is one line.
 */
#include "contract.h"

#include <stdio.h>
#include <string.h>
#include <strings.h>

const char *const kc_attr_name[KC_ATTRS] = {
	"ts_mode", "ts_fan", "ts_temp", "td_temp_in_", "td_temp_in",
	"td_temp_out_", "td_temp_out", "td_sys", "td_time_", "td_time",
};

static const char *const mode_names[] = { "?", "OFF", "HEAT", "COOL" };
static const char *const fan_names[] = { "?", "AUTO", "ON" };
static const char *const sys_names[] = { "?", "OFF", "ON" };
static const char *const button_names[] = { "", "mode", "fan", "up", "down" };
static const char *const button_attrs[] = { "", "btn1", "btn2", "btn3", "btn4" };
static const char *const plant_names[] = { nullptr, "off", "heating",
    "cooling", "fan", "idle" };

#define NELEM(a)	(int)(sizeof(a) / sizeof((a)[0]))

static const char *
name_of(const char *const *names, int n, int v)
{
	return v > 0 && v < n ? names[v] : names[0];
}

/* Any case, blanks around it ignored: "cool", " Heat " all name modes. */
static int
word_of(const char *s, const char *const *names, int n, bool anycase)
{
	size_t len;

	if (s == nullptr)
		return 0;
	while (*s == ' ' || *s == '\t')
		s++;
	len = strlen(s);
	while (len > 0 && (s[len - 1] == ' ' || s[len - 1] == '\t' ||
	    s[len - 1] == '\n' || s[len - 1] == '\r'))
		len--;
	for (int i = 1; i < n; i++) {
		if (strlen(names[i]) != len)
			continue;
		if (anycase ? strncasecmp(s, names[i], len) == 0 :
		    strncmp(s, names[i], len) == 0)
			return i;
	}
	return 0;
}

const char *kc_mode_name(int m) { return name_of(mode_names, NELEM(mode_names), m); }
const char *kc_fan_name(int f) { return name_of(fan_names, NELEM(fan_names), f); }
const char *kc_sys_name(int s) { return name_of(sys_names, NELEM(sys_names), s); }
int kc_mode_of(const char *s) { return word_of(s, mode_names, NELEM(mode_names), true); }
int kc_fan_of(const char *s) { return word_of(s, fan_names, NELEM(fan_names), true); }
int kc_sys_of(const char *s) { return word_of(s, sys_names, NELEM(sys_names), true); }

void
kc_press(struct kc_settings *s, int btn)
{
	switch (btn) {
	case BTN_MODE:
		/* OFF -> HEAT -> COOL -> OFF; anything unknown turns it off. */
		if (s->has_mode)
			s->mode = s->mode == MODE_OFF ? MODE_HEAT :
			    s->mode == MODE_HEAT ? MODE_COOL : MODE_OFF;
		break;
	case BTN_FAN:
		if (s->has_fan)
			s->fan = s->fan == FAN_ON ? FAN_AUTO : FAN_ON;
		break;
	case BTN_UP:
		/*
		 * The buttons keep a set point within the limits, but never
		 * pull one from outside them: a set point set above the top
		 * by other means stays until it is pressed down.
		 */
		if (s->has_setpoint && s->setpoint < KC_SETPOINT_MAX)
			s->setpoint++;
		break;
	case BTN_DOWN:
		if (s->has_setpoint && s->setpoint > KC_SETPOINT_MIN)
			s->setpoint--;
		break;
	}
}

const char *
kc_button_attr(int btn)
{
	return btn >= 1 && btn <= KC_BUTTONS ? button_attrs[btn] : nullptr;
}

int
kc_button_of_attr(const char *name)
{
	return name ? word_of(name, button_attrs, NELEM(button_attrs), false) : 0;
}

const char *
kc_button_name(int btn)
{
	return btn >= 1 && btn <= KC_BUTTONS ? button_names[btn] : nullptr;
}

int
kc_button_of(const char *s, bool anycase)
{
	return word_of(s, button_names, NELEM(button_names), anycase);
}

int
kc_plant(int mode, int sys, int fan)
{
	if (mode == MODE_UNKNOWN || sys == SYS_UNKNOWN || fan == FAN_UNKNOWN)
		return PLANT_NONE;
	if (mode == MODE_OFF)
		return PLANT_OFF;
	if (sys == SYS_ON)
		return mode == MODE_HEAT ? PLANT_HEATING : PLANT_COOLING;
	return fan == FAN_ON ? PLANT_FAN : PLANT_IDLE;
}

const char *
kc_plant_name(int plant)
{
	return plant > 0 && plant < NELEM(plant_names) ? plant_names[plant] :
	    nullptr;
}

bool
kc_clock_valid(int t)
{
	return t >= 0 && t <= 2359 && t % 100 <= 59;
}

int
kc_clock_of(const char *s)
{
	if (s == nullptr || strlen(s) != 4)
		return -1;
	for (int i = 0; i < 4; i++)
		if (s[i] < '0' || s[i] > '9')
			return -1;
	int t = (s[0] - '0') * 1000 + (s[1] - '0') * 100 + (s[2] - '0') * 10 +
	    (s[3] - '0');
	return kc_clock_valid(t) ? t : -1;
}

void
kc_clock_text(int t, char *out, size_t len)
{
	int h = t / 100, m = t % 100;

	/* Noon itself still reads as "a"; 12:01 is the first "p". */
	if (t <= 1200)
		snprintf(out, len, "%02d:%02d%s", h == 0 ? 12 : h, m, "a");
	else
		snprintf(out, len, "%02d:%02d%s", h == 12 ? 12 : h - 12, m, "p");
}

void
kc_clock_display(int t, char *out, size_t len)
{
	int h = t / 100, m = t % 100;

	snprintf(out, len, "%d:%02d %s", h % 12 == 0 ? 12 : h % 12, m,
	    h < 12 ? "am" : "pm");
}
