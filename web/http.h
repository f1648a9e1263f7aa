/*
 * http.h - kelvo-web's HTTP server: the page, the JSON API and the
 * rules every request passes before it is served.
 *
 * One thread of libmicrohttpd's own polls every connection; the event
 * streams are suspended connections on that same thread (stream.h).  The
 * rules, in order: without a token, the Host must be a loopback name or
 * address (403), with one the request must carry it (401); an Origin must
 * name the Host's host and port (403); then the path (404), the method
 * (405), for a change a JSON content type (415) and a body of at most
 * HTTP_BODY_MAX bytes (413).
 */
#ifndef KELVO_WEB_HTTP_H
#define KELVO_WEB_HTTP_H

#define HTTP_BODY_MAX	4096	/* bytes of a request body */
#define HTTP_IDLE	10	/* s an idle connection is kept */
#define HTTP_CONN_MAX	512	/* connections at once */
#define HTTP_TOKEN_MAX	128	/* characters of a token */
#define HTTP_COOKIE	"kelvo_web_token"

/* The token requests must carry; "" when none is needed. */
extern char http_token[HTTP_TOKEN_MAX + 1];

/*
 * Serves on the listening socket fd (of address family family) until
 * http_stop(); -1 when the server cannot start.
 */
int	 http_start(int fd, int family);
/* Ends the event streams, then stops serving. */
void	 http_stop(void);

#endif
