/*
 * fuzz_store.cpp - the state store, one tick and the publisher's text,
 * against an arbitrary document on disk.
 *
 * The document is edited by hand, so any bytes may be waiting when a
 * store cycle starts.  Each input is written as the document (in a
 * directory of this process's own), then it goes through what the daemon
 * does to it: a store cycle with reads and writes, odd floats among them,
 * a simulation tick, the four buttons, and a publisher cycle.  After every
 * cycle the file on disk must load as it stands, with the root and its
 * three sections: whatever a cycle loaded, it must save in a form that
 * loads again, or the next cycle would throw the state away.  The
 * published text must fit its buffer.
 */
#include <limits.h>
#include <math.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <tinyxml.h>

#include "dbXML.h"
#include "kelvo.h"
#include "model.h"
#include "thermodyn.h"
#include "xml2pps.h"

#define CHECK(cond, ...)                                                  \
	do {                                                              \
		if (!(cond)) {                                            \
			fprintf(stderr, "fuzz_store: %s: ", #cond);       \
			fprintf(stderr, __VA_ARGS__);                     \
			fputc('\n', stderr);                              \
			abort();                                          \
		}                                                         \
	} while (0)

static char dir[64];
static char tmp_fname[300];

static const char *const names[] = {
	"ts_mode", "ts_fan", "ts_temp", "td_temp_in_", "td_temp_in",
	"td_temp_out_", "td_temp_out", "td_sys", "td_time_", "td_time",
	"pm_interval", "pm_minutes",
	/* A known prefix that no section holds, upper case, no prefix. */
	"ts_nothing", "TS_MODE", "mode", "", "td_",
};

/* Floats the simulation never makes but a bad document can lead to. */
static const float odd[] = {
	NAN, -NAN, INFINITY, -INFINITY, 1e14f, -1e14f, 99999999999999.0f,
	-99999999999999.0f, 1e13f, -1e13f, 3.4028235e38f, 1.17549435e-38f,
	1e-45f, -0.0f, 0.0f, 0.0005f, -0.0005f, 2147483648.0f, 66.0f,
};

static void
cleanup(void)
{
	unlink(xml_fname);
	unlink(tmp_fname);
	rmdir(dir);
}

extern "C" int
LLVMFuzzerInitialize(int *, char ***)
{
	snprintf(dir, sizeof(dir), "/tmp/kelvo-fuzz-store.XXXXXX");
	if (mkdtemp(dir) == nullptr) {
		perror("fuzz_store: mkdtemp");
		exit(1);
	}
	snprintf(xml_fname, sizeof(xml_fname), "%s/kelvoweb.xml", dir);
	/* The store's own temporary file, removed too if a save leaves it. */
	snprintf(tmp_fname, sizeof(tmp_fname), "%s.tmp", xml_fname);
	atexit(cleanup);
	Verbose = 0;
	pm_minutes = 2;
	pm_interval = 200;
	return 0;
}

/* Whether the file on disk loads as it stands, with root and sections. */
static bool
shaped_on_disk(void)
{
	TiXmlDocument doc(xml_fname);
	TiXmlElement *root;

	if (!doc.LoadFile())
		return false;
	if ((root = doc.FirstChildElement("thermodynData")) == nullptr)
		return false;
	return root->FirstChildElement("inputs") != nullptr &&
	    root->FirstChildElement("outputs") != nullptr &&
	    root->FirstChildElement("parameters") != nullptr;
}

static void
write_document(const uint8_t *data, size_t size)
{
	FILE *f = fopen(xml_fname, "wb");

	CHECK(f != nullptr, "cannot write %s", xml_fname);
	if (size > 0)
		CHECK(fwrite(data, 1, size, f) == size, "short write");
	CHECK(fclose(f) == 0, "cannot close %s", xml_fname);
}

static void
store_cycle(const uint8_t *data, size_t size)
{
	unsigned pick = 0;
	float v;
	char *s;

	for (size_t i = 0; i < size; i++)
		pick = pick * 31 + data[i];

	db = new dbXML(xml_fname, false);
	/* Every value read every way, with the results used. */
	for (const char *name : names) {
		s = db->getValStr(name);
		if (s != nullptr)
			CHECK(strlen(s) < (size_t)1 << 20, "%s", name);
		(void)db->getValInt(name);
		v = db->getValFp(name);
		(void)(v == v);
	}
	/* Writes as the daemon makes them, and some it never does. */
	db->setValStr("ts_mode", "COOL");
	db->setValStr("ts_fan", "   ");
	db->setValStr("td_sys", "<&\"'>]]>");
	db->setValStr("nothing", "x");
	db->setValInt("ts_temp", (pick & 1) ? INT_MIN : INT_MAX);
	db->setValInt("td_temp_out", -1);
	/*
	 * A float the store takes must be stored whole, as a finite number;
	 * one it refuses (not finite, or too long to print) leaves the text
	 * of the document as it was, which may be any length.
	 */
	v = odd[pick % (sizeof(odd) / sizeof(odd[0]))];
	if (db->setValFp("td_temp_in_", v) == 1) {
		s = db->getValStr("td_temp_in_");
		CHECK(s != nullptr && strlen(s) < 20 && isfinite(strtof(s,
		    nullptr)), "td_temp_in_ \"%s\" for %g", s ? s : "(null)",
		    (double)v);
	}
	/* A float straight from the input, any bit pattern. */
	if (size >= 4) {
		memcpy(&v, data + size - 4, sizeof(v));
		db->setValFp("td_temp_out_", v);
		db->setValFp("pm_minutes", v);
	}
	delete db;
	db = nullptr;
}

static void
publish_cycle(void)
{
	char values[KC_ATTRS][KC_VALUE_LEN];
	char text[KC_TEXT_LEN];
	int n;

	/* Full of junk first, so a value left unterminated shows. */
	memset(values, 'x', sizeof(values));
	db = new dbXML(xml_fname, false);
	pps_values(db, values);
	delete db;
	db = nullptr;
	for (int i = 0; i < KC_ATTRS; i++)
		CHECK(strnlen(values[i], KC_VALUE_LEN) < KC_VALUE_LEN,
		    "value %d unterminated", i);
	memset(text, 'x', sizeof(text));
	n = pps_text(values, text, sizeof(text));
	CHECK(n >= 0 && n < (int)sizeof(text), "n=%d", n);
	CHECK(strnlen(text, sizeof(text)) == (size_t)n, "n=%d strlen=%zu", n,
	    strnlen(text, sizeof(text)));
}

/* After a tick, the clock it wrote reads back as a time of day. */
static void
check_clock(void)
{
	char *s;

	db = new dbXML(xml_fname, false);
	if ((s = db->getValStr("td_time_")) != nullptr) {
		CHECK(strlen(s) == 4 && strspn(s, "0123456789") == 4 &&
		    kc_clock_valid(atoi(s)), "td_time_ \"%s\"", s);
	}
	delete db;
	db = nullptr;
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	/* The document is a few hundred bytes; the slack finds the limits. */
	if (size > 4096)
		return -1;
	write_document(data, size);

	store_cycle(data, size);
	CHECK(shaped_on_disk(), "document unloadable after a store cycle");

	pm_minutes = 2;
	thermodyn_tick();
	db = nullptr;
	CHECK(shaped_on_disk(), "document unloadable after a tick");
	check_clock();

	char btn[5];
	for (const char *b : { "btn1", "btn2", "btn3", "btn4", "n1::" }) {
		snprintf(btn, sizeof(btn), "%s", b);
		web_cgi(btn);
		db = nullptr;
	}
	CHECK(shaped_on_disk(), "document unloadable after the buttons");

	publish_cycle();
	return 0;
}
