/*
 * platform.cpp - QNX pass-throughs and their Linux stand-ins.
 *
 * On QNX the PPS calls are the file calls themselves.  Elsewhere a PPS
 * object is a regular file under $PPS_ROOT whose content is the object
 * text.  Writers replace the file whole (temporary file and rename), so a
 * reader sees the old text or the new one and nothing accumulates.  A
 * "?wait" descriptor reads the current text at once the first time and
 * later blocks in inotify until a writer has closed or renamed in a new
 * text, which is what a PPS subscriber's blocking read gives.
 *
 * Descriptors returned by pps_open are slots of a small table, not kernel
 * descriptors: each remembers the file behind it and, for "?wait", the
 * inotify watch and which text it handed out last.
 *
 * A writer killed between making its temporary file and renaming it
 * leaves that file behind; pps_tidy is how the object's only writer
 * clears them away at its start.
 *
 * A rename over a file that nobody holds open frees the replaced file
 * before it lets go of the directory, and on a file system that discards
 * freed blocks that waits on the disk: meanwhile every other create or
 * rename in the directory waits too, a press behind a publication and a
 * publication behind a press.  So a writer holds the text it replaces
 * across its rename, and a "?wait" reader holds the text it handed out
 * until it comes back for the next one; each closes it later, in its own
 * time, with the directory free.
 */
#include "platform.h"

#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <poll.h>
#ifndef __QNX__
#include <sys/inotify.h>
#include <sys/prctl.h>
#endif

static int
write_all(int fd, const char *data, size_t len)
{
	while (len > 0) {
		ssize_t n = write(fd, data, len);
		if (n < 0) {
			if (errno == EINTR)
				continue;
			return -1;
		}
		data += n;
		len -= (size_t)n;
	}
	return 0;
}

int
replace_file(const char *path, const char *tmp, const char *data, size_t len,
    mode_t mode)
{
	char unique[PATH_MAX];
	int fd, saved;

	if (tmp != NULL) {
		fd = open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
	} else {
		/* Several writers may share one object: each gets its own. */
		const char *slash = strrchr(path, '/');
		int dirlen = slash ? (int)(slash - path) : 1;
		const char *dir = slash ? path : ".";
		if (snprintf(unique, sizeof(unique), "%.*s/.%s.XXXXXX", dirlen,
		    dir, slash ? slash + 1 : path) >= (int)sizeof(unique)) {
			errno = ENAMETOOLONG;
			return -1;
		}
		fd = mkstemp(unique);
		tmp = unique;
	}
	if (fd < 0)
		return -1;
	/* A temporary file left by an earlier run may have other bits. */
	if (fchmod(fd, mode & 07777) < 0 || write_all(fd, data, len) < 0)
		goto fail;
	if (close(fd) < 0) {
		fd = -1;
		goto fail;
	}
	fd = -1;
	if (rename(tmp, path) < 0)
		goto fail;
	return 0;
fail:
	saved = errno;
	if (fd >= 0)
		close(fd);
	unlink(tmp);
	errno = saved;
	return -1;
}

/* The lock file beside the object at path: ".NAME.lock". */
static int
lock_path(const char *path, char *lock, size_t len)
{
	char real[PATH_MAX];
	const char *slash;

	if (pps_path(path, real, sizeof(real)) < 0)
		return -1;
	slash = strrchr(real, '/');
	if (snprintf(lock, len, "%.*s.%s.lock",
	    slash ? (int)(slash - real + 1) : 0, real,
	    slash ? slash + 1 : real) >= (int)len) {
		errno = ENAMETOOLONG;
		return -1;
	}
	return 0;
}

int
pps_lock_open(const char *path)
{
	char lock[PATH_MAX + 8];

	if (lock_path(path, lock, sizeof(lock)) < 0)
		return -1;
	return open(lock, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
}

/*
 * Open file description locks where there are some, so that two threads
 * of one process exclude each other too; POSIX record locks (per
 * process) elsewhere.
 */
static int
set_lock(int fd, short type)
{
	struct flock fl;

	memset(&fl, 0, sizeof(fl));
	fl.l_type = type;
	fl.l_whence = SEEK_SET;
#ifdef F_OFD_SETLK
	return fcntl(fd, F_OFD_SETLK, &fl);
#else
	return fcntl(fd, F_SETLK, &fl);
#endif
}

int
pps_lock_take(int handle, int ms)
{
	int waited = 0;

	while (set_lock(handle, F_WRLCK) < 0) {
		if ((errno != EAGAIN && errno != EACCES && errno != EINTR) ||
		    waited >= ms) {
			if (errno == EAGAIN || errno == EACCES)
				errno = ETIMEDOUT;
			return -1;
		}
		delay(1);
		waited++;
	}
	return 0;
}

void
pps_lock_give(int handle)
{
	if (handle >= 0)
		set_lock(handle, F_UNLCK);
}

bool
pps_lock_current(int handle, const char *path)
{
	char lock[PATH_MAX + 8];
	struct stat held, there;

	return lock_path(path, lock, sizeof(lock)) == 0 &&
	    fstat(handle, &held) == 0 && stat(lock, &there) == 0 &&
	    held.st_dev == there.st_dev && held.st_ino == there.st_ino;
}

int
pps_lock(const char *path, int ms)
{
	int fd, saved;

	if ((fd = pps_lock_open(path)) < 0)
		return -1;
	if (pps_lock_take(fd, ms) < 0) {
		saved = errno;
		close(fd);
		errno = saved;
		return -1;
	}
	return fd;
}

void
pps_unlock(int handle)
{
	if (handle >= 0)
		close(handle);
}

int
wakeup_init(struct wakeup *w)
{
	pthread_condattr_t attr;
	int e;

	w->posted = false;
	if ((e = pthread_mutex_init(&w->mutex, NULL)) != 0)
		return e;
	if ((e = pthread_condattr_init(&attr)) == 0) {
		if ((e = pthread_condattr_setclock(&attr, CLOCK_MONOTONIC)) == 0)
			e = pthread_cond_init(&w->cond, &attr);
		pthread_condattr_destroy(&attr);
	}
	if (e != 0)
		pthread_mutex_destroy(&w->mutex);
	return e;
}

void
wakeup_post(struct wakeup *w)
{
	pthread_mutex_lock(&w->mutex);
	w->posted = true;
	pthread_cond_signal(&w->cond);
	pthread_mutex_unlock(&w->mutex);
}

int
wakeup_wait(struct wakeup *w, const struct timespec *deadline)
{
	int posted;

	pthread_mutex_lock(&w->mutex);
	/* A wake-up without a post waits on for the same deadline. */
	while (!w->posted &&
	    pthread_cond_timedwait(&w->cond, &w->mutex, deadline) == 0)
		;
	posted = w->posted;
	w->posted = false;
	pthread_mutex_unlock(&w->mutex);
	return posted;
}

long long
monotonic_ms(void)
{
	struct timespec ts;

	clock_gettime(CLOCK_MONOTONIC, &ts);
	return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

void
deadline_in(struct timespec *ts, unsigned int msec)
{
	struct timespec now;

	clock_gettime(CLOCK_MONOTONIC, &now);
	deadline_after(ts, &now, msec);
}

void
deadline_after(struct timespec *ts, const struct timespec *from,
    unsigned int msec)
{
	*ts = *from;
	ts->tv_sec += msec / 1000;
	ts->tv_nsec += (long)(msec % 1000) * 1000000L;
	if (ts->tv_nsec >= 1000000000L) {
		ts->tv_sec++;
		ts->tv_nsec -= 1000000000L;
	}
}

void
pause_until(const struct timespec *due)
{
	while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, due, NULL) ==
	    EINTR)
		;
}

void
precise_pauses(void)
{
#ifndef __QNX__
	/* In nanoseconds; 0 would mean the default again. */
	prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL);
#endif
}

#ifdef __QNX__

int
pps_path(const char *path, char *out, size_t outlen)
{
	if (snprintf(out, outlen, "%s", path) >= (int)outlen) {
		errno = ENAMETOOLONG;
		return -1;
	}
	return 0;
}

int
pps_open(const char *path, int flags, mode_t mode)
{
	return open(path, flags, mode);
}

ssize_t
pps_read(int fd, void *buf, size_t len)
{
	return read(fd, buf, len);
}

ssize_t
pps_read_within(int fd, void *buf, size_t len, int ms)
{
	struct pollfd p = { fd, POLLIN, 0 };
	int r;

	while ((r = poll(&p, 1, ms)) < 0 && errno == EINTR)
		;
	if (r == 0)
		errno = ETIMEDOUT;
	return r > 0 ? read(fd, buf, len) : -1;
}

ssize_t
pps_write(int fd, const void *buf, size_t len)
{
	return write(fd, buf, len);
}

int
pps_close(int fd)
{
	return close(fd);
}

int
pps_mkdir(const char *path, mode_t mode)
{
	return mkdir(path, mode);
}

FILE *
pps_fopen(const char *path, const char *mode)
{
	return fopen(path, mode);
}

int
pps_rest(int)
{
	/* A PPS descriptor cannot be told to give the current text again. */
	errno = ENOTSUP;
	return -1;
}

int
pps_tidy(const char *)
{
	/* The service writes its objects itself: there is nothing to tidy. */
	return 0;
}

#else /* !__QNX__ */

unsigned int
delay(unsigned int msec)
{
	struct timespec due;

	deadline_in(&due, msec);
	pause_until(&due);
	return 0;
}

int
pps_path(const char *path, char *out, size_t outlen)
{
	const char *root = getenv("PPS_ROOT");
	int n;

	if (root == NULL || *root == '\0')
		root = "/pps";
	if (strncmp(path, "/pps", 4) == 0 && (path[4] == '/' || path[4] == 0))
		n = snprintf(out, outlen, "%s%s", root, path + 4);
	else
		n = snprintf(out, outlen, "%s", path);
	if (n < 0 || (size_t)n >= outlen) {
		errno = ENAMETOOLONG;
		return -1;
	}
	return 0;
}

/* Whether name is ".OBJ.XXXXXX", as replace_file names its files for obj. */
static bool
temporary_of(const char *name, const char *obj)
{
	size_t n = strlen(obj);

	if (name[0] != '.' || strncmp(name + 1, obj, n) != 0 ||
	    name[n + 1] != '.' || strlen(name + n + 2) != 6)
		return false;
	for (const char *p = name + n + 2; *p; p++)
		if (!isalnum((unsigned char)*p))
			return false;
	return true;
}

int
pps_tidy(const char *path)
{
	char real[PATH_MAX], *q;
	const char *obj, *dir;
	struct dirent *e;
	struct stat st;
	DIR *d;
	int gone = 0;

	if (pps_path(path, real, sizeof(real)) < 0)
		return -1;
	if ((q = strchr(real, '?')) != NULL)
		*q = '\0';
	if ((q = strrchr(real, '/')) != NULL) {
		*q = '\0';
		obj = q + 1;
		dir = q == real ? "/" : real;
	} else {
		obj = real;
		dir = ".";
	}
	if (*obj == '\0' || (d = opendir(dir)) == NULL)
		return -1;
	while ((e = readdir(d)) != NULL) {
		/* Only plain files: a link or a directory so named is not ours. */
		if (temporary_of(e->d_name, obj) &&
		    fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
		    S_ISREG(st.st_mode) && unlinkat(dirfd(d), e->d_name, 0) == 0)
			gone++;
	}
	closedir(d);
	return gone;
}

#define PPS_SLOTS	32
#define PPS_EVENTS	(IN_CLOSE_WRITE | IN_MOVED_TO)
#define PPS_GONE	(IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)

struct ppsobj {
	bool		 used;
	bool		 wait;		/* opened with "?wait" */
	bool		 seen;		/* the current text was handed out */
	int		 ifd;		/* inotify, "?wait" only */
	int		 wd;		/* watch on the directory, -1 when lost */
	mode_t		 mode;		/* permission bits kept on writes */
	char		 path[PATH_MAX];
	char		 dir[PATH_MAX];
	char		 name[NAME_MAX + 1];
	int		 held;		/* the text handed out last, "?wait" */
	int		 superseded;	/* the one before it, closed next read */
	/* What was read last, to tell a new text from a late event. */
	struct stat	 st;
	unsigned long long hash;
};

static struct ppsobj objs[PPS_SLOTS];
static pthread_mutex_t objs_mutex = PTHREAD_MUTEX_INITIALIZER;

static struct ppsobj *
slot(int fd)
{
	if (fd < 0 || fd >= PPS_SLOTS || !objs[fd].used) {
		errno = EBADF;
		return NULL;
	}
	return &objs[fd];
}

static int
watch(struct ppsobj *o)
{
	o->wd = inotify_add_watch(o->ifd, o->dir,
	    PPS_EVENTS | IN_DELETE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR);
	o->seen = false;
	return o->wd;
}

int
pps_open(const char *path, int flags, mode_t mode)
{
	char real[PATH_MAX], *q;
	struct stat st;
	struct ppsobj *o = NULL;
	int fd, i;
	bool wait = false;

	if (pps_path(path, real, sizeof(real)) < 0)
		return -1;
	if ((q = strchr(real, '?')) != NULL) {
		/* Open options: a comma-separated list after the name. */
		for (char *opt = q + 1; *opt; ) {
			size_t n = strcspn(opt, ",");
			if (n == 4 && strncmp(opt, "wait", 4) == 0)
				wait = true;
			opt += n + (opt[n] == ',');
		}
		*q = '\0';
	}
	/*
	 * The object must exist, or be created, as the open would.  Without
	 * blocking: a pipe put in its place would hold us until a peer came.
	 */
	if ((fd = open(real, (flags & ~O_APPEND) | O_CLOEXEC | O_NONBLOCK,
	    mode)) < 0)
		return -1;
	i = fstat(fd, &st);
	close(fd);
	if (i < 0)
		return -1;

	pthread_mutex_lock(&objs_mutex);
	for (i = 0; i < PPS_SLOTS; i++)
		if (!objs[i].used) {
			o = &objs[i];
			memset(o, 0, sizeof(*o));
			o->used = true;
			break;
		}
	pthread_mutex_unlock(&objs_mutex);
	if (o == NULL) {
		errno = EMFILE;
		return -1;
	}

	o->mode = st.st_mode & 07777;
	o->ifd = o->wd = o->held = o->superseded = -1;
	snprintf(o->path, sizeof(o->path), "%s", real);
	q = strrchr(real, '/');
	snprintf(o->name, sizeof(o->name), "%.*s", NAME_MAX, q ? q + 1 : real);
	if (q != NULL)
		*q = '\0';
	snprintf(o->dir, sizeof(o->dir), "%s",
	    q == NULL ? "." : q == real ? "/" : real);
	if (wait) {
		o->wait = true;
		if ((o->ifd = inotify_init1(IN_CLOEXEC)) < 0 || watch(o) < 0) {
			int saved = errno;
			if (o->ifd >= 0)
				close(o->ifd);
			pthread_mutex_lock(&objs_mutex);
			o->used = false;
			pthread_mutex_unlock(&objs_mutex);
			errno = saved;
			return -1;
		}
	}
	return (int)(o - objs);
}

static unsigned long long
fnv1a(const char *p, size_t n)
{
	unsigned long long h = 1469598103934665603ULL;

	while (n--)
		h = (h ^ (unsigned char)*p++) * 1099511628211ULL;
	return h;
}

/*
 * Reads the object's current text.  With remember set, returns SAME_TEXT
 * when it is the very text handed out last (same file, same modification
 * time, same bytes): the event that woke us came from a write we have
 * already read.  Not the change time: a writer that renames a new text
 * in between our open() and fstat() unlinks the file we hold, which moves
 * its change time, and the old press would be handed out again.
 */
#define SAME_TEXT	(-2)

static ssize_t
read_text(struct ppsobj *o, char *buf, size_t len, bool remember)
{
	struct stat st;
	ssize_t n, got = 0;
	int fd;

	/* A writer may put anything there: a pipe would block us for good. */
	if ((fd = open(o->path, O_RDONLY | O_CLOEXEC | O_NONBLOCK)) < 0)
		return -1;
	if (fstat(fd, &st) < 0) {
		close(fd);
		return -1;
	}
	if (!S_ISREG(st.st_mode)) {
		close(fd);
		/* Said once: the next read waits for something new there. */
		if (remember) {
			o->st = st;
			o->hash = 0;
			o->seen = true;
		}
		errno = EINVAL;
		return -1;
	}
	while ((size_t)got < len) {
		n = read(fd, buf + got, len - (size_t)got);
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0) {
			close(fd);
			return -1;
		}
		if (n == 0)
			break;
		got += n;
	}
	if (!remember) {
		close(fd);
		return got;
	}
	unsigned long long h = fnv1a(buf, (size_t)got);
	if (o->seen && st.st_ino == o->st.st_ino &&
	    st.st_dev == o->st.st_dev && st.st_size == o->st.st_size &&
	    st.st_mtim.tv_sec == o->st.st_mtim.tv_sec &&
	    st.st_mtim.tv_nsec == o->st.st_mtim.tv_nsec && h == o->hash) {
		close(fd);
		return SAME_TEXT;
	}
	o->st = st;
	o->hash = h;
	o->seen = true;
	/* Held until the next read, so the writer's rename frees nothing. */
	if (o->superseded >= 0)
		close(o->superseded);
	o->superseded = o->held;
	o->held = fd;
	return got;
}

/*
 * Frees the text that the one handed out last replaced: the reader has
 * dealt with that one and is back for more, so nothing waits on this.
 */
static void
drop_superseded(struct ppsobj *o)
{
	if (o->superseded >= 0)
		close(o->superseded);
	o->superseded = -1;
}

static void
drop_held(struct ppsobj *o)
{
	drop_superseded(o);
	if (o->held >= 0)
		close(o->held);
	o->held = -1;
}

/*
 * Takes what inotify has queued, blocking when block is set.  Returns 1
 * when a new text arrived for our object, 0 when not, -1 when the watch is
 * gone (the directory was removed or moved), the object was removed
 * (ENOENT), or the read failed.
 */
static int
take_events(struct ppsobj *o, bool block)
{
	alignas(struct inotify_event) char ev[4096];
	int changed = 0;
	bool removed = false;

	for (;;) {
		if (!block) {
			struct pollfd p = { o->ifd, POLLIN, 0 };
			int r = poll(&p, 1, 0);
			if (r == 0)
				return changed;
			if (r < 0 && errno != EINTR)
				return -1;
			if (r < 0)
				continue;
		}
		ssize_t n = read(o->ifd, ev, sizeof(ev));
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return -1;
		for (char *p = ev; p < ev + n; ) {
			struct inotify_event *e = (struct inotify_event *)p;
			/* A watch given up before (pps_rest) is not this one. */
			if (e->wd != o->wd) {
				p += sizeof(*e) + e->len;
				continue;
			}
			if (e->mask & PPS_GONE) {
				inotify_rm_watch(o->ifd, o->wd);
				o->wd = -1;
				errno = ENOENT;
				return -1;
			}
			if (e->len == 0 || strcmp(e->name, o->name) != 0) {
				p += sizeof(*e) + e->len;
				continue;
			}
			/*
			 * Removed: the reader makes the object again, and lets
			 * go of the text it held, since a file held open keeps
			 * its directory from going and the removal of the
			 * directory would never be told.
			 */
			if (e->mask & IN_DELETE) {
				drop_held(o);
				removed = true;
			} else if (e->mask & PPS_EVENTS)
				changed = 1;
			p += sizeof(*e) + e->len;
		}
		if (removed) {
			errno = ENOENT;
			return -1;
		}
		if (changed && block)
			block = false;	/* now drain what came with it */
	}
}

ssize_t
pps_read(int fd, void *buf, size_t len)
{
	struct ppsobj *o = slot(fd);
	ssize_t n;

	if (o == NULL)
		return -1;
	if (!o->wait)
		return read_text(o, (char *)buf, len, false);
	drop_superseded(o);
	if (o->wd < 0 && watch(o) < 0)
		return -1;
	if (!o->seen)
		return read_text(o, (char *)buf, len, true);
	for (;;) {
		if (take_events(o, true) < 0)
			return -1;
		/* Gone between the event and now: wait for the next one. */
		n = read_text(o, (char *)buf, len, true);
		if (n != SAME_TEXT && !(n < 0 && errno == ENOENT))
			return n;
	}
}

static int
ms_since(const struct timespec *t0)
{
	struct timespec now;

	clock_gettime(CLOCK_MONOTONIC, &now);
	return (int)((now.tv_sec - t0->tv_sec) * 1000 +
	    (now.tv_nsec - t0->tv_nsec) / 1000000);
}

ssize_t
pps_read_within(int fd, void *buf, size_t len, int ms)
{
	struct ppsobj *o = slot(fd);
	struct timespec t0;
	ssize_t n;
	int r, left;

	if (o == NULL)
		return -1;
	if (!o->wait || !o->seen || (o->wd < 0 && watch(o) >= 0))
		return pps_read(fd, buf, len);
	drop_superseded(o);
	if (o->wd < 0)
		return -1;
	clock_gettime(CLOCK_MONOTONIC, &t0);
	for (;;) {
		struct pollfd p = { o->ifd, POLLIN, 0 };
		if ((left = ms - ms_since(&t0)) <= 0) {
			errno = ETIMEDOUT;
			return -1;
		}
		if ((r = poll(&p, 1, left)) < 0 && errno == EINTR)
			continue;
		if (r <= 0) {
			if (r == 0)
				errno = ETIMEDOUT;
			return -1;
		}
		if ((r = take_events(o, false)) < 0)
			return -1;
		if (r == 0)
			continue;
		n = read_text(o, (char *)buf, len, true);
		if (n != SAME_TEXT && !(n < 0 && errno == ENOENT))
			return n;
	}
}

ssize_t
pps_write(int fd, const void *buf, size_t len)
{
	struct ppsobj *o = slot(fd);
	int pin, r, saved;

	if (o == NULL)
		return -1;
	/*
	 * A path, not an open for reading: whatever stands there (a FIFO, a
	 * device) is held without being opened, and the rename frees nothing.
	 */
	pin = open(o->path, O_PATH | O_NOFOLLOW | O_CLOEXEC);
	r = replace_file(o->path, NULL, (const char *)buf, len, o->mode);
	saved = errno;
	if (pin >= 0)
		close(pin);
	errno = saved;
	return r < 0 ? -1 : (ssize_t)len;
}

int
pps_close(int fd)
{
	struct ppsobj *o = slot(fd);

	if (o == NULL)
		return -1;
	if (o->ifd >= 0)
		close(o->ifd);
	drop_held(o);
	pthread_mutex_lock(&objs_mutex);
	o->used = false;
	pthread_mutex_unlock(&objs_mutex);
	return 0;
}

/*
 * Resting, a descriptor has no watch, so the directory's writes queue
 * nothing for it, and holds no text, so it keeps nothing from going; the
 * watch's own end (IN_IGNORED) and whatever came before it are read
 * away now.  Its next read watches again and, having seen nothing yet,
 * gives the current text at once.
 */
int
pps_rest(int fd)
{
	struct ppsobj *o = slot(fd);

	if (o == NULL)
		return -1;
	if (!o->wait) {
		errno = EINVAL;
		return -1;
	}
	if (o->wd >= 0) {
		inotify_rm_watch(o->ifd, o->wd);
		o->wd = -1;
	}
	take_events(o, false);
	drop_held(o);
	o->seen = false;
	return 0;
}

int
pps_mkdir(const char *path, mode_t mode)
{
	char real[PATH_MAX];

	if (pps_path(path, real, sizeof(real)) < 0)
		return -1;
	return mkdir(real, mode);
}

FILE *
pps_fopen(const char *path, const char *mode)
{
	char real[PATH_MAX];

	if (pps_path(path, real, sizeof(real)) < 0)
		return NULL;
	return fopen(real, mode);
}

#endif /* !__QNX__ */
