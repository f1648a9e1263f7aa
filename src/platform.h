/*
 * platform.h - the QNX services kelvo leans on, and their Linux stand-ins.
 *
 * kelvo talks to QNX's Persistent Publish/Subscribe service through plain
 * file calls under /pps, and pauses with QNX's delay().  Every such call
 * goes through this module, so the rest of the program reads the same on
 * both systems: on QNX the calls pass straight through; elsewhere PPS
 * objects are regular files under $PPS_ROOT (default /pps), replaced whole
 * on every write, and a "?wait" open gives reads that block on inotify
 * until the object changes.
 *
 * A pause that another thread may cut short is a condition variable on
 * the monotonic clock, which both systems have, so a change of the
 * wall clock neither stretches nor cuts it.
 */
#ifndef KELVO_PLATFORM_H
#define KELVO_PLATFORM_H

#include <pthread.h>
#include <stddef.h>
#include <stdio.h>
#include <sys/types.h>
#include <time.h>

#ifdef __QNX__
#include <unistd.h>		/* delay() */
#else
/* Pauses the calling thread for msec milliseconds. */
unsigned int delay(unsigned int msec);
#endif

/* PPS objects, with the shapes of open/read/write/close/mkdir/fopen. */
int pps_open(const char *path, int flags, mode_t mode = 0);
ssize_t pps_read(int fd, void *buf, size_t len);
/* pps_read of a "?wait" object that gives up after ms (ETIMEDOUT). */
ssize_t pps_read_within(int fd, void *buf, size_t len, int ms);
ssize_t pps_write(int fd, const void *buf, size_t len);
int pps_close(int fd);
int pps_mkdir(const char *path, mode_t mode);
FILE *pps_fopen(const char *path, const char *mode);

/*
 * An advisory lock that the writers of the object at path take turns
 * with, in one process or several: waits up to ms for it.  A handle, or
 * -1 (ETIMEDOUT when another writer kept it).  The lock goes with the
 * handle, also when its holder dies.
 */
int pps_lock(const char *path, int ms);
void pps_unlock(int handle);
/*
 * The same lock for a writer that takes many turns: the handle is made
 * once (-1 when it cannot be) and each turn takes it (0, or -1 as
 * pps_lock) and gives it back.  pps_lock_current says whether the handle
 * still locks the file that stands for path, which is not so once the
 * object's directory was made again: the other writers lock the new one.
 * pps_unlock closes the handle.
 */
int pps_lock_open(const char *path);
int pps_lock_take(int handle, int ms);
void pps_lock_give(int handle);
bool pps_lock_current(int handle, const char *path);

/*
 * Lets a "?wait" descriptor rest between uses: it follows the object no
 * more, so nothing piles up meanwhile, and its next read gives the text
 * current then at once, as a fresh open's first read does, without the
 * cost of one.  0, or -1 where descriptors cannot rest (QNX: close and
 * open again instead).
 */
int pps_rest(int fd);

/* Where a /pps path lives on this machine; -1 when it does not fit. */
int pps_path(const char *path, char *out, size_t outlen);

/*
 * Removes the temporary files that writes of the object at path (a /pps
 * path) left behind when the writer was killed between making one and
 * renaming it: ".NAME.XXXXXX" beside it.  Only call it where nobody else
 * writes that object.  Returns how many went (0 where PPS keeps none).
 */
int pps_tidy(const char *path);

/*
 * Replaces the file at path with len bytes of data: written to tmp in the
 * same directory, then renamed over path, so no reader and no crash ever
 * sees half a file.  The file gets permission bits mode.  0 or -1 (errno).
 */
int replace_file(const char *path, const char *tmp, const char *data,
    size_t len, mode_t mode);

/*
 * A wake-up one thread waits for, with a deadline, and others post.  The
 * flag is set and taken under the mutex, so a post made while the waiter
 * is busy elsewhere is kept for its next wait instead of being lost, and
 * any number of posts before that wait count as one.
 */
struct wakeup {
	pthread_mutex_t	mutex;
	pthread_cond_t	cond;		/* on CLOCK_MONOTONIC */
	bool		posted;
};

/* 0, or an error number from the pthread calls. */
int wakeup_init(struct wakeup *w);
void wakeup_post(struct wakeup *w);
/* 1 when a post came (it is taken), 0 once the deadline has passed. */
int wakeup_wait(struct wakeup *w, const struct timespec *deadline);
/* The monotonic clock in milliseconds: deadlines that no wall clock moves. */
long long monotonic_ms(void);
/* The monotonic time msec milliseconds from now, for wakeup_wait. */
void deadline_in(struct timespec *ts, unsigned int msec);
/* The time msec milliseconds after from. */
void deadline_after(struct timespec *ts, const struct timespec *from,
    unsigned int msec);
/*
 * Pauses until the monotonic time due, so whatever the thread does after
 * taking its deadline is part of the pause instead of added to it.
 */
void pause_until(const struct timespec *due);

/*
 * Has the calling thread's pauses end when they are due.  Linux lets a
 * timed wait run up to 50 us late so that it can batch wake-ups, which
 * saves nothing at a few wake-ups a second and at the fastest period
 * stretches every tick by a tenth.  QNX ends them on its clock tick.
 */
void precise_pauses(void);

#endif
