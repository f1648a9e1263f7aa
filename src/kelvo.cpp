/*
 * kelvo.cpp - process entry: options, start-up order and shutdown.
 *
 * main does no work of its own.  It starts the simulation, waits at the
 * barrier until the simulation has written the command-line overrides and
 * read its parameters, then starts the publisher (which starts the input
 * reader) and sleeps on exit_semaphore.  SIGTERM and SIGINT post that
 * semaphore, so a stop from outside takes the same road as a worker
 * leaving its loop.  On the way out main waits for a control batch in
 * hand to be answered, then holds xml_mutex as it returns, so that no
 * store cycle is cut in half by the exit and no batch kelvo applied goes
 * unanswered.
 *
 * A kelvo without one of its threads is no thermostat: without the
 * simulation main would wait at the barrier for ever, without the
 * publisher or the reader it would run blind or deaf.  Each start is
 * checked, and one that fails stops kelvo with status 1 by the same road,
 * so the threads already running finish their store cycle first.
 */
#include "kelvo.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "platform.h"
#include "thermodyn.h"
#include "xml2pps.h"

int Verbose = 0;
bool reInit = false;
char *argMode = nullptr;
int argTemp = -1;
char *argFan = nullptr;
char *argProfile = nullptr;
bool argErr = false;
char *vroot = nullptr;
char xml_fname[256];
sem_t exit_semaphore;
pthread_barrier_t barrier;
std::atomic<bool> exit_in_progress(false);
pthread_mutex_t xml_mutex = PTHREAD_MUTEX_INITIALIZER;
static std::atomic<int> exit_status(0);

void
Printf(const char *text)
{
	size_t n;

	if (Verbose == 0)
		return;
	n = strlen(text);
	printf("%s%s", text, (n > 0 && text[n - 1] == '\n') ? "" : "\n");
	fflush(stdout);
}

void
start_failed(const char *what, int err)
{
	char line[160];

	snprintf(line, sizeof(line), "kelvo::main - cannot start %s: %s\n",
	    what, strerror(err));
	Printf(line);
	fprintf(stderr, "kelvo: cannot start %s: %s\n", what, strerror(err));
	exit_status = 1;
	sem_post(&exit_semaphore);
}

void
usage(int status)
{
	printf("\n\nUsage: kelvo\n\n");
	printf("\tusage [-v[v]] [-i] [-p <classic | modern>] "
	    "[-m <heat | off | cool | auto>] [-t <temp>] "
	    "[-f <on | auto> theRootDir\n\n");
	printf("\t\t-v verbose\n");
	printf("\t\t-vv extra verbose - constant simulation output\n");
	printf("\t\t-i default initial conditions (deletes xml file)\n");
	printf("\t\t-p set thermostat profile (modern: auto mode, band, "
	    "presets, humidity)\n");
	printf("\t\t-m set thermostat mode setting (auto with -p modern)\n");
	printf("\t\t-t set thermostat temp setting\n");
	printf("\t\t-f set thermostat fan setting\n");
	printf("\n");
	exit(status);
}

#ifndef KELVO_NO_MAIN

/* Fills in the settings from argv; 0, or the status usage() exits with. */
static int
parse_options(int argc, char **argv)
{
	int c;

	while ((c = getopt(argc, argv, "vim:t:f:p:")) != -1) {
		switch (c) {
		case 'v':
			Verbose++;
			break;
		case 'i':
			reInit = true;
			break;
		case 'm':
			argMode = optarg;
			if (strcmp(optarg, "COOL") != 0 &&
			    strcmp(optarg, "HEAT") != 0 &&
			    strcmp(optarg, "OFF") != 0 &&
			    strcmp(optarg, "AUTO") != 0)
				argErr = true;
			break;
		case 'p':
			argProfile = optarg;
			if (kc_profile_of(optarg) < 0)
				argErr = true;
			break;
		case 't':
			/* atoi's reading, without its overflow. */
			{
				long v = strtol(optarg, nullptr, 10);
				argTemp = v > 2147483647L ? 2147483647 :
				    v < -2147483647L - 1 ? -2147483647 - 1 :
				    (int)v;
			}
			break;
		case 'f':
			argFan = optarg;
			if (strcmp(optarg, "ON") != 0 &&
			    strcmp(optarg, "AUTO") != 0)
				argErr = true;
			break;
		default:
			argErr = true;
			break;
		}
	}
	/* AUTO is the modern profile's mode alone. */
	if (argMode != nullptr && strcmp(argMode, "AUTO") == 0 &&
	    (argProfile == nullptr ||
	    kc_profile_of(argProfile) != KC_PROFILE_MODERN))
		argErr = true;
	if (argErr || optind >= argc)
		return -1;
	vroot = argv[optind];
	if (access(vroot, X_OK) != 0) {
		fprintf(stderr, "kelvo: root directory %s: %s\n", vroot,
		    strerror(errno));
		return -2;
	}
	return 0;
}

/* Derives xml_fname from root; -1 when the path would not fit. */
static int
make_xml_fname(const char *root)
{
	size_t n = strlen(root);
	const char *sep = (n > 0 && root[n - 1] == '/') ? "" : "/";
	int len;

	len = snprintf(xml_fname, sizeof(xml_fname), "%s%skelvoweb.xml",
	    root, sep);
	if (len < 0 || (size_t)len >= sizeof(xml_fname)) {
		xml_fname[0] = '\0';
		return -1;
	}
	return 0;
}

static void
on_stop(int)
{
	int saved = errno;

	/*
	 * Set here, not only once main wakes: a worker about to take work
	 * it could not finish before the exit must see it at once.
	 */
	exit_in_progress = true;
	sem_post(&exit_semaphore);
	errno = saved;
}

int
main(int argc, char **argv)
{
	struct sigaction sa;
	sigset_t stops;
	pthread_t tid;
	int status, e;

	if ((status = parse_options(argc, argv)) != 0)
		usage(status);
	if (make_xml_fname(vroot) < 0) {
		fprintf(stderr, "kelvo: root directory name too long: the "
		    "state document path must stay under %zu characters\n",
		    sizeof(xml_fname));
		return 1;
	}

	if (sem_init(&exit_semaphore, 0, 0) != 0) {
		fprintf(stderr, "kelvo: cannot make the exit semaphore: %s\n",
		    strerror(errno));
		return 1;
	}
	if ((e = pthread_barrier_init(&barrier, nullptr, 2)) != 0) {
		fprintf(stderr, "kelvo: cannot make the start-up barrier: %s\n",
		    strerror(e));
		return 1;
	}

	memset(&sa, 0, sizeof(sa));
	sa.sa_handler = on_stop;
	sa.sa_flags = SA_RESTART;
	sigemptyset(&sa.sa_mask);
	sigaction(SIGTERM, &sa, nullptr);
	sigaction(SIGINT, &sa, nullptr);
	/* A closed standard output must not kill us in the middle of a save. */
	signal(SIGPIPE, SIG_IGN);

	/*
	 * The workers inherit a mask that blocks the stop signals, so they
	 * always reach this thread, waiting in sem_wait, and never cut a
	 * worker's pause or file call short.  One that comes while they are
	 * blocked here waits until the mask is lifted.
	 */
	sigemptyset(&stops);
	sigaddset(&stops, SIGTERM);
	sigaddset(&stops, SIGINT);
	pthread_sigmask(SIG_BLOCK, &stops, nullptr);

	/*
	 * Never joined, so detached: their ends free what they held.  No
	 * simulation, nobody else runs yet: nothing to finish.
	 */
	if ((e = pthread_create(&tid, nullptr, thermodyn, nullptr)) != 0) {
		start_failed("the simulation", e);
		return 1;
	}
	pthread_detach(tid);
	pthread_barrier_wait(&barrier);
	if ((e = pthread_create(&tid, nullptr, xml2pps, nullptr)) != 0)
		start_failed("the publisher", e);
	else
		pthread_detach(tid);
	pthread_sigmask(SIG_UNBLOCK, &stops, nullptr);

	while (sem_wait(&exit_semaphore) < 0 && errno == EINTR)
		;

	exit_in_progress = true;
	delay(250);
	/* A batch taken is answered before kelvo goes. */
	control_drain();
	/* Held until the process is gone: no store cycle starts or tears. */
	pthread_mutex_lock(&xml_mutex);
	Printf("kelvo::main - exit\n");
	return exit_status;
}

#endif
