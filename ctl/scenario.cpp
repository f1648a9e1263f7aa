/*
 * scenario.cpp - kelvo-ctl play and record: their arguments, what they
 * print and how they exit.
 *
 * play checks every file before it plays any, so a typo in the third
 * scenario does not leave kelvo half-way through the first two; a
 * scenario that does not hold is exit status 1 like any failed test, a
 * file that is no scenario is 2 like any usage error.  The work is in
 * play.cpp and record.cpp, the file in scenfile.cpp.
 */
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "client.h"
#include "ctl.h"
#include "play.h"
#include "record.h"
#include "scenfile.h"

static int
usage(const char *what, const char *text)
{
	fprintf(stderr, "kelvo-ctl: %s\n%s", what, text);
	return CTL_USAGE;
}

static bool
running(void)
{
	struct client_sim sim;

	if (client_sim_read(&sim) &&
	    client_takes_batches(client_outputs_age(), &sim))
		return true;
	fprintf(stderr, "kelvo-ctl: kelvo is not running (is PPS_ROOT "
	    "right?)\n");
	return false;
}

int
ctl_play(int argc, char **argv)
{
	static const char text[] = "usage: kelvo-ctl play [--paced] "
	    "[--junit FILE] SCENARIO...\n";
	std::vector<scenario> all;
	std::vector<suite> suites;
	const char *report = nullptr;
	int i, passed = 0, failed = 0, bad = 0;
	bool paced = false, ok;
	std::string err;

	for (i = 0; i < argc && argv[i][0] == '-' && argv[i][1] != '\0'; i++) {
		if (strcmp(argv[i], "--") == 0) {
			i++;
			break;
		} else if (strcmp(argv[i], "--paced") == 0) {
			paced = true;
		} else if (strcmp(argv[i], "--junit") == 0) {
			if (++i == argc)
				return usage("--junit needs a FILE", text);
			report = argv[i];
		} else {
			return usage(("unknown option: " +
			    std::string(argv[i])).c_str(), text);
		}
	}
	if (i == argc)
		return usage("no scenario given", text);
	for (; i < argc; i++) {
		struct scenario s;
		if (!scenario_load(argv[i], &s, &err)) {
			fprintf(stderr, "%s\n", err.c_str());
			bad++;
			continue;
		}
		all.push_back(s);
	}
	if (bad > 0)
		return CTL_USAGE;
	if (!running())
		return CTL_FAIL;
	ok = play_scenarios(all, paced, &suites, &passed, &failed);
	printf("%d passed, %d failed\n", passed, failed);
	fflush(stdout);
	if (report != nullptr && !play_junit(report, suites))
		ok = false;
	return ok && failed == 0 ? CTL_OK : CTL_FAIL;
}

int
ctl_record(int argc, char **argv)
{
	if (argc != 1 || argv[0][0] == '-' || argv[0][0] == '\0')
		return usage("record takes one FILE", "usage: kelvo-ctl record "
		    "FILE\n");
	if (!running())
		return CTL_FAIL;
	return record_session(argv[0]);
}
