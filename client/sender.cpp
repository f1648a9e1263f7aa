/*
 * sender.cpp - the worker that sends the faces' control batches.
 *
 * Plain pthread objects and a queue never freed: the worker still waits
 * on them while the process exits, which a destructor would hang on.
 */
#include "sender.h"

#include <pthread.h>
#include <time.h>

#include <deque>

#include "platform.h"

struct job {
	struct client_batch	 batch;
	sender_done		 done;
	void			*arg;
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
		int result = client_control_send(&j.batch, CONTROL_WAIT_MS,
		    &sim, why, sizeof(why));
		j.done(result, &sim, why, j.arg);
		pthread_mutex_lock(&job_mutex);
		busy--;
		pthread_cond_broadcast(&job_cv);
		pthread_mutex_unlock(&job_mutex);
	}
	return NULL;
}

int
sender_start(void)
{
	pthread_condattr_t ca;
	pthread_attr_t attr;
	pthread_t tid;
	int rc;

	pthread_condattr_init(&ca);
	pthread_condattr_setclock(&ca, CLOCK_MONOTONIC);
	pthread_cond_init(&job_cv, &ca);
	pthread_condattr_destroy(&ca);
	pthread_attr_init(&attr);
	pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
	rc = pthread_create(&tid, &attr, worker, NULL);
	pthread_attr_destroy(&attr);
	return rc == 0 ? 0 : -1;
}

bool
sender_push(const struct client_batch *b, sender_done done, void *arg,
    int max, void (*queued)(void *arg))
{
	bool taken = false;

	pthread_mutex_lock(&job_mutex);
	if (!stopping && busy < max) {
		if (queued != NULL)
			queued(arg);
		queue.push_back(job{ *b, done, arg });
		busy++;
		pthread_cond_broadcast(&job_cv);
		taken = true;
	}
	pthread_mutex_unlock(&job_mutex);
	return taken;
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
