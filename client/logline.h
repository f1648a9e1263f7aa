/*
 * logline.h - one line per event on standard error, floods summarised.
 *
 * A kind of event is its format string and what it is about (an MQTT
 * topic, an HTTP route; nothing for logline()), so that different
 * errors each show at least once a second however they are mixed.  The
 * first line of a kind is written at once; any more of that kind within
 * LOGLINE_GAP_MS are counted instead, and when that second is over one
 * line gives the last of them and how many there were: "NAME: text
 * (N like this in S s)", or just the line when it was the only one.  A
 * flood that goes on gives one such line a second, however fast it
 * comes; a kind that has been quiet for a second is written at once
 * again.  Beyond LOGLINE_KINDS kinds in one second, the lines of a
 * format are counted together whatever they are about.  Control
 * characters in a line become '?', so that text from a client cannot
 * make lines of its own.  Safe to call from any thread.
 */
#ifndef KELVO_LOGLINE_H
#define KELVO_LOGLINE_H

#include <stdarg.h>

#define LOGLINE_GAP_MS	1000	/* ms a kind's repeats are counted for */
#define LOGLINE_MAX	512	/* bytes of a line, longer ones are cut */
#define LOGLINE_KINDS	32	/* kinds told apart within a second */

/* The program's name, put before every line ("kelvo-web: ..."). */
void	 logline_name(const char *name);
/*
 * One event's line, without a newline.  fmt must be a string constant:
 * it names the kind of event.
 */
void	 logline(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void	 vlogline(const char *fmt, va_list ap);
/*
 * As logline(), for an event about about (a topic, a route: a name from
 * a set the program knows, not any text a client sends).
 */
void	 logline_on(const char *about, const char *fmt, ...)
	    __attribute__((format(printf, 2, 3)));
/*
 * Writes the counts of kinds whose second is over.  Call it about once
 * a second, or a count waits for the next line.
 */
void	 logline_flush(void);
/* Writes every count held back, second over or not: before exiting. */
void	 logline_end(void);

#endif
