/*
 * route.h - a request judged and answered, apart from the server.
 *
 * The server (http.cpp) hands over what libmicrohttpd has parsed: the
 * client's address, the method, the path, the query's arguments, the
 * headers and, once it is in, the body; it gets back what to send.
 * Nothing here touches a connection, so that a fuzzer can drive the very
 * code that serves.  The rules, in order: a header that decides anything
 * given twice (400); without a token, the Host must be a loopback name
 * or address (403); a preflight (OPTIONS asking for a method) is
 * answered here, without a token: 204 for an allowed origin (cors.h)
 * and a path that is one, else 403 or 404; with a token the request
 * must carry one (401, "a token is needed") and the right one (401,
 * "wrong token"; while the address is under penalty for its last wrong
 * one, 429 "too many wrong tokens" with a Retry-After); an Origin must
 * name the Host's host and port or be allowed (403); then the path (404), the method (405),
 * for a change a JSON content type (415; a press, a step and a reset may
 * also come bare, with neither a body nor a Content-Type) and a body of
 * at most ROUTE_BODY_MAX bytes (413).  Every answer to an allowed origin, a
 * refusal too, says it is allowed.
 *
 * A new resource is one more line in the routes table of route.cpp: its
 * path, the methods it takes, which of them are changes, and its
 * handler.  A change of the simulation is answered with a batch for the
 * server to send (send): kelvo's answer to it is the answer.  Only the
 * server's thread calls in here.
 */
#ifndef KELVO_WEB_ROUTE_H
#define KELVO_WEB_ROUTE_H

#include <sys/socket.h>

#include <string>
#include <utility>
#include <vector>

#include "control.h"

#define ROUTE_BODY_MAX	4096	/* bytes of a request body */
#define ROUTE_TOKEN_MIN	16	/* characters of a token, at least */
#define ROUTE_TOKEN_MAX	128	/* and at most */
#define ROUTE_COOKIE	"kelvo_web_token_"	/* and the port */
#define GUESS_FIRST_MS	100	/* penalty after a first wrong token */
#define GUESS_MAX_MS	10000	/* it doubles with each up to this */

typedef std::vector<std::pair<std::string, std::string>> route_fields;

struct route_request {
	struct sockaddr_storage	 peer;		/* the client */
	std::string		 method, path;
	route_fields		 args;		/* the query's, unescaped */
	route_fields		 headers;	/* in the order sent */
	std::string		 body;		/* up to ROUTE_BODY_MAX */
	bool			 too_big = false; /* the body ran over */
};

struct route_answer {
	unsigned		 status = 0;
	const char		*type = NULL;
	std::string		 body;
	const char		*data = NULL;	/* else, a body that stays */
	size_t			 len = 0;
	route_fields		 headers;	/* besides every answer's */
	bool			 stream = false; /* an event stream instead */
	/*
	 * Or this batch sent to kelvo first, and its result the answer;
	 * until then the answer is a 503.
	 */
	bool			 send = false;
	struct client_batch	 batch;
	/* The status of a batch kelvo refuses: 409 where it is a rule's. */
	unsigned		 refused = 400;
};

/* The token requests must carry; "" when none is needed. */
extern char route_token[ROUTE_TOKEN_MAX + 1];

/*
 * The token (NULL for none) and the port, which names the cookie: two
 * servers on one host must not overwrite each other's.
 */
void	 route_setup(const char *token, unsigned port);
/*
 * The headers are in: true with the answer when there is one now, false
 * when a change wants its body first.
 */
bool	 route_head(const struct route_request *rq, struct route_answer *a);
/* The body of a change is in (or too_big): its answer. */
void	 route_body(const struct route_request *rq, struct route_answer *a);
/* A refusal: status and {"error": why}. */
void	 route_error(struct route_answer *a, unsigned status, const char *why);

#endif
