/*
 * The classic thermostat kept to the byte: a week of ticks from starts
 * that take every road of the model, with commands and presses along the
 * way, gives the published texts and the stored documents it always gave.
 * The digest below was taken from kelvo as it was before it had profiles;
 * any change to what a classic kelvo publishes or stores changes it.
 */
#include <gtest/gtest.h>

#include <stdint.h>

#include <string>

#include "dbXML.h"
#include "kelvo.h"
#include "thermodyn.h"
#include "xml2pps.h"
#include "testutil.h"

namespace {

#define CLASSIC_DIGEST	7443917768559905246ULL

/* FNV-1a, 64 bits: small, and any changed byte changes it. */
struct Digest {
	uint64_t h = 1469598103934665603ULL;
	void add(const std::string &s) {
		for (unsigned char c : s) {
			h ^= c;
			h *= 1099511628211ULL;
		}
	}
};

/* The outputs object's text of the document d, as the publisher makes it. */
std::string
outputs_of(dbXML *d)
{
	char values[KC_ATTRS][KC_VALUE_LEN];
	char text[KC_TEXT_LEN];

	pps_values(d, values);
	if (sim_faults & KC_FAULT_SENSOR)
		values[ATTR_IN_PRECISE][0] = values[ATTR_IN][0] = '\0';
	int n = pps_text(values, text, sizeof(text));
	return std::string(text, (size_t)n);
}

/* A whole store cycle: a press as the input reader makes it. */
void
press(dbXML **d, int btn)
{
	char name[8];

	delete *d;
	snprintf(name, sizeof(name), "btn%d", btn);
	web_cgi(name);
	*d = new dbXML(xml_fname, false);
}

TEST(Classic, AWeekOfTicksPublishesAndStoresWhatItAlwaysDid)
{
	const char *starts[][2] = {
		{ "ts_mode", "HEAT" }, { "ts_mode", "COOL" },
		{ "ts_mode", "OFF" }, { "fault", "plant" },
		{ "fault", "sensor" }, { "ts_temp", "90" },
		{ "ts_mode", "AUTO" },
	};
	Digest all;

	Verbose = 0;
	for (int m : { 2, 61 }) {
		for (auto &s : starts) {
			kt::TempDir dir;
			snprintf(xml_fname, sizeof(xml_fname), "%s",
			    (dir / "kelvoweb.xml").c_str());
			pm_interval = 200;
			pm_minutes = 2;
			sim_paused = false;
			sim_faults = 0;
			delete new dbXML(xml_fname, true);
			dbXML *d = new dbXML(xml_fname, false);
			sim_apply(d, "pm_minutes", std::to_string(m).c_str());
			/* A mode no classic command sets: a hand edit. */
			if (strcmp(s[1], "AUTO") == 0)
				d->setValStr(s[0], s[1]);
			else
				sim_apply(d, s[0], s[1]);
			sim_apply(d, "td_temp_out_", "75.5");
			int ticks = 7 * 24 * 60 / m;
			for (int i = 0; i < ticks; i++) {
				sim_tick(d);
				all.add(outputs_of(d));
				if (i % 97 == 0)
					press(&d, 1 + i / 97 % KC_BUTTONS);
			}
			delete d;
			all.add(kt::read_file(xml_fname));
			db_release();
		}
	}
	EXPECT_EQ(all.h, CLASSIC_DIGEST);
}

}
