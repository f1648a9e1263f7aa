/*
 * simjson.h - the simulation as JSON, the one shape every face that
 * speaks JSON hands out and takes (kelvo-web's /api/sim, kelvo-mqtt's
 * sim topics).
 *
 * Out: the sim object, typed, its faults as an array.  In: an object of
 * control commands by name, each value of the JSON type its command
 * takes (numbers as numbers, faults as an array of names), made into one
 * batch in the order given.  Only the types are judged here; what the
 * values mean is kelvo's to judge, so that its reason for a refusal is
 * the one a user reads.
 */
#ifndef KELVO_CLIENT_SIMJSON_H
#define KELVO_CLIENT_SIMJSON_H

#include <string>

#include <nlohmann/json.hpp>

#include "control.h"

/* The sim object: state, pm_interval, pm_minutes, fault, batch, error. */
nlohmann::json	client_sim_json(const struct client_sim *sim);
/*
 * The commands of object j into b (after client_batch_init); false with
 * *why when j is no object, names a command kelvo does not have, gives
 * a value of the wrong type, or gives none at all.
 */
bool	 client_batch_json(const nlohmann::ordered_json &j,
	    struct client_batch *b, std::string *why);

#endif
