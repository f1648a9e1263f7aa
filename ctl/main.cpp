/*
 * main.cpp - kelvo-ctl: pause, step, speed up, set and break kelvo's
 * simulated world from a shell or a test script.
 *
 * Every command is one batch of the control object, written whole and
 * waited for until kelvo has taken it, so a script that runs kelvo-ctl
 * and then reads the outputs object reads the result.  Arguments are
 * checked for their shape here (a number where a number goes); what the
 * values mean is kelvo's to judge, and its reason for a refusal is
 * printed as it gives it.
 */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "client.h"
#include "ctl.h"
#include "platform.h"

void
ctl_usage(FILE *f)
{
	fputs("usage: kelvo-ctl status\n"
	    "       kelvo-ctl pause | resume\n"
	    "       kelvo-ctl step [TICKS]\n"
	    "       kelvo-ctl speed MINUTES [MS]\n"
	    "       kelvo-ctl set NAME=VALUE...\n"
	    "       kelvo-ctl fault none|LIST\n"
	    "       kelvo-ctl reset\n"
	    "       kelvo-ctl press mode|fan|up|down [N]\n"
	    "       kelvo-ctl play [--paced] [--junit FILE] SCENARIO...\n"
	    "       kelvo-ctl record FILE\n"
	    "Drives the simulation of the kelvo whose PPS objects are under "
	    "$PPS_ROOT\n(default /pps).  NAME is a control command: state, "
	    "step, pm_interval,\npm_minutes, td_time_, td_temp_in_, "
	    "td_temp_out_, td_sys, ts_mode, ts_fan,\nts_temp, fault, reset, "
	    "profile; in the modern profile also ts_temp_low,\nts_temp_high, "
	    "preset, td_call, td_humidity_.  "
	    "LIST is a comma-separated set of plant, sensor, silent.\n"
	    "press presses a button N times (default 1, at most 100), applied "
	    "in order;\nkelvo answers once its outputs show them.  set ts_temp "
	    "takes " KC_STR(KC_SETPOINT_MIN) " to " KC_STR(KC_SETPOINT_MAX)
	    ",\nas the buttons do.\n"
	    "Exit status: 0 applied, 1 refused, not applied, applied but not "
	    "published or\nkelvo not running, 2 bad arguments, 3 unknown: kelvo "
	    "did not answer within 2 s\n(the batch may yet be taken).\n"
	    "play: 0 every expectation held, 1 one failed or kelvo is not "
	    "running,\n2 a file that is not a valid scenario.\n", f);
}

int
ctl_send(const struct client_batch *b, struct client_sim *sim)
{
	char why[320];

	switch (client_control_send(b, CONTROL_WAIT_MS, sim, why,
	    sizeof(why))) {
	case CONTROL_APPLIED:
		return CTL_OK;
	case CONTROL_REFUSED:
		fprintf(stderr, "kelvo-ctl: kelvo refused it: %s\n", why);
		return CTL_FAIL;
	case CONTROL_UNPUBLISHED:
		fprintf(stderr, "kelvo-ctl: %s\n", why);
		return CTL_FAIL;
	case CONTROL_TIMEOUT:
		fprintf(stderr, "kelvo-ctl: %s\n", why);
		return CTL_UNKNOWN;
	default:
		fprintf(stderr, "kelvo-ctl: %s\n", why);
		return CTL_FAIL;
	}
}

static int
bad(const char *what)
{
	fprintf(stderr, "kelvo-ctl: %s\n", what);
	ctl_usage(stderr);
	return CTL_USAGE;
}

/* A whole number as an argument: digits only, and not absurdly many. */
static bool
digits(const char *s)
{
	return *s != '\0' && strlen(s) <= 9 &&
	    strspn(s, "0123456789") == strlen(s);
}

/*
 * A value the command line gives for a control command, judged here by
 * kelvo's own check, so that what kelvo would refuse is refused in the
 * words that were typed ("speed: minutes 1..1440") rather than sent and
 * answered in the control object's ("pm_minutes: \"0\" is ...").
 */
static bool
judged(const char *cmd, const char *unit, const char *name, const char *value)
{
	char why[320];
	const char *range;

	if (kc_command_check(name, value, why, sizeof(why)))
		return true;
	range = strstr(why, " 1..");
	fprintf(stderr, "kelvo-ctl: %s: %s %s\n", cmd, unit,
	    range != nullptr ? range + 1 : why);
	return false;
}

/*
 * The set point is a target like the faces' and keeps to the buttons'
 * limits; refused here, before anything is sent.
 */
static bool
target_ok(const char *name, const char *value)
{
	char why[KC_WHY_LEN];

	if (strcmp(name, "ts_temp") != 0 ||
	    kc_target_check(name, value, why, sizeof(why)))
		return true;
	fprintf(stderr, "kelvo-ctl: set: %s\n", why);
	return false;
}

static int
status(void)
{
	char out[1024];
	struct client_sim sim;
	struct client_state st;
	bool have_sim, alive;
	int taken;

	alive = client_running_now(&sim, &have_sim);
	taken = client_outputs_read(&st);
	alive = alive && have_sim && taken >= 0;
	if (have_sim) {
		client_sim_format(&sim, out, sizeof(out));
		fputs(out, stdout);
	}
	if (taken > 0) {
		client_format(&st, out, sizeof(out));
		fputs(out, stdout);
	}
	printf("running %s\n", alive ? "yes" : "no");
	if (!alive) {
		fprintf(stderr, "kelvo-ctl: kelvo is not running%s\n",
		    have_sim ? "" : " (no sim object; is PPS_ROOT right?)");
		return CTL_FAIL;
	}
	return CTL_OK;
}

/* set NAME=VALUE...: each into b; -1, or the status to exit with. */
static int
set_args(int argc, char **argv, struct client_batch *b)
{
	char name[64];

	if (argc < 3)
		return bad("set takes NAME=VALUE arguments");
	for (int i = 2; i < argc; i++) {
		const char *eq = strchr(argv[i], '=');
		if (eq == nullptr || eq == argv[i] ||
		    (size_t)(eq - argv[i]) >= sizeof(name))
			return bad(("not NAME=VALUE: " +
			    std::string(argv[i])).c_str());
		snprintf(name, sizeof(name), "%.*s", (int)(eq - argv[i]),
		    argv[i]);
		if (!client_batch_add(b, name, eq + 1))
			return bad(("cannot be sent: " +
			    std::string(argv[i])).c_str());
		if (!target_ok(name, eq + 1))
			return CTL_USAGE;
	}
	return -1;
}

int
main(int argc, char **argv)
{
	struct client_batch b;
	struct client_sim sim;
	const char *cmd;
	int rc;

	if (argc < 2)
		return bad("no command given");
	cmd = argv[1];
	client_batch_init(&b);
	if (strcmp(cmd, "-h") == 0 || strcmp(cmd, "--help") == 0) {
		ctl_usage(stdout);
		return CTL_OK;
	}
	if (strcmp(cmd, "status") == 0) {
		if (argc != 2)
			return bad("status takes no arguments");
		return status();
	}
	if (strcmp(cmd, "play") == 0)
		return ctl_play(argc - 2, argv + 2);
	if (strcmp(cmd, "record") == 0)
		return ctl_record(argc - 2, argv + 2);
	if (strcmp(cmd, "press") == 0)
		return ctl_press(argc - 2, argv + 2);
	if (strcmp(cmd, "pause") == 0 || strcmp(cmd, "resume") == 0) {
		if (argc != 2)
			return bad("pause and resume take no arguments");
		client_batch_add(&b, "state", *cmd == 'p' ? KC_PAUSED :
		    KC_RUNNING);
	} else if (strcmp(cmd, "step") == 0) {
		if (argc > 3 || (argc == 3 && !digits(argv[2])))
			return bad("step takes one whole number of ticks");
		if (argc == 3 && !judged("step", "ticks", "step", argv[2]))
			return CTL_USAGE;
		client_batch_add(&b, "step", argc == 3 ? argv[2] : "1");
	} else if (strcmp(cmd, "speed") == 0) {
		if (argc < 3 || argc > 4 || !digits(argv[2]) ||
		    (argc == 4 && !digits(argv[3])))
			return bad("speed takes whole MINUTES per tick and "
			    "optionally whole MS between ticks");
		if (!judged("speed", "minutes", "pm_minutes", argv[2]) ||
		    (argc == 4 && !judged("speed", "ms", "pm_interval",
		    argv[3])))
			return CTL_USAGE;
		client_batch_add(&b, "pm_minutes", argv[2]);
		if (argc == 4)
			client_batch_add(&b, "pm_interval", argv[3]);
	} else if (strcmp(cmd, "set") == 0) {
		if ((rc = set_args(argc, argv, &b)) >= 0)
			return rc;
	} else if (strcmp(cmd, "fault") == 0) {
		if (argc != 3)
			return bad("fault takes none or a list of faults");
		if (!client_batch_add(&b, "fault",
		    strcmp(argv[2], "none") == 0 ? "" : argv[2]))
			return bad("cannot be sent as a fault list");
	} else if (strcmp(cmd, "reset") == 0) {
		if (argc != 2)
			return bad("reset takes no arguments");
		client_batch_add(&b, "reset", "defaults");
	} else {
		return bad(("unknown command: " + std::string(cmd)).c_str());
	}
	return ctl_send(&b, &sim);
}
