/*
 * json.cpp - the state and the history as JSON.
 *
 * The state is built from the texts as published, not from the parsed
 * state, so that a number passes on as kelvo wrote it; only the type is
 * checked.  The mode, fan and system state are enums to every consumer
 * (the API document says which texts), so a text that is none of kelvo's
 * own is null rather than a value a generated client cannot hold.  The
 * plant and the clock as the faces show it come from the contract's
 * rules, so every face agrees on them.  The texts are printable ASCII by
 * then, so the JSON library never meets a byte it cannot encode.
 */
#include "json.h"

#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

using nlohmann::json;

enum { AS_TEXT, AS_INT, AS_NUMBER, AS_MODE, AS_FAN, AS_SYS, AS_PRESET,
    AS_CALL };

/* The modern ones are null in a classic state, which has none of them. */
static const int attr_type[KC_ATTRS_MODERN] = {
	AS_MODE, AS_FAN, AS_INT, AS_NUMBER, AS_INT, AS_NUMBER, AS_INT,
	AS_SYS, AS_TEXT, AS_TEXT,
	AS_INT, AS_INT, AS_PRESET, AS_CALL, AS_NUMBER, AS_INT,
};

static bool
rest_blank(const char *end)
{
	while (*end == ' ')
		end++;
	return *end == '\0';
}

static json
typed(const char *v, int type, int profile)
{
	char *end;

	if (*v == '\0')
		return nullptr;
	/* Exactly kelvo's own text: the parser takes no other either. */
	if (type == AS_MODE)
		return strcmp(kc_mode_name(kc_mode_of_as(profile, v)), v) == 0 ?
		    json(v) : json();
	if (type == AS_PRESET)
		return kc_preset_of(v) >= 0 ? json(v) : json();
	if (type == AS_CALL)
		return kc_call_exact(v) != CALL_UNKNOWN ? json(v) : json();
	if (type == AS_FAN)
		return strcmp(kc_fan_name(kc_fan_of(v)), v) == 0 ? json(v) :
		    json();
	if (type == AS_SYS)
		return strcmp(kc_sys_name(kc_sys_of(v)), v) == 0 ? json(v) :
		    json();
	errno = 0;
	if (type == AS_INT) {
		long long n = strtoll(v, &end, 10);
		if (end == v || errno != 0 || !rest_blank(end))
			return nullptr;
		return n;
	}
	if (type == AS_NUMBER) {
		double d = strtod(v, &end);
		if (end == v || errno != 0 || !rest_blank(end) || !isfinite(d))
			return nullptr;
		return d;
	}
	return v;
}

json
client_state_json(const struct client_state *st)
{
	json j = json::object();

	int profile = st->modern ? KC_PROFILE_MODERN : KC_PROFILE_CLASSIC;

	for (int i = 0; i < KC_ATTRS_MODERN; i++)
		j[kc_attr_name[i]] = typed(st->text[i], attr_type[i], profile);
	const char *plant = kc_plant_name(client_plant(st));
	j["plant"] = plant != NULL ? json(plant) : json();
	char clock[16];
	j["clock"] = client_clock_display(st, clock, sizeof(clock)) ?
	    json(clock) : json();
	/* td_time_ read by the contract's rule, so no face reads it again. */
	j["minute"] = st->minute >= 0 ? json(st->minute) : json();
	return j;
}

void
client_state_of_values(const char (*values)[KC_VALUE_LEN], int attrs,
    struct client_state *st)
{
	char text[KC_ATTRS_MODERN * (KC_VALUE_LEN + 24)];
	size_t len = 0;
	int n;

	if (attrs < 0 || attrs > KC_ATTRS_MODERN)
		attrs = KC_ATTRS;
	for (int i = 0; i < attrs; i++) {
		n = snprintf(text + len, sizeof(text) - len, "%s::%s\n",
		    kc_attr_name[i], values[i]);
		if (n < 0 || (size_t)n >= sizeof(text) - len)
			break;
		len += (size_t)n;
	}
	client_parse(text, len, st);
}

json
client_history_json(const struct client_history *h)
{
	json a = json::array();
	char hhmm[8];

	for (int age = CLIENT_DAY - 1; age >= 0; age--) {
		const struct client_sample *s = client_history_at(h, age);
		if (s == NULL)
			continue;
		int minute = (h->now - age + CLIENT_DAY) % CLIENT_DAY;
		snprintf(hhmm, sizeof(hhmm), "%02d%02d", minute / 60,
		    minute % 60);
		json j = json::object();
		j["td_time_"] = hhmm;
		j["minute"] = minute;
		j["td_temp_in_"] = s->have & SAMPLE_IN ? json(s->in) : json();
		j["td_temp_out_"] = s->have & SAMPLE_OUT ? json(s->out) : json();
		j["ts_temp"] = s->have & SAMPLE_SETPOINT ?
		    json(s->setpoint) : json();
		j["td_sys"] = s->have & SAMPLE_SYS ?
		    json(s->sys == SYS_ON ? "ON" : "OFF") : json();
		a.push_back(std::move(j));
	}
	return a;
}
