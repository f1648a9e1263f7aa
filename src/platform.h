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
 */
#ifndef KELVO_PLATFORM_H
#define KELVO_PLATFORM_H

#include <stddef.h>
#include <stdio.h>
#include <sys/types.h>

#ifdef __QNX__
#include <unistd.h>		/* delay() */
#else
/* Pauses the calling thread for msec milliseconds. */
unsigned int delay(unsigned int msec);
#endif

/* PPS objects, with the shapes of open/read/write/close/mkdir/fopen. */
int pps_open(const char *path, int flags, mode_t mode = 0);
ssize_t pps_read(int fd, void *buf, size_t len);
ssize_t pps_write(int fd, const void *buf, size_t len);
int pps_close(int fd);
int pps_mkdir(const char *path, mode_t mode);
FILE *pps_fopen(const char *path, const char *mode);

/* Where a /pps path lives on this machine; -1 when it does not fit. */
int pps_path(const char *path, char *out, size_t outlen);

/*
 * Replaces the file at path with len bytes of data: written to tmp in the
 * same directory, then renamed over path, so no reader and no crash ever
 * sees half a file.  The file gets permission bits mode.  0 or -1 (errno).
 */
int replace_file(const char *path, const char *tmp, const char *data,
    size_t len, mode_t mode);

#endif
