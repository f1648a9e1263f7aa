/*
 * sender.cpp - the worker that sends the faces' control batches.
 *
 * Plain pthread objects and a queue never freed: the worker still waits
 * on them while the process exits, which a destructor would hang on.
 *
 * A batch's CONTROL_WAIT_MS counts from when it was queued, not from when
 * the worker begins it: behind a kelvo that takes nothing (busy with a
 * long step, or stopped), the queued batches would otherwise time out
 * one after another, the last some half a minute on, long after its
 * caller gave up, and each would still be sent in its turn.
 */
#include "sender.h"

#include <pthread.h>
#include <stdio.h>
#include <time.h>

#include <deque>

#include "platform.h"

struct job {
	struct client_batch	 batch;
	sender_done		 done;
	void			*arg;
	long long		 due;		/* monotonic_ms() it must be taken by */
	bool			 in_turn;	/* due counts from its beginning */
};

static pthread_mutex_t job_mutex = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t job_cv;			/* queued, or one done */
static std::deque<struct job> &queue = *new std::deque<struct job>;
static int busy;				/* queued or under way */
static bool stopping;

static void *
worker(void *arg)
{
	struct client_sim sim;
	char why[320];

	(void)arg;
	for (;;) {
		pthread_mutex_lock(&job_mutex);
		while (queue.empty())
			pthread_cond_wait(&job_cv, &job_mutex);
		struct job j = queue.front();
		queue.pop_front();
		pthread_mutex_unlock(&job_mutex);
		long long left = j.in_turn ? CONTROL_WAIT_MS :
		    j.due - monotonic_ms();
		if (left > 0) {
			int result = client_control_send(&j.batch, (int)left,
			    &sim, why, sizeof(why));
			j.done(result, &sim, why, j.arg);
		} else {
			snprintf(why, sizeof(why), "not sent: the batches "
			    "ahead of it took the %d ms it had",
			    CONTROL_WAIT_MS);
			j.done(CONTROL_BUSY, NULL, why, j.arg);
		}
		pthread_mutex_lock(&job_mutex);
		busy--;
		pthread_cond_broadcast(&job_cv);
		pthread_mutex_unlock(&job_mutex);
	}
	return NULL;
}

static int started = -1;

static void
start_once(void)
{
	pthread_condattr_t ca;
	pthread_attr_t attr;
	pthread_t tid;

	pthread_condattr_init(&ca);
	pthread_condattr_setclock(&ca, CLOCK_MONOTONIC);
	pthread_cond_init(&job_cv, &ca);
	pthread_condattr_destroy(&ca);
	pthread_attr_init(&attr);
	pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
	started = pthread_create(&tid, &attr, worker, NULL) == 0 ? 0 : -1;
	pthread_attr_destroy(&attr);
}

/* A face's link and its own batches share the one worker. */
int
sender_start(void)
{
	static pthread_once_t once = PTHREAD_ONCE_INIT;

	pthread_once(&once, start_once);
	return started;
}

static int
push(const struct client_batch *b, sender_done done, void *arg, int max,
    void (*queued)(void *arg), bool in_turn)
{
	int n = 0;

	pthread_mutex_lock(&job_mutex);
	if (!stopping && busy < max) {
		if (queued != NULL)
			queued(arg);
		queue.push_back(job{ *b, done, arg,
		    monotonic_ms() + CONTROL_WAIT_MS, in_turn });
		n = ++busy;
		pthread_cond_broadcast(&job_cv);
	}
	pthread_mutex_unlock(&job_mutex);
	return n;
}

int
sender_push(const struct client_batch *b, sender_done done, void *arg,
    int max, void (*queued)(void *arg))
{
	return push(b, done, arg, max, queued, false);
}

int
sender_push_in_turn(const struct client_batch *b, sender_done done,
    void *arg, int max)
{
	return push(b, done, arg, max, NULL, true);
}

void
sender_drain(int ms)
{
	struct timespec due;

	deadline_in(&due, (unsigned int)(ms > 0 ? ms : 0));
	pthread_mutex_lock(&job_mutex);
	while (busy > 0 && pthread_cond_timedwait(&job_cv, &job_mutex,
	    &due) == 0)
		;
	pthread_mutex_unlock(&job_mutex);
}

void
sender_stop(int ms)
{
	std::deque<struct job> left;
	struct timespec due;

	pthread_mutex_lock(&job_mutex);
	stopping = true;
	left.swap(queue);
	pthread_mutex_unlock(&job_mutex);
	/* Those not begun are answered at once; only one can be under way. */
	for (const struct job &j : left)
		j.done(CONTROL_STOPPED, NULL, "stopping", j.arg);
	deadline_in(&due, (unsigned int)ms);
	pthread_mutex_lock(&job_mutex);
	busy -= (int)left.size();
	while (busy > 0 && pthread_cond_timedwait(&job_cv, &job_mutex,
	    &due) == 0)
		;
	pthread_mutex_unlock(&job_mutex);
}
