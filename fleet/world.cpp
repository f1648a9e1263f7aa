/*
 * world.cpp - the thermostats: their worlds drawn from the seed, their
 * ticks, the commands and batches they take, and what they publish.
 *
 * Every value a thermostat publishes comes from the model's own texts
 * (km_values) read as a face reads kelvo's outputs, so a fleet's state
 * JSON cannot differ from a kelvo-mqtt's.  Deciding whether to publish,
 * which happens every tick for every thermostat, looks at the world
 * directly instead: it must be cheap, and it only has to notice what
 * Home Assistant shows.
 *
 * The starting worlds come from a small counter-based generator keyed by
 * the seed and the thermostat's number, so a thermostat's start does not
 * depend on the count, the shard or the order it was made in.
 */
#include "fleet.h"

#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "json.h"
#include "simjson.h"
#include "topics.h"

std::vector<struct thermostat> fleet;
int fleet_width;

static int shard, shards, count;

/* splitmix64: one good 64-bit value of any counter. */
static uint64_t
mix(uint64_t x)
{
	x += 0x9e3779b97f4a7c15ULL;
	x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
	x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
	return x ^ (x >> 31);
}

/* A value in lo..hi, the draw'th of thermostat num under seed. */
static int
draw(uint64_t seed, int num, int what, int lo, int hi)
{
	uint64_t r = mix(mix(seed) ^ mix(((uint64_t)num << 8) | (unsigned)what));

	return lo + (int)(r % (uint64_t)(hi - lo + 1));
}

/*
 * A modern thermostat's own: a band of 3 to 8 degrees about the set
 * point, or one of the presets (which sets the set point and the band
 * as a person choosing it would), and the room's humidity.
 */
static void
seed_modern(struct km_world *w, uint64_t seed, int num)
{
	char h[16];

	km_profile(w, KC_PROFILE_MODERN);
	w->low = w->setpoint - draw(seed, num, 8, 1, 4);
	w->high = w->low + draw(seed, num, 9, 3, 8);
	if (w->low < KC_SETPOINT_MIN)
		w->low = KC_SETPOINT_MIN;
	if (w->high > KC_SETPOINT_MAX)
		w->high = KC_SETPOINT_MAX;
	w->preset = PRESET_NONE;
	int preset = draw(seed, num, 10, 0, 5);
	if (preset >= PRESET_HOME && preset < KC_PRESETS)
		km_apply(w, "preset", kc_presets[preset].name);
	snprintf(h, sizeof(h), "%d.%d", draw(seed, num, 11, 35, 60),
	    draw(seed, num, 12, 0, 9));
	w->humidity = km_kept((float)atof(h));
	w->humidity_whole = roundoff((float)atof(h));
}

/*
 * A world of its own: a set point about a comfortable temperature, a
 * mode as households leave them (most heat or cool), the room a few
 * degrees either side of the set point, and a minute of the day.
 */
static void
seed_world(struct km_world *w, uint64_t seed, int num, int profile)
{
	static const int modes[] = { MODE_HEAT, MODE_HEAT, MODE_COOL,
	    MODE_COOL, MODE_OFF };
	static const int modern_modes[] = { MODE_HEAT, MODE_COOL, MODE_AUTO,
	    MODE_AUTO, MODE_OFF };
	char in[16];
	int minute;

	km_reset(w);
	if (profile == FLEET_PROFILE_MIXED)
		profile = draw(seed, num, 7, 0, 1) ? FLEET_PROFILE_MODERN :
		    FLEET_PROFILE_CLASSIC;
	w->setpoint = draw(seed, num, 1, 64, 78);
	w->mode = (profile == FLEET_PROFILE_MODERN ? modern_modes : modes)[
	    draw(seed, num, 2, 0, 4)];
	if (profile == FLEET_PROFILE_MODERN)
		seed_modern(w, seed, num);
	w->fan = draw(seed, num, 3, 0, 3) == 0 ? FAN_ON : FAN_AUTO;
	snprintf(in, sizeof(in), "%d.%d", w->setpoint + draw(seed, num, 4,
	    -5, 5), draw(seed, num, 5, 0, 9));
	w->in = km_kept((float)atof(in));
	w->in_whole = roundoff((float)atof(in));
	minute = draw(seed, num, 6, 0, 1439);
	w->clock = minute / 60 * 100 + minute % 60;
}

void
world_id(int num, char *buf, size_t len)
{
	snprintf(buf, len, "t%0*d", fleet_width, num);
}

void
world_make(const struct fleet_options *o)
{
	char digits[16];

	count = o->count;
	shard = o->shard;
	shards = o->shards;
	fleet_width = snprintf(digits, sizeof(digits), "%d", count);
	if (fleet_width < 1)
		fleet_width = 1;
	fleet.clear();
	for (int num = shard; num <= count; num += shards) {
		struct thermostat t;
		memset(&t, 0, sizeof(t));
		t.num = num;
		seed_world(&t.w, o->seed, num, o->profile);
		t.disc_modern = -1;
		if (o->interval > 0)
			t.w.interval = o->interval;
		if (o->minutes > 0)
			t.w.minutes = o->minutes;
		t.sim_minutes = -1;
		t.last_pub = -1;
		t.dirty = true;
		fleet.push_back(t);
	}
}

int
world_find(const char *id, size_t len)
{
	long num = 0;

	/* Exactly t and the width's digits: t1 is not t00001. */
	if (len != (size_t)fleet_width + 1 || id[0] != 't')
		return -1;
	for (size_t i = 1; i < len; i++) {
		if (id[i] < '0' || id[i] > '9')
			return -1;
		num = num * 10 + (id[i] - '0');
	}
	if (num < 1 || num > count || (num - shard) % shards != 0)
		return -1;
	return (int)((num - shard) / shards);
}

int
world_tick(struct thermostat *t)
{
	if (t->w.paused)
		return -1;
	km_tick(&t->w);
	t->dirty = true;
	return t->w.interval;
}

/*
 * The lines of a control text, checked whole before any is applied, as
 * kelvo takes a batch: one bad command refuses them all.
 */
bool
world_batch(struct thermostat *t, const struct client_batch *b)
{
	std::vector<std::pair<std::string, std::string>> cmds;
	char why[KC_WHY_LEN];
	std::string text(b->text, b->len);
	size_t at = 0;
	int profile = t->w.profile;

	t->batch++;
	t->dirty = true;
	while (at < text.size() && cmds.size() < KC_BATCH_MAX) {
		size_t eol = text.find('\n', at);
		std::string line = text.substr(at, eol == std::string::npos ?
		    std::string::npos : eol - at);
		at = eol == std::string::npos ? text.size() : eol + 1;
		size_t sep = line.find("::");
		if (sep == std::string::npos)
			continue;
		cmds.emplace_back(line.substr(0, sep), line.substr(sep + 2));
		/* Each in the profile the commands before it leave. */
		const char *name = cmds.back().first.c_str();
		const char *value = cmds.back().second.c_str();
		if (!kc_command_check_as(profile, name, value, why,
		    sizeof(why))) {
			snprintf(t->error, sizeof(t->error), "%s", why);
			return false;
		}
		if (strcmp(name, "profile") == 0)
			profile = kc_profile_of(value);
		else if (strcmp(name, "reset") == 0)
			profile = KC_PROFILE_CLASSIC;
	}
	for (const auto &c : cmds)
		km_apply(&t->w, c.first.c_str(), c.second.c_str());
	t->error[0] = '\0';
	return true;
}

/*
 * A command as kelvo would judge it in the thermostat's profile: AUTO,
 * the band and the presets are a modern one's, and the deadband's rule
 * refuses what would leave 60..90; a refused one changes nothing.
 */
static bool
command_checked(struct thermostat *t, const char *name, const char *value,
    char *why, size_t len)
{
	if (!kc_command_check_as(t->w.profile, name, value, why, len))
		return false;
	km_apply(&t->w, name, value);
	return true;
}

/*
 * The band's ends and the presets go as a batch of one, as kelvo-mqtt
 * sends them to kelvo: counted, and a refusal left in the sim object.
 */
static bool
command_batch(struct thermostat *t, const char *name, const char *value,
    char *why, size_t len)
{
	struct client_batch b;

	client_batch_init(&b);
	client_batch_add(&b, name, value);
	if (world_batch(t, &b))
		return true;
	snprintf(why, len, "%s", t->error);
	return false;
}

bool
world_command(struct thermostat *t, int kind, int value, char *why,
    size_t len)
{
	char v[16];

	t->dirty = true;
	snprintf(v, sizeof(v), "%d", value);
	switch (kind) {
	case CMD_MODE:
		if (value == MODE_AUTO && t->w.profile != KC_PROFILE_MODERN) {
			snprintf(why, len, "AUTO is a mode of the modern "
			    "profile only");
			return false;
		}
		return command_checked(t, "ts_mode", kc_mode_name(value), why,
		    len);
	case CMD_FAN:
		return command_checked(t, "ts_fan", kc_fan_name(value), why,
		    len);
	case CMD_SETPOINT:
		return command_checked(t, "ts_temp", v, why, len);
	case CMD_LOW:
		return command_batch(t, "ts_temp_low", v, why, len);
	case CMD_HIGH:
		return command_batch(t, "ts_temp_high", v, why, len);
	case CMD_PRESET:
		return command_batch(t, "preset", kc_presets[value].name, why,
		    len);
	case CMD_PRESS:
		km_press(&t->w, value);
		return true;
	}
	return true;
}

std::string
world_state_json(const struct thermostat *t)
{
	char values[KC_ATTRS_MODERN][KC_VALUE_LEN];
	struct client_state st;

	client_state_of_values(values, km_values_all(&t->w, values), &st);
	return mqtt_state_json(&st).dump();
}

void
world_sim(const struct thermostat *t, struct client_sim *sim)
{
	memset(sim, 0, sizeof(*sim));
	sim->paused = t->w.paused;
	sim->pm_interval = t->w.interval;
	sim->pm_minutes = t->w.minutes;
	sim->faults = t->w.faults;
	sim->batch = t->batch;
	snprintf(sim->error, sizeof(sim->error), "%s", t->error);
}

std::string
world_sim_json(const struct thermostat *t)
{
	struct client_sim sim;

	world_sim(t, &sim);
	return client_sim_json(&sim).dump();
}

bool
world_silent(const struct thermostat *t)
{
	return (t->w.faults & KC_FAULT_SILENT) != 0;
}

bool
world_changed(const struct thermostat *t, struct fleet_shown *now)
{
	const struct km_world *w = &t->w;
	const struct fleet_shown *was = &t->shown;

	now->in = w->faults & KC_FAULT_SENSOR ? INT_MIN : w->in_whole;
	now->mode = w->mode;
	now->fan = w->fan;
	now->setpoint = w->setpoint;
	now->plant = kc_plant(w->mode, w->running ? SYS_ON : SYS_OFF, w->fan);
	now->online = !world_silent(t);
	/* A classic thermostat shows none of the modern values. */
	bool modern = w->profile == KC_PROFILE_MODERN;
	now->modern = modern;
	now->low = modern ? w->low : 0;
	now->high = modern ? w->high : 0;
	now->preset = modern ? w->preset : 0;
	now->humidity = modern && !(w->faults & KC_FAULT_SENSOR) ?
	    w->humidity_whole : INT_MIN;
	now->any = true;
	return !was->any || was->in != now->in || was->mode != now->mode ||
	    was->fan != now->fan || was->setpoint != now->setpoint ||
	    was->plant != now->plant || was->online != now->online ||
	    was->modern != now->modern || was->low != now->low ||
	    was->high != now->high || was->preset != now->preset ||
	    was->humidity != now->humidity;
}
