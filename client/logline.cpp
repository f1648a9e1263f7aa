/*
 * logline.cpp - event lines on standard error, floods summarised.
 *
 * A run is keyed on the format string, not on the finished text: a flood
 * rarely repeats itself word for word (each bad command quotes its own
 * payload), and it is the number of lines, not their wording, that buries
 * the log.  The first line of a run is printed as it is; later ones within
 * a second of the last line printed are only counted.  The count goes out
 * when a second has passed, when a line of another kind comes, or, should
 * the flood simply stop, from a small thread that wakes a second after the
 * last count was started, so a pending count is never held back for long.
 */
#include "logline.h"

#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#define LINE_MAX_LEN	512
#define RUN_MS		1000	/* one count line a second at most */

static pthread_mutex_t log_mutex = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t log_cond = PTHREAD_COND_INITIALIZER;
static char prog[32] = "kelvo";
static bool flusher;			/* the flushing thread runs */

/* The current run; guarded by log_mutex. */
static const char *run_fmt;		/* NULL: none */
static long long run_said;		/* ms of the last line printed */
static unsigned long run_held;		/* lines counted, not printed */

static long long
now_ms(void)
{
	struct timespec ts;

	clock_gettime(CLOCK_MONOTONIC, &ts);
	return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

static void
put(const char *text, size_t n)
{
	if (write(STDERR_FILENO, text, n) < 0)
		return;
}

/* The held count of the run as one line; log_mutex held. */
static void
say_held_locked(long long now)
{
	char line[96];
	int n;

	if (run_held == 0)
		return;
	n = snprintf(line, sizeof(line), "%s: %lu more like that in %.1f s\n",
	    prog, run_held, (double)(now - run_said) / 1000);
	put(line, (size_t)n < sizeof(line) ? (size_t)n : sizeof(line) - 1);
	run_held = 0;
	run_said = now;
}

/* Says a count that the run's end left waiting. */
static void *
flush_loop(void *arg)
{
	struct timespec due;
	long long now;

	(void)arg;
	pthread_mutex_lock(&log_mutex);
	for (;;) {
		if (run_held == 0) {
			pthread_cond_wait(&log_cond, &log_mutex);
			continue;
		}
		now = now_ms();
		if (now - run_said >= RUN_MS) {
			say_held_locked(now);
			continue;
		}
		clock_gettime(CLOCK_MONOTONIC, &due);
		due.tv_nsec += (long)(run_said + RUN_MS - now) * 1000000;
		due.tv_sec += due.tv_nsec / 1000000000;
		due.tv_nsec %= 1000000000;
		pthread_cond_timedwait(&log_cond, &log_mutex, &due);
	}
	return NULL;
}

void
logline_init(const char *name)
{
	pthread_condattr_t ca;

	snprintf(prog, sizeof(prog), "%s", name);
	pthread_condattr_init(&ca);
	pthread_condattr_setclock(&ca, CLOCK_MONOTONIC);
	pthread_cond_init(&log_cond, &ca);
	pthread_condattr_destroy(&ca);
}

void
logline(const char *fmt, ...)
{
	char line[LINE_MAX_LEN];
	long long now = now_ms();
	va_list ap;
	pthread_t tid;
	int n;

	pthread_mutex_lock(&log_mutex);
	if (fmt == run_fmt && now - run_said < RUN_MS) {
		run_held++;
		/* Started on the first count: most programs never need it. */
		if (!flusher && pthread_create(&tid, NULL, flush_loop,
		    NULL) == 0) {
			pthread_detach(tid);
			flusher = true;
		}
		pthread_cond_signal(&log_cond);
		pthread_mutex_unlock(&log_mutex);
		return;
	}
	/* A second is up, or another kind of line: the count goes first. */
	say_held_locked(now);
	n = snprintf(line, sizeof(line), "%s: ", prog);
	va_start(ap, fmt);
	vsnprintf(line + n, sizeof(line) - n - 1, fmt, ap);
	va_end(ap);
	n = (int)strlen(line);
	line[n++] = '\n';
	put(line, (size_t)n);
	run_fmt = fmt;
	run_said = now;
	pthread_mutex_unlock(&log_mutex);
}
