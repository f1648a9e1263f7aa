/*
 * logline.cpp - the lines, and the repeats held back per kind.
 *
 * A kind is a slot remembering its format string (by address: formats
 * are string constants) and what it is about, when its current second
 * began, how many lines were held back in it and the last of them.
 * Slots are few: a program has a handful of kinds of event.  When all
 * are taken within their second, a line about something new is counted
 * with its format's lines about nothing, so that a flood over many
 * topics still gives a line a second per format; a kind with no slot
 * takes the one whose second began longest ago, which gives its count
 * early.  Each
 * line goes out in one write, under the lock, so lines from different
 * threads never mix.
 */
#include "logline.h"

#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "platform.h"

#define ABOUT_MAX	128	/* bytes of what a kind is about, kept */

struct kind {
	const char	*fmt;		/* NULL: the slot is free */
	char		 about[ABOUT_MAX];	/* "" for nothing */
	long long	 since;		/* ms its second began */
	unsigned	 held;		/* lines counted, not written */
	char		 last[LOGLINE_MAX];
};

static pthread_mutex_t log_mutex = PTHREAD_MUTEX_INITIALIZER;
static char log_name[64] = "kelvo";
static struct kind kinds[LOGLINE_KINDS];	/* guarded by log_mutex */

/* With the lock held: "NAME: text" and a newline, in one write. */
static void
put(const char *text, const char *tail)
{
	char line[LOGLINE_MAX + 128];
	int n;

	n = snprintf(line, sizeof(line), "%s: %s%s\n", log_name, text, tail);
	if (n < 0)
		return;
	if ((size_t)n >= sizeof(line)) {
		n = (int)sizeof(line) - 1;
		line[n - 1] = '\n';
	}
	fwrite(line, 1, (size_t)n, stderr);
	fflush(stderr);
}

/* With the lock held: the count of k's second, and a new second. */
static void
summarise(struct kind *k, long long now)
{
	char tail[64] = "";

	/* One held back is just that line, a little late. */
	if (k->held > 1)
		snprintf(tail, sizeof(tail), " (%u like this in %.1f s)",
		    k->held, (double)(now - k->since) / 1000);
	put(k->last, tail);
	k->held = 0;
	k->since = now;
}

/*
 * With the lock held: kinds whose second is over (with all, every kind)
 * give their count or go free.
 */
static void
due(long long now, bool all)
{
	for (struct kind &k : kinds) {
		if (k.fmt == NULL || (!all && now - k.since < LOGLINE_GAP_MS))
			continue;
		if (k.held > 0)
			summarise(&k, now);
		else
			k.fmt = NULL;
	}
}

void
logline_name(const char *name)
{
	pthread_mutex_lock(&log_mutex);
	snprintf(log_name, sizeof(log_name), "%s", name);
	pthread_mutex_unlock(&log_mutex);
}

/* With the lock held: the slot of kind (fmt, about), NULL when none. */
static struct kind *
kind_of(const char *fmt, const char *about)
{
	for (struct kind &s : kinds)
		if (s.fmt == fmt && strcmp(s.about, about) == 0)
			return &s;
	return NULL;
}

/* With the lock held: a free slot, else the one begun longest ago. */
static struct kind *
slot(bool *free_one)
{
	struct kind *oldest = NULL;

	for (struct kind &s : kinds) {
		if (s.fmt == NULL) {
			*free_one = true;
			return &s;
		}
		if (oldest == NULL || s.since < oldest->since)
			oldest = &s;
	}
	*free_one = false;
	return oldest;
}

static void
vlogline_on(const char *about, const char *fmt, va_list ap)
{
	char text[LOGLINE_MAX], key[ABOUT_MAX];
	struct kind *k;
	long long now = monotonic_ms();
	bool free_one;

	vsnprintf(text, sizeof(text), fmt, ap);
	for (char *p = text; *p != '\0'; p++)
		if ((unsigned char)*p < ' ' || *p == 0x7f)
			*p = '?';
	snprintf(key, sizeof(key), "%s", about != NULL ? about : "");

	pthread_mutex_lock(&log_mutex);
	due(now, false);
	if ((k = kind_of(fmt, key)) == NULL) {
		k = slot(&free_one);
		if (!free_one && key[0] != '\0') {
			key[0] = '\0';
			if ((k = kind_of(fmt, key)) == NULL)
				k = slot(&free_one);
		}
	}
	if (k->fmt == fmt && strcmp(k->about, key) == 0) {
		/* Its second is not over, or due() would have freed it. */
		k->held++;
		snprintf(k->last, sizeof(k->last), "%s", text);
	} else {
		if (k->fmt != NULL && k->held > 0)
			summarise(k, now);
		k->fmt = fmt;
		snprintf(k->about, sizeof(k->about), "%s", key);
		k->since = now;
		k->held = 0;
		put(text, "");
	}
	pthread_mutex_unlock(&log_mutex);
}

void
vlogline(const char *fmt, va_list ap)
{
	vlogline_on(NULL, fmt, ap);
}

void
logline(const char *fmt, ...)
{
	va_list ap;

	va_start(ap, fmt);
	vlogline_on(NULL, fmt, ap);
	va_end(ap);
}

void
logline_on(const char *about, const char *fmt, ...)
{
	va_list ap;

	va_start(ap, fmt);
	vlogline_on(about, fmt, ap);
	va_end(ap);
}

void
logline_flush(void)
{
	pthread_mutex_lock(&log_mutex);
	due(monotonic_ms(), false);
	pthread_mutex_unlock(&log_mutex);
}

void
logline_end(void)
{
	pthread_mutex_lock(&log_mutex);
	due(monotonic_ms(), true);
	pthread_mutex_unlock(&log_mutex);
}
