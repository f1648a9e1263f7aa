/*
 * topics.cpp - topics, the discovery document and command payloads.
 *
 * Home Assistant reads the thermostat from the one state topic, which
 * carries the same JSON object as kelvo-web's /api/state, through Jinja
 * templates.  The templates are written for plain Jinja (no Home Assistant
 * filters), so anything that renders Jinja against the state reads it the
 * same way, and a null in the state renders as something Home Assistant
 * ignores or takes for unknown rather than as an error page.
 *
 * Commands come as Home Assistant sends them ("heat", "72.0") or as a
 * person types them ("HEAT", " 72 "): any case, blanks around ignored.
 */
#include "topics.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "client.h"
#include "json.h"

const char *const mqtt_command_topic[CMD_KINDS] = {
	"set/mode", "set/fan", "set/setpoint", "press", "set/temp_low",
	"set/temp_high", "set/preset",
};

/* Home Assistant's names are kelvo's in lower case. */
static const char MODE_TEMPLATE[] =
    "{{ (value_json.ts_mode or '') | lower }}";
static const char FAN_TEMPLATE[] =
    "{{ (value_json.ts_fan or '') | lower }}";
/* A null renders "None", which Home Assistant takes for unknown. */
static const char SETPOINT_TEMPLATE[] = "{{ value_json.ts_temp }}";
static const char CURRENT_TEMPLATE[] = "{{ value_json.td_temp_in_ }}";
/*
 * The state's plant is the contract's one rule, and its names are Home
 * Assistant's actions (off, heating, cooling, fan, idle); a null renders
 * "None", which tells Home Assistant the action is not known.
 */
static const char ACTION_TEMPLATE[] = "{{ value_json.plant }}";
/* The modern profile's: AUTO is Home Assistant's heat_cool. */
static const char MODERN_MODE_TEMPLATE[] =
    "{{ 'heat_cool' if value_json.ts_mode == 'AUTO' else "
    "(value_json.ts_mode or '') | lower }}";
static const char LOW_TEMPLATE[] = "{{ value_json.ts_temp_low }}";
static const char HIGH_TEMPLATE[] = "{{ value_json.ts_temp_high }}";
static const char PRESET_TEMPLATE[] = "{{ value_json.ts_preset or 'none' }}";
static const char HUMIDITY_TEMPLATE[] = "{{ value_json.td_humidity_ }}";

bool
mqtt_valid_id(const char *id)
{
	if (*id == '\0')
		return false;
	for (const char *p = id; *p; p++)
		if (!(*p >= 'a' && *p <= 'z') && !(*p >= 'A' && *p <= 'Z') &&
		    !(*p >= '0' && *p <= '9') && *p != '_' && *p != '-')
			return false;
	return true;
}

/*
 * Wildcards would make the subscriptions match other thermostats'
 * commands; an empty level ("a//b", a trailing '/') is legal MQTT but
 * never what was meant.
 */
bool
mqtt_valid_prefix(const char *prefix)
{
	size_t len = strlen(prefix);

	if (len == 0 || prefix[0] == '/' || prefix[len - 1] == '/' ||
	    strstr(prefix, "//") != NULL)
		return false;
	for (const char *p = prefix; *p; p++)
		if (*p == '+' || *p == '#' || (unsigned char)*p < ' ' ||
		    *p == 0x7f)
			return false;
	return true;
}

void
mqtt_make_topics(const std::string &prefix, const std::string &id,
    const std::string &dprefix, struct mqtt_topics *t)
{
	t->base = prefix + "/" + id;
	t->availability = t->base + "/availability";
	t->state = t->base + "/state";
	for (int k = 0; k < CMD_KINDS; k++)
		t->command[k] = t->base + "/" + mqtt_command_topic[k];
	t->discovery = dprefix + "/climate/" + id + "/config";
	t->ha_status = dprefix + "/status";
	t->bridge = t->base + "/bridge";
}

nlohmann::json
mqtt_discovery(const std::string &id, const struct mqtt_topics *t,
    const char *origin, bool modern)
{
	nlohmann::json d;
	std::string uid = "kelvo_" + id;

	d["name"] = "Thermostat";
	d["unique_id"] = uid;
	d["device"] = {
		{ "identifiers", { uid } },
		{ "name", "kelvo " + id },
		{ "manufacturer", "kelvo" },
		{ "model", "simulated thermostat" },
	};
	d["origin"] = { { "name", origin } };
	d["availability_topic"] = t->availability;
	d["payload_available"] = MQTT_ONLINE;
	d["payload_not_available"] = MQTT_OFFLINE;
	d["modes"] = { "off", "heat", "cool" };
	d["fan_modes"] = { "auto", "on" };
	d["mode_command_topic"] = t->command[CMD_MODE];
	d["mode_state_topic"] = t->state;
	d["mode_state_template"] = MODE_TEMPLATE;
	d["fan_mode_command_topic"] = t->command[CMD_FAN];
	d["fan_mode_state_topic"] = t->state;
	d["fan_mode_state_template"] = FAN_TEMPLATE;
	d["temperature_command_topic"] = t->command[CMD_SETPOINT];
	d["temperature_state_topic"] = t->state;
	d["temperature_state_template"] = SETPOINT_TEMPLATE;
	d["current_temperature_topic"] = t->state;
	d["current_temperature_template"] = CURRENT_TEMPLATE;
	d["action_topic"] = t->state;
	d["action_template"] = ACTION_TEMPLATE;
	d["min_temp"] = KC_SETPOINT_MIN;
	d["max_temp"] = KC_SETPOINT_MAX;
	d["temp_step"] = 1;
	d["temperature_unit"] = "F";
	d["precision"] = 0.1;
	if (!modern)
		return d;
	d["modes"] = { "off", "heat", "cool", "heat_cool" };
	d["mode_state_template"] = MODERN_MODE_TEMPLATE;
	d["temp_lo_cmd_t"] = t->command[CMD_LOW];
	d["temp_lo_stat_t"] = t->state;
	d["temp_lo_stat_tpl"] = LOW_TEMPLATE;
	d["temp_hi_cmd_t"] = t->command[CMD_HIGH];
	d["temp_hi_stat_t"] = t->state;
	d["temp_hi_stat_tpl"] = HIGH_TEMPLATE;
	d["pr_mode_cmd_t"] = t->command[CMD_PRESET];
	d["pr_mode_stat_t"] = t->state;
	d["pr_mode_val_tpl"] = PRESET_TEMPLATE;
	d["pr_modes"] = { "home", "away", "sleep" };
	d["curr_hum_t"] = t->state;
	d["curr_hum_tpl"] = HUMIDITY_TEMPLATE;
	return d;
}

nlohmann::json
mqtt_state_json(const struct client_state *st)
{
	nlohmann::json j = client_state_json(st);

	if (!st->modern)
		for (int i = KC_ATTRS; i < KC_ATTRS_MODERN; i++)
			j.erase(kc_attr_name[i]);
	return j;
}

int
mqtt_command_of(const struct mqtt_topics *t, const char *topic)
{
	for (int k = 0; k < CMD_KINDS; k++)
		if (t->command[k] == topic)
			return k;
	return -1;
}

static bool
blank(char c)
{
	return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool
mqtt_parse_command(int kind, const void *payload, int len, int *value,
    const char **why)
{
	static const char *const expected[CMD_KINDS] = {
		"HEAT, COOL or OFF", "ON or AUTO",
		"a number that rounds to " KC_STR(KC_SETPOINT_MIN) ".."
		    KC_STR(KC_SETPOINT_MAX), "mode, fan, up or down",
		"a number that rounds to " KC_STR(KC_SETPOINT_MIN) ".."
		    KC_STR(KC_SETPOINT_MAX),
		"a number that rounds to " KC_STR(KC_SETPOINT_MIN) ".."
		    KC_STR(KC_SETPOINT_MAX), "home, away or sleep",
	};
	char buf[MQTT_PAYLOAD_MAX + 1];
	const char *s;
	size_t n;

	*why = kind >= 0 && kind < CMD_KINDS ? expected[kind] : "no command";
	if (len < 0 || len > MQTT_PAYLOAD_MAX || kind < 0 || kind >= CMD_KINDS)
		return false;
	n = (size_t)len;
	if (n > 0)
		memcpy(buf, payload, n);
	buf[n] = '\0';
	if (strlen(buf) != n)		/* a NUL inside */
		return false;
	while (n > 0 && blank(buf[n - 1]))
		buf[--n] = '\0';
	for (s = buf; blank(*s); s++)
		;

	switch (kind) {
	case CMD_MODE:
		/* HEAT, heat_cool, auto: a classic kelvo refuses the last two. */
		*value = strcasecmp(s, "heat_cool") == 0 ? MODE_AUTO :
		    kc_mode_of_as(KC_PROFILE_MODERN, s);
		return *value != MODE_UNKNOWN;
	case CMD_PRESET:
		for (int p = PRESET_HOME; p < KC_PRESETS; p++)
			if (strcasecmp(s, kc_presets[p].name) == 0) {
				*value = p;
				return true;
			}
		return false;
	case CMD_FAN:
		*value = kc_fan_of(s);
		return *value != FAN_UNKNOWN;
	case CMD_SETPOINT:
	case CMD_LOW:
	case CMD_HIGH:
		/* Text, as Home Assistant sends it: "72.0", rounded. */
		return client_setpoint(nlohmann::json(s), SETPOINT_TEXT |
		    SETPOINT_ROUND, value);
	default:
		*value = client_button_of(s, true);
		return *value != 0;
	}
}

std::string
mqtt_quote(const void *payload, int len)
{
	const unsigned char *p = (const unsigned char *)payload;
	const int shown = 40;
	std::string q = "\"";
	char esc[8];

	for (int i = 0; i < len && i < shown; i++) {
		if (p[i] == '"' || p[i] == '\\') {
			q += '\\';
			q += (char)p[i];
		} else if (p[i] >= ' ' && p[i] < 0x7f)
			q += (char)p[i];
		else {
			snprintf(esc, sizeof(esc), "\\x%02x", p[i]);
			q += esc;
		}
	}
	q += '"';
	if (len > shown)
		q += "... (" + std::to_string(len) + " bytes)";
	return q;
}
