/*
 * sim.h - kelvo-mqtt's simulation worker.  The topics, payloads and
 * configs are simtopics.h's; batches go through the client library's
 * sender, since a batch may take CONTROL_WAIT_MS and the network thread
 * that delivers commands must not wait that long.
 */
#ifndef KELVO_MQTT_SIM_H
#define KELVO_MQTT_SIM_H

#include "simtopics.h"

#define MQTT_SIM_QUEUE_MAX	16

/*
 * Where a batch's outcome goes: one line for standard error, and what
 * it is about (its topic and the kind of failure), for its summary.
 */
typedef void (*mqtt_sim_say)(const char *about, const char *line);
/* Starts the sender's worker; -1 when it cannot be started. */
int	 mqtt_sim_start(mqtt_sim_say say);
/* Queues a batch of the command on topic; false (said) when full. */
bool	 mqtt_sim_send(const struct client_batch *b, const char *topic);

#endif
