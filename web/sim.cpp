/*
 * sim.cpp - the simulation's batches, sent by the client library's sender
 * while their connections are suspended.
 *
 * A job is suspended before the sender's worker can begin it, so the
 * resume always finds it suspended (libmicrohttpd takes a resume made
 * before the handler has returned as meant for the suspension it just
 * asked for).  Stopping answers the jobs still queued with 503 and waits
 * for the one under way, since the server must not stop with a
 * connection suspended, nor be resumed into after it has.
 */
#include "sim.h"

#include <pthread.h>

#include <new>
#include <string>

#include <microhttpd.h>

#include "link.h"
#include "route.h"
#include "sender.h"
#include "simjson.h"

#define CATCH_UP_MS	1000	/* for the link to take the published result */

using nlohmann::json;

struct websim_job {
	struct MHD_Connection	*conn;
	bool			 done;
	unsigned		 status;
	unsigned		 refused;	/* the status of a refusal */
	json			 answer;
};

/* Guards the jobs' answers, which the sender's worker fills in. */
static pthread_mutex_t job_mutex = PTHREAD_MUTEX_INITIALIZER;
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

/* On the sender's worker: kelvo's answer kept, the connection resumed. */
static void
answered(int result, const struct client_sim *sim, const char *why,
    void *arg)
{
	struct websim_job *job = (struct websim_job *)arg;

	/* kelvo published the result before it answered: so do we. */
	if (result == CONTROL_APPLIED)
		link_catch_up(CATCH_UP_MS);
	pthread_mutex_lock(&job_mutex);
	switch (result) {
	case CONTROL_APPLIED:
	case CONTROL_UNPUBLISHED:	/* applied: its error says the rest */
		job->status = MHD_HTTP_OK;
		job->answer = client_sim_json(sim);
		break;
	case CONTROL_REFUSED:
		job->status = job->refused;
		job->answer = error_of(why);
		break;
	case CONTROL_DOWN:
	case CONTROL_BUSY:
		job->status = MHD_HTTP_SERVICE_UNAVAILABLE;
		job->answer = error_of(why);
		break;
	case CONTROL_TIMEOUT:
		job->status = MHD_HTTP_GATEWAY_TIMEOUT;
		job->answer = error_of(why);
		break;
	case CONTROL_STOPPED:
		job->status = MHD_HTTP_SERVICE_UNAVAILABLE;
		job->answer = error_of("kelvo-web is stopping");
		break;
	default:
		job->status = MHD_HTTP_INTERNAL_SERVER_ERROR;
		job->answer = error_of(why);
		break;
	}
	job->done = true;
	pthread_mutex_unlock(&job_mutex);
	MHD_resume_connection(job->conn);
}

/* Suspended before the worker can begin it, so its resume finds it so. */
static void
suspend(void *arg)
{
	MHD_suspend_connection(((struct websim_job *)arg)->conn);
}

int
websim_start(void)
{
	return sender_start();
}

bool
websim_send(struct MHD_Connection *c, struct route_answer *a,
    websim_job_ptr *job)
{
	websim_job_ptr j(new (std::nothrow) websim_job());
	bool stop;

	if (!j) {
		route_error(a, MHD_HTTP_INTERNAL_SERVER_ERROR, "out of memory");
		return false;
	}
	j->conn = c;
	j->done = false;
	j->refused = a->refused;
	if (!sender_push(&a->batch, answered, j.get(), SIM_QUEUE_MAX,
	    suspend)) {
		pthread_mutex_lock(&job_mutex);
		stop = stopping;
		pthread_mutex_unlock(&job_mutex);
		if (stop)
			route_error(a, MHD_HTTP_SERVICE_UNAVAILABLE,
			    "kelvo-web is stopping");
		else
			route_error(a, MHD_HTTP_TOO_MANY_REQUESTS,
			    "too many control requests waiting");
		return false;
	}
	*job = std::move(j);
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
	pthread_mutex_lock(&job_mutex);
	stopping = true;
	pthread_mutex_unlock(&job_mutex);
	sender_stop(ms);
}
