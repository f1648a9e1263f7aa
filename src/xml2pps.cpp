/*
 * xml2pps.cpp - the bridge between the state document and PPS.
 *
 * The publisher copies ten values (sixteen in the modern profile) out
 * of the document once per tick and
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
 *
 * The control reader takes batches of commands from the control object
 * the same way, and answers each in the sim object: the state, the speed,
 * the faults, how many batches it has taken and why the last was refused,
 * and which start of kelvo that count belongs to.
 * A batch is checked whole before any of it is applied, and applied in
 * one store cycle under one hold of xml_mutex.  The sim object is written
 * only once the publisher has published the batch's result, so a client
 * that sees its batch counted reads the outputs it made.
 * Neither thread gives up on PPS: without it they pause a period and try
 * again, so kelvo keeps simulating and picks PPS up when it appears.
 */
#include "xml2pps.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "dbXML.h"
#include "kelvo.h"
#include "platform.h"
#include "thermodyn.h"

#define PPS_INPUTS_WAIT	KC_INPUTS "?wait"
#define INPUTS_TEXT	KC_INPUTS_HEAD "btn1::\nbtn2::\nbtn3::\nbtn4::\n"
#define PPS_CONTROL_WAIT KC_CONTROL "?wait"
#define SHOWN_SLICE	100	/* ms between looks at whether kelvo stops */

/*
 * Held by the control reader from taking a batch until it has answered
 * it, and by main on the way out: a batch kelvo applied is always
 * answered, never left for the next start to count as not taken.
 */
static pthread_mutex_t answering = PTHREAD_MUTEX_INITIALIZER;

/* Posted by the readers after a batch that changed something. */
static struct wakeup pressed;
static bool pressed_made;	/* else the publisher only keeps its ticks */

/*
 * Publications counted: begun (under xml_mutex) and written (under the
 * mutex of shown), so the control reader can wait for the first one that
 * began after its batch.
 */
static long pub_begun;
static long pub_written;
static char pub_error[KC_WHY_LEN];	/* why pub_written is not out, or "" */
static struct wakeup shown;
static bool shown_made;

/* The published attributes are the contract's, in its order. */
static const char *const *const published = kc_attr_name;
static_assert(KC_ATTRS == KC_ATTRS, "one value per attribute");

/*
 * s appended to the text of used characters in out (len bytes), cut
 * where the text must end; the new length.  What snprintf "%s" would
 * write, without its format parsing: this runs for every name and value
 * of every publication.
 */
static size_t
append(char *out, size_t used, size_t len, const char *s)
{
	size_t n = strlen(s);

	if (used + 1 >= len)
		return used;
	if (n > len - 1 - used)
		n = len - 1 - used;
	memcpy(out + used, s, n);
	out[used + n] = '\0';
	return used + n;
}

void
pps_values(dbXML *d, char (*values)[KC_VALUE_LEN])
{
	for (int i = 0; i < KC_ATTRS; i++) {
		const char *s = d->getValStr(published[i]);
		/* Cut at 63 characters; a missing value is published empty. */
		append(values[i], 0, KC_VALUE_LEN, s ? s : "");
	}
}

int
pps_text(char (*values)[KC_VALUE_LEN], char *out, size_t len)
{
	return pps_text_n(values, KC_ATTRS, out, len);
}

int
pps_values_all(dbXML *d, char (*values)[KC_VALUE_LEN])
{
	int n = kc_attrs(doc_profile(d));

	pps_values(d, values);
	for (int i = KC_ATTRS; i < KC_ATTRS_MODERN; i++) {
		const char *s = i < n ? d->getValStr(kc_attr_name[i]) : nullptr;
		append(values[i], 0, KC_VALUE_LEN, s ? s : "");
	}
	return n;
}

int
pps_text_n(char (*values)[KC_VALUE_LEN], int n, char *out, size_t len)
{
	size_t used;

	if (len == 0)
		return 0;
	out[0] = '\0';
	/*
	 * The contract's names in its order, each value cut where the text
	 * ends: sixteen values of 63 could exceed it, never overrun it.
	 */
	used = append(out, 0, len, KC_OUTPUTS_HEAD);
	for (int i = 0; i < n && i < KC_ATTRS_MODERN; i++) {
		used = append(out, used, len, kc_attr_name[i]);
		used = append(out, used, len, "::");
		used = append(out, used, len, values[i]);
		used = append(out, used, len, "\n");
	}
	return (int)used;
}

/* Opens the outputs object, making it (and its directory) when missing. */
static int
open_outputs(bool quiet)
{
	int fd;

	/* The reader may not have made the directory yet: do not wait. */
	pps_mkdir(KC_DIR, 0700);
	if ((fd = pps_open(KC_OUTPUTS, O_WRONLY)) < 0) {
		if (!quiet)
			Printf("xml2pp::creating pps outputs\n");
		fd = pps_open(KC_OUTPUTS, O_WRONLY | O_CREAT | O_TRUNC, 0600);
	}
	return fd;
}

/*
 * The document as the publisher's last store cycle left it, told apart
 * from any later one by the count of our saves and by its file's identity
 * and times, which a hand edit changes.
 */
static struct stat read_as;
static long read_saves;
static bool read_known;

static bool
document_untouched(void)
{
	struct stat st;

	return read_known && db_saves == read_saves &&
	    stat(xml_fname, &st) == 0 &&
	    st.st_ino == read_as.st_ino && st.st_size == read_as.st_size &&
	    st.st_mtim.tv_sec == read_as.st_mtim.tv_sec &&
	    st.st_mtim.tv_nsec == read_as.st_mtim.tv_nsec &&
	    st.st_ctim.tv_sec == read_as.st_ctim.tv_sec &&
	    st.st_ctim.tv_nsec == read_as.st_ctim.tv_nsec;
}

/*
 * The ten values, under xml_mutex.  Running, every publication is a store
 * cycle of its own.  Paused, nothing moves the world but a press, a batch
 * or a hand edit, and each of those replaces the document: while it is
 * the one the last cycle saved (no save of ours since, and the same file
 * with the same times), the values it gave stand, so a paused
 * kelvo costs its readers a stat a period rather than a load and a save.
 */
static int
read_values(char (*values)[KC_VALUE_LEN])
{
	static char raw[KC_ATTRS_MODERN][KC_VALUE_LEN];
	static int n;

	bool paused = sim_paused;

	if (!paused || !document_untouched()) {
		db = new dbXML(xml_fname, false);
		n = pps_values_all(db, raw);
		if (db != nullptr)
			delete db;
		/* Running, the next cycle reads anyway: no stat to pay. */
		read_saves = db_saves;
		read_known = paused && stat(xml_fname, &read_as) == 0;
	}
	memcpy(values, raw, sizeof(raw));
	return n;
}

/*
 * One publication: the ten values in one store cycle, then the object text
 * written outside the lock.  An object removed under us is made again at
 * the next publication.
 */
static void
publish(int *fd)
{
	static char values[KC_ATTRS_MODERN][KC_VALUE_LEN];
	static char text[KC_TEXT_LEN];
	char why[KC_WHY_LEN] = "";
	long cycle;
	int n, count;

	pthread_mutex_lock(&xml_mutex);
	if (sim_faults & KC_FAULT_SILENT) {
		pthread_mutex_unlock(&xml_mutex);
		return;
	}
	cycle = ++pub_begun;
	count = read_values(values);
	/* A failed sensor reads nothing; the room goes on underneath. */
	if (sim_faults & KC_FAULT_SENSOR)
		values[3][0] = values[4][0] = values[ATTR_HUMIDITY_PRECISE][0] =
		    values[ATTR_HUMIDITY][0] = '\0';
	pthread_mutex_unlock(&xml_mutex);

	n = pps_text_n(values, count, text, sizeof(text));
	if (*fd < 0)
		*fd = open_outputs(true);
	if (*fd < 0)
		snprintf(why, sizeof(why), "the outputs object cannot be "
		    "opened: %s", strerror(errno));
	else if (pps_write(*fd, text, (size_t)n) < 0) {
		snprintf(why, sizeof(why), "the outputs object cannot be "
		    "written: %s", strerror(errno));
		pps_close(*fd);
		*fd = -1;
	}
	/* The batches waiting for this publication learn how it went. */
	if (shown_made) {
		pthread_mutex_lock(&shown.mutex);
		pub_written = cycle;
		snprintf(pub_error, sizeof(pub_error), "%s", why);
		pthread_cond_broadcast(&shown.cond);
		pthread_mutex_unlock(&shown.mutex);
	}
	/* After the text is out, so freeing the old document delays nobody. */
	db_release();
}

void *
xml2pps(void *)
{
	struct timespec due, from;
	pthread_attr_t attr;
	pthread_t tid;
	int fd, e, period;

	Printf("xml2pps:: enter main processing\n");
	/* Ready before the readers can post to them. */
	pressed_made = wakeup_init(&pressed) == 0;
	shown_made = wakeup_init(&shown) == 0;
	pthread_attr_init(&attr);
	if ((e = pthread_create(&tid, &attr, event2xml, nullptr)) != 0) {
		start_failed("the input reader", e);
	} else {
		pthread_detach(tid);
		if ((e = pthread_create(&tid, &attr, control2xml, nullptr)) == 0)
			pthread_detach(tid);
		else
			start_failed("the control reader", e);
	}
	pthread_attr_destroy(&attr);
	sched_yield();

	pthread_mutex_lock(&xml_mutex);
	fd = open_outputs(false);
	pthread_mutex_unlock(&xml_mutex);
	/*
	 * We are the outputs object's only writer, so any temporary file of
	 * it is one an earlier run was killed in the middle of writing.
	 */
	pps_tidy(KC_OUTPUTS);

	precise_pauses();
	while (!exit_in_progress) {
		publish(&fd);
		if (!pressed_made) {
			delay(pm_interval);
			continue;
		}
		clock_gettime(CLOCK_MONOTONIC, &from);
		period = pm_interval;
		deadline_after(&due, &from, (unsigned int)period);
		while (wakeup_wait(&pressed, &due) && !exit_in_progress) {
			publish(&fd);
			/* A new period counts from the last regular publication. */
			if (pm_interval != period) {
				period = pm_interval;
				deadline_after(&due, &from, (unsigned int)period);
			}
		}
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
	if (pps_mkdir(KC_DIR, 0700) < 0 && errno != EEXIST) {
		if (!quiet)
			Printf("event2xml::pps running?\n");
	} else if ((f = pps_fopen(KC_INPUTS, "wt")) == nullptr) {
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
			buttons = buttons || kc_button_of_attr(names[i]) != 0;
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

/*
 * Splits the lines of a control text into names and values in place.
 * Returns how many commands, or -1 with why.
 */
static int
control_split(char *text, size_t len, char **names, char **values, int max,
    char *id, size_t idlen, char *why, size_t whylen)
{
	char *p, *end = text + len, *nl, *colon, *enc;
	int n = 0, line = 1;

	if (len > KC_CONTROL_LEN) {
		snprintf(why, whylen, "the text is longer than %d bytes",
		    KC_CONTROL_LEN);
		return -1;
	}
	for (p = text; p < end; p++)
		if ((*p < 0x20 && *p != '\n' && *p >= 0) || *p == 0x7f) {
			snprintf(why, whylen, "the text holds a control "
			    "character (byte %ld)", (long)(p - text));
			return -1;
		}
	if (len < sizeof(KC_CONTROL_HEAD) - 1 ||
	    memcmp(text, KC_CONTROL_HEAD, sizeof(KC_CONTROL_HEAD) - 1) != 0) {
		snprintf(why, whylen, "the text does not begin with @control");
		return -1;
	}
	if (text[len - 1] != '\n') {
		snprintf(why, whylen, "the last line has no newline");
		return -1;
	}
	for (p = text + sizeof(KC_CONTROL_HEAD) - 1; p < end; p = nl + 1) {
		line++;
		nl = (char *)memchr(p, '\n', (size_t)(end - p));
		*nl = '\0';
		if (*p == '\0')
			continue;
		if ((colon = strchr(p, ':')) == nullptr || colon == p ||
		    (enc = strchr(colon + 1, ':')) == nullptr) {
			snprintf(why, whylen, "line %d is not name::value", line);
			return -1;
		}
		if (enc != colon + 1) {
			snprintf(why, whylen, "line %d: only plain values (an "
			    "empty encoding) are taken", line);
			return -1;
		}
		if (n == max) {
			snprintf(why, whylen, "more than %d commands", max);
			return -1;
		}
		*colon = '\0';
		/* Taken as soon as seen, so a refusal further on carries it. */
		if (strcmp(p, "id") == 0 && id[0] == '\0' &&
		    kc_id_valid(enc + 1))
			snprintf(id, idlen, "%s", enc + 1);
		names[n] = p;
		values[n++] = enc + 1;
	}
	return n;
}

/*
 * Takes the id line out of a split batch, checked: the commands left
 * are the changes.  Returns how many, or -1 with why.
 */
static int
control_unname(char **names, char **values, int n, char *why, size_t whylen)
{
	int ids = 0, m = 0;

	for (int i = 0; i < n; i++) {
		if (strcmp(names[i], "id") != 0) {
			names[m] = names[i];
			values[m++] = values[i];
		} else if (!kc_command_check(names[i], values[i], why, whylen))
			return -1;
		else if (++ids > 1) {
			snprintf(why, whylen, "a batch has one id at most");
			return -1;
		}
	}
	return m;
}

int
control_batch(char *text, size_t len, char *id, size_t idlen, char *why,
    size_t whylen)
{
	char *names[KC_BATCH_MAX], *values[KC_BATCH_MAX];
	int n;

	id[0] = '\0';
	if ((n = control_split(text, len, names, values, KC_BATCH_MAX, id,
	    idlen, why, whylen)) <= 0)
		return n;
	if ((n = control_unname(names, values, n, why, whylen)) <= 0)
		return n;
	/* Each command in the profile the ones before it leave. */
	int profile = sim_profile;
	for (int i = 0; i < n; i++) {
		if (!kc_command_check_as(profile, names[i], values[i], why,
		    whylen))
			return -1;
		if (strcmp(names[i], "profile") == 0)
			profile = kc_profile_of(values[i]);
		else if (strcmp(names[i], "reset") == 0)
			profile = KC_PROFILE_CLASSIC;
	}
	/*
	 * A batch the disk does not take is refused whole: the settings it
	 * changed in memory go back to what they were, as the document on
	 * disk never changed, so what kelvo does and what a restart finds
	 * stay what the sim object says.
	 */
	int interval = pm_interval, minutes = pm_minutes, faults = sim_faults;
	bool paused = sim_paused;
	int was_profile = sim_profile;
	char saving[KC_WHY_LEN];
	db = new dbXML(xml_fname, false);
	for (int i = 0; i < n; i++)
		sim_apply(db, names[i], values[i]);
	bool ok = db->save(saving, sizeof(saving));
	delete db;
	if (ok)
		return n;
	pm_interval = interval;
	pm_minutes = minutes;
	sim_faults = faults;
	sim_paused = paused;
	sim_profile = was_profile;
	/* The simulation may have seen the pause go by: it runs on. */
	sim_wakeup();
	snprintf(why, whylen, "%s; nothing of the batch is applied", saving);
	return -1;
}

/*
 * This run of kelvo, different on every start (the pid and the time it
 * started): the batch count starts again at 0, so a client waiting for
 * its batch tells by this that the kelvo it wrote to is gone.
 */
static char start_id[48];

static void
start_make(void)
{
	struct timespec now;

	clock_gettime(CLOCK_REALTIME, &now);
	snprintf(start_id, sizeof(start_id), "%ld@%lld.%06ld", (long)getpid(),
	    (long long)now.tv_sec, now.tv_nsec / 1000);
}

/*
 * Replaces the sim object with what the simulation is now; id is the
 * batch's that batches and error answer.
 */
static void
write_sim(int *fd, long batches, const char *error, const char *id)
{
	char text[640], faults[32];
	int n;

	kc_fault_text(sim_faults, faults, sizeof(faults));
	n = snprintf(text, sizeof(text), KC_SIM_HEAD "state::%s\npm_interval::%d\n"
	    "pm_minutes::%d\nfault::%s\nbatch::%ld\nerror::%s\nid::%s\n"
	    "start::%s\n", sim_paused ? KC_PAUSED : KC_RUNNING, (int)pm_interval,
	    (int)pm_minutes, faults, batches, error, id, start_id);
	if (n < 0 || (size_t)n >= sizeof(text))
		return;
	if (*fd < 0)
		*fd = pps_open(KC_SIM, O_WRONLY | O_CREAT, 0600);
	if (*fd >= 0 && pps_write(*fd, text, (size_t)n) < 0 && errno == ENOENT) {
		pps_close(*fd);
		*fd = -1;
	}
}

/*
 * Writes the empty control text, so that no command left behind by a
 * client is taken by this run, and opens the object to wait on.
 */
static int
open_control(void)
{
	int fd;

	pps_mkdir(KC_DIR, 0700);
	if ((fd = pps_open(KC_CONTROL, O_WRONLY | O_CREAT, 0600)) >= 0) {
		pps_write(fd, KC_CONTROL_HEAD, sizeof(KC_CONTROL_HEAD) - 1);
		pps_close(fd);
	}
	return pps_open(PPS_CONTROL_WAIT, O_RDONLY);
}

/*
 * Whether kelvo is on its way out: a stopping kelvo takes no batch, which
 * the next one empties and its sender reports as not taken.  A stop
 * signal still pending counts too (the workers block them all, so it
 * waits for the main thread), as after a stop and a continue the reader
 * may wake before the main thread has heard it.
 */
static bool
stopping(void)
{
	sigset_t set;

	if (exit_in_progress)
		return true;
	return sigpending(&set) == 0 && (sigismember(&set, SIGTERM) == 1 ||
	    sigismember(&set, SIGINT) == 1);
}

/*
 * Waits, however long the publisher takes, for the publication that
 * begins after publication want - 1: true once it is out, false with why
 * when it could not be written or kelvo stops before it is.
 */
static bool
wait_shown(long want, char *why, size_t whylen)
{
	struct timespec due;
	bool out = false;

	if (!shown_made)
		return true;
	pthread_mutex_lock(&shown.mutex);
	while (pub_written < want && !exit_in_progress) {
		/* In slices: a stop is no post, and must end the wait. */
		deadline_in(&due, SHOWN_SLICE);
		pthread_cond_timedwait(&shown.cond, &shown.mutex, &due);
	}
	if (pub_written < want)
		snprintf(why, whylen, "kelvo stopped before publishing it");
	else if (pub_error[0] != '\0')
		snprintf(why, whylen, "%s", pub_error);
	else
		out = true;
	pthread_mutex_unlock(&shown.mutex);
	return out;
}

/*
 * A batch of n commands applied: traced, published, then answered.  One
 * with no command changed nothing, and is answered at once.  Whatever
 * becomes of the publication, the batch stands applied, and the answer
 * says both.
 */
static void
control_applied(int *simfd, long batches, int n, long want, const char *id)
{
	char line[KC_WHY_LEN + 96], why[KC_WHY_LEN - 32];
	char error[KC_WHY_LEN] = "";

	snprintf(line, sizeof(line), "control2xml::batch %ld applied, %d "
	    "command%s\n", batches, n, n == 1 ? "" : "s");
	Printf(line);
	if (n > 0) {
		sim_wakeup();
		if (pressed_made)
			wakeup_post(&pressed);
		if (!(sim_faults & KC_FAULT_SILENT) &&
		    !wait_shown(want, why, sizeof(why))) {
			snprintf(error, sizeof(error), "%s%s", KC_UNPUBLISHED,
			    why);
			snprintf(line, sizeof(line), "control2xml::batch %ld "
			    "%s\n", batches, error);
			Printf(line);
		}
	}
	write_sim(simfd, batches, error, id);
}

/* A batch refused: traced and answered. */
static void
control_refused(int *simfd, long batches, const char *why, const char *id)
{
	char line[KC_WHY_LEN + 64];

	snprintf(line, sizeof(line), "control2xml::batch %ld refused: %s\n",
	    batches, why);
	Printf(line);
	write_sim(simfd, batches, why, id);
}

/*
 * The control object made empty and opened, and the sim object of this
 * start written; the control object's descriptor, -1 without one yet.
 */
static int
control_start(int *simfd)
{
	int fd;

	start_make();
	fd = open_control();
	/* The sim object's only writer: any temporary file of it is stale. */
	pps_tidy(KC_SIM);
	/*
	 * A client that sees this start in the sim object reads the outputs
	 * next and must find this kelvo's text there, not one a stopped
	 * kelvo left behind: the first publication comes first.
	 */
	char why[KC_WHY_LEN];
	if (!(sim_faults & KC_FAULT_SILENT))
		wait_shown(1, why, sizeof(why));
	write_sim(simfd, 0, "", "");
	return fd;
}

/*
 * One batch read: applied whole or refused whole, and answered, with the
 * id it names into id and a refusal's reason into why (kept for the sim
 * object of a control object made again); false when kelvo is stopping
 * and takes no more.
 */
static bool
take_batch(char *text, size_t len, int *simfd, long *batches,
    char *id, size_t idlen, char *why, size_t whylen)
{
	long want;
	int n;

	why[0] = '\0';
	pthread_mutex_lock(&answering);
	pthread_mutex_lock(&xml_mutex);
	if (stopping()) {
		pthread_mutex_unlock(&xml_mutex);
		pthread_mutex_unlock(&answering);
		return false;
	}
	n = control_batch(text, len, id, idlen, why, whylen);
	want = pub_begun + 1;
	pthread_mutex_unlock(&xml_mutex);
	if (n >= 0)
		control_applied(simfd, ++*batches, n, want, id);
	else
		control_refused(simfd, ++*batches, why, id);
	pthread_mutex_unlock(&answering);
	db_release();
	return true;
}

void
control_drain(void)
{
	pthread_mutex_lock(&answering);
}

void *
control2xml(void *)
{
	static char buf[KC_CONTROL_LEN + 2];
	char why[KC_WHY_LEN], id[KC_ID_MAX + 1] = "";
	long batches = 0;
	ssize_t len;
	int fd, simfd = -1;
	bool fresh;		/* nothing read since open_control */

	Printf("control2xml:: enter main processing\n");
	why[0] = '\0';
	fd = control_start(&simfd);
	fresh = true;

	while (!exit_in_progress) {
		if (fd < 0) {
			delay(pm_interval);
			if ((fd = open_control()) >= 0) {
				fresh = true;
				write_sim(&simfd, batches, why, id);
			}
			continue;
		}
		/* One byte more than is taken tells an oversized text. */
		if ((len = pps_read(fd, buf, KC_CONTROL_LEN + 1)) < 0) {
			if (errno == EINVAL) {
				/* A pipe or a directory in its place. */
				snprintf(why, sizeof(why), "the control object "
				    "is no regular file");
				id[0] = '\0';
				control_refused(&simfd, ++batches, why, id);
				fresh = false;
				continue;
			}
			/* Removed: made again, as the directory is. */
			if (errno == ENOENT) {
				pps_close(fd);
				fd = -1;
			}
			delay(pm_interval);
			continue;
		}
		buf[len] = '\0';
		/*
		 * No batch: the empty text this kelvo wrote itself, or an
		 * object with no text at all, which is how a client takes
		 * back a batch that kelvo did not take in time.
		 */
		if (len == 0 || (fresh &&
		    (size_t)len == sizeof(KC_CONTROL_HEAD) - 1 &&
		    memcmp(buf, KC_CONTROL_HEAD, (size_t)len) == 0)) {
			fresh = false;
			continue;
		}
		fresh = false;
		if (!take_batch(buf, (size_t)len, &simfd, &batches, id,
		    sizeof(id), why, sizeof(why)))
			break;
	}

	if (fd >= 0)
		pps_close(fd);
	if (simfd >= 0)
		pps_close(simfd);
	sem_post(&exit_semaphore);
	return nullptr;
}
