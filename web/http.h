/*
 * http.h - kelvo-web's HTTP server: connections, their limits and
 * deadlines, and the answers route.h decides put on the wire.
 *
 * One thread of libmicrohttpd's own polls every connection; the event
 * streams are suspended connections on that same thread (stream.h).
 * A connection is kept while it keeps to its deadlines: a request must be
 * in whole, headers and body, within HTTP_REQUEST_TIME s of the
 * connection opening, or within HTTP_IDLE s of the answer before it;
 * an answer must not stall for HTTP_IDLE s.  No client address has more
 * than HTTP_CONN_PER_ADDR connections, so that one client cannot take
 * all HTTP_CONN_MAX.  At either limit a newcomer takes the place of the
 * oldest connection still waiting for its request (of its own address
 * at that one's limit), so that clients that connect and wait, idle or
 * a byte at a time, keep out none that bring their requests.  Every
 * answer goes as soon as it is known: none holds its connection.
 */
#ifndef KELVO_WEB_HTTP_H
#define KELVO_WEB_HTTP_H

#define HTTP_IDLE		10	/* s a connection may idle */
#define HTTP_REQUEST_TIME	5	/* s for a first request */
#define HTTP_CONN_MAX		512	/* connections at once */
#define HTTP_CONN_PER_ADDR	128	/* of them from one address */
#define HTTP_CONN_SLACK		64	/* given way, not yet closed */

/*
 * Serves on the listening socket fd (of address family family) until
 * http_stop(); -1 when the server cannot start.
 */
int	 http_start(int fd, int family);
/* About once a second: ends connections past their deadline. */
void	 http_tick(void);
/* Answers the batches under way, ends the event streams, stops serving. */
void	 http_stop(void);

#endif
