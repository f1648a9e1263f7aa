/*
 * topics.h - what kelvo-mqtt says on the broker and what it takes from
 * it, without a connection: the topics under one thermostat's base, the
 * Home Assistant discovery document, and the reading of command payloads.
 *
 * A payload is untrusted bytes of any length; it is read as a command or
 * refused with a reason, never partly applied.  Everything here is a pure
 * function of its arguments, so main.cpp only moves messages.
 */
#ifndef KELVO_MQTT_TOPICS_H
#define KELVO_MQTT_TOPICS_H

#include <string>

#include <nlohmann/json.hpp>

#include "parse.h"

#define MQTT_PAYLOAD_MAX	64	/* longer than any command: refused */

#define MQTT_ONLINE		"online"
#define MQTT_OFFLINE		"offline"

/* The commands a thermostat takes, each on its own topic under BASE. */
enum { CMD_MODE, CMD_FAN, CMD_SETPOINT, CMD_PRESS, CMD_LOW, CMD_HIGH,
    CMD_PRESET, CMD_KINDS };
/* The modern profile's: sent as control commands, not driven by presses. */
#define CMD_FIRST_BATCH	CMD_LOW
extern const char *const mqtt_command_topic[CMD_KINDS];	/* "set/mode"... */

struct mqtt_topics {
	std::string	 base;			/* PREFIX/ID */
	std::string	 availability;
	std::string	 state;
	std::string	 command[CMD_KINDS];
	std::string	 discovery;		/* DPREFIX/climate/ID/config */
	std::string	 ha_status;		/* DPREFIX/status, HA's birth */
	std::string	 bridge;		/* BASE/bridge: "hello ID", "here ID" */
};

/* An id is letters, digits, '_' and '-': it becomes one topic level. */
bool	 mqtt_valid_id(const char *id);
/* A prefix is one or more topic levels without wildcards. */
bool	 mqtt_valid_prefix(const char *prefix);
void	 mqtt_make_topics(const std::string &prefix, const std::string &id,
	    const std::string &dprefix, struct mqtt_topics *t);

/*
 * The retained climate config for Home Assistant's discovery; origin
 * names the program that sends it.  A modern thermostat's has heat_cool,
 * the band's two set points, the presets and the humidity.
 */
nlohmann::json	mqtt_discovery(const std::string &id,
	    const struct mqtt_topics *t, const char *origin = "kelvo-mqtt",
	    bool modern = false);

/*
 * The state topic's JSON: a classic kelvo's as it always was, without
 * the modern profile's values, which it has none of.
 */
struct client_state;
nlohmann::json	mqtt_state_json(const struct client_state *st);

/* CMD_* of a topic, or -1 when it is none of the command topics. */
int	 mqtt_command_of(const struct mqtt_topics *t, const char *topic);
/*
 * Reads the payload of command kind: *value gets MODE_* (heat_cool is
 * MODE_AUTO), FAN_*, degrees, BTN_* or PRESET_*.  false, with *why saying what was expected, when it is not
 * one of the command's payloads.
 */
bool	 mqtt_parse_command(int kind, const void *payload, int len,
	    int *value, const char **why);
/* A payload fit for a trace line: printable, quoted and cut short. */
std::string	mqtt_quote(const void *payload, int len);

#endif
