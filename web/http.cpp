/*
 * http.cpp - requests: the rules, the routes and the answers.
 *
 * Everything here runs on libmicrohttpd's one thread.  A request is
 * judged as soon as its headers are in: the rules, the route, the method
 * and the size it announces.  What needs no body is answered then; a
 * change waits for its body, kept up to HTTP_BODY_MAX bytes (a chunked
 * body that runs on is read and dropped for a while, so that it can still
 * get its 413, then the connection goes).  Request bodies are parsed by
 * nlohmann-json without exceptions and checked field by field; nothing is
 * pressed before the whole request has been found good.
 */
#include "http.h"

#include <arpa/inet.h>
#include <math.h>
#include <netinet/in.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>

#include <atomic>
#include <new>
#include <string>

#include <microhttpd.h>

#include "assets.h"
#include "cors.h"
#include "json.h"
#include "link.h"
#include "sim.h"
#include "stream.h"

#define BODY_DRAIN_MAX	(64 * 1024)	/* bytes read of a body too big */
#define STREAM_STALL	60	/* s a stream may go without any progress */

/*
 * The page loads nothing from elsewhere and is framed by nobody: a page
 * elsewhere must not get a visitor to click its buttons.
 */
#define SECURITY_POLICY	"default-src 'self'; img-src 'self' data:; " \
	"object-src 'none'; base-uri 'none'; form-action 'none'; " \
	"frame-ancestors 'none'"

using nlohmann::json;

char http_token[HTTP_TOKEN_MAX + 1];

static struct MHD_Daemon *httpd;

enum { R_NONE, R_PAGE, R_ASSET, R_STATE, R_HISTORY, R_EVENTS, R_PRESS,
    R_SETPOINT, R_MODE, R_FAN, R_SIM };

struct request {
	int			 route;		/* R_* */
	int			 button;	/* BTN_* of a press */
	const struct asset	*asset;
	int			 sim;		/* SIM_* of R_SIM */
	const char		*cors;		/* an allowed other origin */
	bool			 preflight;
	websim_job_ptr		 job;		/* a batch under way */
	bool			 set_cookie;	/* the token came in the query */
	bool			 too_big;
	size_t			 received;	/* body bytes, kept or not */
	std::string		 body;
};

static const char *
header(struct MHD_Connection *c, const char *name)
{
	return MHD_lookup_connection_value(c, MHD_HEADER_KIND, name);
}

static enum MHD_Result
reply(struct MHD_Connection *c, const struct request *rq, unsigned status,
    const char *type, const void *data, size_t len, bool persistent,
    const char *allow)
{
	struct MHD_Response *r;
	enum MHD_Result ret;
	char cookie[sizeof(HTTP_COOKIE) + HTTP_TOKEN_MAX + 64];

	r = MHD_create_response_from_buffer(len, (void *)data, persistent ?
	    MHD_RESPMEM_PERSISTENT : MHD_RESPMEM_MUST_COPY);
	if (r == NULL)
		return MHD_NO;
	MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, type);
	MHD_add_response_header(r, MHD_HTTP_HEADER_CACHE_CONTROL,
	    persistent ? "no-cache" : "no-store");
	MHD_add_response_header(r, "X-Content-Type-Options", "nosniff");
	MHD_add_response_header(r, "X-Frame-Options", "DENY");
	MHD_add_response_header(r, "Referrer-Policy", "no-referrer");
	MHD_add_response_header(r, "Content-Security-Policy", SECURITY_POLICY);
	if (allow != NULL)
		MHD_add_response_header(r, MHD_HTTP_HEADER_ALLOW, allow);
	if (rq != NULL)
		cors_headers(r, rq->cors, rq->preflight);
	if (status == MHD_HTTP_UNAUTHORIZED)
		MHD_add_response_header(r, MHD_HTTP_HEADER_WWW_AUTHENTICATE,
		    "Bearer");
	/* The page's later requests carry the token without showing it. */
	if (rq != NULL && rq->set_cookie) {
		snprintf(cookie, sizeof(cookie), "%s=%s; Path=/; HttpOnly; "
		    "SameSite=Strict", HTTP_COOKIE, http_token);
		MHD_add_response_header(r, MHD_HTTP_HEADER_SET_COOKIE, cookie);
	}
	ret = MHD_queue_response(c, status, r);
	MHD_destroy_response(r);
	return ret;
}

static enum MHD_Result
reply_json(struct MHD_Connection *c, const struct request *rq,
    unsigned status, const json &j, const char *allow = NULL)
{
	std::string s = j.dump(-1, ' ', false, json::error_handler_t::replace);

	return reply(c, rq, status, "application/json", s.data(), s.size(),
	    false, allow);
}

static enum MHD_Result
fail(struct MHD_Connection *c, const struct request *rq, unsigned status,
    const char *why, const char *allow = NULL)
{
	return reply_json(c, rq, status, json{ { "error", why } }, allow);
}

/*
 * The host (lower case, an IPv6 address in its brackets) and the port
 * (-1 when none) of a Host header or of an origin's authority; false
 * when it is not one.
 */
static bool
authority(const char *s, std::string *host, long *port)
{
	const char *end, *p;
	char *stop;

	*port = -1;
	if (s[0] == '[') {
		if ((end = strchr(s, ']')) == NULL)
			return false;
		end++;
		for (p = s + 1; p < end - 1; p++)
			if (strchr("0123456789abcdefABCDEF:.", *p) == NULL)
				return false;
	} else {
		end = s + strcspn(s, ":");
		for (p = s; p < end; p++)
			if (strchr("abcdefghijklmnopqrstuvwxyz"
			    "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-_", *p) == NULL)
				return false;
	}
	if (end == s)
		return false;
	host->assign(s, (size_t)(end - s));
	for (char &ch : *host)
		if (ch >= 'A' && ch <= 'Z')
			ch = (char)(ch - 'A' + 'a');
	if (*end == '\0')
		return true;
	if (*end != ':' || strlen(end + 1) < 1 || strlen(end + 1) > 5 ||
	    strspn(end + 1, "0123456789") != strlen(end + 1))
		return false;
	*port = strtol(end + 1, &stop, 10);
	return *port <= 65535;
}

/* localhost, 127.0.0.0/8 or [::1] (also as an IPv4-mapped address). */
static bool
loopback_host(const std::string &host)
{
	struct in6_addr a6;
	unsigned char a4[4];

	if (host == "localhost")
		return true;
	if (inet_pton(AF_INET, host.c_str(), a4) == 1)
		return a4[0] == 127;
	if (host.size() < 3 || host.front() != '[' || host.back() != ']')
		return false;
	if (inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(),
	    &a6) != 1)
		return false;
	return IN6_IS_ADDR_LOOPBACK(&a6) || (IN6_IS_ADDR_V4MAPPED(&a6) &&
	    a6.s6_addr[12] == 127);
}

/*
 * Does the Origin name the host and port of the Host header?  A missing
 * port is the default of the origin's scheme on both sides; an origin
 * that is no http(s) origin ("null" from a sandbox or a file) is
 * another host.
 */
static bool
same_origin(const char *origin, const char *hosthdr)
{
	std::string oh, hh;
	long op, hp, dflt;

	if (strncasecmp(origin, "http://", 7) == 0) {
		dflt = 80;
		origin += 7;
	} else if (strncasecmp(origin, "https://", 8) == 0) {
		dflt = 443;
		origin += 8;
	} else
		return false;
	if (hosthdr == NULL || !authority(origin, &oh, &op) ||
	    !authority(hosthdr, &hh, &hp))
		return false;
	return oh == hh && (op < 0 ? dflt : op) == (hp < 0 ? dflt : hp);
}

/* Compares given with the token in a time that does not depend on how
 * much of it is right. */
static bool
token_is(const char *given)
{
	size_t n = strlen(http_token), g;
	volatile unsigned char d;

	if (given == NULL)
		return false;
	g = strlen(given);
	d = g != n;
	for (size_t i = 0; i < n; i++)
		d |= (unsigned char)http_token[i] ^
		    (unsigned char)(i < g ? given[i] : 0);
	return d == 0;
}

/* The token from the query, an Authorization header or the cookie. */
static bool
authorized(struct MHD_Connection *c, struct request *rq)
{
	const char *auth = header(c, MHD_HTTP_HEADER_AUTHORIZATION);
	bool query, bearer = false, cookie;

	query = token_is(MHD_lookup_connection_value(c,
	    MHD_GET_ARGUMENT_KIND, "token"));
	if (auth != NULL && strncasecmp(auth, "Bearer ", 7) == 0) {
		auth += 7;
		while (*auth == ' ')
			auth++;
		bearer = token_is(auth);
	}
	/* A browser sends the cookie from every port of the host. */
	cookie = rq->cors == NULL && token_is(MHD_lookup_connection_value(c,
	    MHD_COOKIE_KIND, HTTP_COOKIE));
	rq->set_cookie = query && rq->cors == NULL;
	return query || bearer || cookie;
}

/* application/json, in any case, with parameters or without. */
static bool
json_type(const char *type)
{
	static const char want[] = "application/json";

	if (type == NULL)
		return false;
	while (*type == ' ' || *type == '\t')
		type++;
	if (strncasecmp(type, want, sizeof(want) - 1) != 0)
		return false;
	type += sizeof(want) - 1;
	return *type == '\0' || *type == ';' || *type == ' ' || *type == '\t';
}

static int
route_of(const char *url, struct request *rq)
{
	static const struct {
		const char	*name;
		int		 btn;
	} buttons[] = {
		{ "mode", BTN_MODE }, { "fan", BTN_FAN }, { "up", BTN_UP },
		{ "down", BTN_DOWN },
	};
	static const struct {
		const char	*path;
		int		 route;
	} api[] = {
		{ "/api/state", R_STATE }, { "/api/history", R_HISTORY },
		{ "/api/events", R_EVENTS }, { "/api/setpoint", R_SETPOINT },
		{ "/api/mode", R_MODE }, { "/api/fan", R_FAN },
	};

	if ((rq->sim = websim_route(url)) != SIM_NONE)
		return R_SIM;
	if (strncmp(url, "/api/press/", 11) == 0) {
		for (const auto &b : buttons)
			if (strcmp(url + 11, b.name) == 0) {
				rq->button = b.btn;
				return R_PRESS;
			}
		return R_NONE;
	}
	for (const auto &a : api)
		if (strcmp(url, a.path) == 0)
			return a.route;
	for (const struct asset *a = assets; a->path != NULL; a++)
		if (strcmp(url, a->path) == 0) {
			rq->asset = a;
			return strcmp(url, "/") == 0 ? R_PAGE : R_ASSET;
		}
	return R_NONE;
}

static enum MHD_Result
serve_events(struct MHD_Connection *c, struct request *rq, bool head)
{
	struct MHD_Response *r;
	enum MHD_Result ret;

	if (head)
		return reply(c, rq, MHD_HTTP_OK, "text/event-stream", "", 0,
		    false, NULL);
	if ((r = stream_open(c)) == NULL)
		return fail(c, rq, MHD_HTTP_SERVICE_UNAVAILABLE,
		    "too many event streams");
	MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE,
	    "text/event-stream");
	MHD_add_response_header(r, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
	MHD_add_response_header(r, "X-Content-Type-Options", "nosniff");
	/* A proxy that buffers would hold the events back. */
	MHD_add_response_header(r, "X-Accel-Buffering", "no");
	cors_headers(r, rq->cors, false);
	/*
	 * Not idle while it waits: it is quiet at most STREAM_QUIET s.
	 * Only a client that stops reading makes it stall.
	 */
	MHD_set_connection_option(c, MHD_CONNECTION_OPTION_TIMEOUT,
	    (unsigned int)STREAM_STALL);
	ret = MHD_queue_response(c, MHD_HTTP_OK, r);
	MHD_destroy_response(r);
	return ret;
}

/* A request that needs no body: the page, its files, the state. */
static enum MHD_Result
serve(struct MHD_Connection *c, struct request *rq, bool head)
{
	/* Only this thread answers requests, so one copy does. */
	static struct client_history history;
	struct client_state st;
	json sim;
	unsigned status;

	switch (rq->route) {
	case R_SIM:
		status = websim_get(&sim);
		return reply_json(c, rq, status, sim);
	case R_PAGE:
	case R_ASSET:
		return reply(c, rq, MHD_HTTP_OK, rq->asset->type,
		    rq->asset->data, rq->asset->len, true, NULL);
	case R_STATE:
		if (!link_running() || !link_latest(&st))
			return fail(c, rq, MHD_HTTP_SERVICE_UNAVAILABLE,
			    "kelvo is not running");
		return reply_json(c, rq, MHD_HTTP_OK, client_state_json(&st));
	case R_HISTORY:
		link_history(&history);
		return reply_json(c, rq, MHD_HTTP_OK,
		    client_history_json(&history));
	default:
		return serve_events(c, rq, head);
	}
}

/* A whole number of degrees in kelvo's range: 72 or 72.0, not "72". */
static bool
setpoint_of(const json &v, int *out)
{
	double d;

	if (v.is_number_unsigned())
		d = v.get<uint64_t>() > 1000 ? 1000 : (double)v.get<uint64_t>();
	else if (v.is_number_integer())
		d = v.get<int64_t>() < -1000 ? -1000 : (double)v.get<int64_t>();
	else if (v.is_number_float())
		d = v.get<double>();
	else
		return false;
	if (!isfinite(d) || d != floor(d) || d < 60 || d > 90)
		return false;
	*out = (int)d;
	return true;
}

/* A mode or fan text in any case; nothing around it. */
static int
word_of(const json &v, int (*of)(const char *))
{
	if (!v.is_string())
		return 0;
	const std::string &s = v.get_ref<const std::string &>();
	if (s.empty() || s.size() > 8)
		return 0;
	for (char ch : s)
		if (!((ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z')))
			return 0;
	return of(s.c_str());
}

/* A press or a target, its whole body in. */
static enum MHD_Result
change(struct MHD_Connection *c, struct request *rq)
{
	int kind, target, n;
	unsigned status;
	json shown;

	if (rq->route == R_SIM) {
		/* 0: suspended until the worker has kelvo's answer. */
		if ((status = websim_change(rq->sim, rq->body, c, &rq->job,
		    &shown)) == 0)
			return MHD_YES;
		return reply_json(c, rq, status, shown);
	}
	if (rq->route == R_PRESS) {
		n = link_press(rq->button);
		if (n == LINK_DOWN)
			return fail(c, rq, MHD_HTTP_SERVICE_UNAVAILABLE,
			    "kelvo is not running");
		if (n == LINK_FULL)
			return fail(c, rq, MHD_HTTP_TOO_MANY_REQUESTS,
			    "too many presses waiting");
		return reply_json(c, rq, MHD_HTTP_ACCEPTED,
		    json{ { "queued", n } });
	}

	json body = json::parse(rq->body, nullptr, false);
	if (body.is_discarded())
		return fail(c, rq, MHD_HTTP_BAD_REQUEST, "the body is not JSON");
	if (!body.is_object() || !body.contains("value"))
		return fail(c, rq, MHD_HTTP_BAD_REQUEST,
		    "the body must be an object with a value");
	const json &v = body["value"];
	switch (rq->route) {
	case R_SETPOINT:
		if (!setpoint_of(v, &target))
			return fail(c, rq, MHD_HTTP_BAD_REQUEST, "the set "
			    "point must be a whole number from 60 to 90");
		kind = DRIVE_SETPOINT;
		shown = target;
		break;
	case R_MODE:
		if ((target = word_of(v, client_mode_of)) == MODE_UNKNOWN)
			return fail(c, rq, MHD_HTTP_BAD_REQUEST,
			    "the mode must be HEAT, COOL or OFF");
		kind = DRIVE_MODE;
		shown = client_mode_name(target);
		break;
	default:
		if ((target = word_of(v, client_fan_of)) == FAN_UNKNOWN)
			return fail(c, rq, MHD_HTTP_BAD_REQUEST,
			    "the fan must be AUTO or ON");
		kind = DRIVE_FAN;
		shown = client_fan_name(target);
		break;
	}
	if (link_drive(kind, target) == LINK_DOWN)
		return fail(c, rq, MHD_HTTP_SERVICE_UNAVAILABLE,
		    "kelvo is not running");
	return reply_json(c, rq, MHD_HTTP_ACCEPTED, json{ { "target", shown } });
}

/* The headers are in: the rules, then what can be answered at once. */
static enum MHD_Result
admit(struct MHD_Connection *c, const char *url, const char *method,
    struct request *rq)
{
	const char *host = header(c, MHD_HTTP_HEADER_HOST);
	const char *origin = header(c, "Origin");
	const char *length, *allow;
	std::string h;
	long port;
	bool ok, get;

	if (origin != NULL && !same_origin(origin, host))
		rq->cors = cors_allowed(origin);
	/*
	 * Without a token, a page elsewhere could reach a loopback server
	 * through a name of its own that it points at 127.0.0.1.
	 */
	if (http_token[0] == '\0') {
		if (host == NULL || !authority(host, &h, &port) ||
		    !loopback_host(h))
			return fail(c, rq, MHD_HTTP_FORBIDDEN,
			    "the Host is not a loopback name or address");
	}
	/* A browser asks before a call of another origin, without the token. */
	if (cors_is_preflight(method, header(c,
	    "Access-Control-Request-Method"))) {
		if (rq->cors == NULL)
			return fail(c, rq, MHD_HTTP_FORBIDDEN,
			    "the Origin is not allowed");
		if (route_of(url, rq) == R_NONE)
			return fail(c, rq, MHD_HTTP_NOT_FOUND,
			    "no such resource");
		rq->preflight = true;
		return reply(c, rq, MHD_HTTP_NO_CONTENT, "text/plain", "", 0,
		    true, NULL);
	}
	if (http_token[0] != '\0' && !authorized(c, rq))
		return fail(c, rq, MHD_HTTP_UNAUTHORIZED, "a token is needed");
	if (origin != NULL && !same_origin(origin, host) && rq->cors == NULL)
		return fail(c, rq, MHD_HTTP_FORBIDDEN,
		    "the Origin is not this server");

	if ((rq->route = route_of(url, rq)) == R_NONE)
		return fail(c, rq, MHD_HTTP_NOT_FOUND, "no such resource");
	get = strcmp(method, "GET") == 0 || strcmp(method, "HEAD") == 0;
	if (rq->route == R_SIM) {
		ok = websim_method_ok(rq->sim, method);
		allow = websim_allow(rq->sim);
	} else if (rq->route == R_PRESS) {
		ok = strcmp(method, "POST") == 0;
		allow = "POST";
	} else if (rq->route >= R_SETPOINT) {
		ok = strcmp(method, "PUT") == 0;
		allow = "PUT";
	} else {
		ok = get;
		allow = "GET, HEAD";
	}
	if (!ok)
		return fail(c, rq, MHD_HTTP_METHOD_NOT_ALLOWED,
		    "method not allowed", allow);
	if (get)
		return serve(c, rq, strcmp(method, "HEAD") == 0);

	if (!json_type(header(c, MHD_HTTP_HEADER_CONTENT_TYPE)))
		return fail(c, rq, MHD_HTTP_UNSUPPORTED_MEDIA_TYPE,
		    "the Content-Type must be application/json");
	length = header(c, MHD_HTTP_HEADER_CONTENT_LENGTH);
	if (length != NULL && strtoull(length, NULL, 10) > HTTP_BODY_MAX)
		return fail(c, rq, MHD_HTTP_CONTENT_TOO_LARGE,
		    "the body is over 4096 bytes");
	return MHD_YES;
}

static enum MHD_Result
handle(void *cls, struct MHD_Connection *c, const char *url,
    const char *method, const char *version, const char *upload,
    size_t *upload_size, void **req_cls)
{
	struct request *rq = (struct request *)*req_cls;

	(void)cls;
	(void)version;
	if (rq == NULL) {
		if ((rq = new (std::nothrow) request()) == NULL)
			return MHD_NO;
		*req_cls = rq;
		return admit(c, url, method, rq);
	}
	if (rq->job) {
		/* Resumed: the worker has kelvo's answer. */
		json answer;
		unsigned status = websim_result(rq->job, &answer);
		return reply_json(c, rq, status, answer);
	}
	if (*upload_size > 0) {
		rq->received += *upload_size;
		if (rq->too_big || rq->body.size() + *upload_size >
		    HTTP_BODY_MAX)
			rq->too_big = true;
		else
			rq->body.append(upload, *upload_size);
		*upload_size = 0;
		return rq->received > BODY_DRAIN_MAX ? MHD_NO : MHD_YES;
	}
	if (rq->too_big)
		return fail(c, rq, MHD_HTTP_CONTENT_TOO_LARGE,
		    "the body is over 4096 bytes");
	return change(c, rq);
}

static void
completed(void *cls, struct MHD_Connection *c, void **req_cls,
    enum MHD_RequestTerminationCode how)
{
	(void)cls;
	(void)c;
	(void)how;
	delete (struct request *)*req_cls;
	*req_cls = NULL;
}

/*
 * libmicrohttpd's own messages.  Once serving, it speaks mostly of single
 * clients going away mid-response, which is their business and would
 * flood the log; what is kept is the server running short of connections
 * or descriptors, at most one line every LOG_GAP s.
 */
#define LOG_GAP		10

static std::atomic<bool> serving;

static void
logger(void *cls, const char *fmt, va_list ap)
{
	static const char *const keep[] = { "Server reached connection limit",
	    "Error accepting", "Hit process or system resource limit",
	    "Call to epoll_wait failed" };
	static std::atomic<long long> last{ -LOG_GAP * 1000 };
	char line[512];
	size_t n;
	bool wanted = !serving;

	(void)cls;
	vsnprintf(line, sizeof(line), fmt, ap);
	for (const char *k : keep)
		if (strncmp(line, k, strlen(k)) == 0 &&
		    link_now() - last >= LOG_GAP * 1000) {
			last = link_now();
			wanted = true;
		}
	if (!wanted)
		return;
	n = strlen(line);
	while (n > 0 && line[n - 1] == '\n')
		line[--n] = '\0';
	fprintf(stderr, "kelvo-web: httpd: %s\n", line);
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
	    MHD_OPTION_CONNECTION_LIMIT, (unsigned int)HTTP_CONN_MAX,
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
