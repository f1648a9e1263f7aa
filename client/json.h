/*
 * json.h - kelvo's state and history as JSON, the one shape every face
 * that speaks JSON hands out (kelvo-web's API, kelvo-mqtt's state topic).
 *
 * The state has the ten published attributes under their own names: the
 * texts as strings, the whole temperatures and the set point as integers,
 * the precise temperatures as numbers; a value that is missing or does
 * not read as its type is null, so a consumer never gets a wrong type.
 */
#ifndef KELVO_CLIENT_JSON_H
#define KELVO_CLIENT_JSON_H

#include <nlohmann/json.hpp>

#include "client.h"

nlohmann::json	client_state_json(const struct client_state *st);
/* One object per simulated minute of the last day, oldest first. */
nlohmann::json	client_history_json(const struct client_history *h);

#endif
