/*
 * press.cpp - kelvo-ctl press: the thermostat's buttons from a shell.
 *
 * Each press goes through the inputs object in the faces' turn and is
 * waited for until the outputs show it (press.h), so presses from a
 * script and from the faces at the same time are all taken, and a script
 * that reads the outputs after kelvo-ctl has returned reads the result.
 * A kelvo under the silent fault publishes nothing that could show a
 * press, so it is refused up front rather than timed out.
 */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "client.h"
#include "control.h"
#include "ctl.h"
#include "platform.h"
#include "press.h"

#define PRESSES_MAX	100	/* presses one command makes, at most */

/* How many presses an argument asks for; 0 when it is no count. */
static int
count_of(const char *s)
{
	if (*s == '\0' || strlen(s) > 3 || strspn(s, "0123456789") != strlen(s))
		return 0;
	int n = atoi(s);
	return n >= 1 && n <= PRESSES_MAX ? n : 0;
}

/* Whether kelvo runs and can show a press; says why not on stderr. */
static bool
can_press(void)
{
	struct client_sim sim;
	bool have_sim = client_sim_read(&sim);

	if (!have_sim || !client_alive(client_outputs_age(), &sim)) {
		fprintf(stderr, "kelvo-ctl: kelvo is not running%s\n",
		    have_sim ? "" : " (no sim object; is PPS_ROOT right?)");
		return false;
	}
	if (sim.faults & SIM_FAULT_SILENT) {
		fprintf(stderr, "kelvo-ctl: kelvo is silent (fault silent): no "
		    "press could be seen taken\n");
		return false;
	}
	return true;
}

int
ctl_press(int argc, char **argv)
{
	struct client_state st;
	struct press_watch w = { -1, &st, NULL, NULL };
	char why[256];
	int btn, n = 1, done = 0;

	if (argc < 1 || argc > 2 || (btn = client_button_of(argv[0], true)) == 0 ||
	    (argc == 2 && (n = count_of(argv[1])) == 0)) {
		fprintf(stderr, "kelvo-ctl: press takes mode, fan, up or down and "
		    "optionally a count from 1 to %d\n", PRESSES_MAX);
		ctl_usage(stderr);
		return CTL_USAGE;
	}
	if (!can_press())
		return CTL_FAIL;
	if ((w.fd = pps_open(KC_OUTPUTS "?wait", O_RDONLY)) < 0) {
		fprintf(stderr, "kelvo-ctl: kelvo is not running (no outputs "
		    "object)\n");
		return CTL_FAIL;
	}
	memset(&st, 0, sizeof(st));
	for (; done < n; done++)
		if (!client_press_shown(&w, btn, why, sizeof(why)))
			break;
	pps_close(w.fd);
	if (done < n) {
		fprintf(stderr, "kelvo-ctl: press %d of %d (%s): %s\n", done + 1,
		    n, client_button_name(btn), why);
		return CTL_FAIL;
	}
	return CTL_OK;
}
