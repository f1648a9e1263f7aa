/*
 * The model alone against the daemon: the same start, the same commands
 * and the same ticks give the same ten values to the byte, whether the
 * world lives in the document (the daemon) or in a struct (a fleet).
 * Also the model's own promises: values within the contract's limits,
 * and a document temperature that is no number restarting with its line.
 */
#include <gtest/gtest.h>

#include <string>

#include "dbXML.h"
#include "kelvo.h"
#include "model.h"
#include "thermodyn.h"
#include "xml2pps.h"
#include "testutil.h"

namespace {

class World : public ::testing::Test {
protected:
	kt::TempDir dir;
	struct km_world w;

	void SetUp() override {
		snprintf(xml_fname, sizeof(xml_fname), "%s",
		    (dir / "kelvoweb.xml").c_str());
		Verbose = 0;
		pm_interval = 200;
		pm_minutes = 2;
		sim_paused = false;
		sim_faults = 0;
		delete new dbXML(xml_fname, true);
		db = new dbXML(xml_fname, false);
		km_reset(&w);
	}
	void TearDown() override {
		delete db;
		db = nullptr;
	}

	/* One command to both: the daemon's document and the world. */
	void both(const char *name, const char *value) {
		char why[KC_WHY_LEN];
		ASSERT_TRUE(kc_command_check(name, value, why, sizeof(why)))
		    << name << "::" << value << ": " << why;
		sim_apply(db, name, value);
		km_apply(&w, name, value);
	}
	/* The document's values as kelvo publishes them, blanks condensed. */
	std::string published() {
		char values[KC_ATTRS][KC_VALUE_LEN];
		std::string all;
		pps_values(db, values);
		if (sim_faults & KC_FAULT_SENSOR)
			values[ATTR_IN_PRECISE][0] = values[ATTR_IN][0] = '\0';
		for (auto &v : values)
			all += std::string(v + strspn(v, " ")) + "|";
		return all;
	}
	std::string modelled() {
		char values[KC_ATTRS][KC_VALUE_LEN];
		std::string all;
		km_values(&w, values);
		for (auto &v : values)
			all += std::string(v) + "|";
		return all;
	}
	/* ticks ordinary ticks on both, comparing after every one. */
	void run(long ticks) {
		for (long i = 0; i < ticks; i++) {
			sim_tick(db);
			km_tick(&w);
			ASSERT_EQ(published(), modelled()) << "tick " << i;
		}
	}
};

/*
 * A week at each speed, from starts that take every road of the model:
 * heating, cooling, off, a broken plant, a failed sensor, the set point
 * at the buttons' limits and far beyond.
 */
TEST_F(World, AWeekOfTicksIsTheDaemonsToTheByte)
{
	const char *starts[][2] = {
		{ "ts_mode", "HEAT" }, { "ts_mode", "COOL" },
		{ "ts_mode", "OFF" }, { "fault", "plant" },
		{ "fault", "sensor" }, { "ts_temp", "90" },
		{ "ts_temp", "60" }, { "ts_temp", "1000" },
	};
	for (int m : { 1, 2, 59, 60, 61, 1440 }) {
		for (auto &s : starts) {
			TearDown();
			SetUp();
			both("reset", "defaults");
			both("pm_minutes", std::to_string(m).c_str());
			both(s[0], s[1]);
			both("td_temp_out_", "75.5");
			SCOPED_TRACE(std::to_string(m) + " minutes, " + s[0] +
			    " " + s[1]);
			run(7 * 24 * 60 / m);
			if (HasFatalFailure())
				return;
		}
	}
}

TEST_F(World, CommandsAndPressesAreTheDaemons)
{
	const char *cmds[][2] = {
		{ "td_time_", "1159" }, { "td_temp_in_", "71.4999" },
		{ "td_temp_out_", "-12.25" }, { "td_sys", "ON" },
		{ "ts_mode", "COOL" }, { "ts_fan", "ON" }, { "ts_temp", "0" },
		{ "step", "30" }, { "state", "running" },
		{ "pm_minutes", "61" }, { "fault", "sensor,plant" },
		{ "step", "3" }, { "fault", "" }, { "td_temp_in_", "-1000" },
		{ "ts_temp", "1000" }, { "step", "100" },
	};
	run(1);		/* past the default document's short texts */
	for (auto &c : cmds) {
		both(c[0], c[1]);
		ASSERT_EQ(published(), modelled()) << c[0] << "::" << c[1];
	}
	EXPECT_TRUE(w.paused);
	EXPECT_EQ(w.minutes, 61);
	for (int btn : { BTN_UP, BTN_MODE, BTN_FAN, BTN_DOWN, BTN_MODE }) {
		char name[8];
		snprintf(name, sizeof(name), "%s", kc_button_attr(btn));
		delete db;
		web_cgi(name);
		db = new dbXML(xml_fname, false);
		km_press(&w, btn);
		ASSERT_EQ(published(), modelled()) << name;
	}
}

/*
 * A set point far above the room heats it to the contract's limit and no
 * further: the value the model made is one every reader takes, so the
 * next tick goes on from it instead of restarting the room at 66.
 */
TEST_F(World, NoValueLeavesTheContractsLimits)
{
	both("ts_temp", "1000");
	both("td_temp_in_", "999.9");
	both("td_sys", "ON");
	run(3);
	EXPECT_EQ(w.in, 1000.0f);
	EXPECT_TRUE(w.running);
	both("ts_mode", "COOL");
	both("ts_temp", "0");
	both("td_temp_in_", "-999.9");
	both("td_temp_out_", "-1000");
	run(3);
	EXPECT_EQ(w.in, -1000.0f);
	EXPECT_EQ(w.out, -1000.0f);
	EXPECT_EQ(w.out_whole, -1000);
}

TEST_F(World, ADocumentTemperatureThatIsNoNumberRestartsWithItsLine)
{
	for (const char *bad : { "abc", "12abc", "1.2.3", "0x" }) {
		ASSERT_EQ(db->setValStr("td_temp_out_", bad), 1);
		Verbose = 1;
		::testing::internal::CaptureStdout();
		model_step(db, 1702, 2);
		std::string out = ::testing::internal::GetCapturedStdout();
		Verbose = 0;
		EXPECT_EQ(out, "thermodyn::td_temp_out_ is no temperature, "
		    "restarting it at 60\n") << "\"" << bad << "\"";
		EXPECT_STREQ(db->getValStr("td_temp_out_") +
		    strspn(db->getValStr("td_temp_out_"), " "), "59.933") << bad;
	}
}

}  // namespace
