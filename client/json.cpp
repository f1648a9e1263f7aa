/*
 * json.cpp - the state and the history as JSON.
 *
 * The state is built from the texts as published, not from the parsed
 * state, so that a value kelvo publishes and the parser does not know
 * (a mode a newer kelvo may have) still reaches the consumer; only the
 * type is checked.  The texts are printable ASCII by then, so the JSON
 * library never meets a byte it cannot encode.
 */
#include "json.h"

#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>

using nlohmann::json;

enum { AS_TEXT, AS_INT, AS_NUMBER };

static const int attr_type[KC_ATTRS] = {
	AS_TEXT, AS_TEXT, AS_INT, AS_NUMBER, AS_INT, AS_NUMBER, AS_INT,
	AS_TEXT, AS_TEXT, AS_TEXT,
};

static bool
rest_blank(const char *end)
{
	while (*end == ' ')
		end++;
	return *end == '\0';
}

static json
typed(const char *v, int type)
{
	char *end;

	if (*v == '\0')
		return nullptr;
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

	for (int i = 0; i < KC_ATTRS; i++)
		j[kc_attr_name[i]] = typed(st->text[i], attr_type[i]);
	return j;
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
