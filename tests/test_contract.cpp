/*
 * test_contract.cpp - the contract's pure rules, as tables: the buttons at
 * every edge, the plant's every row, the clock's two forms, any-case
 * parsing and the control commands' checks at their edges.
 */
#include <gtest/gtest.h>

#include <string>

#include "contract.h"
#include "dbXML.h"

TEST(Contract, ButtonsAtEveryEdge)
{
	static const struct {
		int btn;
		struct kc_settings in, out;
	} rows[] = {
		/* mode: OFF -> HEAT -> COOL -> OFF; unknown turns it off. */
		{ BTN_MODE, { true, MODE_OFF, 0, 0, 0, 0 }, { true, MODE_HEAT, 0, 0, 0, 0 } },
		{ BTN_MODE, { true, MODE_HEAT, 0, 0, 0, 0 }, { true, MODE_COOL, 0, 0, 0, 0 } },
		{ BTN_MODE, { true, MODE_COOL, 0, 0, 0, 0 }, { true, MODE_OFF, 0, 0, 0, 0 } },
		{ BTN_MODE, { true, MODE_UNKNOWN, 0, 0, 0, 0 }, { true, MODE_OFF, 0, 0, 0, 0 } },
		{ BTN_MODE, { false, MODE_UNKNOWN, 0, 0, 0, 0 }, { false, MODE_UNKNOWN, 0, 0, 0, 0 } },
		/* fan: ON <-> AUTO; unknown turns it on. */
		{ BTN_FAN, { 0, 0, true, FAN_ON, 0, 0 }, { 0, 0, true, FAN_AUTO, 0, 0 } },
		{ BTN_FAN, { 0, 0, true, FAN_AUTO, 0, 0 }, { 0, 0, true, FAN_ON, 0, 0 } },
		{ BTN_FAN, { 0, 0, true, FAN_UNKNOWN, 0, 0 }, { 0, 0, true, FAN_ON, 0, 0 } },
		{ BTN_FAN, { 0, 0, false, FAN_UNKNOWN, 0, 0 }, { 0, 0, false, FAN_UNKNOWN, 0, 0 } },
		/* up: below the top only; never pulls one from outside. */
		{ BTN_UP, { 0, 0, 0, 0, true, 59 }, { 0, 0, 0, 0, true, 60 } },
		{ BTN_UP, { 0, 0, 0, 0, true, 89 }, { 0, 0, 0, 0, true, 90 } },
		{ BTN_UP, { 0, 0, 0, 0, true, 90 }, { 0, 0, 0, 0, true, 90 } },
		{ BTN_UP, { 0, 0, 0, 0, true, 95 }, { 0, 0, 0, 0, true, 95 } },
		{ BTN_UP, { 0, 0, 0, 0, true, -1 }, { 0, 0, 0, 0, true, 0 } },
		{ BTN_UP, { 0, 0, 0, 0, false, 70 }, { 0, 0, 0, 0, false, 70 } },
		/* down: above the bottom only. */
		{ BTN_DOWN, { 0, 0, 0, 0, true, 61 }, { 0, 0, 0, 0, true, 60 } },
		{ BTN_DOWN, { 0, 0, 0, 0, true, 60 }, { 0, 0, 0, 0, true, 60 } },
		{ BTN_DOWN, { 0, 0, 0, 0, true, 59 }, { 0, 0, 0, 0, true, 59 } },
		{ BTN_DOWN, { 0, 0, 0, 0, true, 95 }, { 0, 0, 0, 0, true, 94 } },
		/* no button: nothing moves. */
		{ 0, { true, MODE_OFF, true, FAN_ON, true, 70 }, { true, MODE_OFF, true, FAN_ON, true, 70 } },
		{ 5, { true, MODE_OFF, true, FAN_ON, true, 70 }, { true, MODE_OFF, true, FAN_ON, true, 70 } },
	};
	for (const auto &r : rows) {
		struct kc_settings s = r.in;
		kc_press(&s, r.btn);
		SCOPED_TRACE("btn " + std::to_string(r.btn) + " setpoint " +
		    std::to_string(r.in.setpoint));
		EXPECT_EQ(s.has_mode, r.out.has_mode);
		EXPECT_EQ(s.mode, r.out.mode);
		EXPECT_EQ(s.has_fan, r.out.has_fan);
		EXPECT_EQ(s.fan, r.out.fan);
		EXPECT_EQ(s.has_setpoint, r.out.has_setpoint);
		EXPECT_EQ(s.setpoint, r.out.setpoint);
	}
}

TEST(Contract, ButtonNames)
{
	static const struct { const char *attr, *name; int btn; } rows[] = {
		{ "btn1", "mode", BTN_MODE }, { "btn2", "fan", BTN_FAN },
		{ "btn3", "up", BTN_UP }, { "btn4", "down", BTN_DOWN },
	};
	for (const auto &r : rows) {
		EXPECT_STREQ(kc_button_attr(r.btn), r.attr);
		EXPECT_EQ(kc_button_of_attr(r.attr), r.btn);
		EXPECT_STREQ(kc_button_name(r.btn), r.name);
		EXPECT_EQ(kc_button_of(r.name, false), r.btn);
	}
	for (const char *bad : { "btn0", "btn5", "btn1 ", " btn1", "BTN1", "btn",
	    "" })
		EXPECT_EQ(kc_button_of_attr(bad), 0) << bad;
	EXPECT_EQ(kc_button_of("UP", true), BTN_UP);
	EXPECT_EQ(kc_button_of("UP", false), 0);
	EXPECT_EQ(kc_button_attr(0), nullptr);
	EXPECT_EQ(kc_button_name(5), nullptr);
}

TEST(Contract, PlantEveryRow)
{
	static const struct { int mode, sys, fan; const char *plant; } rows[] = {
		{ MODE_UNKNOWN, SYS_ON, FAN_AUTO, nullptr },
		{ MODE_HEAT, SYS_UNKNOWN, FAN_AUTO, nullptr },
		{ MODE_HEAT, SYS_ON, FAN_UNKNOWN, nullptr },
		{ MODE_OFF, SYS_ON, FAN_ON, "off" },
		{ MODE_OFF, SYS_OFF, FAN_AUTO, "off" },
		{ MODE_HEAT, SYS_ON, FAN_AUTO, "heating" },
		{ MODE_HEAT, SYS_ON, FAN_ON, "heating" },
		{ MODE_COOL, SYS_ON, FAN_AUTO, "cooling" },
		{ MODE_COOL, SYS_ON, FAN_ON, "cooling" },
		{ MODE_HEAT, SYS_OFF, FAN_ON, "fan" },
		{ MODE_COOL, SYS_OFF, FAN_ON, "fan" },
		{ MODE_HEAT, SYS_OFF, FAN_AUTO, "idle" },
		{ MODE_COOL, SYS_OFF, FAN_AUTO, "idle" },
	};
	for (const auto &r : rows) {
		const char *got = kc_plant_name(kc_plant(r.mode, r.sys, r.fan));
		if (r.plant == nullptr)
			EXPECT_EQ(got, nullptr);
		else
			EXPECT_STREQ(got, r.plant);
	}
}

TEST(Contract, ClockForms)
{
	static const struct { const char *text; int hhmm;
	    const char *historic, *display; } rows[] = {
		{ "0000", 0, "12:00a", "12:00 am" },
		{ "1159", 1159, "11:59a", "11:59 am" },
		{ "1200", 1200, "12:00a", "12:00 pm" },
		{ "1201", 1201, "12:01p", "12:01 pm" },
		{ "2359", 2359, "11:59p", "11:59 pm" },
	};
	char buf[16];

	for (const auto &r : rows) {
		EXPECT_EQ(kc_clock_of(r.text), r.hhmm);
		kc_clock_text(r.hhmm, buf, sizeof(buf));
		EXPECT_STREQ(buf, r.historic);
		kc_clock_display(r.hhmm, buf, sizeof(buf));
		EXPECT_STREQ(buf, r.display);
	}
	for (const char *bad : { "2400", "1260", "123", "01234", "-123", "+123",
	    " 123", "12a0", "" }) {
		EXPECT_EQ(kc_clock_of(bad), -1) << bad;
		EXPECT_EQ(kc_minute_of(bad), -1) << bad;
	}
	EXPECT_EQ(kc_minute_of("0000"), 0);
	EXPECT_EQ(kc_minute_of("1704"), 17 * 60 + 4);
	EXPECT_EQ(kc_minute_of("2359"), 1439);
	EXPECT_EQ(kc_minute_of(nullptr), -1);
}

/* The steps a face offers: the nearest whole ticks, never none. */
TEST(Contract, TicksForAnHourAndADay)
{
	const struct { int minutes, pm_minutes, ticks; } rows[] = {
		{ 60, 2, 30 }, { 60, 7, 9 }, { 60, 25, 2 }, { 60, 60, 1 },
		{ 60, 61, 1 }, { 60, 119, 1 }, { 60, 120, 1 }, { 60, 1440, 1 },
		{ 60, 8, 8 }, { 60, 9, 7 }, { 1440, 2, 720 }, { 1440, 7, 206 },
		{ 1440, 1440, 1 }, { 60, 0, 30 }, { 60, -1, 30 },
	};
	for (const auto &r : rows)
		EXPECT_EQ(kc_ticks_for(r.minutes, r.pm_minutes), r.ticks)
		    << r.minutes << " at " << r.pm_minutes;
}

TEST(Contract, AnyCaseParsing)
{
	static const struct { const char *text; int mode, fan, sys; } rows[] = {
		{ "OFF", MODE_OFF, FAN_UNKNOWN, SYS_OFF },
		{ "off", MODE_OFF, FAN_UNKNOWN, SYS_OFF },
		{ " Heat ", MODE_HEAT, FAN_UNKNOWN, SYS_UNKNOWN },
		{ "cOOL\n", MODE_COOL, FAN_UNKNOWN, SYS_UNKNOWN },
		{ "auto", MODE_UNKNOWN, FAN_AUTO, SYS_UNKNOWN },
		{ "On", MODE_UNKNOWN, FAN_ON, SYS_ON },
		{ "", MODE_UNKNOWN, FAN_UNKNOWN, SYS_UNKNOWN },
		{ "HEATS", MODE_UNKNOWN, FAN_UNKNOWN, SYS_UNKNOWN },
		{ "?", MODE_UNKNOWN, FAN_UNKNOWN, SYS_UNKNOWN },
	};
	for (const auto &r : rows) {
		EXPECT_EQ(kc_mode_of(r.text), r.mode) << r.text;
		EXPECT_EQ(kc_fan_of(r.text), r.fan) << r.text;
		EXPECT_EQ(kc_sys_of(r.text), r.sys) << r.text;
	}
	EXPECT_EQ(kc_mode_of(nullptr), MODE_UNKNOWN);
	/* The daemon's reading is exact. */
	EXPECT_EQ(kc_mode_exact("HEAT"), MODE_HEAT);
	EXPECT_EQ(kc_mode_exact("heat"), MODE_UNKNOWN);
	EXPECT_EQ(kc_fan_exact(" ON"), FAN_UNKNOWN);
	EXPECT_STREQ(kc_mode_name(MODE_COOL), "COOL");
	EXPECT_STREQ(kc_fan_name(FAN_UNKNOWN), "?");
	EXPECT_STREQ(kc_sys_name(SYS_ON), "ON");
}

TEST(Contract, CommandChecksAtTheirEdges)
{
	static const struct { const char *name, *value; bool ok; } rows[] = {
		{ "state", "paused", true }, { "state", "running", true },
		{ "state", "Paused", false }, { "state", "", false },
		{ "step", "1", true }, { "step", "10080", true },
		{ "step", "0", false }, { "step", "10081", false },
		{ "step", "1.5", false }, { "step", "+1", false },
		{ "pm_interval", "1", true }, { "pm_interval", "60000", true },
		{ "pm_interval", "60001", false }, { "pm_interval", "-1", false },
		{ "pm_minutes", "1440", true }, { "pm_minutes", "1441", false },
		{ "td_time_", "0000", true }, { "td_time_", "2359", true },
		{ "td_time_", "2400", false }, { "td_time_", "1260", false },
		{ "td_time_", "930", false }, { "td_time_", "-930", false },
		{ "td_temp_in_", "-1000", true }, { "td_temp_in_", "1000", true },
		{ "td_temp_in_", "1000.5", false }, { "td_temp_out_", "7.25", true },
		{ "td_temp_out_", "nan", false }, { "td_temp_out_", "", false },
		{ "td_temp_in_", "1e2", true }, { "td_temp_in_", "1e9", false },
		{ "td_temp_in_", "-0", true }, { "td_temp_in_", "0x10", false },
		{ "td_temp_in_", " 68", false }, { "td_temp_in_", "inf", false },
		{ "ts_temp", "-0", true }, { "ts_temp", "0x10", false },
		{ "td_sys", "ON", true }, { "td_sys", "OFF", true },
		{ "td_sys", "AUTO", false }, { "td_sys", "on", false },
		{ "ts_fan", "AUTO", true }, { "ts_fan", "OFF", false },
		{ "ts_mode", "COOL", true }, { "ts_mode", "cool", false },
		{ "ts_temp", "0", true }, { "ts_temp", "1000", true },
		{ "ts_temp", "1001", false }, { "ts_temp", "-1", false },
		{ "fault", "", true }, { "fault", "plant,sensor,silent", true },
		{ "fault", "silent,", false }, { "fault", "loud", false },
		{ "reset", "defaults", true }, { "reset", "", false },
		{ "bogus", "1", false }, { "", "", false },
	};
	char why[160];

	for (const auto &r : rows) {
		why[0] = '\0';
		EXPECT_EQ(kc_command_check(r.name, r.value, why, sizeof(why)),
		    r.ok) << r.name << "::" << r.value;
		EXPECT_EQ(why[0] == '\0', r.ok) << why;
	}
	kc_command_check("step", "0", why, sizeof(why));
	EXPECT_STREQ(why, "step: \"0\" is not a whole number of ticks in "
	    "1..10080");
	kc_command_check("bo\"gus", "1", why, sizeof(why));
	EXPECT_STREQ(why, "\"bo?gus\" is no command");
	EXPECT_EQ(kc_command_of("fault")->json, KC_JSON_FAULTS);
	EXPECT_EQ(kc_command_of("ts_temp")->json, KC_JSON_WHOLE);
}

/* Every number a decimal may be, beyond a temperature's range too. */
TEST(Contract, DecimalsAsTheControlObjectReadsThem)
{
	static const struct { const char *text; bool ok; double v; } rows[] = {
		{ "1700", true, 1700 }, { "-0", true, 0 }, { "66.125", true, 66.125 },
		{ "6.8e1", true, 68 }, { "+5", true, 5 }, { "1e400", false, 0 },
		{ "0x10", false, 0 }, { " 68", false, 0 }, { "68 ", false, 0 },
		{ "inf", false, 0 }, { "nan", false, 0 }, { "", false, 0 },
		{ "1.2.3", false, 0 }, { "-", false, 0 }, { "e", false, 0 },
	};
	for (const auto &r : rows) {
		double v = -1;
		EXPECT_EQ(kc_decimal(r.text, &v), r.ok) << r.text;
		if (r.ok) {
			EXPECT_EQ(v, r.v) << r.text;
		}
	}
}

/* Ids, presses and targets at their edges. */
TEST(Contract, IdsPressesAndTargets)
{
	char why[KC_WHY_LEN];
	std::string longest(KC_ID_MAX, 'z');

	for (const char *id : { "a", "A-z_0.9", "4242.17a3f.1", longest.c_str() })
		EXPECT_TRUE(kc_id_valid(id)) << id;
	longest += "z";
	for (const char *id : { "", " a", "a b", "a/b", "a:b", "\xc3\xa9",
	    longest.c_str() })
		EXPECT_FALSE(kc_id_valid(id)) << id;
	for (const char *b : { "mode", "fan", "up", "down" })
		EXPECT_TRUE(kc_command_check("press", b, why, sizeof(why))) << b;
	for (const char *b : { "UP", " up", "up ", "left", "", "btn3" })
		EXPECT_FALSE(kc_command_check("press", b, why, sizeof(why))) << b;
	EXPECT_EQ(kc_command_of("press")->json, KC_JSON_BUTTONS);
	EXPECT_EQ(kc_command_of("id")->json, KC_JSON_NONE);
	EXPECT_TRUE(kc_error_applied(KC_UNPUBLISHED "no room"));
	EXPECT_FALSE(kc_error_applied("ts_temp: applied, but not published: "));

	for (const char *v : { "60", "75", "90" })
		EXPECT_TRUE(kc_target_check("ts_temp", v, why, sizeof(why))) << v;
	for (const char *v : { "59", "91", "0", "1000", "-60", "70.5", "" }) {
		EXPECT_FALSE(kc_target_check("ts_temp", v, why, sizeof(why)))
		    << v;
		EXPECT_STREQ(why, "the set point must be a whole number from "
		    "60 to 90");
	}
	EXPECT_TRUE(kc_target_check("ts_mode", "COOL", why, sizeof(why)));
	EXPECT_FALSE(kc_target_check("ts_mode", "cool", why, sizeof(why)));
	EXPECT_TRUE(kc_target_check("ts_fan", "AUTO", why, sizeof(why)));
	EXPECT_FALSE(kc_target_check("td_sys", "ON", why, sizeof(why)));
	EXPECT_STREQ(why, "td_sys is no target (ts_temp, ts_mode, ts_fan)");
}

TEST(Contract, FaultLists)
{
	static const struct { const char *list; int faults; const char *text; }
	    rows[] = {
		{ "", 0, "" }, { "plant", KC_FAULT_PLANT, "plant" },
		{ "silent,plant", KC_FAULT_PLANT | KC_FAULT_SILENT,
		    "plant,silent" },
		{ "sensor,sensor", KC_FAULT_SENSOR, "sensor" },
		{ "plant,sensor,silent", KC_FAULT_ALL, "plant,sensor,silent" },
		{ "Plant", -1, nullptr }, { ",plant", -1, nullptr },
		{ "plant,", -1, nullptr },
	};
	char why[96], text[32];

	for (const auto &r : rows) {
		EXPECT_EQ(kc_fault_parse(r.list, why, sizeof(why)), r.faults)
		    << r.list;
		if (r.text != nullptr) {
			kc_fault_text(r.faults, text, sizeof(text));
			EXPECT_STREQ(text, r.text);
		}
	}
	EXPECT_EQ(kc_fault_parse("plant", nullptr, 0), KC_FAULT_PLANT);
}

TEST(Contract, AttributesInOrder)
{
	static const char *const names[KC_ATTRS] = { "ts_mode", "ts_fan",
	    "ts_temp", "td_temp_in_", "td_temp_in", "td_temp_out_",
	    "td_temp_out", "td_sys", "td_time_", "td_time" };

	for (int i = 0; i < KC_ATTRS; i++)
		EXPECT_STREQ(kc_attr_name[i], names[i]);
	EXPECT_STREQ(KC_OUTPUTS, "/pps/kelvo/outputs");
	EXPECT_STREQ(KC_CONTROL "?wait", "/pps/kelvo/control?wait");
}

/* The defaults the faces take from the contract are the store's own. */
TEST(Contract, DefaultsAreTheStoresDefaultDocument)
{
	static const char *const names[] = { "ts_mode", "ts_fan", "ts_temp",
	    "td_temp_in_", "td_temp_in", "td_temp_out_", "td_temp_out",
	    "td_sys", "td_time_", "td_time", "pm_interval", "pm_minutes" };
	const std::string doc = db_default_text;

	for (const char *name : names) {
		std::string open = std::string("<") + name + ">";
		size_t a = doc.find(open);
		ASSERT_NE(a, std::string::npos) << name;
		a += open.size();
		ASSERT_NE(kc_default(name), nullptr) << name;
		EXPECT_EQ(doc.substr(a, doc.find('<', a) - a), kc_default(name));
	}
	EXPECT_EQ(kc_default("pm_state"), nullptr);
	EXPECT_EQ(kc_default(nullptr), nullptr);
}
