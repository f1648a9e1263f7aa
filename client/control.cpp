/*
 * control.cpp - the control text, the sim object, and one batch sent.
 *
 * Sending takes the senders' lock beside the control object for the
 * whole road (read the count, write, wait for the count to move), so the
 * answer a sender reads is the one to its own batch.  A batch that kelvo
 * has not taken when the wait is over is taken back (the empty control
 * text is written in its place), so that no kelvo started later applies
 * a command its sender has already reported as failed.
 */
#include "control.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>

#include "contract.h"
#include "link.h"
#include "platform.h"
#include "thermodyn.h"

#define EMPTY_TEXT	"@control\n"
#define SIM_TEXT_LEN	1024

const char *const client_fault_name[3] = { "plant", "sensor", "silent" };

static const char *const known[] = {
	"state", "step", "pm_interval", "pm_minutes", "td_time_",
	"td_temp_in_", "td_temp_out_", "td_sys", "ts_mode", "ts_fan",
	"ts_temp", "fault", "reset",
};

bool
client_control_known(const char *name)
{
	for (const char *k : known)
		if (strcmp(k, name) == 0)
			return true;
	return false;
}

/* The daemon's own reading and writing of the list: one rule for both. */
int
client_fault_parse(const char *list)
{
	char why[128];

	return fault_parse(list, why, sizeof(why));
}

void
client_fault_text(int faults, char *buf, size_t len)
{
	fault_text(faults, buf, len);
}

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
	if (len < 5 || memcmp(text, "@sim\n", 5) != 0)
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
			sim->paused = strcmp(value, "paused") == 0;
			seen |= 1;
		} else if (strcmp(line, "pm_interval") == 0 &&
		    whole(value, 1, 60000, &v)) {
			sim->pm_interval = (int)v;
		} else if (strcmp(line, "pm_minutes") == 0 &&
		    whole(value, 1, 1440, &v)) {
			sim->pm_minutes = (int)v;
		} else if (strcmp(line, "fault") == 0) {
			int f = client_fault_parse(value);
			sim->faults = f < 0 ? 0 : f;
		} else if (strcmp(line, "batch") == 0 &&
		    whole(value, 0, LONG_MAX, &v)) {
			sim->batch = v;
			seen |= 2;
		} else if (strcmp(line, "error") == 0) {
			snprintf(sim->error, sizeof(sim->error), "%s", value);
		}
	}
	return seen == 3;
}

int
client_sim_format(const struct client_sim *sim, char *buf, size_t len)
{
	char faults[32];

	client_fault_text(sim->faults, faults, sizeof(faults));
	return snprintf(buf, len, "state %s\npm_interval %d\npm_minutes %d\n"
	    "fault %s\nbatch %ld\nerror %s\n", sim->paused ? "paused" :
	    "running", sim->pm_interval, sim->pm_minutes,
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
	if (strcmp(name, "ts_mode") == 0 && (v = kc_mode_of(value)) != 0)
		return kc_mode_name(v);
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
	if (*name == '\0' || strpbrk(name, ": \t") != nullptr)
		return false;
	for (const char *p = name; *p; p++)
		if ((unsigned char)*p < 0x20 || *p == 0x7f)
			return false;
	for (const char *p = value; *p; p++)
		if ((unsigned char)*p < 0x20 || *p == 0x7f)
			return false;
	n = snprintf(b->text + b->len, sizeof(b->text) - b->len, "%s::%s\n",
	    name, value);
	if (n < 0 || (size_t)n >= sizeof(b->text) - b->len) {
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

	if (pps_path("/pps/kelvo/outputs", path, sizeof(path)) < 0 ||
	    stat(path, &st) < 0)
		return -1;
	clock_gettime(CLOCK_REALTIME, &now);
	long long age = (long long)(now.tv_sec - st.st_mtim.tv_sec) * 1000 +
	    (now.tv_nsec - st.st_mtim.tv_nsec) / 1000000;
	return age < 0 ? 0 : age;
}

long long
client_quiet_limit(const struct client_sim *sim)
{
	/* Three periods and a second of slack for a loaded machine. */
	if (sim != nullptr && sim->pm_interval > 0)
		return std::max(3000LL, 3LL * sim->pm_interval + 1000);
	return 3000;
}

bool
client_alive(long long age, const struct client_sim *sim)
{
	if (sim != nullptr && (sim->faults & SIM_FAULT_SILENT))
		return true;
	return age >= 0 && age <= client_quiet_limit(sim);
}

bool
client_sim_read(struct client_sim *sim)
{
	char buf[SIM_TEXT_LEN];
	ssize_t n;
	int fd;

	if ((fd = pps_open(SIM_OBJECT, O_RDONLY)) < 0)
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

	if ((fd = pps_open(CONTROL_OBJECT, O_WRONLY)) < 0)
		return false;
	ok = pps_write(fd, text, len) == (ssize_t)len;
	pps_close(fd);
	return ok;
}

int
client_control_send(const struct client_batch *b, int ms,
    struct client_sim *sim, char *why, size_t whylen)
{
	char buf[SIM_TEXT_LEN];
	struct client_sim now;
	long long end, age;
	long before;
	ssize_t n;
	int fd, lock, result = CONTROL_TIMEOUT;

	snprintf(why, whylen, "%s", "");
	end = link_now() + ms;
	if ((lock = pps_lock(CONTROL_OBJECT, ms)) < 0) {
		if (errno == ETIMEDOUT) {
			snprintf(why, whylen, "another sender kept the control "
			    "object for %d ms", ms);
			return CONTROL_TIMEOUT;
		}
		snprintf(why, whylen, "kelvo is not running (no PPS directory "
		    "for its control object: %s)", strerror(errno));
		return CONTROL_DOWN;
	}
	if ((fd = pps_open(SIM_OBJECT "?wait", O_RDONLY)) < 0 ||
	    (n = pps_read(fd, buf, sizeof(buf))) <= 0 ||
	    !client_sim_parse(buf, (size_t)n, sim)) {
		if (fd >= 0)
			pps_close(fd);
		pps_unlock(lock);
		snprintf(why, whylen, "kelvo is not running (no sim object)");
		return CONTROL_DOWN;
	}
	if (!client_alive(age = client_outputs_age(), sim)) {
		pps_close(fd);
		pps_unlock(lock);
		if (age < 0)
			snprintf(why, whylen, "kelvo is not running (no outputs "
			    "object)");
		else
			snprintf(why, whylen, "kelvo is not running (it last "
			    "published %lld s ago)", age / 1000);
		return CONTROL_DOWN;
	}
	before = sim->batch;
	if (!write_control(b->text, b->len)) {
		pps_close(fd);
		pps_unlock(lock);
		snprintf(why, whylen, "cannot write the control object: %s",
		    strerror(errno));
		return CONTROL_FAILED;
	}
	for (;;) {
		int left = (int)(end - link_now());
		if (left <= 0)
			break;
		if ((n = pps_read_within(fd, buf, sizeof(buf), left)) <= 0) {
			if (n < 0 && errno != ETIMEDOUT && errno != EINTR)
				break;
			continue;
		}
		if (client_sim_parse(buf, (size_t)n, &now) &&
		    now.batch != before) {
			*sim = now;
			result = now.error[0] ? CONTROL_REFUSED :
			    CONTROL_APPLIED;
			break;
		}
	}
	if (result == CONTROL_TIMEOUT) {
		/* Taken back, unless kelvo took it while we gave up. */
		write_control(EMPTY_TEXT, sizeof(EMPTY_TEXT) - 1);
		if (client_sim_read(&now) && now.batch != before) {
			*sim = now;
			result = now.error[0] ? CONTROL_REFUSED :
			    CONTROL_APPLIED;
		} else {
			snprintf(why, whylen, "kelvo took nothing within %d ms",
			    ms);
		}
	}
	if (result == CONTROL_REFUSED)
		snprintf(why, whylen, "%s", sim->error);
	pps_close(fd);
	pps_unlock(lock);
	return result;
}
