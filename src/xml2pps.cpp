/*
 * xml2pps.cpp - the bridge between the state document and PPS.
 *
 * The publisher copies ten values out of the document once per tick and
 * writes them whole to the outputs object, where any user interface can
 * read them.  The input reader blocks in a read of the inputs object; each
 * text it gets is scanned for "event" values, and all the presses of one
 * text are applied under one hold of xml_mutex, each as its own store
 * cycle.
 *
 * A press should show at once, not at the next tick: after a batch with a
 * button in it the reader posts a wake-up that cuts the publisher's pause
 * short for one extra publication.  The regular publication stays due at
 * the deadline it had, so presses neither move nor multiply the ticks, and
 * however fast they come each batch costs at most one extra publication.
 *
 * The inputs object is written by programs we do not control, so the
 * scanner trusts nothing: it never looks outside the text it was given.
 * Neither thread gives up on PPS: without it they pause a period and try
 * again, so kelvo keeps simulating and picks PPS up when it appears.
 */
#include "xml2pps.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include "dbXML.h"
#include "kelvo.h"
#include "platform.h"
#include "thermodyn.h"

#define PPS_DIR		"/pps/kelvo"
#define PPS_OUTPUTS	"/pps/kelvo/outputs"
#define PPS_INPUTS	"/pps/kelvo/inputs"
#define PPS_INPUTS_WAIT	"/pps/kelvo/inputs?wait"
#define INPUTS_TEXT	"@inputs\nbtn1::\nbtn2::\nbtn3::\nbtn4::\n"

/* Posted by the reader after a batch with a button in it. */
static struct wakeup pressed;
static bool pressed_made;	/* else the publisher only keeps its ticks */

static const char *const published[PPS_VALUES] = {
	"ts_mode", "ts_fan", "ts_temp", "td_temp_in_", "td_temp_in",
	"td_temp_out_", "td_temp_out", "td_sys", "td_time_", "td_time",
};

void
pps_values(dbXML *d, char (*values)[PPS_VALUE_LEN])
{
	for (int i = 0; i < PPS_VALUES; i++) {
		const char *s = d->getValStr(published[i]);
		/* Cut at 63 characters; a missing value is published empty. */
		snprintf(values[i], PPS_VALUE_LEN, "%s", s ? s : "");
	}
}

int
pps_text(char (*values)[PPS_VALUE_LEN], char *out, size_t len)
{
	int n;

	/* Ten values of 63 could exceed the text: it is cut, never overrun. */
	n = snprintf(out, len, "@outputs\nts_mode::%s\nts_fan::%s\n"
	    "ts_temp::%s\ntd_temp_in_::%s\ntd_temp_in::%s\n"
	    "td_temp_out_::%s\ntd_temp_out::%s\ntd_sys::%s\n"
	    "td_time_::%s\ntd_time::%s\n", values[0], values[1], values[2],
	    values[3], values[4], values[5], values[6], values[7], values[8],
	    values[9]);
	if (n < 0)
		return 0;
	return (size_t)n < len ? n : (int)len - 1;
}

/* Opens the outputs object, making it (and its directory) when missing. */
static int
open_outputs(bool quiet)
{
	int fd;

	/* The reader may not have made the directory yet: do not wait. */
	pps_mkdir(PPS_DIR, 0700);
	if ((fd = pps_open(PPS_OUTPUTS, O_WRONLY)) < 0) {
		if (!quiet)
			Printf("xml2pp::creating pps outputs\n");
		fd = pps_open(PPS_OUTPUTS, O_WRONLY | O_CREAT | O_TRUNC, 0600);
	}
	return fd;
}

/*
 * One publication: the ten values in one store cycle, then the object text
 * written outside the lock.  An object removed under us is made again at
 * the next publication.
 */
static void
publish(int *fd)
{
	static char values[PPS_VALUES][PPS_VALUE_LEN];
	static char text[PPS_TEXT_LEN];
	int n;

	pthread_mutex_lock(&xml_mutex);
	db = new dbXML(xml_fname, false);
	pps_values(db, values);
	if (db != nullptr)
		delete db;
	pthread_mutex_unlock(&xml_mutex);

	n = pps_text(values, text, sizeof(text));
	if (*fd < 0)
		*fd = open_outputs(true);
	if (*fd >= 0 && pps_write(*fd, text, (size_t)n) < 0 &&
	    errno == ENOENT) {
		pps_close(*fd);
		*fd = -1;
	}
	/* After the text is out, so freeing the old document delays nobody. */
	db_release();
}

void *
xml2pps(void *)
{
	struct timespec due;
	pthread_attr_t attr;
	pthread_t tid;
	int fd, e;

	Printf("xml2pps:: enter main processing\n");
	/* Ready before the reader can post to it. */
	pressed_made = wakeup_init(&pressed) == 0;
	pthread_attr_init(&attr);
	if ((e = pthread_create(&tid, &attr, event2xml, nullptr)) == 0)
		pthread_detach(tid);
	else
		start_failed("the input reader", e);
	pthread_attr_destroy(&attr);
	sched_yield();

	pthread_mutex_lock(&xml_mutex);
	fd = open_outputs(false);
	pthread_mutex_unlock(&xml_mutex);
	/*
	 * We are the outputs object's only writer, so any temporary file of
	 * it is one an earlier run was killed in the middle of writing.
	 */
	pps_tidy(PPS_OUTPUTS);

	precise_pauses();
	while (!exit_in_progress) {
		publish(&fd);
		if (!pressed_made) {
			delay(pm_interval);
			continue;
		}
		deadline_in(&due, (unsigned int)pm_interval);
		while (wakeup_wait(&pressed, &due) && !exit_in_progress)
			publish(&fd);
	}

	if (fd >= 0)
		pps_close(fd);
	Printf("xml2pps::exit\n");
	sem_post(&exit_semaphore);
	return nullptr;
}

int
event_scan(const char *text, char (*names)[5], int max)
{
	const char *p = text;
	int n = 0;

	while (n < max && (p = strstr(p, "event")) != nullptr) {
		/* The name stands six to three places ahead of "event". */
		if (p - text >= 6) {
			memcpy(names[n], p - 6, 4);
			names[n++][4] = '\0';
		}
		/* Go on behind "event" and the newline after it. */
		if (p[5] == '\0')
			break;
		p += 6;
	}
	return n;
}

/*
 * Opens the inputs object, creating it with its directory when the open
 * fails.  quiet is for the retries of a reader that has no object yet.
 */
static int
open_inputs(bool quiet)
{
	FILE *f;
	int fd;

	if ((fd = pps_open(PPS_INPUTS_WAIT, O_RDONLY)) >= 0)
		return fd;
	if (!quiet)
		Printf("event2xml::creating pps inputs\n");
	if (pps_mkdir(PPS_DIR, 0700) < 0 && errno != EEXIST) {
		if (!quiet)
			Printf("event2xml::pps running?\n");
	} else if ((f = pps_fopen(PPS_INPUTS, "wt")) == nullptr) {
		if (!quiet)
			Printf("event2xml::failed to create inputs\n");
	} else {
		fputs(INPUTS_TEXT, f);
		fclose(f);
	}
	return pps_open(PPS_INPUTS_WAIT, O_RDONLY);
}

void *
event2xml(void *)
{
	static char buf[PPS_READ_LEN + 1];
	static char names[PPS_MAX_EVENTS][5];
	char line[256];
	ssize_t len;
	bool buttons;
	int fd, n;

	Printf("event2xml:: enter main processing\n");
	fd = open_inputs(false);

	while (!exit_in_progress) {
		if (fd < 0) {
			delay(pm_interval);
			fd = open_inputs(true);
			continue;
		}
		if ((len = pps_read(fd, buf, PPS_READ_LEN)) <= 0) {
			/* Gone: make it again.  Never spin on a failing read. */
			if (len < 0 && errno == ENOENT) {
				pps_close(fd);
				fd = -1;
			}
			delay(pm_interval);
			continue;
		}
		buf[len] = '\0';
		if ((n = event_scan(buf, names, PPS_MAX_EVENTS)) == 0)
			continue;
		buttons = false;
		pthread_mutex_lock(&xml_mutex);
		for (int i = 0; i < n; i++) {
			snprintf(line, sizeof(line),
			    "event2xml::processing input %.4s\n", names[i]);
			Printf(line);
			web_cgi(names[i]);
			buttons = buttons || is_button(names[i]);
		}
		pthread_mutex_unlock(&xml_mutex);
		/* Publish the batch now; one that changed nothing needs none. */
		if (buttons && pressed_made)
			wakeup_post(&pressed);
		db_release();
	}

	if (fd >= 0)
		pps_close(fd);
	sem_post(&exit_semaphore);
	return nullptr;
}
