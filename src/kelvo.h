/*
 * kelvo.h - process control: the command line, the settings it fills in,
 * the objects the worker threads share, and the console trace.
 */
#ifndef KELVO_H
#define KELVO_H

#include <atomic>
#include <pthread.h>
#include <semaphore.h>

extern int Verbose;		/* trace level: 1 messages, 2 also every tick */
extern bool reInit;		/* -i: first store cycle starts from defaults */
extern char *argMode;		/* -m override, or null */
extern int argTemp;		/* -t override; negative when none */
extern char *argFan;		/* -f override, or null */
extern char *argProfile;	/* -p: classic or modern, or null */
extern bool argErr;		/* a bad option or value was seen */
extern char *vroot;		/* the root directory operand */
extern char xml_fname[256];	/* full path of the state document */
extern sem_t exit_semaphore;	/* posted by a worker leaving its loop */
extern pthread_barrier_t barrier; /* simulation start-up hand-off */
extern std::atomic<bool> exit_in_progress; /* workers leave their loops */
extern pthread_mutex_t xml_mutex; /* guards the state document and db */

/* Prints the help text and exits with status. */
[[noreturn]] void usage(int status);
/* Writes one finished trace line when Verbose is set. */
void Printf(const char *text);
/*
 * A worker thread (what) could not be started, error err: says so on
 * standard error and in the trace, and stops kelvo with status 1.
 */
void start_failed(const char *what, int err);

#endif
