/*
 * stream.h - the event streams of /api/events.
 *
 * A stream is one HTTP connection held open by the server's own thread:
 * suspended while there is nothing to send, resumed when a publication,
 * a change of kelvo's running or a keep-alive comment is queued for it.
 * No thread waits per client.  A client that hangs up is noticed when a
 * write to it fails, by a look at its socket once a second while it is
 * suspended, and by a look at every stream before a new one is refused.
 */
#ifndef KELVO_WEB_STREAM_H
#define KELVO_WEB_STREAM_H

#include "client.h"
#include "control.h"

#define STREAM_MAX	64	/* open streams at once */
#define STREAM_QUIET	10	/* s without a write before a comment goes */
#define STREAM_BACKLOG	65536	/* bytes a client may fall behind by */

struct MHD_Connection;
struct MHD_Response;

/*
 * A stream on c with its first events (the latest state when there is
 * one, then whether kelvo runs) queued; the caller queues the response.
 * NULL when STREAM_MAX are open or the server is closing.  Only on the
 * server's thread.
 */
struct MHD_Response *stream_open(struct MHD_Connection *c);
/* A text kelvo published: a state event to every stream. */
void	 stream_state(const struct client_state *st);
/* The sim object changed: a sim event to every stream. */
void	 stream_sim(const struct client_sim *sim);
/* kelvo began or ceased running: a status event to every stream. */
void	 stream_status(bool running);
/* Once a second: keep-alive comments and hung-up clients. */
void	 stream_tick(void);
/*
 * Ends every stream after what is queued for it, refuses new ones, and
 * waits at most ms for them to close.  After it the server may stop.
 */
void	 stream_close_all(int ms);

#endif
