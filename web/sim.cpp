/*
 * sim.cpp - the simulation's batches, sent by a worker thread while
 * their connections are suspended.
 *
 * A job is suspended before it is queued, so the worker's resume always
 * finds it suspended (libmicrohttpd takes a resume made before the
 * handler has returned as meant for the suspension it just asked for).
 * The worker takes one job at a time: client_control_send lets only one
 * sender at a time have the control object anyway.  Stopping answers
 * the jobs still queued with 503 and waits for the one under way, since
 * the server must not stop with a connection suspended, nor be resumed
 * into after it has.
 */
#include "sim.h"

#include <pthread.h>
#include <time.h>

#include <deque>
#include <new>
#include <string>

#include <microhttpd.h>

#include "route.h"
#include "simjson.h"

using nlohmann::json;

struct websim_job {
	struct MHD_Connection	*conn;
	struct client_batch	 batch;
	bool			 done;
	unsigned		 status;
	json			 answer;
};

/*
 * Plain pthread objects, and a queue never freed: the worker still waits
 * on them while the process exits, which a destructor would hang on.
 */
static pthread_mutex_t job_mutex = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t job_cv = PTHREAD_COND_INITIALIZER; /* queued, done */
static std::deque<struct websim_job *> &queue =	/* guarded by job_mutex */
    *new std::deque<struct websim_job *>;
static int busy;				/* jobs queued or under way */
static bool stopping;

void
websim_job_free::operator()(struct websim_job *job) const
{
	delete job;
}

static json
error_of(const std::string &why)
{
	return json{ { "error", why } };
}

static void
run(struct websim_job *job)
{
	struct client_sim sim;
	char why[320];

	switch (client_control_send(&job->batch, CONTROL_WAIT_MS, &sim, why,
	    sizeof(why))) {
	case CONTROL_APPLIED:
		job->status = MHD_HTTP_OK;
		job->answer = client_sim_json(&sim);
		break;
	case CONTROL_REFUSED:
		job->status = MHD_HTTP_BAD_REQUEST;
		job->answer = error_of(why);
		break;
	case CONTROL_DOWN:
		job->status = MHD_HTTP_SERVICE_UNAVAILABLE;
		job->answer = error_of(why);
		break;
	case CONTROL_TIMEOUT:
		job->status = MHD_HTTP_GATEWAY_TIMEOUT;
		job->answer = error_of(why);
		break;
	default:
		job->status = MHD_HTTP_INTERNAL_SERVER_ERROR;
		job->answer = error_of(why);
		break;
	}
}

static void *
worker(void *arg)
{
	(void)arg;
	for (;;) {
		struct websim_job *job;

		pthread_mutex_lock(&job_mutex);
		while (queue.empty())
			pthread_cond_wait(&job_cv, &job_mutex);
		job = queue.front();
		queue.pop_front();
		pthread_mutex_unlock(&job_mutex);
		run(job);
		pthread_mutex_lock(&job_mutex);
		job->done = true;
		pthread_mutex_unlock(&job_mutex);
		MHD_resume_connection(job->conn);
		pthread_mutex_lock(&job_mutex);
		busy--;
		pthread_cond_broadcast(&job_cv);
		pthread_mutex_unlock(&job_mutex);
	}
	return NULL;
}

int
websim_start(void)
{
	pthread_attr_t attr;
	pthread_t tid;
	int rc;

	pthread_attr_init(&attr);
	pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
	rc = pthread_create(&tid, &attr, worker, NULL);
	pthread_attr_destroy(&attr);
	return rc == 0 ? 0 : -1;
}

bool
websim_send(struct MHD_Connection *c, struct route_answer *a,
    websim_job_ptr *job)
{
	websim_job_ptr j(new (std::nothrow) websim_job());
	bool full;

	if (!j) {
		route_error(a, MHD_HTTP_INTERNAL_SERVER_ERROR, "out of memory");
		return false;
	}
	j->conn = c;
	j->batch = a->batch;
	pthread_mutex_lock(&job_mutex);
	if (stopping || busy >= SIM_QUEUE_MAX) {
		full = !stopping;
		pthread_mutex_unlock(&job_mutex);
		if (full)
			route_error(a, MHD_HTTP_TOO_MANY_REQUESTS,
			    "too many control requests waiting");
		else
			route_error(a, MHD_HTTP_SERVICE_UNAVAILABLE,
			    "kelvo-web is stopping");
		return false;
	}
	MHD_suspend_connection(c);
	busy++;
	queue.push_back(j.get());
	*job = std::move(j);
	pthread_cond_broadcast(&job_cv);
	pthread_mutex_unlock(&job_mutex);
	return true;
}

void
websim_result(const websim_job_ptr &job, struct route_answer *a)
{
	pthread_mutex_lock(&job_mutex);
	if (job->done) {
		a->status = job->status;
		a->type = "application/json";
		a->body = job->answer.dump(-1, ' ', false,
		    json::error_handler_t::replace);
		a->data = NULL;
		a->send = false;
	} else		/* a resume that was not the worker's */
		route_error(a, MHD_HTTP_SERVICE_UNAVAILABLE,
		    "the batch is still under way");
	pthread_mutex_unlock(&job_mutex);
}

void
websim_stop(int ms)
{
	std::deque<struct websim_job *> left;
	struct timespec due;

	pthread_mutex_lock(&job_mutex);
	stopping = true;
	left.swap(queue);
	for (struct websim_job *job : left) {
		job->status = MHD_HTTP_SERVICE_UNAVAILABLE;
		job->answer = error_of("kelvo-web is stopping");
		job->done = true;
	}
	pthread_mutex_unlock(&job_mutex);
	/* Those not begun are answered at once; only one can be under way. */
	for (struct websim_job *job : left)
		MHD_resume_connection(job->conn);
	/* Shutdown only: the wall clock is good enough for this wait. */
	clock_gettime(CLOCK_REALTIME, &due);
	due.tv_sec += ms / 1000 + 1;
	pthread_mutex_lock(&job_mutex);
	busy -= (int)left.size();
	while (busy > 0 && pthread_cond_timedwait(&job_cv, &job_mutex,
	    &due) == 0)
		;
	pthread_mutex_unlock(&job_mutex);
}
