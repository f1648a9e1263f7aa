/*
 * stream.cpp - event streams by suspending and resuming connections.
 *
 * Each stream has a buffer of bytes not yet handed to the server.  The
 * server's thread drains it through the content reader; when it finds it
 * empty, it suspends the connection and marks the stream suspended, both
 * under stream_mutex, so that nobody sees the mark before the suspension
 * is real.  Whoever queues bytes takes the mark off under the lock and
 * resumes the connection after dropping it: a suspended connection cannot
 * be closed by the server, so it is still there to resume, and since only
 * the one who took the mark off resumes, it is resumed exactly once.
 * `resuming` counts those calls under way, so that the server is never
 * stopped under one of them.
 *
 * A stream whose client hung up or fell too far behind is marked gone:
 * it stops counting at once, and the content reader ends it the next
 * time the server asks it for bytes.
 */
#include "stream.h"

#include <poll.h>
#include <pthread.h>
#include <string.h>
#include <time.h>

#include <new>
#include <string>

#include <microhttpd.h>

#include "json.h"
#include "link.h"
#include "platform.h"
#include "simjson.h"
#include "simlink.h"

#define STREAM_KEEP	4096	/* bytes of buffer an idle stream keeps */

/* Gone streams keep a slot until the server has closed them. */
#define STREAM_SLOTS	(2 * STREAM_MAX)

struct stream {
	struct MHD_Connection	*conn;
	int			 fd;		/* its socket, for hang-up looks */
	std::string		 out;		/* bytes not yet sent */
	bool			 suspended;	/* the server holds it suspended */
	bool			 gone;		/* end it: the client is gone */
	long long		 last;		/* ms bytes were last queued */
};

static pthread_mutex_t stream_mutex = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t stream_cond = PTHREAD_COND_INITIALIZER; /* a stream
						   closed, a resume ended */
/* All guarded by stream_mutex. */
static struct stream *slot[STREAM_SLOTS];
static int nslots;				/* slots in use */
static bool closing;
static int resuming;				/* resumes outside the lock */

/* Connections to resume once the lock is dropped. */
struct wakeups {
	struct MHD_Connection	*conn[STREAM_SLOTS];
	int			 n;
};

/* With the lock held: s is to be resumed by the caller. */
static void
wake(struct stream *s, struct wakeups *w)
{
	if (!s->suspended)
		return;
	s->suspended = false;
	w->conn[w->n++] = s->conn;
	resuming++;
}

/* Without the lock: resumes what wake() collected. */
static void
resume(struct wakeups *w)
{
	if (w->n == 0)
		return;
	for (int i = 0; i < w->n; i++)
		MHD_resume_connection(w->conn[i]);
	pthread_mutex_lock(&stream_mutex);
	resuming -= w->n;
	pthread_cond_broadcast(&stream_cond);
	pthread_mutex_unlock(&stream_mutex);
	w->n = 0;
}

/* With the lock held: queues text for s, or gives up on a laggard. */
static void
queue(struct stream *s, const std::string &text, long long now,
    struct wakeups *w)
{
	if (s->gone)
		return;
	if (s->out.size() + text.size() > STREAM_BACKLOG)
		s->gone = true;
	else {
		s->out += text;
		s->last = now;
	}
	wake(s, w);
}

/* Streams open and not yet known to be gone; the lock held. */
static int
count_locked(void)
{
	int n = 0;

	for (int i = 0; i < STREAM_SLOTS; i++)
		if (slot[i] != NULL && !slot[i]->gone)
			n++;
	return n;
}

/*
 * With the lock held: marks gone the streams whose client has hung up.
 * A stream's socket is safe to look at while its connection is suspended
 * (the server cannot close it), or from the server's own thread (which
 * alone closes connections), hence all_safe.
 */
static void
look_for_hangups(bool all_safe, struct wakeups *w)
{
	struct pollfd pfd[STREAM_SLOTS];
	struct stream *who[STREAM_SLOTS];
	int n = 0;

	for (int i = 0; i < STREAM_SLOTS; i++) {
		struct stream *s = slot[i];
		if (s == NULL || s->gone || s->fd < 0 ||
		    !(all_safe || s->suspended))
			continue;
		pfd[n].fd = s->fd;
		pfd[n].events = POLLRDHUP;
		pfd[n].revents = 0;
		who[n++] = s;
	}
	if (n == 0 || poll(pfd, (nfds_t)n, 0) <= 0)
		return;
	for (int i = 0; i < n; i++)
		if (pfd[i].revents & (POLLRDHUP | POLLHUP | POLLERR |
		    POLLNVAL)) {
			who[i]->gone = true;
			wake(who[i], w);
		}
}

static std::string
event(const char *name, const nlohmann::json &data)
{
	/* dump() never breaks a line, as a data field must not. */
	return std::string("event: ") + name + "\ndata: " + data.dump(-1, ' ',
	    false, nlohmann::json::error_handler_t::replace) + "\n\n";
}

static std::string
status_event(bool running)
{
	return event("status", nlohmann::json{ { "running", running } });
}

/* The server's thread asks for bytes of stream cls. */
static ssize_t
stream_read(void *cls, uint64_t pos, char *buf, size_t max)
{
	struct stream *s = (struct stream *)cls;
	ssize_t n;

	(void)pos;
	pthread_mutex_lock(&stream_mutex);
	/* A client that is gone gets a clean end: there is no error of ours
	 * to report, and one that only fell behind reconnects. */
	if (s->gone)
		n = MHD_CONTENT_READER_END_OF_STREAM;
	else if (!s->out.empty()) {
		size_t len = s->out.size() < max ? s->out.size() : max;
		memcpy(buf, s->out.data(), len);
		s->out.erase(0, len);
		/* A client that fell behind for a while leaves a buffer
		 * of up to STREAM_BACKLOG behind: give it back. */
		if (s->out.empty() && s->out.capacity() > STREAM_KEEP)
			std::string().swap(s->out);
		n = (ssize_t)len;
	} else if (closing)
		n = MHD_CONTENT_READER_END_OF_STREAM;
	else {
		/* Nothing to send: off the server's loop until there is. */
		MHD_suspend_connection(s->conn);
		s->suspended = true;
		n = 0;
	}
	pthread_mutex_unlock(&stream_mutex);
	return n;
}

/* The server is done with the stream's response: the stream is over. */
static void
stream_free(void *cls)
{
	struct stream *s = (struct stream *)cls;

	pthread_mutex_lock(&stream_mutex);
	for (int i = 0; i < STREAM_SLOTS; i++)
		if (slot[i] == s) {
			slot[i] = NULL;
			nslots--;
		}
	pthread_cond_broadcast(&stream_cond);
	pthread_mutex_unlock(&stream_mutex);
	delete s;
}

struct MHD_Response *
stream_open(struct MHD_Connection *c)
{
	const union MHD_ConnectionInfo *ci;
	struct MHD_Response *r;
	struct client_state st;
	struct client_sim sim;
	struct wakeups w;
	struct stream *s;
	int free_slot = -1;

	w.n = 0;
	s = new (std::nothrow) stream();
	if (s == NULL)
		return NULL;
	s->conn = c;
	ci = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
	s->fd = ci != NULL ? ci->connect_fd : -1;
	s->last = link_now();

	pthread_mutex_lock(&stream_mutex);
	if (!closing && count_locked() >= STREAM_MAX)
		look_for_hangups(true, &w);
	for (int i = 0; i < STREAM_SLOTS && free_slot < 0; i++)
		if (slot[i] == NULL)
			free_slot = i;
	if (closing || free_slot < 0 || count_locked() >= STREAM_MAX) {
		pthread_mutex_unlock(&stream_mutex);
		resume(&w);
		delete s;
		return NULL;
	}
	/*
	 * The first events are taken under the lock, so that a publication
	 * racing with this open comes after them (perhaps twice), never
	 * before.
	 */
	if (link_latest(&st))
		s->out = event("state", client_state_json(&st));
	s->out += status_event(link_running());
	if (simlink_latest(&sim))
		s->out += event("sim", client_sim_json(&sim));
	r = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 4096,
	    stream_read, s, stream_free);
	if (r != NULL) {
		slot[free_slot] = s;
		nslots++;
	}
	pthread_mutex_unlock(&stream_mutex);
	resume(&w);
	if (r == NULL)
		delete s;
	return r;
}

static void
broadcast(const std::string &text)
{
	struct wakeups w;
	long long now = link_now();

	w.n = 0;
	pthread_mutex_lock(&stream_mutex);
	if (!closing)
		for (int i = 0; i < STREAM_SLOTS; i++)
			if (slot[i] != NULL)
				queue(slot[i], text, now, &w);
	pthread_mutex_unlock(&stream_mutex);
	resume(&w);
}

void
stream_state(const struct client_state *st)
{
	broadcast(event("state", client_state_json(st)));
}

void
stream_sim(const struct client_sim *sim)
{
	broadcast(event("sim", client_sim_json(sim)));
}

void
stream_status(bool running)
{
	broadcast(status_event(running));
}

void
stream_tick(void)
{
	/* A comment line: proxies see traffic, EventSource ignores it. */
	static const std::string comment = ":\n\n";
	struct wakeups w;
	long long now = link_now();

	w.n = 0;
	pthread_mutex_lock(&stream_mutex);
	if (!closing) {
		look_for_hangups(false, &w);
		for (int i = 0; i < STREAM_SLOTS; i++)
			if (slot[i] != NULL &&
			    now - slot[i]->last >= STREAM_QUIET * 1000)
				queue(slot[i], comment, now, &w);
	}
	pthread_mutex_unlock(&stream_mutex);
	resume(&w);
}

void
stream_close_all(int ms)
{
	struct timespec now, until;
	struct wakeups w;

	w.n = 0;
	pthread_mutex_lock(&stream_mutex);
	closing = true;
	for (int i = 0; i < STREAM_SLOTS; i++)
		if (slot[i] != NULL)
			wake(slot[i], &w);
	pthread_mutex_unlock(&stream_mutex);
	resume(&w);

	/* Shutdown only: the wall clock is good enough for this wait. */
	clock_gettime(CLOCK_REALTIME, &now);
	deadline_after(&until, &now, ms > 0 ? (unsigned int)ms : 0);
	pthread_mutex_lock(&stream_mutex);
	while (nslots > 0 || resuming > 0)
		if (pthread_cond_timedwait(&stream_cond, &stream_mutex,
		    &until) != 0)
			break;
	/*
	 * A client that does not read keeps its stream open past the wait;
	 * the server closes it when it stops.  Resumes still under way must
	 * end first, and they end at once.
	 */
	while (resuming > 0)
		pthread_cond_wait(&stream_cond, &stream_mutex);
	pthread_mutex_unlock(&stream_mutex);
}
