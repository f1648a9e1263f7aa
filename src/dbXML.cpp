/*
 * dbXML.cpp - the state store.
 *
 * Nothing is cached: every store cycle loads the whole document and saves
 * the whole document, so each thread sees what the others saved.  The
 * document is tiny and the cycle is cheap; what matters is that it is
 * never lost.  A save goes to a fixed temporary file beside the document
 * and is renamed over it, so a kill at any instant leaves the old document
 * or the new one, never a torn one.  A document that cannot be loaded, or
 * that lacks the three sections every reader expects, is replaced by the
 * defaults: hand edits that break it are the one way to lose state.
 *
 * Texts are untrusted (people edit the document by hand): the value
 * operations treat anything outside the data model as a missing element,
 * and numbers that do not fit are clamped, never undefined.
 *
 * Several cycles run every tick, so a cycle makes only the calls its work
 * needs: the document is read with one open, fstat and read, not through
 * stdio's seeks, and the permission bits that fstat gives are the ones
 * the save keeps, with no second look at the file.  The text is handed to
 * the XML library exactly as its own file loader would hand it on.
 *
 * The file a save replaces is freed when its last descriptor closes, and
 * freeing it can wait on the disk (a file system mounted to discard freed
 * blocks does so right there) about as long as the rest of the cycle.  So
 * a cycle keeps the file it loaded open past its save, and the thread
 * closes it with db_release once it has let go of xml_mutex.
 */
#include "dbXML.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <math.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <new>
#include <tinyxml.h>

#include "kelvo.h"
#include "platform.h"

dbXML *db = nullptr;
std::atomic<long> db_saves;

/* The document this thread's last cycle replaced, still open; or -1. */
static thread_local int replaced = -1;

const char db_default_text[] =
    "<?xml version=\"1.0\" ?>\n"
    "<thermodynData>\n\n"
    "\t<inputs>\n"
    "\t\t<ts_mode>HEAT</ts_mode>\n"
    "\t\t<ts_fan>AUTO</ts_fan>\n"
    "\t\t<ts_temp>68</ts_temp>\n"
    "\t</inputs>\n\n"
    "\t<outputs>\n"
    "\t\t<td_temp_in_>66.0</td_temp_in_>\n"
    "\t\t<td_temp_in>66</td_temp_in>\n"
    "\t\t<td_temp_out_>60.0</td_temp_out_>\n"
    "\t\t<td_temp_out>60</td_temp_out>\n"
    "\t\t<td_sys>OFF</td_sys>\n"
    "\t\t<td_time_>1700</td_time_>\n"
    "\t\t<td_time>05:00p</td_time>\n"
    "\t</outputs>\n\n"
    "\t<parameters>\n"
    "\t\t<pm_interval>200</pm_interval>\n"
    "\t\t<pm_minutes>2</pm_minutes>\n"
    "\t</parameters>\n\n"
    "</thermodynData>\n";

/* Failures are said once when they start, and once when they end. */
static std::atomic<bool> save_failing(false);
static std::atomic<bool> load_failing(false);

static void
say(const char *fmt, const char *path, const char *why = "")
{
	char line[512];

	snprintf(line, sizeof(line), fmt, path, why);
	Printf(line);
}

/* Permission bits to keep: the document's own, or rw-r--r-- for a new one. */
static mode_t
doc_mode(const char *path)
{
	struct stat st;

	return stat(path, &st) == 0 ? (st.st_mode & 07777) : 0644;
}

static int
save_text(const char *path, const char *text, size_t len, mode_t mode)
{
	char tmp[PATH_MAX];

	if (snprintf(tmp, sizeof(tmp), "%s.tmp", path) >= (int)sizeof(tmp)) {
		errno = ENAMETOOLONG;
		return -1;
	}
	return replace_file(path, tmp, text, len, mode);
}

static const char *const sections[] = { "inputs", "outputs", "parameters" };

/* The section a value name belongs to, by its prefix; null for none. */
static const char *
section_of(const char *name)
{
	if (strncmp(name, "ts_", 3) == 0)
		return sections[0];
	if (strncmp(name, "td_", 3) == 0)
		return sections[1];
	if (strncmp(name, "pm_", 3) == 0)
		return sections[2];
	return nullptr;
}

/*
 * Reads the file doc is named after and parses it, as the library's
 * LoadFile does: the length the file has when opened, all of it or
 * failure, an empty file a failure, every CR LF and lone CR made LF, the
 * text ending at its first NUL.  *mode gets the file's permission bits,
 * and *held the descriptor read, left open (one held before is closed).
 */
static bool
load_document(TiXmlDocument *doc, mode_t *mode, int *held)
{
	struct stat st;
	size_t got = 0;
	ssize_t n;
	char *buf, *q;
	const char *p;
	int fd, saved;

	if ((fd = open(doc->Value(), O_RDONLY | O_CLOEXEC)) < 0)
		return false;
	if (fstat(fd, &st) < 0 || st.st_size <= 0 ||
	    (buf = new (std::nothrow) char[(size_t)st.st_size + 1]) == nullptr) {
		saved = errno;
		close(fd);
		errno = saved;
		return false;
	}
	while (got < (size_t)st.st_size) {
		n = read(fd, buf + got, (size_t)st.st_size - got);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			break;
		got += (size_t)n;
	}
	if (got < (size_t)st.st_size) {
		saved = errno;
		close(fd);
		delete[] buf;
		errno = saved;
		return false;
	}
	if (*held >= 0)
		close(*held);
	*held = fd;
	buf[got] = '\0';
	/* Only a document with a CR needs the character by character pass. */
	q = (char *)memchr(buf, '\r', got);
	for (p = q = q != nullptr ? q : buf + got; *p; ) {
		if (*p == '\r') {
			*q++ = '\n';
			if (*++p == '\n')
				p++;
		} else
			*q++ = *p++;
	}
	*q = '\0';
	doc->Parse(buf, nullptr, TIXML_DEFAULT_ENCODING);
	delete[] buf;
	*mode = st.st_mode & 07777;
	return !doc->Error();
}

/* Loaded, and shaped as every reader of the document expects. */
static bool
loaded(TiXmlDocument *doc, mode_t *mode, int *held)
{
	TiXmlElement *root;

	if (!load_document(doc, mode, held))
		return false;
	if ((root = doc->FirstChildElement("thermodynData")) == nullptr)
		return false;
	for (const char *s : sections)
		if (root->FirstChildElement(s) == nullptr)
			return false;
	return true;
}

/*
 * The text node of a value element.  Sets *known when the name has one of
 * the three prefixes; an element that is missing, or does not begin with
 * its text, yields null.
 */
static TiXmlText *
value_text(TiXmlDocument *doc, const char *name, bool *known)
{
	const char *section = section_of(name);
	TiXmlElement *e;
	TiXmlNode *child;

	*known = section != nullptr;
	if (section == nullptr ||
	    (e = doc->FirstChildElement("thermodynData")) == nullptr ||
	    (e = e->FirstChildElement(section)) == nullptr ||
	    (e = e->FirstChildElement(name)) == nullptr ||
	    (child = e->FirstChild()) == nullptr)
		return nullptr;
	return child->ToText();
}

/*
 * A failure that loses data reaches standard error as well as the trace,
 * where the journal keeps it: once per kind (what failed, and why), so a
 * failure repeated every tick is one line, and a new cause still shows.
 */
static void
complain(const char *what, int err)
{
	static pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
	static struct { const char *what; int err; } told[16];
	static int ntold;
	bool tell = true;

	pthread_mutex_lock(&mutex);
	for (int i = 0; i < ntold && tell; i++)
		tell = !(told[i].what == what && told[i].err == err);
	if (tell && ntold < (int)(sizeof(told) / sizeof(told[0]))) {
		told[ntold].what = what;
		told[ntold++].err = err;
	} else {
		tell = false;
	}
	pthread_mutex_unlock(&mutex);
	if (tell)
		fprintf(stderr, "kelvo: %s %s: %s\n", what, xml_fname,
		    strerror(err));
}

static void
fail(char *buf, size_t len, const char *op, const char *name)
{
	snprintf(buf, len, "%s exception %s", op, name);
	Printf(buf);
}

dbXML::dbXML(const char *path, bool init)
    : doc(nullptr), mode(NO_MODE), held(-1), saved(false)
{
	buf[0] = '\0';
	if (init)
		db_defaults();
	doc = new TiXmlDocument(path);
	if (!loaded(doc, &mode, &held)) {
		delete doc;
		db_defaults();
		doc = new TiXmlDocument(path);
		if (!loaded(doc, &mode, &held)) {
			/*
			 * Neither the document nor the defaults could be read
			 * back (the directory is not writable, say).  Run this
			 * cycle on the defaults held in memory, so every value
			 * is there, and keep trying to save.
			 */
			int err = errno;
			if (!load_failing.exchange(true))
				say("dbXML::cannot load %s (%s), working from "
				    "the defaults\n", path, strerror(err));
			complain("cannot load", err);
			doc->Clear();
			doc->Parse(db_default_text);
			mode = NO_MODE;
			return;
		}
	}
	if (load_failing.exchange(false))
		say("dbXML::loading %s again\n", path);
}

bool
dbXML::save(char *why, size_t len)
{
	TiXmlPrinter printer;
	int err;

	saved = true;
	printer.SetIndent("    ");
	doc->Accept(&printer);
	/* The bits read at the load, unless this cycle runs on no file. */
	if (save_text(doc->Value(), printer.CStr(), printer.Size(),
	    mode != NO_MODE ? mode : doc_mode(doc->Value())) < 0) {
		err = errno;
		if (!save_failing.exchange(true))
			say("dbXML::cannot save %s: %s\n", doc->Value(),
			    strerror(err));
		complain("cannot save", err);
		if (why != nullptr)
			snprintf(why, len, "cannot save the state document: %s",
			    strerror(err));
		return false;
	}
	if (save_failing.exchange(false))
		say("dbXML::saving %s again\n", doc->Value());
	db_saves++;
	return true;
}

dbXML::~dbXML()
{
	if (!saved)
		save(nullptr, 0);
	delete doc;
	/* A thread that did not release its last one frees it now. */
	db_release();
	replaced = held;
}

void
db_release()
{
	if (replaced >= 0)
		close(replaced);
	replaced = -1;
}

void
dbXML::db_defaults()
{
	save_text(xml_fname, db_default_text, sizeof(db_default_text) - 1,
	    doc_mode(xml_fname));
}

char *
dbXML::getValStr(const char *name)
{
	bool known;
	TiXmlText *t = value_text(doc, name, &known);

	if (t == nullptr) {
		if (known)
			fail(buf, sizeof(buf), "getValStr", name);
		return nullptr;
	}
	return const_cast<char *>(t->Value());
}

static int
set_text(TiXmlDocument *doc, char *buf, size_t len, const char *op,
    const char *name, const char *value)
{
	bool known;
	TiXmlText *t = value_text(doc, name, &known);

	/* A blank text would leave an empty element after the next load. */
	if (t != nullptr && value[strspn(value, " \t\r\n")] == '\0')
		t = nullptr;
	if (t != nullptr) {
		try {
			t->SetValue(value);
			return 1;
		} catch (const std::bad_alloc &) {
		}
	}
	if (known)
		fail(buf, len, op, name);
	return 0;
}

/* The section element a value name belongs in, or null. */
static TiXmlElement *
section_element(TiXmlDocument *doc, const char *name)
{
	const char *section = section_of(name);
	TiXmlElement *e;

	if (section == nullptr ||
	    (e = doc->FirstChildElement("thermodynData")) == nullptr)
		return nullptr;
	return e->FirstChildElement(section);
}

char *
dbXML::findValStr(const char *name)
{
	bool known;
	TiXmlText *t = value_text(doc, name, &known);

	return t != nullptr ? const_cast<char *>(t->Value()) : nullptr;
}

int
dbXML::putValStr(const char *name, const char *value)
{
	TiXmlElement *section, *e;
	bool known;

	if (value_text(doc, name, &known) != nullptr)
		return setValStr(name, value);
	if (value[strspn(value, " \t\r\n")] == '\0' ||
	    (section = section_element(doc, name)) == nullptr)
		return 0;
	try {
		/* An element left empty by hand is replaced, not doubled. */
		if ((e = section->FirstChildElement(name)) != nullptr)
			section->RemoveChild(e);
		TiXmlElement added(name);
		added.InsertEndChild(TiXmlText(value));
		section->InsertEndChild(added);
	} catch (const std::bad_alloc &) {
		fail(buf, sizeof(buf), "setValStr", name);
		return 0;
	}
	return 1;
}

void
dbXML::delVal(const char *name)
{
	TiXmlElement *section = section_element(doc, name), *e;

	while (section != nullptr &&
	    (e = section->FirstChildElement(name)) != nullptr)
		section->RemoveChild(e);
}

void
dbXML::reset()
{
	doc->Clear();
	doc->Parse(db_default_text);
}

int
dbXML::setValStr(const char *name, const char *value)
{
	return set_text(doc, buf, sizeof(buf), "setValStr", name, value);
}

float
dbXML::getValFp(const char *name)
{
	bool known;
	TiXmlText *t = value_text(doc, name, &known);
	const char *s;
	char *end;
	float v;

	if (t == nullptr) {
		if (known)
			fail(buf, sizeof(buf), "getValFp", name);
		return 0.0f;
	}
	/* Reads as "%f" would, without its undefined overflow. */
	s = t->Value();
	v = strtof(s, &end);
	return end == s ? 0.0f : v;
}

int
dbXML::getValInt(const char *name)
{
	bool known;
	TiXmlText *t = value_text(doc, name, &known);
	long v;

	if (t == nullptr) {
		if (known)
			fail(buf, sizeof(buf), "getValInt", name);
		return -1;
	}
	/* atoi's reading, clamped where atoi would overflow. */
	v = strtol(t->Value(), nullptr, 10);
	if (v > INT_MAX)
		return INT_MAX;
	if (v < INT_MIN)
		return INT_MIN;
	return (int)v;
}

int
dbXML::setValInt(const char *name, int value)
{
	char digits[16];

	snprintf(digits, sizeof(digits), "%d", value);
	return set_text(doc, buf, sizeof(buf), "setValInt", name, digits);
}

int
dbXML::setValFp(const char *name, float value)
{
	char text[20];

	/* "%8.3f" of 1e14 and beyond would not fit the 19 characters. */
	if (!isfinite(value) || fabsf(value) >= 1e14f) {
		if (section_of(name) != nullptr)
			fail(buf, sizeof(buf), "setValFp", name);
		return 0;
	}
	snprintf(text, sizeof(text), "%8.3f", (double)value);
	return set_text(doc, buf, sizeof(buf), "setValFp", name, text);
}
