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
 * The limits on connections are kept here too, not by libmicrohttpd,
 * which would refuse a newcomer while slow or idle clients sit on every
 * place.  A connection that has a deadline has not brought its request
 * yet; one that has none is being answered (or streams, or waits on
 * kelvo).  When a newcomer finds the limit reached, the oldest connection
 * still waiting for its request, of its own address when that address
 * is at its limit, gives way: its socket is shut down, and libmicrohttpd
 * closes it.  Only when every place is being answered is the newcomer
 * the one shut down.  So a client that sends its request when it
 * connects is served however many others hang about, and an event
 * stream, answered for as long as it lasts, is never one that gives way.
 * libmicrohttpd's own limit sits HTTP_CONN_SLACK above, for those
 * shut down and not yet closed.
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

/* A connection, for its deadline and its place. */
struct conn {
	int		 fd;
	unsigned char	 peer[17];	/* family, then the address */
	long long	 deadline;	/* ms; 0 while answering */
	bool		 leaving;	/* shut down, not yet closed */
	struct conn	*prev, *next;
};

static pthread_mutex_t conn_mutex = PTHREAD_MUTEX_INITIALIZER;
/* Oldest first, all guarded by conn_mutex. */
static struct conn *conns, *conns_last;

/* One request and its answer, from the first call to completion. */
struct exchange {
	struct route_request	 rq;
	struct route_answer	 a;
	bool			 answered;	/* by route_head() */
	size_t			 received;	/* body bytes, kept or not */
	websim_job_ptr		 job;		/* a batch under way */
};

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

/* The client's address, as a key: its family, then its bytes. */
static void
peer_of(struct MHD_Connection *c, unsigned char peer[17])
{
	const union MHD_ConnectionInfo *ci = MHD_get_connection_info(c,
	    MHD_CONNECTION_INFO_CLIENT_ADDRESS);
	const struct sockaddr *sa = ci != NULL ? ci->client_addr : NULL;

	memset(peer, 0, 17);
	if (sa == NULL)
		return;
	peer[0] = (unsigned char)sa->sa_family;
	if (sa->sa_family == AF_INET6)
		memcpy(peer + 1,
		    &((const struct sockaddr_in6 *)sa)->sin6_addr, 16);
	else if (sa->sa_family == AF_INET)
		memcpy(peer + 1,
		    &((const struct sockaddr_in *)sa)->sin_addr, 4);
}

/* Under conn_mutex: k is shut down, and counts no more. */
static void
give_way(struct conn *k)
{
	/* libmicrohttpd sees the end and closes it itself. */
	shutdown(k->fd, SHUT_RDWR);
	k->leaving = true;
	k->deadline = 0;
}

/*
 * Under conn_mutex, for a newcomer k not yet in the list: makes a place
 * for it when its address or the server is at its limit, by the oldest
 * that still waits for its request; false when there is none to give
 * way, and k must go.
 */
static bool
make_place(const struct conn *k)
{
	struct conn *oldest = NULL, *oldest_mine = NULL;
	int all = 0, mine = 0;

	for (struct conn *o = conns; o != NULL; o = o->next) {
		if (o->leaving)
			continue;
		bool same = memcmp(o->peer, k->peer, sizeof(k->peer)) == 0;
		all++;
		mine += same;
		if (o->deadline == 0)
			continue;
		if (oldest == NULL)
			oldest = o;
		if (same && oldest_mine == NULL)
			oldest_mine = o;
	}
	if (mine >= HTTP_CONN_PER_ADDR) {
		if (oldest_mine == NULL)
			return false;
		give_way(oldest_mine);
	} else if (all >= HTTP_CONN_MAX) {
		if (oldest == NULL)
			return false;
		give_way(oldest);
	}
	return true;
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
			peer_of(c, k->peer);
			k->deadline = link_now() + HTTP_REQUEST_TIME * 1000;
			if (!make_place(k))
				give_way(k);
			k->prev = conns_last;
			if (conns_last != NULL)
				conns_last->next = k;
			else
				conns = k;
			conns_last = k;
		}
		*ctx = k;
	} else if (k != NULL) {
		if (k->prev != NULL)
			k->prev->next = k->next;
		else
			conns = k->next;
		if (k->next != NULL)
			k->next->prev = k->prev;
		else
			conns_last = k->prev;
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
		if (k->deadline != 0 && now >= k->deadline)
			give_way(k);
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
		/* Its body is not wanted: the answer goes now. */
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
	return send_answer(c, &x->a);
}

static void
completed(void *cls, struct MHD_Connection *c, void **req_cls,
    enum MHD_RequestTerminationCode how)
{
	(void)cls;
	(void)how;
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
	httpd = MHD_start_daemon(flags, 0, NULL, NULL, handle, NULL,
	    MHD_OPTION_EXTERNAL_LOGGER, (MHD_LogCallback)logger, NULL,
	    MHD_OPTION_LISTEN_SOCKET, (MHD_socket)fd,
	    MHD_OPTION_CONNECTION_TIMEOUT, (unsigned int)HTTP_IDLE,
	    MHD_OPTION_CONNECTION_LIMIT,
	    (unsigned int)(HTTP_CONN_MAX + HTTP_CONN_SLACK),
	    MHD_OPTION_NOTIFY_CONNECTION,
	    (MHD_NotifyConnectionCallback)connection, NULL,
	    MHD_OPTION_NOTIFY_COMPLETED, (MHD_RequestCompletedCallback)completed,
	    NULL,
	    MHD_OPTION_END);
	serving = httpd != NULL;
	return httpd != NULL ? 0 : -1;
}

void
http_stop(void)
{
	if (httpd == NULL)
		return;
	websim_stop(3000);
	stream_close_all(2000);
	MHD_stop_daemon(httpd);
	httpd = NULL;
}
