/*
 * The modern thermostat: AUTO's thresholds and changeover, the deadband,
 * the presets and the humidity, first on the model's world alone, then
 * the daemon's document against the model for a week, then a real kelvo
 * driven through its control object and its buttons in both profiles.
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

/* A modern world at night (the outdoors cooling), in AUTO on 68..74. */
struct km_world
modern_world()
{
	struct km_world w;

	km_reset(&w);
	km_apply(&w, "profile", "modern");
	km_apply(&w, "ts_mode", "AUTO");
	w.clock = 2200;
	return w;
}

/* Checks a command as the daemon does and applies it when taken. */
bool
command(struct km_world *w, const char *name, const char *value,
    std::string *why = nullptr)
{
	char text[KC_WHY_LEN] = "";
	bool ok = kc_command_check_as(w->profile, name, value, text,
	    sizeof(text));
	if (ok)
		km_apply(w, name, value);
	if (why != nullptr)
		*why = text;
	return ok;
}

TEST(Auto, EachThresholdStartsOrStopsItsCallAndNeverBoth)
{
	/* One minute with the outdoors at the room: no drift to speak of. */
	const struct {
		float in;
		int call;		/* before: CALL_NONE idle */
		int want;		/* after */
	} cases[] = {
		{ 66.95f, CALL_NONE, CALL_HEAT },	/* at low - 1 */
		{ 67.05f, CALL_NONE, CALL_NONE },
		{ 75.05f, CALL_NONE, CALL_COOL },	/* at high + 1 */
		{ 74.95f, CALL_NONE, CALL_NONE },
		{ 68.80f, CALL_HEAT, CALL_HEAT },	/* 68.88 < low + 1 */
		{ 68.95f, CALL_HEAT, CALL_NONE },	/* 69.03 stops it */
		{ 73.30f, CALL_COOL, CALL_COOL },	/* 73.05 > high - 1 */
		{ 73.20f, CALL_COOL, CALL_NONE },	/* 72.95 stops it */
		/* Heating past the band stops; cooling starts a step later. */
		{ 80.00f, CALL_HEAT, CALL_NONE },
		{ 80.00f, CALL_NONE, CALL_COOL },
	};
	for (auto &c : cases) {
		struct km_world w = modern_world();
		w.in = w.out = c.in;
		w.call = c.call;
		w.running = c.call != CALL_NONE;
		km_step(&w, 2201, 1);
		EXPECT_EQ(w.call, c.want) << c.in << " from " << c.call;
		EXPECT_EQ(w.running, c.want != CALL_NONE) << c.in;
	}
}

TEST(Auto, ADayAcrossTheBandHeatsByNightAndCoolsByDay)
{
	struct km_world w = modern_world();
	int seen[4] = {};

	ASSERT_TRUE(command(&w, "ts_temp_high", "63"));
	EXPECT_EQ(w.low, 60);
	command(&w, "td_temp_out_", "50");
	command(&w, "td_temp_in_", "62");
	command(&w, "td_time_", "0500");
	command(&w, "pm_minutes", "10");
	for (int i = 0; i < 7 * 24 * 6; i++) {
		int was = w.call;
		km_tick(&w);
		seen[w.call]++;
		/* A changeover always passes through no call. */
		EXPECT_FALSE(was == CALL_HEAT && w.call == CALL_COOL) << i;
		EXPECT_FALSE(was == CALL_COOL && w.call == CALL_HEAT) << i;
		EXPECT_EQ(w.running, w.call != CALL_NONE) << i;
	}
	EXPECT_GT(seen[CALL_HEAT], 0);
	EXPECT_GT(seen[CALL_COOL], 0);
	EXPECT_GT(seen[CALL_NONE], 0);
}

TEST(Deadband, EachEndPushesTheOtherAndTheLimitsRefuse)
{
	const struct {
		const char *name, *value;
		bool ok;
		int low, high;
		const char *why;
	} cases[] = {
		{ "ts_temp_low", "70", true, 70, 74, "" },
		{ "ts_temp_low", "72", true, 72, 75, "" },
		{ "ts_temp_high", "69", true, 66, 69, "" },
		{ "ts_temp_low", "87", true, 87, 90, "" },
		{ "ts_temp_high", "63", true, 60, 63, "" },
		{ "ts_temp_low", "88", false, 68, 74,
		    "ts_temp_low: 88 would push ts_temp_high above 90; the band "
		    "is at least 3 degrees" },
		{ "ts_temp_high", "62", false, 68, 74,
		    "ts_temp_high: 62 would push ts_temp_low below 60; the band "
		    "is at least 3 degrees" },
		{ "ts_temp_low", "59", false, 68, 74,
		    "ts_temp_low: \"59\" is not a whole number of degrees in "
		    "60..90" },
		{ "ts_temp_high", "91", false, 68, 74, "in 60..90" },
		{ "ts_temp_high", "72.5", false, 68, 74, "in 60..90" },
	};
	for (auto &c : cases) {
		struct km_world w = modern_world();
		std::string why;
		EXPECT_EQ(command(&w, c.name, c.value, &why), c.ok) << c.value;
		EXPECT_EQ(w.low, c.low) << c.name << " " << c.value;
		EXPECT_EQ(w.high, c.high) << c.name << " " << c.value;
		EXPECT_NE(why.find(c.why), std::string::npos) << why;
	}
}

TEST(Deadband, TheButtonsMoveTheBandWholeInAutoOnly)
{
	struct km_world w = modern_world();

	km_press(&w, BTN_UP);
	EXPECT_EQ(w.low, 69);
	EXPECT_EQ(w.high, 75);
	EXPECT_EQ(w.setpoint, 68);
	command(&w, "ts_temp_high", "90");
	km_press(&w, BTN_UP);
	EXPECT_EQ(w.high, 90);
	EXPECT_EQ(w.low, 69);
	command(&w, "ts_temp_low", "60");
	km_press(&w, BTN_DOWN);
	EXPECT_EQ(w.low, 60);
	EXPECT_EQ(w.high, 90);
	command(&w, "ts_mode", "HEAT");
	km_press(&w, BTN_UP);
	EXPECT_EQ(w.setpoint, 69);
	EXPECT_EQ(w.low, 60);

	/* The mode button: OFF, HEAT, COOL, AUTO, OFF; classic has no AUTO. */
	const char *cycle[] = { "COOL", "AUTO", "OFF", "HEAT" };
	for (const char *m : cycle) {
		km_press(&w, BTN_MODE);
		EXPECT_STREQ(kc_mode_name(w.mode), m);
	}
	km_apply(&w, "profile", "classic");
	km_press(&w, BTN_MODE);
	km_press(&w, BTN_MODE);
	EXPECT_STREQ(kc_mode_name(w.mode), "OFF");
}

TEST(Presets, ChosenWholeAndDroppedByAnyChange)
{
	struct km_world w = modern_world();
	std::string why;

	EXPECT_EQ(w.preset, PRESET_NONE);
	for (int p = PRESET_HOME; p < KC_PRESETS; p++) {
		ASSERT_TRUE(command(&w, "preset", kc_presets[p].name));
		EXPECT_EQ(w.preset, p);
		EXPECT_EQ(w.setpoint, kc_presets[p].setpoint);
		EXPECT_EQ(w.low, kc_presets[p].low);
		EXPECT_EQ(w.high, kc_presets[p].high);
	}
	EXPECT_EQ(w.setpoint, 66);
	EXPECT_EQ(w.low, 64);
	EXPECT_EQ(w.high, 72);
	/* Setting what it already is changes nothing. */
	command(&w, "ts_temp_low", "64");
	command(&w, "ts_temp", "66");
	EXPECT_EQ(w.preset, PRESET_SLEEP);

	const char *changes[][2] = { { "ts_temp", "67" },
	    { "ts_temp_low", "65" }, { "ts_temp_high", "73" },
	    { "btn", "up" }, { "btn", "down" } };
	for (auto &c : changes) {
		command(&w, "preset", "home");
		if (strcmp(c[0], "btn") == 0)
			km_press(&w, kc_button_of(c[1], false));
		else
			command(&w, c[0], c[1]);
		EXPECT_EQ(w.preset, PRESET_NONE) << c[0] << " " << c[1];
	}
	/* The fan and the mode are no part of a preset. */
	command(&w, "preset", "home");
	km_press(&w, BTN_FAN);
	km_press(&w, BTN_MODE);
	EXPECT_EQ(w.preset, PRESET_HOME);

	EXPECT_FALSE(command(&w, "preset", "none", &why));
	EXPECT_EQ(why, "preset: \"none\" is not home, away or sleep");
	EXPECT_FALSE(command(&w, "preset", "Home", &why));
}

TEST(Humidity, FollowsTheOutdoorsAndThePlantWithinItsBounds)
{
	struct km_world w = modern_world();
	char values[KC_ATTRS_MODERN][KC_VALUE_LEN];

	/* At its outdoor level it stays: 65% at 05:00, 35% at 17:00. */
	command(&w, "ts_mode", "OFF");
	command(&w, "td_humidity_", "65");
	km_step(&w, 500, 1);
	EXPECT_NEAR(w.humidity, 65.0, 0.001);
	command(&w, "td_humidity_", "35");
	km_step(&w, 1700, 1);
	EXPECT_NEAR(w.humidity, 35.0, 0.001);

	/* Cooling running takes 4% an hour, heating 1%. */
	struct { const char *mode, *in; double drop; } runs[] = {
		{ "COOL", "90", 4.0 }, { "HEAT", "40", 1.0 },
	};
	for (auto &r : runs) {
		command(&w, "ts_mode", r.mode);
		command(&w, "td_temp_in_", r.in);
		command(&w, "td_sys", "ON");
		command(&w, "td_humidity_", "35");
		km_step(&w, 1700, 60);
		EXPECT_NEAR(w.humidity, 35.0 - r.drop, 0.01) << r.mode;
	}

	/*
	 * A week of cooling that never stops, from the top: below the
	 * outdoors' lowest, never below 10, never above 90.
	 */
	command(&w, "td_humidity_", "90");
	command(&w, "ts_mode", "COOL");
	command(&w, "ts_temp", "0");
	command(&w, "td_temp_out_", "100");
	command(&w, "pm_minutes", "60");
	float lowest = 100;
	for (int i = 0; i < 7 * 24; i++) {
		km_tick(&w);
		ASSERT_GE(w.humidity, KC_HUMIDITY_MIN) << i;
		ASSERT_LE(w.humidity, KC_HUMIDITY_MAX) << i;
		lowest = std::min(lowest, w.humidity);
	}
	EXPECT_LT(lowest, 35.0f);
	EXPECT_FALSE(command(&w, "td_humidity_", "90.5"));
	EXPECT_FALSE(command(&w, "td_humidity_", "9"));

	/* The sensor fault empties it with the temperature. */
	command(&w, "td_humidity_", "10");
	EXPECT_EQ(km_values_all(&w, values), KC_ATTRS_MODERN);
	EXPECT_STREQ(values[ATTR_HUMIDITY_PRECISE], "10.000");
	EXPECT_STREQ(values[ATTR_HUMIDITY], "10");
	command(&w, "fault", "sensor");
	km_tick(&w);
	km_values_all(&w, values);
	EXPECT_STREQ(values[ATTR_IN], "");
	EXPECT_STREQ(values[ATTR_HUMIDITY_PRECISE], "");
	EXPECT_STREQ(values[ATTR_HUMIDITY], "");
	EXPECT_STREQ(values[ATTR_CALL], "NONE");
	EXPECT_STREQ(values[ATTR_PRESET], "none");
}

TEST(Profiles, ClassicRefusesTheModernNamesAndPublishesNone)
{
	struct km_world w;
	char values[KC_ATTRS_MODERN][KC_VALUE_LEN];
	std::string why;

	km_reset(&w);
	const char *modern[][2] = { { "ts_temp_low", "70" },
	    { "ts_temp_high", "75" }, { "preset", "home" },
	    { "td_call", "HEAT" }, { "td_humidity_", "50" } };
	for (auto &c : modern) {
		EXPECT_FALSE(command(&w, c[0], c[1], &why));
		EXPECT_EQ(why, std::string(c[0]) + ": the classic profile has "
		    "none (profile::modern first)");
	}
	EXPECT_FALSE(command(&w, "ts_mode", "AUTO", &why));
	EXPECT_EQ(why, "ts_mode: \"AUTO\" is not HEAT, COOL or OFF");
	EXPECT_FALSE(command(&w, "profile", "Modern", &why));
	EXPECT_EQ(why, "profile: \"Modern\" is neither classic nor modern");
	EXPECT_EQ(km_values_all(&w, values), KC_ATTRS);
	EXPECT_STREQ(values[ATTR_LOW], "");

	ASSERT_TRUE(command(&w, "profile", "modern"));
	EXPECT_FALSE(command(&w, "ts_mode", "auto", &why));
	EXPECT_EQ(why, "ts_mode: \"auto\" is not HEAT, COOL, AUTO or OFF");
	EXPECT_EQ(km_values_all(&w, values), KC_ATTRS_MODERN);
	const char *want[] = { "68", "74", "none", "NONE", "45.000", "45" };
	for (int i = KC_ATTRS; i < KC_ATTRS_MODERN; i++)
		EXPECT_STREQ(values[i], want[i - KC_ATTRS]) << kc_attr_name[i];
	/* Back to classic, AUTO (no classic mode) turns the thermostat off. */
	command(&w, "ts_mode", "AUTO");
	command(&w, "profile", "classic");
	EXPECT_EQ(w.mode, MODE_OFF);
	EXPECT_EQ(kc_plant_call(MODE_AUTO, SYS_ON, FAN_AUTO, CALL_COOL),
	    PLANT_COOLING);
	EXPECT_EQ(kc_plant_call(MODE_AUTO, SYS_OFF, FAN_ON, CALL_NONE),
	    PLANT_FAN);
	EXPECT_EQ(kc_plant(MODE_AUTO, SYS_ON, FAN_AUTO), PLANT_NONE);
}

/* The daemon's document against the model, as test_world, in modern. */
class ModernWorld : public ::testing::Test {
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
	void both(const char *name, const char *value) {
		char why[KC_WHY_LEN];
		ASSERT_TRUE(kc_command_check_as(w.profile, name, value, why,
		    sizeof(why))) << name << "::" << value << ": " << why;
		sim_apply(db, name, value);
		km_apply(&w, name, value);
	}
	std::string published() {
		char values[KC_ATTRS_MODERN][KC_VALUE_LEN];
		std::string all;
		int n = pps_values_all(db, values);
		if (sim_faults & KC_FAULT_SENSOR)
			values[ATTR_IN_PRECISE][0] = values[ATTR_IN][0] =
			    values[ATTR_HUMIDITY_PRECISE][0] =
			    values[ATTR_HUMIDITY][0] = '\0';
		for (int i = 0; i < n; i++)
			all += std::string(values[i] + strspn(values[i], " ")) +
			    "|";
		return all;
	}
	std::string modelled() {
		char values[KC_ATTRS_MODERN][KC_VALUE_LEN];
		std::string all;
		int n = km_values_all(&w, values);
		for (int i = 0; i < n; i++)
			all += std::string(values[i]) + "|";
		return all;
	}
};

TEST_F(ModernWorld, AWeekInEveryModeIsTheDaemonsToTheByte)
{
	const char *starts[][2] = {
		{ "ts_mode", "AUTO" }, { "ts_mode", "HEAT" },
		{ "ts_mode", "COOL" }, { "fault", "plant" },
		{ "fault", "sensor" }, { "preset", "away" },
	};
	for (int m : { 2, 61 }) {
		for (auto &s : starts) {
			TearDown();
			SetUp();
			both("profile", "modern");
			both("pm_minutes", std::to_string(m).c_str());
			both("ts_mode", "AUTO");
			both(s[0], s[1]);
			both("ts_temp_high", "70");
			both("td_temp_out_", "75.5");
			SCOPED_TRACE(std::to_string(m) + " minutes, " + s[0]);
			for (int i = 0; i < 7 * 24 * 60 / m; i++) {
				sim_tick(db);
				km_tick(&w);
				ASSERT_EQ(published(), modelled()) << i;
			}
			TearDown();
		}
	}
}

TEST_F(ModernWorld, PressesAndARoundTripToClassicAreTheDaemons)
{
	sim_tick(db);		/* past the default document's short texts */
	km_tick(&w);
	delete db;
	std::string classic = kt::read_file(xml_fname);
	db = new dbXML(xml_fname, false);
	both("profile", "modern");
	both("ts_mode", "COOL");
	both("preset", "sleep");
	for (int btn : { BTN_MODE, BTN_UP, BTN_UP, BTN_DOWN, BTN_FAN,
	    BTN_MODE, BTN_UP }) {
		char name[8];
		snprintf(name, sizeof(name), "%s", kc_button_attr(btn));
		delete db;
		web_cgi(name);
		db = new dbXML(xml_fname, false);
		km_press(&w, btn);
		ASSERT_EQ(published(), modelled()) << name;
	}
	EXPECT_EQ(w.preset, PRESET_NONE);
	/* The press command is the same press, in AUTO on the band too. */
	both("ts_mode", "AUTO");
	both("preset", "home");
	for (const char *b : { "up", "up", "down", "mode", "up" }) {
		both("press", b);
		ASSERT_EQ(published(), modelled()) << b;
	}
	EXPECT_EQ(w.low, 69);
	EXPECT_EQ(w.high, 75);
	EXPECT_EQ(w.preset, PRESET_NONE);
	/* Classic again: the elements are the ones it had, AUTO turned off. */
	both("ts_mode", "AUTO");
	both("profile", "classic");
	EXPECT_EQ(w.mode, MODE_OFF);
	delete db;
	db = new dbXML(xml_fname, false);
	EXPECT_EQ(published(), modelled());
	auto names = [](std::string xml) {
		std::string out;
		for (size_t at = 0; (at = xml.find('<', at)) != std::string::npos;
		    at++)
			out += xml.substr(at, xml.find('>', at) - at) + " ";
		return out;
	};
	EXPECT_EQ(names(kt::read_file(xml_fname)), names(classic));
}

/* A real kelvo, driven through its control object and its inputs. */
class ModernDaemon : public ::testing::Test {
protected:
	kt::TempDir root, pps;
	std::unique_ptr<kt::Kelvo> k;

	std::string obj(const char *name) {
		return pps / (std::string("kelvo/") + name);
	}
	std::string doc() { return kt::read_file(root / "kelvoweb.xml"); }
	std::string published(const char *name) {
		return kt::attribute(kt::read_file(obj("outputs")), name);
	}
	std::string sim(const char *name) {
		return kt::attribute(kt::read_file(obj("sim")), name);
	}
	void start(std::vector<std::string> args) {
		args.push_back(root.path);
		k.reset(new kt::Kelvo(pps.path, args, root.path));
		std::string me = std::to_string(k->pid) + "@";
		ASSERT_TRUE(kt::wait_for([&] {
			return sim("batch") == "0" &&
			    sim("start").compare(0, me.size(), me) == 0;
		}));
	}
	std::string batch(const std::string &lines) {
		int before = atoi(sim("batch").c_str());
		std::string tmp = obj("control") + ".new";
		kt::write_file(tmp, "@control\n" + lines);
		EXPECT_EQ(rename(tmp.c_str(), obj("control").c_str()), 0);
		EXPECT_TRUE(kt::wait_for([&] {
			return atoi(sim("batch").c_str()) == before + 1;
		}));
		return sim("error");
	}
	void press(const char *btn) {
		std::string tmp = obj("inputs") + ".new";
		kt::write_file(tmp, std::string("@inputs\n") + btn +
		    "::event\n");
		ASSERT_EQ(rename(tmp.c_str(), obj("inputs").c_str()), 0);
	}
};

TEST_F(ModernDaemon, CommandsPressesAndTheOutputsInBothProfiles)
{
	start({ "-p", "modern", "-m", "AUTO" });
	ASSERT_EQ(batch("state::paused\n"), "");
	std::string text = kt::read_file(obj("outputs"));
	EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 17) << text;
	EXPECT_NE(text.find("\ntd_time::"), std::string::npos);
	EXPECT_NE(text.find("::\nts_temp_low::68\nts_temp_high::74\n"
	    "ts_preset::none\ntd_call::"), text.find("\ntd_time::")) << text;
	EXPECT_EQ(published("ts_mode"), "AUTO");
	EXPECT_EQ(kt::element(doc(), "pm_profile"), "modern");

	EXPECT_EQ(batch("preset::away\n"), "");
	EXPECT_EQ(published("ts_preset"), "away");
	EXPECT_EQ(published("ts_temp"), "62");
	EXPECT_EQ(published("ts_temp_low"), "60");
	EXPECT_EQ(published("ts_temp_high"), "80");
	std::string before = doc();
	EXPECT_EQ(batch("ts_temp::70\nts_temp_low::88\n"),
	    "ts_temp_low: 88 would push ts_temp_high above 90; the band is "
	    "at least 3 degrees");
	EXPECT_EQ(doc(), before);
	EXPECT_EQ(batch("ts_temp_high::62\n"), "ts_temp_high: 62 would push "
	    "ts_temp_low below 60; the band is at least 3 degrees");
	EXPECT_EQ(batch("ts_temp_low::79\n"), "");
	EXPECT_EQ(published("ts_temp_high"), "82");
	EXPECT_EQ(published("ts_preset"), "none");
	press("btn3");
	ASSERT_TRUE(kt::wait_for([&] {
		return published("ts_temp_low") == "80";
	}));
	EXPECT_EQ(published("ts_temp_high"), "83");
	/* Pressed by command, the band moves whole as by the inputs. */
	EXPECT_EQ(batch("press::down\npress::down\n"), "");
	EXPECT_EQ(published("ts_temp_low"), "78");
	EXPECT_EQ(published("ts_temp_high"), "81");
	EXPECT_EQ(batch("td_call::HEAT\ntd_sys::ON\ntd_humidity_::50.25\n"),
	    "");
	EXPECT_EQ(published("td_call"), "HEAT");
	EXPECT_EQ(published("td_humidity_"), "50.250");
	EXPECT_EQ(published("td_humidity"), "50");
	EXPECT_EQ(batch("fault::sensor\n"), "");
	EXPECT_EQ(published("td_humidity_"), "");
	EXPECT_EQ(published("td_temp_in_"), "");

	/* Classic: today's ten values, and the modern names refused. */
	EXPECT_EQ(batch("fault::\nprofile::classic\nts_temp_low::70\n"),
	    "ts_temp_low: the classic profile has none (profile::modern "
	    "first)");
	EXPECT_EQ(batch("profile::classic\n"), "");
	text = kt::read_file(obj("outputs"));
	EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 11);
	EXPECT_EQ(published("ts_mode"), "OFF");
	for (const char *name : { "pm_profile", "ts_temp_low", "ts_preset",
	    "td_call", "td_humidity_" })
		EXPECT_EQ(doc().find(name), std::string::npos) << name;
	EXPECT_EQ(batch("ts_mode::AUTO\n"),
	    "ts_mode: \"AUTO\" is not HEAT, COOL or OFF");
	/* One batch may switch and use the profile it switched to. */
	EXPECT_EQ(batch("profile::modern\nts_mode::AUTO\npreset::home\n"), "");
	EXPECT_EQ(published("ts_preset"), "home");
	EXPECT_EQ(published("ts_temp_low"), "68");
	/* No press left in the inputs object for the next start to take. */
	press("btn1");
	ASSERT_TRUE(kt::wait_for([&] { return published("ts_mode") == "OFF"; }));
	kt::write_file(obj("inputs"), "@inputs\nbtn1::\n");
	EXPECT_EQ(k->stop(), 0);

	/* A restart keeps the profile; -m AUTO needs -p modern. */
	start({});
	EXPECT_TRUE(kt::wait_for([&] { return published("ts_preset") == "home"; }));
	EXPECT_EQ(published("ts_mode"), "OFF");
	EXPECT_EQ(k->stop(), 0);
	std::string out, err;
	EXPECT_EQ(kt::run_kelvo({ "-m", "AUTO", root.path }, &out, &err), 255);
	EXPECT_EQ(kt::run_kelvo({ "-p", "fancy", root.path }, &out, &err), 255);
}

}
