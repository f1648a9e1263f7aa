/*
 * ctl.h - kelvo-ctl's pieces: the commands that drive kelvo's simulation
 * from a shell, each one batch of the control object.
 */
#ifndef KELVO_CTL_H
#define KELVO_CTL_H

#include "control.h"

/* Exit statuses. */
#define CTL_OK		0
#define CTL_FAIL	1	/* refused, or kelvo is not running */
#define CTL_USAGE	2
#define CTL_UNKNOWN	3	/* no answer in time: it may yet be applied */

/*
 * Sends b and says what went wrong on standard error: CTL_OK when kelvo
 * applied it, CTL_UNKNOWN when it did not answer in time, CTL_FAIL
 * otherwise.  *sim gets kelvo's answer.
 */
int	 ctl_send(const struct client_batch *b, struct client_sim *sim);
/* kelvo-ctl play, record and press, given the arguments after it. */
int	 ctl_play(int argc, char **argv);
int	 ctl_record(int argc, char **argv);
int	 ctl_press(int argc, char **argv);
/* Prints the usage text to f. */
void	 ctl_usage(FILE *f);

#endif
