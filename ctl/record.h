/*
 * record.h - a session with the running kelvo written down as a scenario.
 */
#ifndef KELVO_CTL_RECORD_H
#define KELVO_CTL_RECORD_H

/*
 * Follows kelvo until SIGINT or SIGTERM, then writes the scenario of
 * what it saw to path: the start as it was, a step at each simulated
 * minute where something was set, pressed, sped up, paused or broken,
 * and a last step expecting every published value.  CTL_OK or CTL_FAIL.
 */
int	 record_session(const char *path);

#endif
