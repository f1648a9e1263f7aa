/*
 * The simulation: the clock and its display text, rounding, the thermal
 * model and thermostat, whole ticks, and the thermostat's buttons.
 */
#include <gtest/gtest.h>

#include <limits.h>
#include <math.h>

#include "dbXML.h"
#include "kelvo.h"
#include "model.h"
#include "thermodyn.h"
#include "testutil.h"

namespace {

TEST(Clock, AdvancesAndCarriesIntoTheHour)
{
	EXPECT_EQ(km_clock_step(1700, 2), 1702);
	EXPECT_EQ(km_clock_step(1758, 2), 1800);
	EXPECT_EQ(km_clock_step(958, 2), 1000);
	EXPECT_EQ(km_clock_step(1158, 2), 1200);
	EXPECT_EQ(km_clock_step(2358, 2), 0);
	EXPECT_EQ(km_clock_step(2330, 60), 30);
}

TEST(Clock, WrapsForLargeStepsToo)
{
	EXPECT_EQ(km_clock_step(2300, 120), 100);
	EXPECT_EQ(km_clock_step(1234, 1440), 1234);
	EXPECT_EQ(km_clock_step(2359, 1440), 2359);
	EXPECT_EQ(km_clock_step(0, 61), 101);
	for (int t = 0; t < 2400; t += (t % 100 == 59) ? 41 : 1)
		for (int m : { 1, 2, 7, 59, 60, 61, 119, 1439, 1440 }) {
			int n = km_clock_step(t, m);
			ASSERT_TRUE(kc_clock_valid(n)) << t << " + " << m;
			int from = t / 100 * 60 + t % 100;
			ASSERT_EQ(n / 100 * 60 + n % 100, (from + m) % 1440);
		}
}

TEST(Clock, ValidTimesOnly)
{
	EXPECT_TRUE(kc_clock_valid(0));
	EXPECT_TRUE(kc_clock_valid(2359));
	EXPECT_FALSE(kc_clock_valid(-1));
	EXPECT_FALSE(kc_clock_valid(2400));
	EXPECT_FALSE(kc_clock_valid(1260));
	EXPECT_FALSE(kc_clock_valid(INT_MAX));
}

TEST(Clock, TwelveHourText)
{
	const struct { int t; const char *text; } cases[] = {
		{ 0, "12:00a" }, { 1, "12:01a" }, { 959, "09:59a" },
		{ 1000, "10:00a" }, { 1200, "12:00a" }, { 1201, "12:01p" },
		{ 1202, "12:02p" }, { 1259, "12:59p" }, { 1300, "01:00p" },
		{ 1700, "05:00p" }, { 1702, "05:02p" }, { 2359, "11:59p" },
	};
	char buf[16];
	for (auto &c : cases) {
		kc_clock_text(c.t, buf, sizeof(buf));
		EXPECT_STREQ(buf, c.text) << c.t;
	}
}

TEST(Roundoff, HalfUpAndNeverOutOfRange)
{
	EXPECT_EQ(roundoff(66.5f), 67);
	EXPECT_EQ(roundoff(66.499f), 66);
	EXPECT_EQ(roundoff(-2.5f), -2);
	EXPECT_EQ(roundoff(-2.51f), -3);
	EXPECT_EQ(roundoff(65.960f), 66);
	EXPECT_EQ(roundoff(66.626f), 67);
	EXPECT_EQ(roundoff(0.0f), 0);
	EXPECT_EQ(roundoff(NAN), 0);
	EXPECT_EQ(roundoff(INFINITY), INT_MAX);
	EXPECT_EQ(roundoff(-INFINITY), INT_MIN);
	EXPECT_EQ(roundoff(1e30f), INT_MAX);
	EXPECT_EQ(roundoff(-1e30f), INT_MIN);
}

/* A document in a scratch directory, with the values a case starts from. */
class Sim : public ::testing::Test {
protected:
	kt::TempDir dir;

	void SetUp() override {
		snprintf(xml_fname, sizeof(xml_fname), "%s",
		    (dir / "kelvoweb.xml").c_str());
		Verbose = 0;
		pm_minutes = 2;
		delete new dbXML(xml_fname, true);
	}
	void TearDown() override { Verbose = 0; }

	void set(const char *name, const char *value) {
		db = new dbXML(xml_fname, false);
		ASSERT_EQ(db->setValStr(name, value), 1) << name;
		delete db;
	}
	std::string get(const char *name) {
		db = new dbXML(xml_fname, false);
		const char *s = db->getValStr(name);
		std::string v = s ? s : "(none)";
		delete db;
		return v;
	}
	void step(int t, int m = 2) {
		db = new dbXML(xml_fname, false);
		model_step(db, t, m);
		delete db;
	}
	std::string tick() {
		Verbose = 2;
		::testing::internal::CaptureStdout();
		thermodyn_tick();
		Verbose = 0;
		return ::testing::internal::GetCapturedStdout();
	}
	void press(const char *name) {
		char buf[16];
		snprintf(buf, sizeof(buf), "%s", name);
		web_cgi(buf);
	}
};

TEST_F(Sim, TheWorkedStepFromTheDefaultDocument)
{
	step(1702);
	EXPECT_EQ(get("td_temp_out_"), "59.933");
	EXPECT_EQ(get("td_temp_out"), "60");
	EXPECT_EQ(get("td_temp_in_"), "65.960");
	EXPECT_EQ(get("td_temp_in"), "66");
	EXPECT_EQ(get("td_sys"), "ON");
	step(1704);
	EXPECT_EQ(get("td_temp_in_"), "66.127");
	EXPECT_EQ(get("td_sys"), "ON");
}

TEST_F(Sim, OutdoorsWarmsByDayAndCoolsByNight)
{
	const struct { int t; const char *out; } cases[] = {
		{ 459, "59.933" }, { 500, "60.067" }, { 1659, "60.067" },
		{ 1700, "59.933" }, { 0, "59.933" },
	};
	for (auto &c : cases) {
		set("td_temp_out_", "60.0");
		step(c.t);
		EXPECT_EQ(get("td_temp_out_"), c.out) << c.t;
	}
}

TEST_F(Sim, HeatingThatReachesTheBandSwitchesOffInTheSameStep)
{
	/* 68.5 + 5 * 6/60 lands exactly on 69. */
	set("td_temp_in_", "68.5");
	set("td_sys", "ON");
	step(1800, 6);
	EXPECT_EQ(get("td_temp_in_"), "69.000");
	EXPECT_EQ(get("td_sys"), "OFF");
}

TEST_F(Sim, CoolingDownToTheBandSwitchesOff)
{
	set("ts_mode", "COOL");
	set("td_sys", "ON");
	step(1702);
	EXPECT_EQ(get("td_temp_in_"), "65.500");
	EXPECT_EQ(get("td_sys"), "OFF");
}

TEST_F(Sim, CoolingComesOnAboveTheBandAndStaysOnInside)
{
	set("ts_mode", "COOL");
	set("td_temp_in_", "70.0");
	set("td_temp_out_", "70.0");
	step(1200);
	EXPECT_EQ(get("td_sys"), "ON");
	step(1202);
	EXPECT_EQ(get("td_temp_in_"), "69.500");
	EXPECT_EQ(get("td_sys"), "ON");
}

TEST_F(Sim, UnknownModesCoolAndEqualTemperaturesDoNotDrift)
{
	set("ts_mode", "heat");
	set("td_temp_in_", "66.0");
	set("td_temp_out_", "66.0");
	step(1000);		/* out warms to 66.067: in drifts 0.000x */
	EXPECT_EQ(get("td_temp_in_"), "66.000");
	set("td_sys", "ON");
	step(1002);
	EXPECT_EQ(get("td_temp_in_"), "65.500");
}

TEST_F(Sim, ModeOffDriftsAndShowsThePlantOff)
{
	set("ts_mode", "OFF");
	set("td_sys", "ON");
	step(1702);
	EXPECT_EQ(get("td_temp_in_"), "65.960");
	EXPECT_EQ(get("td_sys"), "OFF");
}

TEST_F(Sim, ValuesThatAreNoTemperatureRestartFromDefaults)
{
	for (const char *bad : { "nan", "inf", "-inf", "1e30", "-5000" }) {
		set("td_temp_in_", bad);
		set("td_temp_out_", bad);
		set("td_sys", "OFF");
		step(1702);
		EXPECT_EQ(get("td_temp_out_"), "59.933") << bad;
		EXPECT_EQ(get("td_temp_in_"), "65.960") << bad;
	}
}

TEST_F(Sim, ExtremeSetPointsAndMinutesDoNotOverflow)
{
	set("ts_temp", "2147483647");
	step(1702, 1440);
	EXPECT_EQ(get("td_sys"), "ON");
	set("ts_temp", "-2147483648");
	step(1702, 1440);
	EXPECT_EQ(get("td_sys"), "OFF");
}

TEST_F(Sim, TicksAdvanceTheClockAndPrintTheirLine)
{
	std::string line = tick();
	EXPECT_EQ(line, "1702  59.9  66.0   ON *  68 HEAT fan-AUTO\n");
	EXPECT_EQ(get("td_time_"), "1702");
	EXPECT_EQ(get("td_time"), "05:02p");
	tick();
	EXPECT_EQ(get("td_time"), "05:04p");
}

TEST_F(Sim, TicksAcrossNoonAndMidnight)
{
	set("td_time_", "1158");
	tick();
	EXPECT_EQ(get("td_time"), "12:00a");
	tick();
	EXPECT_EQ(get("td_time"), "12:02p");
	set("td_time_", "2358");
	tick();
	EXPECT_EQ(get("td_time_"), "0000");
	EXPECT_EQ(get("td_time"), "12:00a");
	set("td_time_", "0958");
	tick();
	EXPECT_EQ(get("td_time"), "10:00a");
}

TEST_F(Sim, TicksSurviveMissingAndNonsenseTexts)
{
	kt::write_file(xml_fname, "<?xml version=\"1.0\" ?>\n<thermodynData>"
	    "<inputs><ts_fan>ON</ts_fan><ts_temp>68</ts_temp></inputs>"
	    "<outputs><td_temp_in_>66</td_temp_in_><td_time>x</td_time>"
	    "</outputs><parameters/></thermodynData>\n");
	std::string out = tick();
	EXPECT_NE(out.find("thermodyn::td_time_ has no text"), std::string::npos);
	EXPECT_NE(out.find("thermodyn::td_sys has no text, taking it as OFF"),
	    std::string::npos);
	EXPECT_NE(out.find("thermodyn::ts_mode has no text, taking it as OFF"),
	    std::string::npos);
	EXPECT_EQ(get("td_time"), "12:02a");

	delete new dbXML(xml_fname, true);
	for (const char *t : { "9999", "-5", "abc", "1260",
	    "99999999999999999999999999" }) {
		set("td_time_", t);
		out = tick();
		EXPECT_NE(out.find("is no time of day"), std::string::npos) << t;
		EXPECT_EQ(get("td_time_"), "0002") << t;
	}
}

TEST_F(Sim, ModeButtonCycles)
{
	const char *cases[][2] = {
		{ "OFF", "HEAT" }, { "HEAT", "COOL" }, { "COOL", "OFF" },
		{ "heat", "OFF" },
	};
	for (auto &c : cases) {
		set("ts_mode", c[0]);
		press("btn1");
		EXPECT_EQ(get("ts_mode"), c[1]) << c[0];
	}
}

TEST_F(Sim, FanButtonToggles)
{
	const char *cases[][2] = { { "ON", "AUTO" }, { "AUTO", "ON" },
		{ "on", "ON" } };
	for (auto &c : cases) {
		set("ts_fan", c[0]);
		press("btn2");
		EXPECT_EQ(get("ts_fan"), c[1]) << c[0];
	}
}

TEST_F(Sim, SetPointButtonsStayWithinSixtyToNinety)
{
	const struct { const char *btn, *from, *to; } cases[] = {
		{ "btn3", "89", "90" }, { "btn3", "90", "90" },
		{ "btn3", "95", "95" }, { "btn3", "55", "56" },
		{ "btn4", "61", "60" }, { "btn4", "60", "60" },
		{ "btn4", "55", "55" }, { "btn4", "95", "94" },
		{ "btn3", "-2147483648", "-2147483647" },
		{ "btn4", "2147483647", "2147483646" },
	};
	for (auto &c : cases) {
		set("ts_temp", c.from);
		press(c.btn);
		EXPECT_EQ(get("ts_temp"), c.to) << c.btn << " " << c.from;
	}
}

TEST_F(Sim, UnknownButtonsChangeNothingButStillSave)
{
	for (const char *name : { "btn5", "BTN1", "", "n1::" }) {
		struct stat a, b;
		std::string before = kt::read_file(xml_fname);
		stat(xml_fname, &a);
		Verbose = 1;
		::testing::internal::CaptureStdout();
		press(name);
		std::string out = ::testing::internal::GetCapturedStdout();
		Verbose = 0;
		stat(xml_fname, &b);
		EXPECT_EQ(out, ">>>>> unexpected event\n") << name;
		EXPECT_EQ(kt::read_file(xml_fname), before);
		EXPECT_NE(a.st_ino, b.st_ino);
	}
}

TEST_F(Sim, ButtonsWithoutTheirSettingChangeNothing)
{
	kt::write_file(xml_fname, "<?xml version=\"1.0\" ?>\n<thermodynData>"
	    "<inputs><ts_mode/><ts_temp>70</ts_temp></inputs>"
	    "<outputs/><parameters/></thermodynData>\n");
	press("btn1");
	press("btn2");
	press("btn3");
	EXPECT_EQ(get("ts_temp"), "71");
	EXPECT_EQ(get("ts_mode"), "(none)");
}

/* n ticks at minutes each from the document text start; the text after. */
static std::string
ticks_from(const std::string &start, int minutes, int n)
{
	kt::write_file(xml_fname, start);
	pm_minutes = minutes;
	for (int i = 0; i < n; i++)
		thermodyn_tick();
	db_release();
	return kt::read_file(xml_fname);
}

TEST_F(Sim, ATickOfHoursIsThatManyTicksOfAnHour)
{
	std::string heat = kt::read_file(xml_fname), cool = heat, off = heat;
	auto put = [](std::string &t, const char *from, const char *to) {
		t.replace(t.find(from), strlen(from), to);
	};
	put(cool, "HEAT", "COOL");
	put(cool, ">66.0<", ">80.5<");
	put(off, "HEAT", "OFF");
	put(off, ">1700<", ">0433<");
	for (const std::string &start : { heat, cool, off }) {
		EXPECT_EQ(ticks_from(start, 1440, 3), ticks_from(start, 60, 72));
		EXPECT_EQ(ticks_from(start, 720, 5), ticks_from(start, 60, 60));
		EXPECT_EQ(ticks_from(start, 90, 4), ticks_from(start, 45, 8));
		/* An hour or less: the tick as it always was. */
		EXPECT_NE(ticks_from(start, 60, 2), ticks_from(start, 30, 4));
	}
}

/* Where a simulated week at minutes a tick takes the room and outdoors. */
struct span { float in_lo, in_hi, out_lo, out_hi; };

static span
week_at(const std::string &start, int minutes)
{
	span s = { 1e9f, -1e9f, 1e9f, -1e9f };
	kt::write_file(xml_fname, start);
	pm_minutes = minutes;
	for (int done = minutes; done <= 7 * 1440; done += minutes) {
		db = new dbXML(xml_fname, false);
		sim_tick(db);
		float in = db->getValFp("td_temp_in_");
		float out = db->getValFp("td_temp_out_");
		delete db;
		s = { fminf(s.in_lo, in), fmaxf(s.in_hi, in),
		    fminf(s.out_lo, out), fmaxf(s.out_hi, out) };
	}
	db_release();
	return s;
}

/*
 * A week at long ticks stays near where hourly ticks take it.  Ticks that
 * do not divide the day shift where they end against dawn and dusk, and
 * the outdoor ramp goes by where a tick ends: ordinary ticks of 58 or 59
 * minutes already leave the hourly range by 5 degrees in a week.  So a
 * tick of 1000 minutes, made of those, is held to the range of its own
 * ordinary ticks.
 */
TEST_F(Sim, LongTicksStayWithinTheRangeOfHourlyOnes)
{
	std::string heat = kt::read_file(xml_fname), off = heat;
	off.replace(off.find("HEAT"), 4, "OFF");
	for (const std::string &start : { heat, off }) {
		span hourly = week_at(start, 60), made_of = week_at(start, 59);
		for (int m : { 61, 299, 301, 1000, 1440 }) {
			span s = week_at(start, m), r = m == 1000 ? made_of : hourly;
			EXPECT_GE(s.in_lo, r.in_lo - 3) << m;
			EXPECT_LE(s.in_hi, r.in_hi + 3) << m;
			EXPECT_GE(s.out_lo, r.out_lo - 3) << m;
			EXPECT_LE(s.out_hi, r.out_hi + 3) << m;
		}
	}
}

} // namespace
