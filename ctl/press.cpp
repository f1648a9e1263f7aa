/*
 * press.cpp - kelvo-ctl press: the thermostat's buttons from a shell.
 *
 * The presses go as press commands of the control object, as every
 * face's do: kelvo applies them in order under its own rule and answers
 * once the outputs show them, so a script that reads the outputs after
 * kelvo-ctl has returned reads the result, and a press that changes
 * nothing (up at 90) is answered like any other.  A batch takes at most
 * KC_BATCH_MAX commands, the id among them, so many presses go in a few
 * batches, one after another.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "client.h"
#include "control.h"
#include "ctl.h"

#define PRESSES_MAX	100	/* presses one command makes, at most */
#define PRESSES_BATCH	50	/* presses one batch carries */

/* How many presses an argument asks for; 0 when it is no count. */
static int
count_of(const char *s)
{
	if (*s == '\0' || strlen(s) > 3 || strspn(s, "0123456789") != strlen(s))
		return 0;
	int n = atoi(s);
	return n >= 1 && n <= PRESSES_MAX ? n : 0;
}

int
ctl_press(int argc, char **argv)
{
	struct client_batch b;
	struct client_sim sim;
	int btn, n = 1, rc;

	if (argc < 1 || argc > 2 || (btn = client_button_of(argv[0], true)) == 0 ||
	    (argc == 2 && (n = count_of(argv[1])) == 0)) {
		fprintf(stderr, "kelvo-ctl: press takes mode, fan, up or down and "
		    "optionally a count from 1 to %d\n", PRESSES_MAX);
		ctl_usage(stderr);
		return CTL_USAGE;
	}
	for (int done = 0; done < n; done += PRESSES_BATCH) {
		client_batch_init(&b);
		for (int i = done; i < n && i < done + PRESSES_BATCH; i++)
			client_batch_add(&b, "press", client_button_name(btn));
		if ((rc = ctl_send(&b, &sim)) != CTL_OK) {
			if (done > 0)
				fprintf(stderr, "kelvo-ctl: the first %d presses "
				    "were applied\n", done);
			return rc;
		}
	}
	return CTL_OK;
}
