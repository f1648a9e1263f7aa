/*
 * http.cpp - libmicrohttpd's callbacks around route.cpp, and deadlines.
 *
 * Everything here but http_tick() runs on libmicrohttpd's one thread.
 * libmicrohttpd calls the request handler once the headers are in, then
 * with pieces of the body, then once more when it is all in.  The first
 * call gathers the request and has it judged; the answer goes on the
 * last call, since one queued earlier makes libmicrohttpd close the
 * connection after it, and keep-alive and pipelined requests would be
 * lost.  Only a refusal of a request that has a body goes at once: its
 * body is not wanted, and its connection should go.  A body is kept up
 * to ROUTE_BODY_MAX bytes (a chunked one that runs on is read and dropped
 * for a while, so that it can still get its 413, then the connection
 * goes).  An answer that is a batch for kelvo (route.h's send) is handed
 * to sim.h's worker with the connection suspended; once resumed, the
 * handler is called once more and answers from the batch's result.
 *
 * libmicrohttpd times a connection out only when it is idle, and a
 * client that sends a byte every few seconds is never idle; so each
 * connection has a deadline of its own, kept in a list under conn_mutex,
 * and http_tick() shuts down the sockets of those past it.  The list
 * entry leaves under that lock before libmicrohttpd closes the socket,
 * so the descriptor shut down is never one reused by then.
 *
 * The answer to a wrong token is held back (route.h's hold_ms): the
 * connection is suspended, and a thread of this file's resumes it when
 * its time has come, or at once when the server stops, since it must not
 * stop with a connection suspended.  Each held answer is a connection,
 * so there are never more than HTTP_CONN_MAX of them.
 */
#include "http.h"

#include <malloc.h>
#include <netinet/in.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include <time.h>

#include <algorithm>
#include <atomic>
#include <new>
#include <string>

#include <microhttpd.h>

#include "link.h"
#include "logline.h"
#include "route.h"
#include "sim.h"
#include "stream.h"

#define BODY_DRAIN_MAX	(64 * 1024)	/* bytes read of a body too big */
#define STREAM_STALL	60	/* s a stream may go without any progress */
#define TRIM_DROP	16	/* connections gone before memory is trimmed */

/*
 * The page loads nothing from elsewhere and is framed by nobody: a page
 * elsewhere must not get a visitor to click its buttons.
 */
#define SECURITY_POLICY	"default-src 'self'; img-src 'self' data:; " \
	"object-src 'none'; base-uri 'none'; form-action 'none'; " \
	"frame-ancestors 'none'"

static struct MHD_Daemon *httpd;

/* A connection, for its deadline. */
struct conn {
	int		 fd;
	long long	 deadline;	/* ms; 0 while answering */
	struct conn	*prev, *next;
};

static pthread_mutex_t conn_mutex = PTHREAD_MUTEX_INITIALIZER;
static struct conn *conns;		/* guarded by conn_mutex */

/* One request and its answer, from the first call to completion. */
struct exchange {
	struct route_request	 rq;
	struct route_answer	 a;
	bool			 answered;	/* by route_head() */
	size_t			 received;	/* body bytes, kept or not */
	websim_job_ptr		 job;		/* a batch under way */
	bool			 held;		/* counted until completed */
	bool			 waiting;	/* held: the next call answers */
};

/* Answers held back, and when each connection is to be resumed. */
struct held {
	struct MHD_Connection	*conn;
	long long		 at;		/* ms, link_now()'s clock */
};

static pthread_mutex_t hold_mutex = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t hold_cond;		/* a new one, or stop */
static pthread_cond_t hold_answered;		/* one held has gone */
/* All guarded by hold_mutex. */
static struct held holds[HTTP_CONN_MAX];
static int nholds;
static int unanswered;			/* held, not yet answered */
static bool hold_stopping;
static pthread_t hold_thread;
static bool hold_running;

static void
set_deadline(struct MHD_Connection *c, long long deadline)
{
	const union MHD_ConnectionInfo *ci = MHD_get_connection_info(c,
	    MHD_CONNECTION_INFO_SOCKET_CONTEXT);
	struct conn *k = ci != NULL ? (struct conn *)ci->socket_context : NULL;

	if (k == NULL)
		return;
	pthread_mutex_lock(&conn_mutex);
	k->deadline = deadline;
	pthread_mutex_unlock(&conn_mutex);
}

static void
connection(void *cls, struct MHD_Connection *c, void **ctx,
    enum MHD_ConnectionNotificationCode how)
{
	const union MHD_ConnectionInfo *ci;
	struct conn *k = (struct conn *)*ctx;

	(void)cls;
	pthread_mutex_lock(&conn_mutex);
	if (how == MHD_CONNECTION_NOTIFY_STARTED) {
		ci = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
		if (ci != NULL && (k = new (std::nothrow) conn()) != NULL) {
			k->fd = ci->connect_fd;
			k->deadline = link_now() + HTTP_REQUEST_TIME * 1000;
			k->next = conns;
			if (conns != NULL)
				conns->prev = k;
			conns = k;
		}
		*ctx = k;
	} else if (k != NULL) {
		if (k->prev != NULL)
			k->prev->next = k->next;
		else
			conns = k->next;
		if (k->next != NULL)
			k->next->prev = k->prev;
		delete k;
		*ctx = NULL;
	}
	pthread_mutex_unlock(&conn_mutex);
}

void
http_tick(void)
{
	static int peak;
	long long now = link_now();
	int n = 0;

	pthread_mutex_lock(&conn_mutex);
	for (struct conn *k = conns; k != NULL; k = k->next, n++)
		if (k->deadline != 0 && now >= k->deadline) {
			/* libmicrohttpd sees the end and closes it itself. */
			shutdown(k->fd, SHUT_RDWR);
			k->deadline = 0;
		}
	pthread_mutex_unlock(&conn_mutex);
	/*
	 * Each connection had a memory pool of libmicrohttpd's, freed when
	 * it closed but kept by malloc for later: after a crowd has gone,
	 * the memory goes back to the system.
	 */
	if (n + TRIM_DROP <= peak) {
		malloc_trim(0);
		peak = n;
	}
	if (n > peak)
		peak = n;
}

static enum MHD_Result
field(void *cls, enum MHD_ValueKind kind, const char *key, size_t key_size,
    const char *value, size_t value_size)
{
	route_fields *f = (route_fields *)cls;

	(void)kind;
	f->emplace_back(std::string(key, key_size), value != NULL ?
	    std::string(value, value_size) : std::string());
	return MHD_YES;
}

/* What libmicrohttpd parsed, as route.h takes it. */
static void
gather(struct MHD_Connection *c, const char *url, const char *method,
    struct route_request *rq)
{
	const union MHD_ConnectionInfo *ci = MHD_get_connection_info(c,
	    MHD_CONNECTION_INFO_CLIENT_ADDRESS);

	memset(&rq->peer, 0, sizeof(rq->peer));
	if (ci != NULL && ci->client_addr != NULL)
		memcpy(&rq->peer, ci->client_addr,
		    ci->client_addr->sa_family == AF_INET6 ?
		    sizeof(struct sockaddr_in6) : sizeof(struct sockaddr_in));
	rq->method = method;
	rq->path = url;
	MHD_get_connection_values_n(c, MHD_GET_ARGUMENT_KIND, field, &rq->args);
	MHD_get_connection_values_n(c, MHD_HEADER_KIND, field, &rq->headers);
}

/* Does the request come with a body, announced or chunked? */
static bool
has_body(struct MHD_Connection *c)
{
	const char *len = MHD_lookup_connection_value(c, MHD_HEADER_KIND,
	    MHD_HTTP_HEADER_CONTENT_LENGTH);

	return (len != NULL && strspn(len, "0") != strlen(len)) ||
	    MHD_lookup_connection_value(c, MHD_HEADER_KIND,
	    MHD_HTTP_HEADER_TRANSFER_ENCODING) != NULL;
}

static void
common_headers(struct MHD_Response *r, const struct route_answer *a)
{
	MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, a->type);
	MHD_add_response_header(r, MHD_HTTP_HEADER_CACHE_CONTROL,
	    a->data != NULL ? "no-cache" : "no-store");
	MHD_add_response_header(r, "X-Content-Type-Options", "nosniff");
	for (const auto &h : a->headers)
		MHD_add_response_header(r, h.first.c_str(), h.second.c_str());
}

/* Queues the stream r as the answer a says. */
static enum MHD_Result
queue_stream(struct MHD_Connection *c, struct route_answer *a,
    struct MHD_Response *r)
{
	enum MHD_Result ret;

	common_headers(r, a);
	/* A proxy that buffers would hold the events back. */
	MHD_add_response_header(r, "X-Accel-Buffering", "no");
	/*
	 * Not idle while it waits: it is quiet at most STREAM_QUIET s.
	 * Only a client that stops reading makes it stall.
	 */
	MHD_set_connection_option(c, MHD_CONNECTION_OPTION_TIMEOUT,
	    (unsigned int)STREAM_STALL);
	ret = MHD_queue_response(c, a->status, r);
	MHD_destroy_response(r);
	return ret;
}

static enum MHD_Result
send_answer(struct MHD_Connection *c, struct route_answer *a)
{
	struct MHD_Response *r;
	enum MHD_Result ret;

	if (a->stream) {
		if ((r = stream_open(c)) != NULL)
			return queue_stream(c, a, r);
		route_error(a, 503, "too many event streams");
	}
	if (a->status == 0)
		route_error(a, 500, "no answer");
	if (a->data != NULL)
		r = MHD_create_response_from_buffer(a->len, (void *)a->data,
		    MHD_RESPMEM_PERSISTENT);
	else
		r = MHD_create_response_from_buffer(a->body.size(),
		    (void *)a->body.data(), MHD_RESPMEM_MUST_COPY);
	if (r == NULL)
		return MHD_NO;
	common_headers(r, a);
	MHD_add_response_header(r, "X-Frame-Options", "DENY");
	MHD_add_response_header(r, "Referrer-Policy", "no-referrer");
	MHD_add_response_header(r, "Content-Security-Policy", SECURITY_POLICY);
	ret = MHD_queue_response(c, a->status, r);
	MHD_destroy_response(r);
	return ret;
}

/*
 * In the handler: suspends c until at; false when it cannot be held (the
 * server is stopping) and the answer should go now.
 */
static bool
hold(struct MHD_Connection *c, long long at)
{
	bool ok;

	pthread_mutex_lock(&hold_mutex);
	ok = hold_running && !hold_stopping && nholds < HTTP_CONN_MAX;
	if (ok) {
		/* Resumed only once the handler has returned, as sim.cpp's. */
		MHD_suspend_connection(c);
		holds[nholds++] = held{ c, at };
		unanswered++;
		pthread_cond_signal(&hold_cond);
	}
	pthread_mutex_unlock(&hold_mutex);
	return ok;
}

/* The thread: resumes each held connection at its time. */
static void *
holder(void *arg)
{
	struct MHD_Connection *due[HTTP_CONN_MAX];

	(void)arg;
	pthread_mutex_lock(&hold_mutex);
	for (;;) {
		long long now = link_now(), soon = now + 60 * 1000;
		int ndue = 0;

		for (int i = 0; i < nholds;) {
			if (hold_stopping || holds[i].at <= now) {
				due[ndue++] = holds[i].conn;
				holds[i] = holds[--nholds];
			} else {
				soon = std::min(soon, holds[i].at);
				i++;
			}
		}
		if (ndue > 0) {
			pthread_mutex_unlock(&hold_mutex);
			for (int i = 0; i < ndue; i++)
				MHD_resume_connection(due[i]);
			pthread_mutex_lock(&hold_mutex);
			continue;
		}
		if (hold_stopping)
			break;
		struct timespec ts;
		clock_gettime(CLOCK_MONOTONIC, &ts);
		long long ns = ts.tv_nsec + (soon - now) * 1000000LL;
		ts.tv_sec += ns / 1000000000LL;
		ts.tv_nsec = ns % 1000000000LL;
		pthread_cond_timedwait(&hold_cond, &hold_mutex, &ts);
	}
	pthread_mutex_unlock(&hold_mutex);
	return NULL;
}

static int
hold_start(void)
{
	pthread_condattr_t ca;

	pthread_condattr_init(&ca);
	pthread_condattr_setclock(&ca, CLOCK_MONOTONIC);
	pthread_cond_init(&hold_cond, &ca);
	pthread_cond_init(&hold_answered, &ca);
	pthread_condattr_destroy(&ca);
	hold_stopping = false;
	if (pthread_create(&hold_thread, NULL, holder, NULL) != 0)
		return -1;
	hold_running = true;
	return 0;
}

/* A held exchange has been answered, or its connection is gone. */
static void
hold_over(struct exchange *x)
{
	if (!x->held)
		return;
	x->held = false;
	pthread_mutex_lock(&hold_mutex);
	unanswered--;
	pthread_cond_broadcast(&hold_answered);
	pthread_mutex_unlock(&hold_mutex);
}

/*
 * Every held answer goes now, and the server is given up to ms to send
 * them: stopping it would close their connections unanswered.
 */
static void
hold_stop(int ms)
{
	struct timespec ts;

	if (!hold_running)
		return;
	pthread_mutex_lock(&hold_mutex);
	hold_stopping = true;
	pthread_cond_signal(&hold_cond);
	pthread_mutex_unlock(&hold_mutex);
	pthread_join(hold_thread, NULL);
	hold_running = false;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	ts.tv_sec += ms / 1000;
	ts.tv_nsec += (ms % 1000) * 1000000L;
	if (ts.tv_nsec >= 1000000000L) {
		ts.tv_sec++;
		ts.tv_nsec -= 1000000000L;
	}
	pthread_mutex_lock(&hold_mutex);
	while (unanswered > 0 && pthread_cond_timedwait(&hold_answered,
	    &hold_mutex, &ts) == 0)
		;
	pthread_mutex_unlock(&hold_mutex);
}

/* Holds x's answer back for its time: true when it is held. */
static bool
held_back(struct MHD_Connection *c, struct exchange *x)
{
	set_deadline(c, 0);
	x->held = x->waiting = hold(c, link_now() + x->a.hold_ms);
	return x->held;
}

static enum MHD_Result
handle(void *cls, struct MHD_Connection *c, const char *url,
    const char *method, const char *version, const char *upload,
    size_t *upload_size, void **req_cls)
{
	struct exchange *x = (struct exchange *)*req_cls;

	(void)cls;
	(void)version;
	if (x == NULL) {
		if ((x = new (std::nothrow) exchange()) == NULL)
			return MHD_NO;
		*req_cls = x;
		gather(c, url, method, &x->rq);
		x->answered = route_head(&x->rq, &x->a);
		if (!x->answered || !has_body(c))
			return MHD_YES;
		/* Its body is not wanted: the answer goes now or when due. */
		return x->a.hold_ms > 0 && held_back(c, x) ? MHD_YES :
		    send_answer(c, &x->a);
	}
	if (x->waiting) {
		/* Resumed: its time has come. */
		x->waiting = false;
		return send_answer(c, &x->a);
	}
	if (x->job) {
		/* Resumed: the worker has kelvo's answer. */
		websim_result(x->job, &x->a);
		return send_answer(c, &x->a);
	}
	if (*upload_size > 0) {
		x->received += *upload_size;
		if (x->rq.too_big || x->rq.body.size() + *upload_size >
		    ROUTE_BODY_MAX)
			x->rq.too_big = true;
		else
			x->rq.body.append(upload, *upload_size);
		*upload_size = 0;
		return x->received > BODY_DRAIN_MAX ? MHD_NO : MHD_YES;
	}
	/* All in: no deadline while it is answered, or kelvo answers. */
	set_deadline(c, 0);
	if (!x->answered)
		route_body(&x->rq, &x->a);
	if (x->a.send && websim_send(c, &x->a, &x->job))
		return MHD_YES;		/* suspended until the batch is done */
	if (x->a.hold_ms > 0 && held_back(c, x))
		return MHD_YES;
	return send_answer(c, &x->a);
}

static void
completed(void *cls, struct MHD_Connection *c, void **req_cls,
    enum MHD_RequestTerminationCode how)
{
	(void)cls;
	(void)how;
	if (*req_cls != NULL)
		hold_over((struct exchange *)*req_cls);
	delete (struct exchange *)*req_cls;
	*req_cls = NULL;
	/* A next request on this connection has the idle time to come. */
	set_deadline(c, link_now() + HTTP_IDLE * 1000);
}

/*
 * libmicrohttpd's own messages.  Once serving, it speaks mostly of single
 * clients going away mid-response, which is their business and would
 * flood the log; what is kept is the server running short of connections
 * or descriptors, summarised like every other line.
 */
static std::atomic<bool> serving;

static void
logger(void *cls, const char *fmt, va_list ap)
{
	static const char *const keep[] = { "Server reached connection limit",
	    "Error accepting", "Hit process or system resource limit",
	    "Call to epoll_wait failed" };
	char line[LOGLINE_MAX];
	size_t n;
	bool wanted = !serving;

	(void)cls;
	vsnprintf(line, sizeof(line), fmt, ap);
	for (const char *k : keep)
		wanted |= strncmp(line, k, strlen(k)) == 0;
	if (!wanted)
		return;
	n = strlen(line);
	while (n > 0 && line[n - 1] == '\n')
		line[--n] = '\0';
	logline("httpd: %s", line);
}

int
http_start(int fd, int family)
{
	unsigned int flags = MHD_USE_EPOLL_INTERNAL_THREAD |
	    MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG;

	if (family == AF_INET6)
		flags |= MHD_USE_IPv6;
	if (hold_start() < 0)
		return -1;
	httpd = MHD_start_daemon(flags, 0, NULL, NULL, handle, NULL,
	    MHD_OPTION_EXTERNAL_LOGGER, (MHD_LogCallback)logger, NULL,
	    MHD_OPTION_LISTEN_SOCKET, (MHD_socket)fd,
	    MHD_OPTION_CONNECTION_TIMEOUT, (unsigned int)HTTP_IDLE,
	    MHD_OPTION_CONNECTION_LIMIT, (unsigned int)HTTP_CONN_MAX,
	    MHD_OPTION_PER_IP_CONNECTION_LIMIT,
	    (unsigned int)HTTP_CONN_PER_ADDR,
	    MHD_OPTION_NOTIFY_CONNECTION,
	    (MHD_NotifyConnectionCallback)connection, NULL,
	    MHD_OPTION_NOTIFY_COMPLETED, (MHD_RequestCompletedCallback)completed,
	    NULL,
	    MHD_OPTION_END);
	serving = httpd != NULL;
	if (httpd == NULL)
		hold_stop(0);
	return httpd != NULL ? 0 : -1;
}

void
http_stop(void)
{
	if (httpd == NULL)
		return;
	websim_stop(3000);
	hold_stop(2000);
	stream_close_all(2000);
	MHD_stop_daemon(httpd);
	httpd = NULL;
}
