/*
 * simtopics.h - the simulation on the broker: BASE/sim (retained, the JSON
 * of kelvo-web's /api/sim), the commands BASE/sim/set, BASE/sim/step and
 * BASE/sim/reset, and Home Assistant's configs for a switch "Paused", a
 * select "Fault", a number "Speed" and a button "Step one hour" (named
 * for what it steps at the speed), all on the thermostat's device.
 *
 * Everything here is pure: reading payloads into control batches and
 * making configs, for every face that puts a thermostat on a broker.
 */
#ifndef KELVO_CLIENT_SIMTOPICS_H
#define KELVO_CLIENT_SIMTOPICS_H

#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "control.h"
#include "topics.h"

#define MQTT_SIM_PAYLOAD_MAX	4096	/* a batch's JSON, as kelvo-web's body */

enum { SIMCMD_SET, SIMCMD_STEP, SIMCMD_RESET, SIMCMD_KINDS };

struct mqtt_sim_topics {
	std::string	 state;			/* BASE/sim */
	std::string	 command[SIMCMD_KINDS];	/* BASE/sim/set, step, reset */
};

void	 mqtt_sim_topics(const struct mqtt_topics *t,
	    struct mqtt_sim_topics *st);
/* SIMCMD_* of a topic, -1 when it is none of them. */
int	 mqtt_sim_command_of(const struct mqtt_sim_topics *st,
	    const char *topic);
/* The batch a payload asks for; false with *why when it is none. */
bool	 mqtt_sim_parse(int kind, const void *payload, int len,
	    struct client_batch *b, std::string *why);
/*
 * The discovery configs of the simulation's entities, as (topic, config)
 * pairs; sim (NULL when unknown) gives the hour button's ticks and name.
 */
std::vector<std::pair<std::string, std::string>> mqtt_sim_discovery(
	    const std::string &id, const std::string &dprefix,
	    const struct mqtt_topics *t, const struct mqtt_sim_topics *st,
	    const struct client_sim *sim);

#endif
