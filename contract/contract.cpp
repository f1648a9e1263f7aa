/*
 * contract.cpp - the rules every side of kelvo shares.  Tables rather
 * than code where a rule is a list, so that adding a value is one line.
 */
#include "contract.h"

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

const char *const kc_attr_name[KC_ATTRS_MODERN] = {
	"ts_mode", "ts_fan", "ts_temp", "td_temp_in_", "td_temp_in",
	"td_temp_out_", "td_temp_out", "td_sys", "td_time_", "td_time",
	"ts_temp_low", "ts_temp_high", "ts_preset", "td_call",
	"td_humidity_", "td_humidity",
};

static const char *const mode_names[] = { "?", "OFF", "HEAT", "COOL", "AUTO" };
static const char *const call_names[] = { "?", "NONE", "HEAT", "COOL" };
static const char *const profile_names[] = { "classic", "modern" };
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
/* AUTO, the last mode, is the modern profile's alone. */
int kc_mode_of(const char *s) { return word_of(s, mode_names, NELEM(mode_names) - 1, true); }
int
kc_mode_of_as(int profile, const char *s)
{
	return word_of(s, mode_names, NELEM(mode_names) -
	    (profile == KC_PROFILE_MODERN ? 0 : 1), true);
}
int kc_fan_of(const char *s) { return word_of(s, fan_names, NELEM(fan_names), true); }
int kc_sys_of(const char *s) { return word_of(s, sys_names, NELEM(sys_names), true); }

static int
exact_of(const char *s, const char *const *names, int n)
{
	for (int i = 1; s != nullptr && i < n; i++)
		if (strcmp(s, names[i]) == 0)
			return i;
	return 0;
}

int kc_mode_exact(const char *s) { return exact_of(s, mode_names, NELEM(mode_names)); }
const char *kc_call_name(int c) { return name_of(call_names, NELEM(call_names), c); }
int kc_call_exact(const char *s) { return exact_of(s, call_names, NELEM(call_names)); }
int kc_call_of(const char *s) { return word_of(s, call_names, NELEM(call_names), true); }

const char *
kc_profile_name(int profile)
{
	return profile == KC_PROFILE_MODERN ? profile_names[1] :
	    profile_names[0];
}

int
kc_profile_of(const char *s)
{
	for (int i = 0; s != nullptr && i < NELEM(profile_names); i++)
		if (strcmp(s, profile_names[i]) == 0)
			return i;
	return -1;
}

int
kc_attrs(int profile)
{
	return profile == KC_PROFILE_MODERN ? KC_ATTRS_MODERN : KC_ATTRS;
}

const struct kc_preset kc_presets[KC_PRESETS] = {
	{ "none", 0, 0, 0 },
	{ "home", 70, 68, 74 },
	{ "away", 62, 60, 80 },
	{ "sleep", 66, 64, 72 },
};

int
kc_preset_of(const char *s)
{
	for (int i = 0; s != nullptr && i < KC_PRESETS; i++)
		if (strcmp(s, kc_presets[i].name) == 0)
			return i;
	return -1;
}
int kc_fan_exact(const char *s) { return exact_of(s, fan_names, NELEM(fan_names)); }

const char *
kc_default(const char *name)
{
	static const char *const values[][2] = {
		{ "ts_mode", "HEAT" }, { "ts_fan", "AUTO" }, { "ts_temp", "68" },
		{ "td_temp_in_", "66.0" }, { "td_temp_in", "66" },
		{ "td_temp_out_", "60.0" }, { "td_temp_out", "60" },
		{ "td_sys", "OFF" }, { "td_time_", "1700" },
		{ "td_time", "05:00p" }, { "pm_interval", "200" },
		{ "pm_minutes", "2" },
		/* The modern profile's, which switching to it adds. */
		{ "ts_temp_low", "68" }, { "ts_temp_high", "74" },
		{ "ts_preset", "none" }, { "td_call", "NONE" },
		{ "td_humidity_", "45.000" }, { "td_humidity", "45" },
	};

	for (const auto &v : values)
		if (name != nullptr && strcmp(v[0], name) == 0)
			return v[1];
	return nullptr;
}

static void press_as(struct kc_settings *, struct kc_band *, int);

void
kc_press(struct kc_settings *s, int btn)
{
	press_as(s, nullptr, btn);
}

void
kc_press_modern(struct kc_settings *s, struct kc_band *b, int btn)
{
	press_as(s, b, btn);
}

/* One press; b is the band of a modern thermostat, NULL for a classic one. */
static void
press_as(struct kc_settings *s, struct kc_band *b, int btn)
{
	switch (btn) {
	case BTN_MODE:
		/*
		 * OFF -> HEAT -> COOL -> OFF, and modern COOL -> AUTO -> OFF;
		 * anything unknown turns it off.
		 */
		if (s->has_mode)
			s->mode = s->mode == MODE_OFF ? MODE_HEAT :
			    s->mode == MODE_HEAT ? MODE_COOL :
			    s->mode == MODE_COOL && b != nullptr ? MODE_AUTO :
			    MODE_OFF;
		break;
	case BTN_FAN:
		if (s->has_fan)
			s->fan = s->fan == FAN_ON ? FAN_AUTO : FAN_ON;
		break;
	case BTN_UP:
		/* In AUTO the band moves whole, and stops whole at a limit. */
		if (b != nullptr && s->has_mode && s->mode == MODE_AUTO) {
			if (b->has_band && b->high < KC_SETPOINT_MAX) {
				b->low++;
				b->high++;
			}
			break;
		}
		/*
		 * The buttons keep a set point within the limits, but never
		 * pull one from outside them: a set point set above the top
		 * by other means stays until it is pressed down.
		 */
		if (s->has_setpoint && s->setpoint < KC_SETPOINT_MAX)
			s->setpoint++;
		break;
	case BTN_DOWN:
		if (b != nullptr && s->has_mode && s->mode == MODE_AUTO) {
			if (b->has_band && b->low > KC_SETPOINT_MIN) {
				b->low--;
				b->high--;
			}
			break;
		}
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
	return exact_of(name, button_attrs, NELEM(button_attrs));
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
	/* AUTO heats or cools as its call says: kc_plant_call knows it. */
	if (mode == MODE_UNKNOWN || mode == MODE_AUTO || sys == SYS_UNKNOWN ||
	    fan == FAN_UNKNOWN)
		return PLANT_NONE;
	if (mode == MODE_OFF)
		return PLANT_OFF;
	if (sys == SYS_ON)
		return mode == MODE_HEAT ? PLANT_HEATING : PLANT_COOLING;
	return fan == FAN_ON ? PLANT_FAN : PLANT_IDLE;
}

int
kc_plant_call(int mode, int sys, int fan, int call)
{
	if (mode != MODE_AUTO)
		return kc_plant(mode, sys, fan);
	if (sys == SYS_UNKNOWN || fan == FAN_UNKNOWN)
		return PLANT_NONE;
	if (sys == SYS_ON)
		return call == CALL_HEAT ? PLANT_HEATING :
		    call == CALL_COOL ? PLANT_COOLING : PLANT_NONE;
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

int
kc_minute_of(const char *s)
{
	int t = kc_clock_of(s);

	return t < 0 ? -1 : t / 100 * 60 + t % 100;
}

int
kc_ticks_for(int minutes, int pm_minutes)
{
	int m = pm_minutes > 0 ? pm_minutes : atoi(kc_default("pm_minutes"));
	int t = (minutes + m / 2) / m;

	return t < 1 ? 1 : t;
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

const struct kc_command kc_commands[KC_COMMANDS] = {
	{ "state", KC_CMD_STATE, KC_JSON_TEXT },
	{ "step", KC_CMD_STEP, KC_JSON_WHOLE },
	{ "pm_interval", KC_CMD_INTERVAL, KC_JSON_WHOLE },
	{ "pm_minutes", KC_CMD_MINUTES, KC_JSON_WHOLE },
	{ "td_time_", KC_CMD_TIME, KC_JSON_TEXT },
	{ "td_temp_in_", KC_CMD_TEMP, KC_JSON_NUMBER },
	{ "td_temp_out_", KC_CMD_TEMP, KC_JSON_NUMBER },
	{ "td_sys", KC_CMD_SYS, KC_JSON_TEXT },
	{ "ts_mode", KC_CMD_MODE, KC_JSON_TEXT },
	{ "ts_fan", KC_CMD_FAN, KC_JSON_TEXT },
	{ "ts_temp", KC_CMD_SETPOINT, KC_JSON_WHOLE },
	{ "fault", KC_CMD_FAULT, KC_JSON_FAULTS },
	{ "reset", KC_CMD_RESET, KC_JSON_TEXT },
	{ "press", KC_CMD_PRESS, KC_JSON_BUTTONS },
	{ "id", KC_CMD_ID, KC_JSON_NONE },
	{ "profile", KC_CMD_PROFILE, KC_JSON_TEXT },
	{ "preset", KC_CMD_PRESET, KC_JSON_TEXT },
	{ "ts_temp_low", KC_CMD_BAND, KC_JSON_WHOLE },
	{ "ts_temp_high", KC_CMD_BAND, KC_JSON_WHOLE },
	{ "td_call", KC_CMD_CALL, KC_JSON_TEXT },
	{ "td_humidity_", KC_CMD_HUMIDITY, KC_JSON_NUMBER },
};

const char *const kc_fault_name[KC_FAULTS] = { "plant", "sensor", "silent" };

const struct kc_command *
kc_command_of(const char *name)
{
	for (const struct kc_command &c : kc_commands)
		if (strcmp(c.name, name) == 0)
			return &c;
	return nullptr;
}

bool
kc_whole(const char *s, long lo, long hi, long *v)
{
	const char *p = s + (*s == '-');
	char *end;

	if (*p < '0' || *p > '9' || strspn(p, "0123456789") != strlen(p) ||
	    strlen(p) > 9)
		return false;
	*v = strtol(s, &end, 10);
	return *v >= lo && *v <= hi;
}

bool
kc_decimal(const char *s, double *v)
{
	char *end;

	if (*s == '\0' || strspn(s, "0123456789.-+eE") != strlen(s))
		return false;
	*v = strtod(s, &end);
	return *end == '\0' && isfinite(*v);
}

bool
kc_temperature(const char *s, float *v)
{
	double d;

	if (!kc_decimal(s, &d) || fabs(d) > KC_TEMP_MAX)
		return false;
	*v = (float)d;
	return true;
}

bool
kc_id_valid(const char *id)
{
	size_t n = strspn(id, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstu"
	    "vwxyz0123456789_.-");

	return n >= 1 && n <= KC_ID_MAX && id[n] == '\0';
}

bool
kc_error_applied(const char *error)
{
	return strncmp(error, KC_UNPUBLISHED, sizeof(KC_UNPUBLISHED) - 1) == 0;
}

/* The value as it may be repeated in a message: short, printable. */
static void
quoted(const char *value, char *out, size_t len)
{
	size_t i, n = 0;

	for (i = 0; value[i] != '\0' && n + 4 < len; i++) {
		if (i == 32) {
			snprintf(out + n, len - n, "...");
			return;
		}
		unsigned char c = (unsigned char)value[i];
		out[n++] = (c >= 0x20 && c < 0x7f && c != '"') ? (char)c : '?';
	}
	out[n] = '\0';
}

int
kc_fault_parse(const char *list, char *why, size_t len)
{
	const char *p = list;
	char one[40];
	int faults = 0;

	while (*p != '\0') {
		size_t n = strcspn(p, ","), i;
		for (i = 0; i < KC_FAULTS; i++)
			if (strlen(kc_fault_name[i]) == n &&
			    strncmp(p, kc_fault_name[i], n) == 0)
				break;
		if (i == KC_FAULTS) {
			snprintf(one, sizeof(one), "%.*s", (int)(n < 32 ? n : 32),
			    p);
			char q[48];
			quoted(one, q, sizeof(q));
			snprintf(why, len, "\"%s\" is no fault (plant, sensor, "
			    "silent)", q);
			return -1;
		}
		faults |= 1 << i;
		p += n;
		if (*p == ',' && *++p == '\0') {
			snprintf(why, len, "a fault list may not end in a comma");
			return -1;
		}
	}
	return faults;
}

void
kc_fault_text(int faults, char *out, size_t len)
{
	size_t n = 0;

	out[0] = '\0';
	for (int i = 0; i < KC_FAULTS; i++)
		if ((faults & (1 << i)) && n < len)
			n += (size_t)snprintf(out + n, len - n, "%s%s",
			    n > 0 ? "," : "", kc_fault_name[i]);
}

/* One of the exact texts in names (NULL-ended). */
static bool
one_of(const char *value, const char *const *names)
{
	for (; *names != nullptr; names++)
		if (strcmp(value, *names) == 0)
			return true;
	return false;
}

/* Whether value is one that a command of kind takes. */
static bool
command_value_ok(int kind, const char *value)
{
	static const char *const states[] = { KC_PAUSED, KC_RUNNING, nullptr };
	static const char *const syses[] = { "ON", "OFF", nullptr };
	static const char *const fans[] = { "ON", "AUTO", nullptr };
	static const char *const modes[] = { "HEAT", "COOL", "OFF", nullptr };
	char fwhy[96];
	long v;
	float f;

	switch (kind) {
	case KC_CMD_STATE:	return one_of(value, states);
	case KC_CMD_STEP:	return kc_whole(value, 1, KC_STEP_MAX, &v);
	case KC_CMD_INTERVAL:	return kc_whole(value, 1, KC_INTERVAL_MAX, &v);
	case KC_CMD_MINUTES:	return kc_whole(value, 1, KC_MINUTES_MAX, &v);
	case KC_CMD_TIME:	return kc_clock_of(value) >= 0;
	case KC_CMD_TEMP:	return kc_temperature(value, &f);
	case KC_CMD_SYS:	return one_of(value, syses);
	case KC_CMD_FAN:	return one_of(value, fans);
	case KC_CMD_MODE:	return one_of(value, modes);
	case KC_CMD_SETPOINT:	return kc_whole(value, 0, KC_TEMP_MAX, &v);
	case KC_CMD_FAULT:	return kc_fault_parse(value, fwhy, sizeof(fwhy)) >= 0;
	case KC_CMD_RESET:	return strcmp(value, "defaults") == 0;
	case KC_CMD_PRESS:	return kc_button_of(value, false) != 0 &&
				    strpbrk(value, " \t") == nullptr;
	case KC_CMD_ID:		return kc_id_valid(value);
	case KC_CMD_PROFILE:	return kc_profile_of(value) >= 0;
	case KC_CMD_PRESET:	return kc_preset_of(value) > PRESET_NONE;
	case KC_CMD_BAND:
		return kc_whole(value, KC_SETPOINT_MIN, KC_SETPOINT_MAX, &v);
	case KC_CMD_CALL:	return kc_call_exact(value) != CALL_UNKNOWN;
	case KC_CMD_HUMIDITY:
		return kc_temperature(value, &f) && f >= KC_HUMIDITY_MIN &&
		    f <= KC_HUMIDITY_MAX;
	}
	return false;
}

/* Why command c refuses value (quoted as q), in the words kelvo traces. */
static void
command_why(const struct kc_command *c, const char *name, const char *value,
    const char *q, char *why, size_t len)
{
	char fwhy[96];

	switch (c->kind) {
	case KC_CMD_STATE:
		snprintf(why, len, "%s: \"%s\" is neither paused nor running",
		    name, q);
		break;
	case KC_CMD_STEP:
		snprintf(why, len, "%s: \"%s\" is not a whole number of ticks "
		    "in 1..%d", name, q, KC_STEP_MAX);
		break;
	case KC_CMD_INTERVAL:
		snprintf(why, len, "%s: \"%s\" is not a whole number of ms in "
		    "1..%d", name, q, KC_INTERVAL_MAX);
		break;
	case KC_CMD_MINUTES:
		snprintf(why, len, "%s: \"%s\" is not a whole number of minutes "
		    "in 1..%d", name, q, KC_MINUTES_MAX);
		break;
	case KC_CMD_TIME:
		snprintf(why, len, "%s: \"%s\" is no time of day (HHMM, "
		    "0000..2359, minutes below 60)", name, q);
		break;
	case KC_CMD_TEMP:
		snprintf(why, len, "%s: \"%s\" is not a temperature within "
		    "+-%d", name, q, KC_TEMP_MAX);
		break;
	case KC_CMD_SYS:
	case KC_CMD_FAN:
		snprintf(why, len, "%s: \"%s\" is neither ON nor %s", name, q,
		    c->kind == KC_CMD_SYS ? "OFF" : "AUTO");
		break;
	case KC_CMD_MODE:
		snprintf(why, len, "%s: \"%s\" is not HEAT, COOL or OFF", name,
		    q);
		break;
	case KC_CMD_SETPOINT:
		snprintf(why, len, "%s: \"%s\" is not a whole number of degrees "
		    "in 0..%d", name, q, KC_TEMP_MAX);
		break;
	case KC_CMD_FAULT:
		kc_fault_parse(value, fwhy, sizeof(fwhy));
		snprintf(why, len, "%s: %s", name, fwhy);
		break;
	case KC_CMD_RESET:
		snprintf(why, len, "%s: \"%s\" is not defaults", name, q);
		break;
	case KC_CMD_PRESS:
		snprintf(why, len, "%s: \"%s\" is no button (mode, fan, up, "
		    "down)", name, q);
		break;
	case KC_CMD_ID:
		snprintf(why, len, "%s: \"%s\" is not 1 to %d of A-Z a-z 0-9 "
		    "_ . -", name, q, KC_ID_MAX);
		break;
	case KC_CMD_PROFILE:
		snprintf(why, len, "%s: \"%s\" is neither classic nor modern",
		    name, q);
		break;
	case KC_CMD_PRESET:
		snprintf(why, len, "%s: \"%s\" is not home, away or sleep",
		    name, q);
		break;
	case KC_CMD_BAND:
		snprintf(why, len, "%s: \"%s\" is not a whole number of degrees "
		    "in %d..%d", name, q, KC_SETPOINT_MIN, KC_SETPOINT_MAX);
		break;
	case KC_CMD_CALL:
		snprintf(why, len, "%s: \"%s\" is not HEAT, COOL or NONE", name,
		    q);
		break;
	case KC_CMD_HUMIDITY:
		snprintf(why, len, "%s: \"%s\" is not a relative humidity in "
		    "%d..%d", name, q, KC_HUMIDITY_MIN, KC_HUMIDITY_MAX);
		break;
	}
}

/* Whether a command of kind is the modern profile's alone. */
static bool
modern_only(int kind)
{
	return kind == KC_CMD_PRESET || kind == KC_CMD_BAND ||
	    kind == KC_CMD_CALL || kind == KC_CMD_HUMIDITY;
}

/*
 * The deadband's rule on a set end that is within the limits: the other
 * end follows it up to KC_DEADBAND away, which the limits may not allow.
 */
static bool
band_check(const char *name, long v, char *why, size_t len)
{
	bool low = strcmp(name, "ts_temp_low") == 0;

	if (low && v + KC_DEADBAND > KC_SETPOINT_MAX) {
		snprintf(why, len, "%s: %ld would push ts_temp_high above %d; "
		    "the band is at least %d degrees", name, v,
		    KC_SETPOINT_MAX, KC_DEADBAND);
		return false;
	}
	if (!low && v - KC_DEADBAND < KC_SETPOINT_MIN) {
		snprintf(why, len, "%s: %ld would push ts_temp_low below %d; "
		    "the band is at least %d degrees", name, v,
		    KC_SETPOINT_MIN, KC_DEADBAND);
		return false;
	}
	return true;
}

bool
kc_command_check(const char *name, const char *value, char *why, size_t len)
{
	return kc_command_check_as(KC_PROFILE_CLASSIC, name, value, why, len);
}

bool
kc_command_check_as(int profile, const char *name, const char *value,
    char *why, size_t len)
{
	const struct kc_command *c = kc_command_of(name);
	bool modern = profile == KC_PROFILE_MODERN;
	char q[48];
	long v;

	if (c == nullptr) {
		quoted(name, q, sizeof(q));
		snprintf(why, len, "\"%s\" is no command", q);
		return false;
	}
	if (!modern && modern_only(c->kind)) {
		snprintf(why, len, "%s: the classic profile has none "
		    "(profile::modern first)", name);
		return false;
	}
	if (c->kind == KC_CMD_MODE && modern) {
		if (strcmp(value, kc_mode_name(MODE_AUTO)) == 0 ||
		    command_value_ok(c->kind, value))
			return true;
		quoted(value, q, sizeof(q));
		snprintf(why, len, "%s: \"%s\" is not HEAT, COOL, AUTO or OFF",
		    name, q);
		return false;
	}
	if (command_value_ok(c->kind, value))
		return c->kind != KC_CMD_BAND ||
		    (kc_whole(value, KC_SETPOINT_MIN, KC_SETPOINT_MAX, &v) &&
		    band_check(name, v, why, len));
	quoted(value, q, sizeof(q));
	command_why(c, name, value, q, why, len);
	return false;
}

bool
kc_target_check(const char *name, const char *value, char *why, size_t len)
{
	long v;

	if (strcmp(name, "ts_temp") == 0) {
		if (kc_whole(value, KC_SETPOINT_MIN, KC_SETPOINT_MAX, &v))
			return true;
		snprintf(why, len, "the set point must be a whole number from "
		    KC_STR(KC_SETPOINT_MIN) " to " KC_STR(KC_SETPOINT_MAX));
		return false;
	}
	if (strcmp(name, "ts_mode") == 0)
		return kc_command_check_as(KC_PROFILE_MODERN, name, value, why,
		    len);
	if (strcmp(name, "ts_fan") == 0)
		return kc_command_check(name, value, why, len);
	snprintf(why, len, "%s is no target (ts_temp, ts_mode, ts_fan)", name);
	return false;
}
