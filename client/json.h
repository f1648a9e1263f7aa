/*
 * json.h - kelvo's state and history as JSON, the one shape every face
 * that speaks JSON hands out (kelvo-web's API, kelvo-mqtt's state topic).
 *
 * The state has the ten published attributes under their own names: the
 * texts as strings, the whole temperatures and the set point as integers,
 * the precise temperatures as numbers; a value that is missing or does
 * not read as its type is null, so a consumer never gets a wrong type.
 * The mode, fan and td_sys are kelvo's texts or null.  Two more fields
 * follow: "plant", the plant's action by the contract's rule ("heating",
 * "cooling", "fan", "idle", "off", null when a value it needs is not
 * known), and "clock", the simulated time as the faces show it
 * ("12:00 pm", from td_time_; null when that is not known), beside the
 * historic td_time that peers may rely on.
 */
#ifndef KELVO_CLIENT_JSON_H
#define KELVO_CLIENT_JSON_H

#include <nlohmann/json.hpp>

#include "client.h"

nlohmann::json	client_state_json(const struct client_state *st);
/*
 * The same state of the published attribute texts, in the contract's
 * order (a simulation run in the face itself): read as kelvo's text
 * would be, so the JSON cannot differ from a running kelvo's.  attrs
 * is how many there are: KC_ATTRS, or KC_ATTRS_MODERN for a modern one.
 */
void	 client_state_of_values(const char (*values)[KC_VALUE_LEN],
	    int attrs, struct client_state *st);
/* One object per simulated minute of the last day, oldest first. */
nlohmann::json	client_history_json(const struct client_history *h);

#endif
