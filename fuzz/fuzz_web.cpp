/*
 * fuzz_web.cpp - kelvo-web's request handling against arbitrary requests.
 *
 * The part of kelvo-web that judges a request, routes it and parses its
 * body (route.cpp) is driven as the server drives it, without the
 * server: libmicrohttpd's own parser is not what is under test.  An input
 * is one request, laid out as it travels:
 *
 *	flags byte, then "METHOD PATH[?QUERY]\n", header lines
 *	"Name: value\n", an empty line, and the body
 *
 * The flags choose whether a token is needed and which client address
 * sends it, so that the token rules and the count of wrong guesses are
 * reached too; ALLOWED is an allowed origin, so that the preflight and
 * another origin's rules are.  With no kelvo running, everything that
 * gets as far as kelvo is refused with 503; a batch for the simulation
 * is never sent, since only the server sends them, and its answer stays
 * the 503 it has until then.  Each answer is checked for what every
 * answer must be: a status the server can send, a type, a body that is
 * the JSON error for a refusal, a stream only for a GET, and a batch only
 * for a change.
 */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include <nlohmann/json.hpp>

#include "cors.h"
#include "route.h"

#define CHECK(cond, ...)                                                  \
	do {                                                              \
		if (!(cond)) {                                            \
			fprintf(stderr, "fuzz_web: %s: ", #cond);         \
			fprintf(stderr, __VA_ARGS__);                     \
			fputc('\n', stderr);                              \
			abort();                                          \
		}                                                         \
	} while (0)

#define TOKEN	"fuzz-token-0123456789"
#define ALLOWED	"http://127.0.0.1:5173"

/* Up to sep from *p on (sep taken off); the rest when there is none. */
static std::string
take(const std::string &s, size_t *p, char sep)
{
	size_t end = s.find(sep, *p);
	std::string part;

	if (end == std::string::npos)
		end = s.size();
	part = s.substr(*p, end - *p);
	*p = end < s.size() ? end + 1 : s.size();
	return part;
}

static void
check(const struct route_request &rq, const struct route_answer &a)
{
	CHECK(a.status >= 200 && a.status <= 599, "status %u", a.status);
	CHECK(a.type != NULL, "no type for %u", a.status);
	if (a.stream)
		CHECK(rq.method == "GET" && a.status == 200, "a stream for %s",
		    rq.method.c_str());
	if (a.status >= 400) {
		nlohmann::json j = nlohmann::json::parse(a.body, nullptr, false);
		CHECK(j.is_object() && j.contains("error") &&
		    j["error"].is_string(), "refusal %u without an error: %s",
		    a.status, a.body.c_str());
	}
	if (a.data != NULL)
		CHECK(a.status == 200 && a.len > 0, "a file with %u", a.status);
	if (a.send)
		CHECK((rq.method == "PUT" || rq.method == "POST") &&
		    a.status == 503 && a.batch.n > 0, "a batch for %s, %u",
		    rq.method.c_str(), a.status);
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	struct route_request rq;
	struct route_answer a;
	std::string in, line, name;
	size_t p = 0, colon, q;
	uint8_t flags;

	if (size < 1)
		return 0;
	flags = data[0];
	in.assign((const char *)data + 1, size - 1);
	route_setup(flags & 1 ? TOKEN : NULL, 8080);
	if (!cors_allowed(ALLOWED)) {
		const char *why;
		CHECK(cors_allow(ALLOWED, &why), "%s", why);
	}

	memset(&rq.peer, 0, sizeof(rq.peer));
	if (flags & 2) {
		struct sockaddr_in6 *s6 = (struct sockaddr_in6 *)&rq.peer;
		s6->sin6_family = AF_INET6;
		s6->sin6_addr.s6_addr[15] = (uint8_t)(flags >> 2);
		if (flags & 4) {	/* an IPv4-mapped one */
			s6->sin6_addr.s6_addr[10] = 0xff;
			s6->sin6_addr.s6_addr[11] = 0xff;
			s6->sin6_addr.s6_addr[12] = 127;
		}
	} else {
		struct sockaddr_in *s4 = (struct sockaddr_in *)&rq.peer;
		s4->sin_family = AF_INET;
		s4->sin_addr.s_addr = htonl(0x7f000000u | (flags >> 2));
	}

	line = take(in, &p, '\n');
	q = 0;
	rq.method = take(line, &q, ' ');
	std::string target = take(line, &q, ' ');
	q = 0;
	rq.path = take(target, &q, '?');
	while (q < target.size()) {
		std::string arg = take(target, &q, '&');
		size_t eq = arg.find('=');
		rq.args.emplace_back(arg.substr(0, eq), eq == std::string::npos ?
		    "" : arg.substr(eq + 1));
	}
	while (p < in.size() && !(line = take(in, &p, '\n')).empty()) {
		if ((colon = line.find(':')) == std::string::npos)
			continue;
		name = line.substr(0, colon);
		colon++;
		while (colon < line.size() && line[colon] == ' ')
			colon++;
		rq.headers.emplace_back(name, line.substr(colon));
	}

	if (route_head(&rq, &a)) {
		check(rq, a);
		return 0;
	}
	CHECK(rq.method == "POST" || rq.method == "PUT", "%s wants a body",
	    rq.method.c_str());
	if (in.size() - p > ROUTE_BODY_MAX)
		rq.too_big = true;
	else
		rq.body = in.substr(p);
	route_body(&rq, &a);
	check(rq, a);
	CHECK(!rq.too_big || a.status == 413, "too big but %u", a.status);
	return 0;
}
