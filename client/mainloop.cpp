/*
 * mainloop.cpp - the signals a face's main thread takes, and its loop.
 *
 * A shell starts background jobs with SIGINT ignored, and an ignored
 * signal is never pending, so it could not be waited for: SIGINT and
 * SIGTERM go back to their default before they are blocked.  SIGPIPE is
 * ignored: a peer that went away shows as the error of a write.
 */
#include "mainloop.h"

#include <pthread.h>
#include <signal.h>
#include <string.h>

#include "logline.h"

#define WAKE_SIGNAL	SIGUSR1

static pthread_t main_thread;
static sigset_t taken;			/* the stop signals and the wake-up */

void
mainloop_signals(void)
{
	struct sigaction sa;

	memset(&sa, 0, sizeof(sa));
	sigemptyset(&sa.sa_mask);
	sa.sa_handler = SIG_IGN;
	sigaction(SIGPIPE, &sa, NULL);
	sa.sa_handler = SIG_DFL;
	sigaction(SIGINT, &sa, NULL);
	sigaction(SIGTERM, &sa, NULL);
	sigemptyset(&taken);
	sigaddset(&taken, SIGINT);
	sigaddset(&taken, SIGTERM);
	sigaddset(&taken, WAKE_SIGNAL);
	pthread_sigmask(SIG_BLOCK, &taken, NULL);
	main_thread = pthread_self();
}

void
mainloop_wake(void)
{
	pthread_kill(main_thread, WAKE_SIGNAL);
}

int
mainloop_run(int (*tick)(void *arg), void *arg)
{
	int ms = MAINLOOP_MS, sig;

	for (;;) {
		if (ms > MAINLOOP_MS)
			ms = MAINLOOP_MS;
		struct timespec ts = { ms / 1000, (long)(ms % 1000) * 1000000L };
		/* A timeout, or a wake-up: a look either way. */
		if ((sig = sigtimedwait(&taken, NULL, &ts)) > 0 &&
		    sig != WAKE_SIGNAL)
			return sig;
		logline_flush();
		if ((ms = tick(arg)) < 0)
			return 0;
	}
}
