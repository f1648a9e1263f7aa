/*
 * sim.h - /api/sim: the simulation read and driven over HTTP.
 *
 *   GET  /api/sim         the sim object (client_sim_json)
 *   PUT  /api/sim         an object of control commands: one batch
 *   POST /api/sim/step    {"ticks": N}
 *   POST /api/sim/reset   no body needed
 *
 * A batch is written and waited for by client_control_send, which may
 * take up to CONTROL_WAIT_MS: far too long for the server's one thread.
 * So a change suspends its connection and hands the batch to a worker
 * thread of this module, which sends it, keeps the answer and resumes
 * the connection; the server's thread then answers from what was kept.
 */
#ifndef KELVO_WEB_SIM_H
#define KELVO_WEB_SIM_H

#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#define SIM_QUEUE_MAX	16	/* batches waiting for the worker */

enum { SIM_NONE, SIM_OBJECT_ROUTE, SIM_STEP, SIM_RESET };

/* One batch on its way; owned by its request. */
struct websim_job;
struct websim_job_free {
	void operator()(struct websim_job *job) const;
};
typedef std::unique_ptr<struct websim_job, websim_job_free> websim_job_ptr;

struct MHD_Connection;

/* Starts the worker; -1 when it cannot be started. */
int	 websim_start(void);
/* SIM_* of a path; SIM_NONE when it is none of these. */
int	 websim_route(const char *url);
/* The methods the route takes, for 405 and Allow. */
bool	 websim_method_ok(int route, const char *method);
const char *websim_allow(int route);
/* GET /api/sim: a status and the answer. */
unsigned websim_get(nlohmann::json *answer);
/*
 * A change with its whole body in.  0 when the batch went to the worker
 * and c is suspended (*job holds it); else a status and the answer, and
 * nothing was written.
 */
unsigned websim_change(int route, const std::string &body,
	    struct MHD_Connection *c, websim_job_ptr *job,
	    nlohmann::json *answer);
/* After the resume: the status and answer of the batch. */
unsigned websim_result(const websim_job_ptr &job, nlohmann::json *answer);
/* Lets the batches under way end (at most ms), takes no more. */
void	 websim_stop(int ms);

#endif
