/*
 * route.cpp - the rules, the routes and the answers.
 *
 * A request is judged as soon as its headers are in: the rules, the
 * route, the method and the size it announces; what needs no body is
 * answered then, a change once its body is in.  Every header is untrusted
 * text that may hold any byte.  Request bodies are parsed by nlohmann-json
 * without exceptions and checked field by field; nothing is pressed
 * before the whole request has been found good.
 *
 * Wrong tokens are counted per client address (an IPv6 client by its
 * /64, which one machine commonly has to itself).  A wrong token is
 * answered at once, and puts its address under penalty for
 * GUESS_FIRST_MS * 2^(n-1) ms after the n-th, up to GUESS_MAX_MS.  Under
 * penalty, any token but the right one is refused with 429 and a
 * Retry-After, neither counted nor told apart: a client that waits as
 * told is told about one guess per penalty.  Nothing is held back, so
 * no guess keeps a connection: holding them let one local process fill
 * every connection with its guesses and keep the user out.  The right
 * token is looked at and taken at once, whatever its address sent
 * before: on loopback every local process shares one address, and a
 * guesser there must not keep the real user out.  This is also why a
 * guesser that ignores the 429s still has its tokens compared; what
 * keeps it out is the token's length (ROUTE_TOKEN_MIN).  The right token
 * does not clear the count, or a guesser beside the user's page would
 * be told about its guesses quickly again at each of its requests; a
 * count is forgotten GUESS_FORGET_MS after its address's last wrong
 * token.
 *
 * A change of the simulation is judged here down to its batch; kelvo's
 * answer to it can take a while, so the server sends it (sim.h) and this
 * file never waits on kelvo.
 */
#include "route.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <algorithm>

#include "assets.h"
#include "cors.h"
#include "json.h"
#include "link.h"
#include "logline.h"
#include "parse.h"
#include "simjson.h"

#define GUESSERS	256	/* addresses whose wrong tokens are counted */
#define GUESS_FORGET_MS	(10 * 60 * 1000)	/* a count kept this long */

using nlohmann::json;
using nlohmann::ordered_json;

char route_token[ROUTE_TOKEN_MAX + 1];
static char cookie_name[sizeof(ROUTE_COOKIE) + 8];

struct route {
	const char	*path;		/* a whole path, or a prefix to '/' */
	const char	*allow;		/* the methods it takes, as in Allow */
	const char	*change;	/* those of them that take a JSON body */
	/* For a prefix: is rest (what follows it) a resource? */
	bool		(*has)(const char *rest);
	void		(*serve)(const struct route_request *rq,
			    const char *rest, struct route_answer *a);
};

static void
answer_json(struct route_answer *a, unsigned status, const json &j)
{
	a->status = status;
	a->type = "application/json";
	a->body = j.dump(-1, ' ', false, json::error_handler_t::replace);
	a->data = NULL;
	a->len = 0;
}

void
route_error(struct route_answer *a, unsigned status, const char *why)
{
	a->stream = false;
	a->send = false;
	answer_json(a, status, json{ { "error", why } });
}

static void
add_header(struct route_answer *a, const char *name, const std::string &v)
{
	a->headers.emplace_back(name, v);
}

/* Is the field's name name, in any case (and no NUL after it)? */
static bool
named(const std::pair<std::string, std::string> &f, const char *name)
{
	return f.first.size() == strlen(name) &&
	    strcasecmp(f.first.c_str(), name) == 0;
}

/* The first header named name, NULL when none. */
static const std::string *
header(const struct route_request *rq, const char *name)
{
	for (const auto &h : rq->headers)
		if (named(h, name))
			return &h.second;
	return NULL;
}

/* As header(), as a C string (the rules have refused any NUL in it). */
static const char *
header_text(const struct route_request *rq, const char *name)
{
	const std::string *v = header(rq, name);

	return v != NULL ? v->c_str() : NULL;
}

/*
 * Is a header that decides anything given twice, or with a NUL byte in
 * it?  Two Host headers could name two hosts, and which one counted
 * would be up to whoever read them; a NUL would end it early for C.
 */
static bool
ambiguous(const struct route_request *rq)
{
	static const char *const decisive[] = { "Host", "Origin",
	    "Authorization", "Content-Type", "Content-Length", "Cookie" };

	for (const char *name : decisive) {
		int n = 0;
		for (const auto &h : rq->headers)
			if (named(h, name)) {
				if (h.second.find('\0') != std::string::npos)
					return true;
				/* Cookie may come twice, its pairs are just more. */
				if (++n > 1 && strcmp(name, "Cookie") != 0)
					return true;
			}
	}
	return false;
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

/*
 * Compares given with the token in a time that does not depend on how
 * much of it is right.
 */
static bool
token_is(const std::string &given)
{
	size_t n = strlen(route_token), g = given.size();
	volatile unsigned char d;

	d = g != n;
	for (size_t i = 0; i < n; i++)
		d |= (unsigned char)route_token[i] ^
		    (unsigned char)(i < g ? given[i] : 0);
	return d == 0;
}

/*
 * The tokens a request carries: query, Authorization and, but from
 * another origin, the cookie.
 */
static void
tokens_of(const struct route_request *rq, bool cross,
    std::vector<std::string> *out, bool *in_query)
{
	*in_query = false;
	for (const auto &arg : rq->args)
		if (arg.first == "token") {
			out->push_back(arg.second);
			*in_query |= token_is(arg.second);
		}
	const char *auth = header_text(rq, "Authorization");
	if (auth != NULL && strncasecmp(auth, "Bearer ", 7) == 0) {
		auth += 7;
		while (*auth == ' ')
			auth++;
		out->push_back(auth);
	}
	/* A browser sends the cookie from every port of the host. */
	for (const auto &h : rq->headers) {
		if (cross || !named(h, "Cookie"))
			continue;
		/* name=value pairs, "; " between them. */
		for (size_t at = 0; at <= h.second.size();) {
			size_t end = h.second.find(';', at);
			if (end == std::string::npos)
				end = h.second.size();
			std::string pair = h.second.substr(at, end - at);
			pair.erase(0, pair.find_first_not_of(' '));
			size_t eq = pair.find('=');
			if (eq != std::string::npos &&
			    pair.compare(0, eq, cookie_name) == 0 &&
			    eq == strlen(cookie_name))
				out->push_back(pair.substr(eq + 1));
			at = end + 1;
		}
	}
}

/* Wrong tokens per address: how many, and when the last came. */
struct guesser {
	unsigned char	 key[9];	/* family, then an address or a /64 */
	int		 wrong;		/* 0: the slot is free */
	long long	 last;		/* ms */
	long long	 until;		/* ms: under penalty until then */
};

static struct guesser guessers[GUESSERS];

/* The key of an address: IPv4 whole (also when mapped), IPv6 its /64. */
static void
guess_key(const struct sockaddr_storage *ss, unsigned char key[9])
{
	memset(key, 0, 9);
	if (ss->ss_family == AF_INET6) {
		const struct in6_addr *a =
		    &((const struct sockaddr_in6 *)ss)->sin6_addr;
		if (IN6_IS_ADDR_V4MAPPED(a)) {
			key[0] = 4;
			memcpy(key + 1, a->s6_addr + 12, 4);
		} else {
			key[0] = 6;
			memcpy(key + 1, a->s6_addr, 8);
		}
	} else if (ss->ss_family == AF_INET) {
		key[0] = 4;
		memcpy(key + 1, &((const struct sockaddr_in *)ss)->sin_addr, 4);
	}
}

/*
 * The address's record, made when it has none.  With every slot taken,
 * the one with the fewest wrong tokens goes (the oldest of those): many
 * addresses guessing once each cannot wipe out a persistent guesser.
 */
static struct guesser *
guesser_of(const unsigned char key[9], long long now)
{
	struct guesser *free_one = NULL;

	for (struct guesser &g : guessers) {
		if (g.wrong > 0 && now - g.last > GUESS_FORGET_MS)
			g.wrong = 0;
		if (g.wrong > 0 && memcmp(g.key, key, 9) == 0)
			return &g;
		if (free_one == NULL || g.wrong < free_one->wrong ||
		    (g.wrong == free_one->wrong && g.last < free_one->last))
			free_one = &g;
	}
	memcpy(free_one->key, key, 9);
	free_one->wrong = 0;
	free_one->until = 0;
	return free_one;
}

static void
peer_text(const struct sockaddr_storage *ss, char *buf, size_t len)
{
	const void *a = ss->ss_family == AF_INET6 ?
	    (const void *)&((const struct sockaddr_in6 *)ss)->sin6_addr :
	    (const void *)&((const struct sockaddr_in *)ss)->sin_addr;

	if (inet_ntop(ss->ss_family == AF_INET6 ? AF_INET6 : AF_INET, a, buf,
	    (socklen_t)len) == NULL)
		snprintf(buf, len, "?");
}

static const struct route *route_of(const std::string &path,
    const char **rest);

/* What a guess was for, as its line says. */
static const char *
guessed_at(const struct route *r)
{
	return r == NULL ? "no resource" : r->path[0] != '\0' ? r->path :
	    "the page";
}

/*
 * Under penalty: a token that is not the right one refused cheaply, as
 * 429 with the whole seconds left, and a line of a kind of its own.
 */
static void
refuse_guess(const struct route_request *rq, const struct guesser *g,
    long long now, struct route_answer *a)
{
	char who[INET6_ADDRSTRLEN], after[24];
	const struct route *r;
	const char *rest;

	snprintf(after, sizeof(after), "%lld", (g->until - now + 999) / 1000);
	peer_text(&rq->peer, who, sizeof(who));
	r = route_of(rq->path, &rest);
	logline_on(r != NULL ? r->path : "?",
	    "a further wrong token from %s for %s, refused under penalty", who,
	    guessed_at(r));
	route_error(a, 429, "too many wrong tokens");
	add_header(a, "Retry-After", after);
}

/*
 * With a token: true when the request may go on; else the answer is
 * 401, or 429 while its address is under penalty.  cross: it comes from
 * another origin.  *in_query: the right token came in the query.
 */
static bool
authorized(const struct route_request *rq, bool cross,
    struct route_answer *a, bool *in_query)
{
	std::vector<std::string> given;
	unsigned char key[9];
	char who[INET6_ADDRSTRLEN];
	struct guesser *g;
	const struct route *r;
	const char *rest;
	long long now = link_now();
	bool right = false;

	tokens_of(rq, cross, &given, in_query);
	if (given.empty()) {
		route_error(a, 401, "a token is needed");
		add_header(a, "WWW-Authenticate", "Bearer");
		return false;
	}
	for (const std::string &t : given)
		right |= token_is(t);
	if (right)
		return true;
	guess_key(&rq->peer, key);
	g = guesser_of(key, now);
	g->last = now;
	if (g->wrong > 0 && now < g->until) {
		refuse_guess(rq, g, now, a);
		return false;
	}
	g->wrong += g->wrong < 1000000;
	g->until = now + std::min<long long>(GUESS_MAX_MS,
	    (long long)GUESS_FIRST_MS << std::min(g->wrong - 1, 16));
	peer_text(&rq->peer, who, sizeof(who));
	/* The route names the kind: guesses at one path do not hide another's. */
	r = route_of(rq->path, &rest);
	logline_on(r != NULL ? r->path : "?", "a wrong token from %s for %s",
	    who, guessed_at(r));
	route_error(a, 401, "wrong token");
	add_header(a, "WWW-Authenticate", "Bearer error=\"invalid_token\"");
	return false;
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

/* A change with neither a body nor a Content-Type: a bare call. */
static bool
bare_call(const struct route_request *rq)
{
	return header(rq, "Content-Type") == NULL && rq->body.empty() &&
	    !rq->too_big;
}

/* The page and its files. */
static void
serve_asset(const struct route_request *rq, const char *rest,
    struct route_answer *a)
{
	(void)rest;
	for (const struct asset *f = assets; f->path != NULL; f++)
		if (rq->path == f->path) {
			a->status = 200;
			a->type = f->type;
			a->data = f->data;
			a->len = f->len;
			return;
		}
}

static void
serve_state(const struct route_request *rq, const char *rest,
    struct route_answer *a)
{
	struct client_state st;

	(void)rq;
	(void)rest;
	if (!link_running() || !link_latest(&st))
		route_error(a, 503, "kelvo is not running");
	else
		answer_json(a, 200, client_state_json(&st));
}

static void
serve_history(const struct route_request *rq, const char *rest,
    struct route_answer *a)
{
	/* Only one thread serves, so one copy does. */
	static struct client_history history;

	(void)rq;
	(void)rest;
	link_history(&history);
	answer_json(a, 200, client_history_json(&history));
}

/* The server opens the stream itself; a HEAD gets its headers. */
static void
serve_events(const struct route_request *rq, const char *rest,
    struct route_answer *a)
{
	(void)rest;
	a->status = 200;
	a->type = "text/event-stream";
	a->stream = rq->method != "HEAD";
}

static bool
has_button(const char *rest)
{
	return client_button_of(rest, false) != 0;
}

static void
serve_press(const struct route_request *rq, const char *rest,
    struct route_answer *a)
{
	int btn = client_button_of(rest, false), n;

	(void)rq;
	/* 202 once queued: kelvo's answer comes to the log line. */
	n = link_press(btn);
	if (n == LINK_DOWN)
		route_error(a, 503, "kelvo is not running");
	else if (n == LINK_FULL)
		route_error(a, 429, "too many presses waiting");
	else
		answer_json(a, 202, json{ { "queued", n } });
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

/* The value of a {"value": ...} body; NULL with the 400 answered. */
static const json *
value_of(const struct route_request *rq, json *body, struct route_answer *a)
{
	*body = json::parse(rq->body, nullptr, false);
	if (body->is_discarded()) {
		route_error(a, 400, "the body is not JSON");
		return NULL;
	}
	if (!body->is_object() || !body->contains("value")) {
		route_error(a, 400, "the body must be an object with a value");
		return NULL;
	}
	return &(*body)["value"];
}

/*
 * Queues a setting's target as one batch (202 once queued, as a press),
 * shown as it is answered.
 */
static void
target(const char *name, const char *value, const json &shown,
    struct route_answer *a)
{
	int n = link_set(name, value);

	if (n == LINK_DOWN)
		route_error(a, 503, "kelvo is not running");
	else if (n == LINK_FULL)
		route_error(a, 429, "too many presses waiting");
	else if (n == LINK_BAD)
		route_error(a, 400, "the value is outside the thermostat's "
		    "limits");
	else
		answer_json(a, 202, json{ { "target", shown } });
}

static void
serve_setpoint(const struct route_request *rq, const char *rest,
    struct route_answer *a)
{
	const json *v;
	json body;
	int t;

	(void)rest;
	if ((v = value_of(rq, &body, a)) == NULL)
		return;
	/* A JSON number, and a whole one: 72 or 72.0, not "72" or 70.5. */
	if (!client_setpoint(*v, 0, &t))
		route_error(a, 400,
		    "the set point must be a whole number from "
		    KC_STR(KC_SETPOINT_MIN) " to " KC_STR(KC_SETPOINT_MAX));
	else
		target("ts_temp", std::to_string(t).c_str(), t, a);
}

static int modern_mode_of(const char *);
static bool link_modern(void);
static void send_batch(struct route_answer *);

static void
serve_mode(const struct route_request *rq, const char *rest,
    struct route_answer *a)
{
	const json *v;
	json body;
	int t;

	(void)rest;
	if ((v = value_of(rq, &body, a)) == NULL)
		return;
	if ((t = word_of(*v, modern_mode_of)) == MODE_UNKNOWN)
		route_error(a, 400, "the mode must be HEAT, COOL, AUTO or OFF");
	else if (t == MODE_AUTO && !link_modern())
		route_error(a, 409, "AUTO is a mode of the modern profile only "
		    "(profile::modern first)");
	else
		target("ts_mode", kc_mode_name(t), kc_mode_name(t), a);
}

static int
modern_mode_of(const char *s)
{
	return kc_mode_of_as(KC_PROFILE_MODERN, s);
}

/* Whether kelvo's latest outputs are a modern thermostat's. */
static bool
link_modern(void)
{
	struct client_state st;

	return link_latest(&st) && st.modern;
}

/*
 * A change made by control commands rather than presses: the band and
 * the presets.  kelvo's refusal (the deadband's, the limits', the
 * classic profile's) is a 409 with its words.
 */
static void
send_rule_batch(const ordered_json &cmd, struct route_answer *a)
{
	std::string why;

	client_batch_init(&a->batch);
	if (!client_batch_json(cmd, &a->batch, &why)) {
		route_error(a, 400, why.c_str());
		return;
	}
	a->refused = 409;
	send_batch(a);
}

/*
 * A whole number of degrees, 72 or 72.0; its limits are kelvo's to
 * judge, so that a refusal has the limit's own words.
 */
static bool
degrees(const json &v, int *out)
{
	if (!v.is_number())
		return false;
	double d = v.get<double>();
	if (d != floor(d) || fabs(d) > KC_TEMP_MAX)
		return false;
	*out = (int)d;
	return true;
}

/* PUT /api/range {"low": L, "high": H}: the band, low end first. */
static void
serve_range(const struct route_request *rq, const char *rest,
    struct route_answer *a)
{
	json body = json::parse(rq->body, nullptr, false);
	ordered_json cmd;
	int low, high;

	(void)rest;
	if (body.is_discarded()) {
		route_error(a, 400, "the body is not JSON");
		return;
	}
	if (!body.is_object() || body.size() != 2 || !body.contains("low") ||
	    !body.contains("high") || !degrees(body["low"], &low) ||
	    !degrees(body["high"], &high)) {
		route_error(a, 400, "the body must be {\"low\": L, \"high\": H}, "
		    "whole numbers of degrees");
		return;
	}
	/* Both asked for: a band narrower than the deadband moves neither. */
	if (high - low < KC_DEADBAND) {
		char why[128];
		snprintf(why, sizeof(why), "the band %d..%d is narrower than "
		    "the deadband: ts_temp_high - ts_temp_low must be at least "
		    "%d", low, high, KC_DEADBAND);
		route_error(a, 409, why);
		return;
	}
	/*
	 * The low end first: a valid band is reached from any other that
	 * way, as a push of the high end is then undone by its own setting.
	 */
	cmd["ts_temp_low"] = low;
	cmd["ts_temp_high"] = high;
	send_rule_batch(cmd, a);
}

/* PUT /api/preset {"preset": NAME}. */
static void
serve_preset(const struct route_request *rq, const char *rest,
    struct route_answer *a)
{
	json body = json::parse(rq->body, nullptr, false);
	ordered_json cmd;

	(void)rest;
	if (body.is_discarded()) {
		route_error(a, 400, "the body is not JSON");
		return;
	}
	if (!body.is_object() || body.size() != 1 ||
	    !body.contains("preset") || !body["preset"].is_string() ||
	    kc_preset_of(body["preset"].get_ref<const std::string &>()
	    .c_str()) <= PRESET_NONE) {
		route_error(a, 400, "the body must be {\"preset\": NAME}, NAME "
		    "home, away or sleep");
		return;
	}
	cmd["preset"] = body["preset"];
	send_rule_batch(cmd, a);
}

static void
serve_fan(const struct route_request *rq, const char *rest,
    struct route_answer *a)
{
	const json *v;
	json body;
	int t;

	(void)rest;
	if ((v = value_of(rq, &body, a)) == NULL)
		return;
	if ((t = word_of(*v, kc_fan_of)) == FAN_UNKNOWN)
		route_error(a, 400, "the fan must be AUTO or ON");
	else
		target("ts_fan", kc_fan_name(t), kc_fan_name(t), a);
}

/*
 * The simulation: its object read here, its changes made into a batch
 * that the server sends (the answer stays a 503 unless it does).
 */
static void
send_batch(struct route_answer *a)
{
	route_error(a, 503, "the batch was not sent");
	a->send = true;
}

/* GET /api/sim, or a PUT of an object of control commands. */
static void
serve_sim(const struct route_request *rq, const char *rest,
    struct route_answer *a)
{
	struct client_sim sim;
	std::string why;
	ordered_json j;

	(void)rest;
	if (rq->method == "PUT") {
		client_batch_init(&a->batch);
		j = ordered_json::parse(rq->body, nullptr, false);
		if (j.is_discarded())
			route_error(a, 400, "the body is not JSON");
		else if (!client_batch_json(j, &a->batch, &why))
			route_error(a, 400, why.c_str());
		else
			send_batch(a);
		return;
	}
	if (!client_sim_read(&sim))
		route_error(a, 503, "kelvo is not running (no sim object)");
	else if (!link_running())
		route_error(a, 503, "kelvo is not running");
	else
		answer_json(a, 200, client_sim_json(&sim));
}

/* POST /api/sim/step: {"ticks": N}, or no body at all for one tick. */
static void
serve_sim_step(const struct route_request *rq, const char *rest,
    struct route_answer *a)
{
	std::string why;
	ordered_json j, cmd;

	(void)rest;
	j = bare_call(rq) ? ordered_json{ { "ticks", 1 } } :
	    ordered_json::parse(rq->body, nullptr, false);
	if (j.is_discarded()) {
		route_error(a, 400, "the body is not JSON");
		return;
	}
	if (!j.is_object() || j.size() != 1 || !j.contains("ticks")) {
		route_error(a, 400, "the body must be {\"ticks\": N}");
		return;
	}
	cmd["step"] = j["ticks"];
	client_batch_init(&a->batch);
	if (!client_batch_json(cmd, &a->batch, &why))
		route_error(a, 400, "ticks must be a whole number");
	else
		send_batch(a);
}

/* POST /api/sim/reset: no body, or {}. */
static void
serve_sim_reset(const struct route_request *rq, const char *rest,
    struct route_answer *a)
{
	std::string why;
	ordered_json j = ordered_json::object(), cmd;

	(void)rest;
	/* A reset needs no body; an empty object is no body either. */
	if (rq->body.find_first_not_of(" \t\r\n") != std::string::npos)
		j = ordered_json::parse(rq->body, nullptr, false);
	if (j.is_discarded()) {
		route_error(a, 400, "the body is not JSON");
		return;
	}
	if (!j.is_object() || !j.empty()) {
		route_error(a, 400, "a reset takes no body (or {})");
		return;
	}
	cmd["reset"] = "defaults";
	client_batch_init(&a->batch);
	if (!client_batch_json(cmd, &a->batch, &why))
		route_error(a, 400, why.c_str());
	else
		send_batch(a);
}

static const struct route routes[] = {
	{ "/api/state", "GET, HEAD", "", NULL, serve_state },
	{ "/api/history", "GET, HEAD", "", NULL, serve_history },
	{ "/api/events", "GET, HEAD", "", NULL, serve_events },
	{ "/api/press/", "POST", "POST", has_button, serve_press },
	{ "/api/setpoint", "PUT", "PUT", NULL, serve_setpoint },
	{ "/api/mode", "PUT", "PUT", NULL, serve_mode },
	{ "/api/fan", "PUT", "PUT", NULL, serve_fan },
	{ "/api/range", "PUT", "PUT", NULL, serve_range },
	{ "/api/preset", "PUT", "PUT", NULL, serve_preset },
	{ "/api/sim", "GET, HEAD, PUT", "PUT", NULL, serve_sim },
	{ "/api/sim/step", "POST", "POST", NULL, serve_sim_step },
	{ "/api/sim/reset", "POST", "POST", NULL, serve_sim_reset },
};
/*
 * The changes whose body is optional, which may come with no body and no
 * Content-Type, as generated clients send such a call.
 */
static bool
takes_bare(const struct route *r)
{
	return r->serve == serve_press || r->serve == serve_sim_step ||
	    r->serve == serve_sim_reset;
}

static const struct route asset_route = { "", "GET, HEAD", "", NULL,
    serve_asset };

/* The route of a path, with what follows a prefix; NULL for none. */
static const struct route *
route_of(const std::string &path, const char **rest)
{
	*rest = "";
	if (path.find('\0') != std::string::npos)
		return NULL;
	for (const struct route &r : routes) {
		size_t n = strlen(r.path);
		if (r.has == NULL ? path == r.path :
		    path.compare(0, n, r.path) == 0 && r.has(path.c_str() + n)) {
			*rest = path.c_str() + (r.has != NULL ? n : 0);
			return &r;
		}
	}
	for (const struct asset *f = assets; f->path != NULL; f++)
		if (path == f->path)
			return &asset_route;
	return NULL;
}

/* Is method one of those in allow ("GET, HEAD")? */
static bool
allowed(const std::string &method, const char *allow)
{
	size_t n = method.size();

	for (const char *p = allow; *p != '\0'; p += strspn(p, ", ")) {
		size_t len = strcspn(p, ", ");
		if (len == n && method.compare(0, n, p, len) == 0)
			return true;
		p += len;
	}
	return false;
}

void
route_setup(const char *token, unsigned port)
{
	snprintf(route_token, sizeof(route_token), "%s", token ? token : "");
	snprintf(cookie_name, sizeof(cookie_name), "%s%u", ROUTE_COOKIE, port);
}

/*
 * Who may ask: the Host, the Origin, a preflight and the token.  True when
 * a is the answer already (a refusal, or the preflight's).
 */
static bool
gatekeep(const struct route_request *rq, struct route_answer *a)
{
	const char *host, *origin, *rest, *cors = NULL;
	std::string h;
	long port;
	bool in_query = false, cross;

	if (ambiguous(rq)) {
		route_error(a, 400, "a header is given twice or holds a NUL");
		return true;
	}
	host = header_text(rq, "Host");
	origin = header_text(rq, "Origin");
	cross = origin != NULL && !same_origin(origin, host);
	/* An allowed origin's page reads refusals too: they say it is. */
	if (cross && (cors = cors_allowed(origin)) != NULL)
		cors_headers(&a->headers, cors);
	/*
	 * Without a token, a page elsewhere could reach a loopback server
	 * through a name of its own that it points at 127.0.0.1.
	 */
	if (route_token[0] == '\0' && (host == NULL ||
	    !authority(host, &h, &port) || !loopback_host(h))) {
		route_error(a, 403, "the Host is not a loopback name or address");
		return true;
	}
	/* A browser asks before a call of another origin, without the token. */
	if (cors_is_preflight(rq->method.c_str(),
	    header_text(rq, "Access-Control-Request-Method"))) {
		if (cors == NULL)
			route_error(a, 403, "the Origin is not allowed");
		else if (route_of(rq->path, &rest) == NULL)
			route_error(a, 404, "no such resource");
		else {
			a->status = 204;
			a->type = "text/plain";
			cors_preflight_headers(&a->headers);
		}
		return true;
	}
	if (route_token[0] != '\0' && !authorized(rq, cross, a, &in_query))
		return true;
	if (cross && cors == NULL) {
		route_error(a, 403, "the Origin is not this server");
		return true;
	}
	/*
	 * The page's later requests carry the token without showing it;
	 * another origin's never count it, so it gets none.
	 */
	if (in_query && !cross)
		add_header(a, "Set-Cookie", std::string(cookie_name) + "=" +
		    route_token + "; Path=/; HttpOnly; SameSite=Strict");
	return false;
}

bool
route_head(const struct route_request *rq, struct route_answer *a)
{
	const struct route *r;
	const char *length, *rest;

	if (gatekeep(rq, a))
		return true;
	if ((r = route_of(rq->path, &rest)) == NULL) {
		route_error(a, 404, "no such resource");
		return true;
	}
	if (!allowed(rq->method, r->allow)) {
		route_error(a, 405, "method not allowed");
		add_header(a, "Allow", r->allow);
		return true;
	}
	if (!allowed(rq->method, r->change)) {
		r->serve(rq, rest, a);
		return true;
	}
	length = header_text(rq, "Content-Length");
	/* A bare call is judged once its body proves to be none (route_body). */
	if (!json_type(header_text(rq, "Content-Type")) && !(takes_bare(r) &&
	    header(rq, "Content-Type") == NULL && (length == NULL ||
	    strtoull(length, NULL, 10) == 0))) {
		route_error(a, 415, "the Content-Type must be application/json");
		return true;
	}
	if (length != NULL && strtoull(length, NULL, 10) > ROUTE_BODY_MAX) {
		route_error(a, 413, "the body is over 4096 bytes");
		return true;
	}
	return false;
}

void
route_body(const struct route_request *rq, struct route_answer *a)
{
	const struct route *r;
	const char *rest;

	if (rq->too_big)
		route_error(a, 413, "the body is over 4096 bytes");
	else if ((r = route_of(rq->path, &rest)) == NULL ||
	    !allowed(rq->method, r->change))
		route_error(a, 500, "no change at this path");
	/* No Content-Type, yet a body came after all (chunked): no JSON. */
	else if (header(rq, "Content-Type") == NULL && !bare_call(rq))
		route_error(a, 415, "the Content-Type must be application/json");
	else
		r->serve(rq, rest, a);
}
