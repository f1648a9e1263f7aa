/*
 * sim.h - the simulation's batches sent for the server.
 *
 * route.cpp judges a change of /api/sim and makes its batch; sending it
 * is client_control_send's, which may wait up to CONTROL_WAIT_MS for
 * kelvo: far too long for the server's one thread.  So the server
 * suspends the connection and hands the batch to the client library's
 * sender, whose worker sends it; this module keeps the answer and
 * resumes the connection, and the server's thread answers from it.
 */
#ifndef KELVO_WEB_SIM_H
#define KELVO_WEB_SIM_H

#include <memory>

#define SIM_QUEUE_MAX	16	/* batches waiting for the worker */

/* One batch on its way; owned by its request. */
struct websim_job;
struct websim_job_free {
	void operator()(struct websim_job *job) const;
};
typedef std::unique_ptr<struct websim_job, websim_job_free> websim_job_ptr;

struct MHD_Connection;
struct route_answer;

/* Starts the sender's worker; -1 when it cannot be started. */
int	 websim_start(void);
/*
 * Sends the batch of answer a (a->send): true when it went to the worker
 * and c is suspended (*job holds it); false with a refusal in a (429:
 * too many waiting, 503: stopping), and nothing was written.
 */
bool	 websim_send(struct MHD_Connection *c, struct route_answer *a,
	    websim_job_ptr *job);
/* After the resume: the batch's status and answer into a. */
void	 websim_result(const websim_job_ptr &job, struct route_answer *a);
/* Lets the batches under way end (at most ms), takes no more. */
void	 websim_stop(int ms);

#endif
