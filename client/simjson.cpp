/*
 * simjson.cpp - the sim object out as JSON, control commands in.
 *
 * Body objects are read as ordered_json so that the commands go out in
 * the order the sender wrote them: kelvo applies a batch in order, and
 * "reset" before or after a setting is not the same batch.
 */
#include "simjson.h"

#include <math.h>
#include <stdio.h>
#include <string.h>

using nlohmann::json;
using nlohmann::ordered_json;

/* What each KC_JSON_* type is called in an error. */
static const char *const type_name[] = {
	"a string", "a whole number", "a number",
	"an array of fault names (plant, sensor, silent)",
	"an array of one or more buttons (mode, fan, up, down)",
};

/* One press:: line per button of the array v, in its order. */
static bool
add_presses(const ordered_json &v, struct client_batch *b)
{
	if (!v.is_array() || v.empty())
		return false;
	for (const auto &btn : v)
		if (!btn.is_string() || btn.get_ref<const std::string &>()
		    .find('\0') != std::string::npos ||
		    !client_batch_add(b, "press",
		    btn.get_ref<const std::string &>().c_str()))
			return false;
	return true;
}

json
client_sim_json(const struct client_sim *sim)
{
	json faults = json::array();

	for (int i = 0; i < KC_FAULTS; i++)
		if (sim->faults & (1 << i))
			faults.push_back(kc_fault_name[i]);
	return json{
		{ "state", sim->paused ? "paused" : "running" },
		{ "pm_interval", sim->pm_interval > 0 ? json(sim->pm_interval) :
		    json() },
		{ "pm_minutes", sim->pm_minutes > 0 ? json(sim->pm_minutes) :
		    json() },
		{ "fault", faults },
		{ "batch", sim->batch >= 0 ? json(sim->batch) : json() },
		{ "error", sim->error },
		/* What the page's hour and day buttons step, by one rule. */
		{ "hour_ticks", kc_ticks_for(60, sim->pm_minutes) },
		{ "day_ticks", kc_ticks_for(24 * 60, sim->pm_minutes) },
	};
}

/* The value's text as kelvo reads it; false when it is of another type. */
static bool
value_text(const ordered_json &v, int type, std::string *out)
{
	char buf[32];

	switch (type) {
	case KC_JSON_TEXT:
		if (!v.is_string())
			return false;
		*out = v.get<std::string>();
		return true;
	case KC_JSON_WHOLE:
		if (v.is_number_unsigned()) {
			snprintf(buf, sizeof(buf), "%llu",
			    (unsigned long long)v.get<uint64_t>());
		} else if (v.is_number_integer()) {
			snprintf(buf, sizeof(buf), "%lld",
			    (long long)v.get<int64_t>());
		} else if (v.is_number_float()) {
			/* 720.0 is whole; past 1e15 a double is no count. */
			double d = v.get<double>();
			if (d != floor(d) || fabs(d) > 1e15)
				return false;
			snprintf(buf, sizeof(buf), "%.0f", d);
		} else
			return false;
		*out = buf;
		return true;
	case KC_JSON_NUMBER:
		if (!v.is_number())
			return false;
		/* The shortest text that reads back as the same number. */
		*out = v.dump();
		return true;
	default:
		if (!v.is_array())
			return false;
		out->clear();
		for (const auto &f : v) {
			/* A comma inside one name would smuggle in a list. */
			if (!f.is_string() || f.get_ref<const std::string &>()
			    .find(',') != std::string::npos)
				return false;
			if (!out->empty())
				*out += ',';
			*out += f.get<std::string>();
		}
		return true;
	}
}

bool
client_batch_json(const ordered_json &j, struct client_batch *b,
    std::string *why)
{
	std::string text;

	if (!j.is_object()) {
		*why = "the body must be a JSON object of control commands";
		return false;
	}
	if (j.empty()) {
		*why = "no control command given";
		return false;
	}
	for (const auto &item : j.items()) {
		const std::string &name = item.key();
		const struct kc_command *c = kc_command_of(name.c_str());
		int type = c != nullptr ? c->json : -1;
		if (type < 0 || type == KC_JSON_NONE) {
			*why = "\"" + name.substr(0, 40) + "\" is no control "
			    "command";
			return false;
		}
		if (type == KC_JSON_BUTTONS) {
			if (!add_presses(item.value(), b)) {
				*why = name + " must be " + type_name[type];
				return false;
			}
			continue;
		}
		if (!value_text(item.value(), type, &text)) {
			*why = name + " must be " + type_name[type];
			return false;
		}
		if (text.find('\0') != std::string::npos ||
		    !client_batch_add(b, name.c_str(), text.c_str())) {
			*why = name + ": the value holds a line break or a "
			    "control character, or the batch is too long";
			return false;
		}
	}
	return true;
}
