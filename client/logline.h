/*
 * logline.h - one line per event on standard error, "PROG: ...", with
 * floods summarised.
 *
 * A client logs every event, and some events come as fast as anyone on
 * the network cares to send them (bad commands, refused requests).  A run
 * of lines of one kind (the same format) is printed in full once, then
 * counted: at most one count line a second while the run lasts, and one
 * when it ends, so a flood costs a line a second instead of a line an
 * event, and nothing goes unsaid.  Any thread may log; each line goes out
 * in one write().
 */
#ifndef KELVO_LOGLINE_H
#define KELVO_LOGLINE_H

/* The program name the lines start with; before any other thread logs. */
void	 logline_init(const char *prog);
/* One event; fmt without the newline.  Runs of one fmt are summarised. */
void	 logline(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

#endif
