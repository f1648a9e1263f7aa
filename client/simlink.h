/*
 * simlink.h - following kelvo's sim object: the latest one, and a hook
 * called whenever it changes (paused or resumed, a new speed, a fault, a
 * batch taken), for faces that pass the simulation on live.
 *
 * One thread of its own sits in a "?wait" read of the object, so no face
 * polls it.  The hook runs on that thread, without the follower's lock.
 * A process has one follower; it lives until the process ends.
 */
#ifndef KELVO_CLIENT_SIMLINK_H
#define KELVO_CLIENT_SIMLINK_H

#include "control.h"

struct simlink_hooks {
	/* A sim object unlike the last one (the first one counts). */
	void	(*changed)(const struct client_sim *sim, void *arg);
	void	*arg;
};

/* Starts the follower's thread; -1 when it cannot be started. */
int	 simlink_start(const struct simlink_hooks *hooks);
/* The latest sim object seen; false when none has been yet. */
bool	 simlink_latest(struct client_sim *sim);

#endif
