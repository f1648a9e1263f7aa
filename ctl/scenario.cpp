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
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "client.h"
#include "ctl.h"
#include "platform.h"
#include "play.h"
#include "record.h"
#include "scenfile.h"

#define START_WAIT_MS	5000	/* for a kelvo started beside kelvo-ctl */
#define START_POLL_MS	100

static int
usage(const char *what, const char *text)
{
	fprintf(stderr, "kelvo-ctl: %s\n%s", what, text);
	return CTL_USAGE;
}

/* Whether the outputs hold a text: kelvo makes the object empty first. */
static bool
published(void)
{
	struct client_state st;

	return client_outputs_read(&st) > 0;
}

/*
 * Whether kelvo is running and has published, given a few seconds to
 * show it: a script that starts kelvo and plays at once would otherwise
 * lose the race with kelvo's first publication.
 */
static bool
running(void)
{
	struct client_sim sim;
	bool alive = false;

	for (int waited = 0; ; waited += START_POLL_MS) {
		alive = client_sim_read(&sim) &&
		    client_takes_batches(client_outputs_age(), &sim);
		if (alive && published())
			return true;
		if (waited >= START_WAIT_MS)
			break;
		delay(START_POLL_MS);
	}
	if (alive)
		fprintf(stderr, "kelvo-ctl: kelvo has published no outputs "
		    "(is it silent?)\n");
	else
		fprintf(stderr, "kelvo-ctl: kelvo is not running (is PPS_ROOT "
		    "right?)\n");
	return false;
}

/* Makes the directories above path that are missing, as mkdir -p. */
static void
make_parents(const char *path)
{
	std::string p(path);

	for (size_t at = p.find('/', 1); at != std::string::npos;
	    at = p.find('/', at + 1))
		if (mkdir(p.substr(0, at).c_str(), 0777) != 0 &&
		    errno != EEXIST)
			return;	/* open() says why */
}

/*
 * The report's file, opened before anything is played so that a path
 * that cannot be written stops the play before it touches kelvo.  It is
 * not emptied until the report is written; *made says it was created
 * here, to be removed when nothing is reported.
 */
static int
report_open(const char *path, bool *made)
{
	int fd;

	make_parents(path);
	*made = true;
	if ((fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
	    0666)) < 0 && errno == EEXIST) {
		*made = false;
		fd = open(path, O_WRONLY | O_CLOEXEC);
	}
	if (fd < 0)
		fprintf(stderr, "kelvo-ctl: cannot write %s: %s\n", path,
		    strerror(errno));
	return fd;
}

int
ctl_play(int argc, char **argv)
{
	static const char text[] = "usage: kelvo-ctl play [--paced] "
	    "[--junit FILE] SCENARIO...\n";
	std::vector<scenario> all;
	std::vector<suite> suites;
	const char *report = nullptr;
	int i, passed = 0, failed = 0, bad = 0, fd = -1;
	bool paced = false, ok, reached = false, made = false;
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
	if (report != nullptr && (fd = report_open(report, &made)) < 0)
		return CTL_USAGE;
	if (!running() || (!(ok = play_scenarios(all, paced, &suites, &passed,
	    &failed, &reached)) && !reached)) {
		/* Nothing played: no count and no report of nothing. */
		if (fd >= 0)
			close(fd);
		if (made)
			unlink(report);
		return CTL_FAIL;
	}
	printf("%d passed, %d failed\n", passed, failed);
	fflush(stdout);
	if (report != nullptr && !play_junit(fd, report, suites))
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
