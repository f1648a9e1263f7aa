/*
 * control.cpp - the control text, the sim object, and one batch sent.
 *
 * Sending takes the senders' lock beside the control object for the
 * road (write, wait for the answer), since the object holds one text and
 * a second sender's text would replace the first before kelvo read it.
 * The answer is told by the batch's id alone, never by timing: a sender
 * that gives up says it does not know, and leaves its text, as kelvo may
 * be reading it that very moment.  A kelvo started since empties the
 * control object, but the one before may have applied the batch before it
 * died: that too is an answer nobody has, and is said so.
 */
#include "control.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

#include "client.h"
#include "contract.h"
#include "platform.h"

#define EMPTY_TEXT	KC_CONTROL_HEAD
#define SIM_TEXT_LEN	1024

/* A whole number within lo..hi, all of s. */
static bool
whole(const char *s, long lo, long hi, long *v)
{
	char *end;

	if (*s == '\0' || strlen(s) > 12)
		return false;
	errno = 0;
	*v = strtol(s, &end, 10);
	return *end == '\0' && errno == 0 && *v >= lo && *v <= hi;
}

bool
client_sim_parse(const char *text, size_t len, struct client_sim *sim)
{
	char line[512];
	const char *p = text, *end = text + len;
	int seen = 0;
	long v;

	memset(sim, 0, sizeof(*sim));
	sim->pm_interval = sim->pm_minutes = -1;
	sim->batch = -1;
	if (len < sizeof(KC_SIM_HEAD) - 1 ||
	    memcmp(text, KC_SIM_HEAD, sizeof(KC_SIM_HEAD) - 1) != 0)
		return false;
	for (p = text + 5; p < end; ) {
		const char *nl = (const char *)memchr(p, '\n', (size_t)(end - p));
		size_t n = (size_t)((nl ? nl : end) - p);
		char *value;
		snprintf(line, sizeof(line), "%.*s", (int)std::min(n,
		    sizeof(line) - 1), p);
		p += n + (nl != nullptr);
		if ((value = strstr(line, "::")) == nullptr)
			continue;
		*value = '\0';
		value += 2;
		if (strcmp(line, "state") == 0) {
			sim->paused = strcmp(value, KC_PAUSED) == 0;
			seen |= 1;
		} else if (strcmp(line, "pm_interval") == 0 &&
		    whole(value, 1, KC_INTERVAL_MAX, &v)) {
			sim->pm_interval = (int)v;
		} else if (strcmp(line, "pm_minutes") == 0 &&
		    whole(value, 1, KC_MINUTES_MAX, &v)) {
			sim->pm_minutes = (int)v;
		} else if (strcmp(line, "fault") == 0) {
			char why[128];
			int f = kc_fault_parse(value, why, sizeof(why));
			sim->faults = f < 0 ? 0 : f;
		} else if (strcmp(line, "batch") == 0 &&
		    whole(value, 0, LONG_MAX, &v)) {
			sim->batch = v;
			seen |= 2;
		} else if (strcmp(line, "error") == 0) {
			snprintf(sim->error, sizeof(sim->error), "%s", value);
		} else if (strcmp(line, "id") == 0) {
			if (kc_id_valid(value))
				snprintf(sim->id, sizeof(sim->id), "%s", value);
		} else if (strcmp(line, "start") == 0) {
			snprintf(sim->start, sizeof(sim->start), "%s", value);
		}
	}
	return seen == 3;
}

int
client_sim_format(const struct client_sim *sim, char *buf, size_t len)
{
	char faults[32];

	kc_fault_text(sim->faults, faults, sizeof(faults));
	return snprintf(buf, len, "state %s\npm_interval %d\npm_minutes %d\n"
	    "fault %s\nbatch %ld\nerror %s\n", sim->paused ? KC_PAUSED :
	    KC_RUNNING, sim->pm_interval, sim->pm_minutes,
	    faults[0] ? faults : "none", sim->batch, sim->error);
}

void
client_batch_init(struct client_batch *b)
{
	b->len = (size_t)snprintf(b->text, sizeof(b->text), EMPTY_TEXT);
	b->n = 0;
}

const char *
client_control_value(const char *name, const char *value)
{
	int v;

	/* A line break or a control character is refused, not trimmed. */
	for (const char *p = value; *p; p++)
		if ((unsigned char)*p < 0x20 || *p == 0x7f)
			return value;
	/* AUTO too: kelvo itself says whether its profile has it. */
	if (strcmp(name, "ts_mode") == 0 &&
	    (v = kc_mode_of_as(KC_PROFILE_MODERN, value)) != 0)
		return kc_mode_name(v);
	if (strcmp(name, "td_call") == 0 && (v = kc_call_of(value)) != 0)
		return kc_call_name(v);
	if (strcmp(name, "ts_fan") == 0 && (v = kc_fan_of(value)) != 0)
		return kc_fan_name(v);
	if (strcmp(name, "td_sys") == 0 && (v = kc_sys_of(value)) != 0)
		return kc_sys_name(v);
	return value;
}

bool
client_batch_add(struct client_batch *b, const char *name, const char *value)
{
	int n;

	value = client_control_value(name, value);
	/* The sender names the batch; a face's own id would be a second. */
	if (*name == '\0' || strpbrk(name, ": \t") != nullptr ||
	    strcmp(name, "id") == 0)
		return false;
	for (const char *p = name; *p; p++)
		if ((unsigned char)*p < 0x20 || *p == 0x7f)
			return false;
	for (const char *p = value; *p; p++)
		if ((unsigned char)*p < 0x20 || *p == 0x7f)
			return false;
	n = snprintf(b->text + b->len, sizeof(b->text) - b->len, "%s::%s\n",
	    name, value);
	if (n < 0 || (size_t)n >= sizeof(b->text) - b->len - CONTROL_ID_ROOM) {
		b->text[b->len] = '\0';
		return false;
	}
	b->len += (size_t)n;
	b->n++;
	return true;
}

long long
client_outputs_age(void)
{
	char path[PATH_MAX];
	struct timespec now;
	struct stat st;

	if (pps_path(KC_OUTPUTS, path, sizeof(path)) < 0 ||
	    stat(path, &st) < 0)
		return -1;
	clock_gettime(CLOCK_REALTIME, &now);
	long long age = (long long)(now.tv_sec - st.st_mtim.tv_sec) * 1000 +
	    (now.tv_nsec - st.st_mtim.tv_nsec) / 1000000;
	return age < 0 ? 0 : age;
}

int
client_outputs_read(struct client_state *st)
{
	char buf[2048];
	ssize_t n = -1;
	int fd;

	if ((fd = pps_open(KC_OUTPUTS, O_RDONLY)) >= 0) {
		n = pps_read(fd, buf, sizeof(buf));
		pps_close(fd);
	}
	if (n <= 0)
		return -1;
	/* A cut-off last line would give a wrong value. */
	if ((size_t)n == sizeof(buf))
		while (n > 0 && buf[n - 1] != '\n')
			n--;
	return client_parse(buf, (size_t)n, st);
}

long long
client_quiet_limit(long long period)
{
	/* Three periods and a second of slack for a loaded machine. */
	if (period > 0)
		return std::max((long long)CLIENT_QUIET_MS,
		    CLIENT_QUIET_PERIODS * period + CLIENT_QUIET_SLACK_MS);
	return CLIENT_QUIET_MS;
}

bool
client_running(long long age, long long period)
{
	return age >= 0 && age <= client_quiet_limit(period);
}

bool
client_running_now(struct client_sim *sim, bool *have_sim)
{
	struct client_sim own;
	bool have;

	if (sim == nullptr)
		sim = &own;
	have = client_sim_read(sim);
	if (have_sim != nullptr)
		*have_sim = have;
	return client_running(client_outputs_age(), have ? sim->pm_interval :
	    -1);
}

bool
client_takes_batches(long long age, const struct client_sim *sim)
{
	if (sim != nullptr && (sim->faults & KC_FAULT_SILENT))
		return true;
	return client_running(age, sim != nullptr ? sim->pm_interval : -1);
}

bool
client_sim_read(struct client_sim *sim)
{
	char buf[SIM_TEXT_LEN];
	ssize_t n;
	int fd;

	if ((fd = pps_open(KC_SIM, O_RDONLY)) < 0)
		return false;
	n = pps_read(fd, buf, sizeof(buf));
	pps_close(fd);
	return n > 0 && client_sim_parse(buf, (size_t)n, sim);
}

static bool
write_control(const char *text, size_t len)
{
	int fd;
	bool ok;

	if ((fd = pps_open(KC_CONTROL, O_WRONLY)) < 0)
		return false;
	ok = pps_write(fd, text, len) == (ssize_t)len;
	pps_close(fd);
	return ok;
}

void
client_batch_id(char *out, size_t len)
{
	static std::atomic<unsigned long> count;
	static long long born = monotonic_ms();

	/* The pid and when it began tell processes apart, the count batches. */
	snprintf(out, len, "%ld.%llx.%lu", (long)getpid(), born,
	    count.fetch_add(1) + 1);
}

/* The text of b with id as its first line. */
static size_t
named_text(const struct client_batch *b, const char *id, char *out,
    size_t len)
{
	int n = snprintf(out, len, "%sid::%s\n%s", EMPTY_TEXT, id,
	    b->text + sizeof(EMPTY_TEXT) - 1);
	return n < 0 || (size_t)n >= len ? 0 : (size_t)n;
}

/* What kelvo's answer says of the batch. */
static int
answer_of(const struct client_sim *sim, char *why, size_t whylen)
{
	if (sim->error[0] == '\0')
		return CONTROL_APPLIED;
	snprintf(why, whylen, "%s", sim->error);
	return kc_error_applied(sim->error) ? CONTROL_UNPUBLISHED :
	    CONTROL_REFUSED;
}

/* Whether kelvo, the one of start started, may take a batch now. */
static bool
taking(int fd, struct client_sim *sim, char *why, size_t whylen)
{
	char buf[SIM_TEXT_LEN];
	long long age;
	ssize_t n;

	if ((n = pps_read(fd, buf, sizeof(buf))) <= 0 ||
	    !client_sim_parse(buf, (size_t)n, sim)) {
		snprintf(why, whylen, "kelvo is not running (no sim object)");
		return false;
	}
	if (!client_takes_batches(age = client_outputs_age(), sim)) {
		if (age < 0)
			snprintf(why, whylen, "kelvo is not running (no outputs "
			    "object)");
		else
			snprintf(why, whylen, "kelvo is not running (it last "
			    "published %lld s ago)", age / 1000);
		return false;
	}
	return true;
}

/*
 * The road once the lock is ours and fd follows the sim object: write
 * the batch under a fresh id, wait until end for the answer to that id.
 */
static int
send_locked(const struct client_batch *b, int ms, long long end, int fd,
    struct client_sim *sim, char *why, size_t whylen)
{
	char buf[SIM_TEXT_LEN], started[sizeof(sim->start)], id[KC_ID_MAX + 1];
	char text[KC_CONTROL_LEN + CONTROL_ID_ROOM];
	struct client_sim now;
	size_t len;
	ssize_t n;

	if (!taking(fd, sim, why, whylen))
		return CONTROL_DOWN;
	snprintf(started, sizeof(started), "%s", sim->start);
	client_batch_id(id, sizeof(id));
	if ((len = named_text(b, id, text, sizeof(text))) == 0) {
		snprintf(why, whylen, "the batch is too long");
		return CONTROL_FAILED;
	}
	if (!write_control(text, len)) {
		snprintf(why, whylen, "cannot write the control object: %s",
		    strerror(errno));
		return CONTROL_FAILED;
	}
	for (;;) {
		int left = (int)(end - monotonic_ms());
		if (left <= 0)
			break;
		if ((n = pps_read_within(fd, buf, sizeof(buf), left)) <= 0) {
			if (n < 0 && errno != ETIMEDOUT && errno != EINTR)
				break;
			continue;
		}
		if (!client_sim_parse(buf, (size_t)n, &now))
			continue;
		if (strcmp(now.start, started) != 0) {
			*sim = now;
			snprintf(why, whylen, "kelvo started again without "
			    "answering: the batch may have been applied "
			    "before");
			return CONTROL_TIMEOUT;
		}
		if (strcmp(now.id, id) == 0) {
			*sim = now;
			return answer_of(sim, why, whylen);
		}
	}
	(void)ms;
	snprintf(why, whylen, "%s", CONTROL_UNKNOWN);
	return CONTROL_TIMEOUT;
}

/*
 * The lock and the sim object's "?wait" kept from one batch to the next:
 * made anew for each, they put a dozen system calls on every batch's road
 * and, now and then, milliseconds of waiting in the teardown of the
 * inotify instance, which waits for the kernel's readers of it to be
 * done.  They are kept only as long as they are still what a fresh
 * one would be: the lock while it locks the file the other senders lock,
 * the wait resting between batches so that each begins with the sim
 * object as it is then.  One thread uses them at a time; another one
 * meanwhile makes its own for its batch, as every batch once did.
 */
static pthread_mutex_t kept_mutex = PTHREAD_MUTEX_INITIALIZER;
static int kept_lock = -1;		/* guarded by kept_mutex */
static int kept_sim = -1;
static char kept_sim_at[PATH_MAX];	/* where kept_sim's object lives */

struct road {
	bool	 kept;		/* kept_lock and kept_sim are ours */
	int	 lock;
	int	 sim;
};

/* Takes the senders' lock by end: 0, or -1 with errno (ETIMEDOUT). */
static int
road_lock(struct road *r, int ms, long long end)
{
	if (!r->kept)
		return (r->lock = pps_lock(KC_CONTROL, ms)) < 0 ? -1 : 0;
	/* A second try only: a fresh open is all a batch ever had. */
	for (int tries = 0; ; tries++) {
		if (kept_lock < 0 && (kept_lock = pps_lock_open(KC_CONTROL)) < 0)
			return -1;
		r->lock = kept_lock;
		if (pps_lock_take(r->lock, std::max(0, (int)(end -
		    monotonic_ms()))) < 0)
			return -1;
		if (tries > 0 || pps_lock_current(r->lock, KC_CONTROL))
			return 0;
		/* Its directory was made again: the others lock a new file. */
		pps_unlock(kept_lock);
		kept_lock = r->lock = -1;
	}
}

static void
road_unlock(struct road *r)
{
	if (r->kept)
		pps_lock_give(r->lock);
	else
		pps_unlock(r->lock);
}

/* The sim object's wait, its current text next: -1 when there is none. */
static int
road_sim(struct road *r)
{
	char at[PATH_MAX];

	if (!r->kept)
		return r->sim = pps_open(KC_SIM "?wait", O_RDONLY);
	/* A process told of another PPS root follows the object there. */
	if (pps_path(KC_SIM, at, sizeof(at)) < 0)
		at[0] = '\0';
	if (kept_sim >= 0 && strcmp(at, kept_sim_at) != 0) {
		pps_close(kept_sim);
		kept_sim = -1;
	}
	if (kept_sim < 0) {
		kept_sim = pps_open(KC_SIM "?wait", O_RDONLY);
		snprintf(kept_sim_at, sizeof(kept_sim_at), "%s", at);
	}
	return r->sim = kept_sim;
}

static void
road_sim_done(struct road *r)
{
	if (r->sim < 0)
		return;
	if (!r->kept)
		pps_close(r->sim);
	else if (pps_rest(r->sim) < 0) {
		pps_close(r->sim);
		kept_sim = -1;
	}
}

int
client_control_send(const struct client_batch *b, int ms,
    struct client_sim *sim, char *why, size_t whylen)
{
	struct road r = { pthread_mutex_trylock(&kept_mutex) == 0, -1, -1 };
	long long end;
	int result;

	snprintf(why, whylen, "%s", "");
	end = monotonic_ms() + ms;
	if (road_lock(&r, ms, end) < 0) {
		if (errno == ETIMEDOUT) {
			snprintf(why, whylen, "other senders kept the control "
			    "object for %d ms: not sent", ms);
			result = CONTROL_BUSY;
		} else {
			snprintf(why, whylen, "kelvo is not running (no PPS "
			    "directory for its control object: %s)",
			    strerror(errno));
			result = CONTROL_DOWN;
		}
	} else {
		if (road_sim(&r) < 0) {
			snprintf(why, whylen, "kelvo is not running (no sim "
			    "object)");
			result = CONTROL_DOWN;
		} else
			result = send_locked(b, ms, end, r.sim, sim, why,
			    whylen);
		road_sim_done(&r);
		road_unlock(&r);
	}
	if (r.kept)
		pthread_mutex_unlock(&kept_mutex);
	return result;
}
