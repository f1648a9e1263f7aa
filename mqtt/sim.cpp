/*
 * sim.cpp - the simulation's worker: batches read from the sim topics
 * (simtopics.h) go to kelvo through the client library's sender, and a
 * batch that did not apply is said.
 */
#include "sim.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "sender.h"

/* The worker and its queue. */
static mqtt_sim_say say;

/* On the sender's worker: a batch that did not apply is said. */
static void
answered(int result, const struct client_sim *sim, const char *why,
    void *arg)
{
	char *topic = (char *)arg, line[512], about[256];
	const char *kind;

	(void)sim;
	switch (result) {
	case CONTROL_APPLIED:
		kind = NULL;
		break;
	case CONTROL_REFUSED:
		kind = "refused";
		snprintf(line, sizeof(line), "%s: kelvo refused it: %s", topic,
		    why);
		break;
	case CONTROL_DOWN:
		kind = "down";
		snprintf(line, sizeof(line), "%s: dropped: %s", topic, why);
		break;
	case CONTROL_TIMEOUT:		/* why says nobody knows yet */
		kind = "unknown";
		snprintf(line, sizeof(line), "%s: %s", topic, why);
		break;
	case CONTROL_UNPUBLISHED:	/* why says it was applied */
		kind = "unpublished";
		snprintf(line, sizeof(line), "%s: %s", topic, why);
		break;
	default:			/* nothing was written */
		kind = "not sent";
		snprintf(line, sizeof(line), "%s: not sent: %s", topic, why);
		break;
	}
	/* Each kind of failure on each topic is a kind of line of its own. */
	if (kind != NULL) {
		snprintf(about, sizeof(about), "%s %s", topic, kind);
		say(about, line);
	}
	free(topic);
}

int
mqtt_sim_start(mqtt_sim_say s)
{
	say = s;
	return sender_start();
}

bool
mqtt_sim_send(const struct client_batch *b, const char *topic)
{
	char line[512], about[256], *t = strdup(topic);

	if (t != NULL && sender_push(b, answered, t, MQTT_SIM_QUEUE_MAX,
	    NULL))
		return true;
	free(t);
	snprintf(line, sizeof(line), "%s: dropped: %d batches are waiting "
	    "already", topic, MQTT_SIM_QUEUE_MAX);
	snprintf(about, sizeof(about), "%s full", topic);
	say(about, line);
	return false;
}
