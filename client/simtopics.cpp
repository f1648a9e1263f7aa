/*
 * simtopics.cpp - the simulation's topics, payloads and discovery.
 *
 * BASE/sim/set takes the body of kelvo-web's PUT /api/sim and is read by
 * the same code (client_batch_json), so both faces take the same
 * commands.  Home Assistant's entities write JSON to BASE/sim/set too:
 * the switch and the select with fixed payloads or a plain Jinja
 * command_template, the number through its command_template.  The hour
 * button can only send a fixed payload, and an hour is a number of ticks
 * that depends on the speed, so its config is made again (and published
 * again by the face) whenever the speed changes.
 */
#include "simtopics.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "contract.h"
#include "simjson.h"

using nlohmann::json;
using nlohmann::ordered_json;

void
mqtt_sim_topics(const struct mqtt_topics *t, struct mqtt_sim_topics *st)
{
	st->state = t->base + "/sim";
	st->command[SIMCMD_SET] = st->state + "/set";
	st->command[SIMCMD_STEP] = st->state + "/step";
	st->command[SIMCMD_RESET] = st->state + "/reset";
}

int
mqtt_sim_command_of(const struct mqtt_sim_topics *st, const char *topic)
{
	for (int k = 0; k < SIMCMD_KINDS; k++)
		if (st->command[k] == topic)
			return k;
	return -1;
}

bool
mqtt_sim_parse(int kind, const void *payload, int len,
    struct client_batch *b, std::string *why)
{
	const char *p = (const char *)payload;
	ordered_json j;

	client_batch_init(b);
	if (len < 0 || len > MQTT_SIM_PAYLOAD_MAX) {
		*why = "longer than 4096 bytes";
		return false;
	}
	std::string s(p != NULL ? p : "", p != NULL ? (size_t)len : 0);
	switch (kind) {
	case SIMCMD_RESET:
		return client_batch_add(b, "reset", "defaults");
	case SIMCMD_STEP: {
		/* A whole number of ticks, blanks around it allowed. */
		size_t a = s.find_first_not_of(" \t\r\n");
		size_t e = s.find_last_not_of(" \t\r\n");
		std::string n = a == std::string::npos ? "" :
		    s.substr(a, e - a + 1);
		if (n.empty() || n.size() > 9 ||
		    n.find_first_not_of("0123456789") != std::string::npos) {
			*why = "expected a whole number of ticks";
			return false;
		}
		return client_batch_add(b, "step", n.c_str());
	}
	default:
		j = ordered_json::parse(s, nullptr, false);
		if (j.is_discarded()) {
			*why = "not JSON (expected an object of control "
			    "commands)";
			return false;
		}
		return client_batch_json(j, b, why);
	}
}

/* The select's option of the sim object: the first fault, or none. */
static const char FAULT_TEMPLATE[] =
    "{{ value_json.fault[0] if value_json.fault else 'none' }}";
static const char FAULT_COMMAND[] =
    "{% if value == 'none' %}{\"fault\": []}"
    "{% else %}{\"fault\": [\"{{ value }}\"]}{% endif %}";
/* Home Assistant sends a number as a float ("10.0"). */
static const char SPEED_COMMAND[] =
    "{\"pm_minutes\": {{ value | int }}}";

/*
 * The hour button: the whole number of ticks nearest to an hour (at
 * least one), named for what it steps when that is not an hour: at 7
 * minutes a tick, 9 ticks are "Step 63 minutes"; at 120, one is "Step 2
 * hours".  pm_minutes unknown (<= 0): kelvo's default of 2.
 */
static void
hour_button(int pm_minutes, int *ticks, std::string *name)
{
	int m = pm_minutes > 0 ? pm_minutes : atoi(kc_default("pm_minutes"));

	*ticks = kc_ticks_for(60, m);
	m *= *ticks;
	if (m == 60)
		*name = "Step one hour";
	else if (m % 60 == 0)
		*name = "Step " + std::to_string(m / 60) + " hours";
	else
		*name = "Step " + std::to_string(m) + " minutes";
}

std::vector<std::pair<std::string, std::string>>
mqtt_sim_discovery(const std::string &id, const std::string &dprefix,
    const struct mqtt_topics *t, const struct mqtt_sim_topics *st,
    const struct client_sim *sim)
{
	std::vector<std::pair<std::string, std::string>> out;
	std::string uid = "kelvo_" + id;
	json common = {
		{ "device", { { "identifiers", { uid } } } },
		{ "availability_topic", t->availability },
		{ "payload_available", MQTT_ONLINE },
		{ "payload_not_available", MQTT_OFFLINE },
	};
	auto add = [&](const char *component, const char *object,
	    const char *name, json d) {
		d.update(common);
		d["name"] = name;
		d["unique_id"] = uid + "_" + object;
		out.emplace_back(dprefix + "/" + component + "/" + id + "/" +
		    object + "/config", d.dump());
	};

	add("switch", "paused", "Paused", {
		{ "state_topic", st->state },
		{ "value_template", "{{ value_json.state }}" },
		{ "state_on", "paused" },
		{ "state_off", "running" },
		{ "command_topic", st->command[SIMCMD_SET] },
		{ "payload_on", "{\"state\": \"paused\"}" },
		{ "payload_off", "{\"state\": \"running\"}" },
	});
	add("select", "fault", "Fault", {
		{ "options", { "none", "plant", "sensor", "silent" } },
		{ "state_topic", st->state },
		{ "value_template", FAULT_TEMPLATE },
		{ "command_topic", st->command[SIMCMD_SET] },
		{ "command_template", FAULT_COMMAND },
	});
	add("number", "speed", "Speed", {
		{ "min", 1 }, { "max", KC_MINUTES_MAX }, { "step", 1 },
		{ "mode", "box" },
		{ "unit_of_measurement", "min" },
		{ "state_topic", st->state },
		{ "value_template", "{{ value_json.pm_minutes }}" },
		{ "command_topic", st->command[SIMCMD_SET] },
		{ "command_template", SPEED_COMMAND },
	});
	int ticks;
	std::string step_name;
	hour_button(sim != NULL ? sim->pm_minutes : -1, &ticks, &step_name);
	add("button", "step_hour", step_name.c_str(), {
		{ "command_topic", st->command[SIMCMD_STEP] },
		{ "payload_press", std::to_string(ticks) },
	});
	return out;
}
