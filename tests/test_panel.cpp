/*
 * kelvo-panel's pieces without a terminal: reading published texts, good
 * and broken; the day of history behind the chart, across simulated
 * midnight and a kelvo started afresh; the chart's scale and placement;
 * the inputs texts and the pacing of button presses.
 */
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "panel.h"

namespace {

const char published[] =
    "@outputs\n"
    "ts_mode::HEAT\n"
    "ts_fan::AUTO\n"
    "ts_temp::68\n"
    "td_temp_in_::66.127\n"
    "td_temp_in::66\n"
    "td_temp_out_::59.933\n"
    "td_temp_out::60\n"
    "td_sys::ON\n"
    "td_time_::1704\n"
    "td_time::05:04p\n";

struct panel_state
parse(const std::string &text, int *taken = nullptr)
{
	struct panel_state st;
	int n = panel_parse(text.data(), text.size(), &st);
	if (taken)
		*taken = n;
	return st;
}

/* The published text with attribute name's line replaced (or dropped). */
std::string
with(const std::string &name, const char *line)
{
	std::string t = published;
	size_t a = t.find("\n" + name + "::") + 1;
	size_t b = t.find('\n', a) + 1;
	return t.replace(a, b - a, line ? std::string(line) + "\n" : "");
}

TEST(PanelParse, ReadsEveryAttributeOfAPublishedText)
{
	int taken;
	struct panel_state st = parse(published, &taken);

	EXPECT_EQ(taken, 10);
	EXPECT_EQ(st.mode, MODE_HEAT);
	EXPECT_EQ(st.fan, FAN_AUTO);
	EXPECT_EQ(st.sys, SYS_ON);
	ASSERT_TRUE(st.has_setpoint);
	EXPECT_EQ(st.setpoint, 68);
	ASSERT_TRUE(st.has_in);
	EXPECT_DOUBLE_EQ(st.in, 66.127);
	EXPECT_EQ(st.in_whole, 66);
	ASSERT_TRUE(st.has_out);
	EXPECT_DOUBLE_EQ(st.out, 59.933);
	EXPECT_EQ(st.out_whole, 60);
	EXPECT_EQ(st.minute, 17 * 60 + 4);
	EXPECT_STREQ(st.clock, "05:04p");
	EXPECT_EQ(panel_plant(&st), PLANT_HEATING);

	/* The other values kelvo can publish, and "%8.3f"'s blanks. */
	st = parse("@outputs\nts_mode::COOL\nts_fan::ON\ntd_sys::OFF\n"
	    "td_time_::0000\ntd_temp_in_::  -3.500\nts_temp::-5\n"
	    "ts_mode::OFF\n");
	EXPECT_EQ(st.mode, MODE_OFF) << "the last of a repeated attribute";
	EXPECT_EQ(st.fan, FAN_ON);
	EXPECT_EQ(st.sys, SYS_OFF);
	EXPECT_EQ(st.minute, 0);
	EXPECT_DOUBLE_EQ(st.in, -3.5);
	EXPECT_EQ(st.setpoint, -5);
}

TEST(PanelParse, MissingAttributesLeaveOnlyThemUnknown)
{
	int taken;
	struct panel_state st = parse("@outputs\nts_temp::71\n", &taken);

	EXPECT_EQ(taken, 1);
	EXPECT_EQ(st.setpoint, 71);
	EXPECT_EQ(st.mode, MODE_UNKNOWN);
	EXPECT_EQ(st.fan, FAN_UNKNOWN);
	EXPECT_FALSE(st.has_in);
	EXPECT_FALSE(st.has_out);
	EXPECT_EQ(st.minute, -1);
	EXPECT_STREQ(st.clock, "");
	EXPECT_EQ(panel_plant(&st), PLANT_UNKNOWN);

	for (const char *text : { "", "@outputs\n", "\n\n\n", "garbage" }) {
		st = parse(text, &taken);
		EXPECT_EQ(taken, 0) << text;
		EXPECT_FALSE(st.has_setpoint) << text;
	}
	EXPECT_EQ(panel_parse(nullptr, 0, &st), 0);
}

TEST(PanelParse, MalformedValuesAreUnknownAndTheRestStays)
{
	const struct {
		const char *name, *line;
	} bad[] = {
		{ "ts_mode", "ts_mode::WARM" }, { "ts_mode", "ts_mode::heat" },
		{ "ts_mode", "ts_mode::" }, { "ts_fan", "ts_fan::OFF" },
		{ "ts_temp", "ts_temp::6x8" }, { "ts_temp", "ts_temp::" },
		{ "ts_temp", "ts_temp::99999" }, { "td_sys", "td_sys::MAYBE" },
		{ "td_temp_in_", "td_temp_in_::abc" },
		{ "td_temp_in_", "td_temp_in_::nan" },
		{ "td_temp_in_", "td_temp_in_::1e9" },
		{ "td_temp_out", "td_temp_out::6.5" },
		{ "td_time_", "td_time_::2400" }, { "td_time_", "td_time_::1260" },
		{ "td_time_", "td_time_::-100" }, { "td_time_", "td_time_::17040" },
		{ "td_time_", "td_time_::17:04" },
		{ "td_time", "td_time::\x1b[2J" },
		{ "td_time", "td_time::a very long clock text" },
		{ "td_time", "td_time::" },
		{ "ts_temp", "ts_temp" }, { "ts_temp", "ts_temp:68" },
		{ "ts_temp", "ts_temp::68 x" },
	};

	for (const auto &b : bad) {
		int taken;
		struct panel_state st = parse(with(b.name, b.line), &taken);
		std::string n = b.name;
		EXPECT_EQ(taken, 9) << b.line;
		EXPECT_EQ(st.mode != MODE_UNKNOWN, n != "ts_mode") << b.line;
		EXPECT_EQ(st.fan != FAN_UNKNOWN, n != "ts_fan") << b.line;
		EXPECT_EQ(st.has_setpoint, n != "ts_temp") << b.line;
		EXPECT_EQ(st.sys != SYS_UNKNOWN, n != "td_sys") << b.line;
		EXPECT_EQ(st.minute >= 0, n != "td_time_") << b.line;
		EXPECT_EQ(st.clock[0] != 0, n != "td_time") << b.line;
		/* One form of a temperature covers for the other. */
		EXPECT_TRUE(st.has_in) << b.line;
		EXPECT_TRUE(st.has_out) << b.line;
		if (n == "td_temp_in_") {
			EXPECT_DOUBLE_EQ(st.in, 66.0) << b.line;
		}
		if (n == "td_temp_out") {
			EXPECT_EQ(st.out_whole, 60) << b.line;
		}
	}
}

TEST(PanelParse, EitherFormOfATemperatureStandsInForTheOther)
{
	/* Rounded as kelvo rounds: half up, also below zero. */
	const struct {
		const char *precise;
		int whole;
	} cases[] = { { "66.5", 67 }, { "66.499", 66 }, { "-2.5", -2 },
	    { "-2.51", -3 }, { "  59.933", 60 } };

	for (const auto &c : cases) {
		std::string t = std::string("td_temp_in_::") + c.precise +
		    "\ntd_temp_out_::" + c.precise + "\n";
		struct panel_state st = parse(t);
		EXPECT_EQ(st.in_whole, c.whole) << c.precise;
		EXPECT_EQ(st.out_whole, c.whole) << c.precise;
	}
	struct panel_state st = parse("td_temp_in::71\ntd_temp_out::-4\n");
	EXPECT_TRUE(st.has_in);
	EXPECT_DOUBLE_EQ(st.in, 71.0);
	EXPECT_DOUBLE_EQ(st.out, -4.0);
	/* Both present: each is taken as published, even if they differ. */
	st = parse("td_temp_in_::66.9\ntd_temp_in::60\n");
	EXPECT_DOUBLE_EQ(st.in, 66.9);
	EXPECT_EQ(st.in_whole, 60);
}

TEST(PanelParse, DamagedLayoutsStillGiveTheGoodLines)
{
	int taken;
	/* CR line ends, no final newline, a line with no colons, an unknown
	 * attribute, an encoding field and a NUL in the middle of a line. */
	std::string t = "@outputs\r\nts_temp::70\r\nnonsense\nfoo::bar\n"
	    "ts_fan:s:ON\ntd_sys::O";
	t += '\0';
	t += "N\nts_mode::COOL";
	struct panel_state st = parse(t, &taken);
	EXPECT_EQ(taken, 3);
	EXPECT_EQ(st.setpoint, 70);
	EXPECT_EQ(st.fan, FAN_ON);
	EXPECT_EQ(st.sys, SYS_UNKNOWN);
	EXPECT_EQ(st.mode, MODE_COOL);

	/* Only len bytes count: what lies behind is not read. */
	const char two[] = "ts_temp::68\nts_temp::99\n";
	panel_parse(two, 12, &st);
	EXPECT_EQ(st.setpoint, 68);

	/* A line too long for any of ours is skipped, not cut. */
	std::string longline = "ts_temp::68\ntd_time::" +
	    std::string(200, 'x') + "\nts_fan::AUTO\n";
	st = parse(longline, &taken);
	EXPECT_EQ(taken, 2);
	EXPECT_STREQ(st.clock, "");
	/* No value of kelvo's is that long, however harmless it looks. */
	st = parse("ts_temp::" + std::string(70, ' ') + "68\n");
	EXPECT_FALSE(st.has_setpoint);
}

TEST(PanelParse, PlantFollowsSystemAndMode)
{
	const struct {
		const char *sys, *mode;
		int plant;
	} cases[] = {
		{ "ON", "HEAT", PLANT_HEATING }, { "ON", "COOL", PLANT_COOLING },
		{ "ON", "OFF", PLANT_IDLE }, { "OFF", "HEAT", PLANT_IDLE },
		{ "OFF", "COOL", PLANT_IDLE }, { "ON", "WARM", PLANT_RUNNING },
		{ "", "HEAT", PLANT_UNKNOWN }, { "MAYBE", "COOL", PLANT_UNKNOWN },
	};

	for (const auto &c : cases) {
		struct panel_state st = parse(std::string("td_sys::") + c.sys +
		    "\nts_mode::" + c.mode + "\n");
		EXPECT_EQ(panel_plant(&st), c.plant) << c.sys << " " << c.mode;
	}
	EXPECT_STREQ(panel_plant_name(PLANT_COOLING), "cooling");
	EXPECT_STREQ(panel_plant_name(42), "?");
	EXPECT_STREQ(panel_mode_name(-1), "?");
	EXPECT_STREQ(panel_fan_name(7), "?");
}

TEST(PanelParse, FormatsPlainLinesWithUnknownsMarked)
{
	char buf[256];
	struct panel_state st = parse(published);

	panel_format(&st, buf, sizeof(buf));
	EXPECT_STREQ(buf, "time 05:04p\nindoor 66.1\noutdoor 59.9\n"
	    "setpoint 68\nmode HEAT\nfan AUTO\nplant heating\n");
	st = parse("ts_temp::70\n");
	panel_format(&st, buf, sizeof(buf));
	EXPECT_STREQ(buf, "time ?\nindoor ?\noutdoor ?\nsetpoint 70\n"
	    "mode ?\nfan ?\nplant ?\n");
	/* A short buffer is cut, never overrun. */
	char small[8];
	memset(small, 'z', sizeof(small));
	EXPECT_GT(panel_format(&st, small, 6), 6);
	EXPECT_STREQ(small, "time ");
	EXPECT_EQ(small[7], 'z');
}

TEST(PanelInputs, EachButtonAloneCarriesTheEvent)
{
	char buf[128];

	int n = panel_inputs_text(BTN_UP, buf, sizeof(buf));
	EXPECT_EQ(n, (int)strlen(buf));
	EXPECT_STREQ(buf, "@inputs\nbtn1::\nbtn2::\nbtn3::event\nbtn4::\n");
	panel_inputs_text(BTN_MODE, buf, sizeof(buf));
	EXPECT_STREQ(buf, "@inputs\nbtn1::event\nbtn2::\nbtn3::\nbtn4::\n");
	panel_inputs_text(BTN_FAN, buf, sizeof(buf));
	EXPECT_STREQ(buf, "@inputs\nbtn1::\nbtn2::event\nbtn3::\nbtn4::\n");
	panel_inputs_text(BTN_DOWN, buf, sizeof(buf));
	EXPECT_STREQ(buf, "@inputs\nbtn1::\nbtn2::\nbtn3::\nbtn4::event\n");
	/* The idle text is the one kelvo starts the object with. */
	panel_inputs_text(0, buf, sizeof(buf));
	EXPECT_STREQ(buf, "@inputs\nbtn1::\nbtn2::\nbtn3::\nbtn4::\n");

	EXPECT_EQ(panel_inputs_text(5, buf, sizeof(buf)), -1);
	EXPECT_EQ(panel_inputs_text(-1, buf, sizeof(buf)), -1);
	/* Half a text would be a press of nothing or of the wrong button. */
	EXPECT_EQ(panel_inputs_text(BTN_UP, buf, 20), -1);
}

TEST(PanelSender, PressesGoOutSpacedThenTheIdleText)
{
	struct panel_sender s;
	int wait;

	panel_sender_init(&s);
	EXPECT_EQ(panel_sender_next(&s, 1000, &wait), -1);
	EXPECT_EQ(wait, -1) << "no idle text when nothing was pressed";

	ASSERT_TRUE(panel_sender_push(&s, BTN_UP));
	ASSERT_TRUE(panel_sender_push(&s, BTN_DOWN));
	EXPECT_EQ(panel_sender_next(&s, 1000, &wait), BTN_UP);
	EXPECT_EQ(wait, PANEL_PRESS_GAP);
	EXPECT_EQ(panel_sender_next(&s, 1040, &wait), -1);
	EXPECT_EQ(wait, PANEL_PRESS_GAP - 40);
	EXPECT_EQ(panel_sender_next(&s, 1000 + PANEL_PRESS_GAP, &wait),
	    BTN_DOWN);
	EXPECT_EQ(wait, PANEL_PRESS_CLEAR);
	long long t = 1000 + PANEL_PRESS_GAP + PANEL_PRESS_CLEAR;
	EXPECT_EQ(panel_sender_next(&s, t - 1, &wait), -1);
	EXPECT_EQ(wait, 1);
	EXPECT_EQ(panel_sender_next(&s, t, &wait), 0);
	EXPECT_EQ(panel_sender_next(&s, t + 5000, &wait), -1);
	EXPECT_EQ(wait, -1);

	/* A press long after the last write need not wait. */
	ASSERT_TRUE(panel_sender_push(&s, BTN_FAN));
	EXPECT_EQ(panel_sender_next(&s, t + 5000, &wait), BTN_FAN);
}

TEST(PanelSender, BoundedQueueAndQuitting)
{
	struct panel_sender s;
	int wait, n = 0;

	panel_sender_init(&s);
	while (panel_sender_push(&s, BTN_UP))
		n++;
	EXPECT_EQ(n, PANEL_PRESS_QUEUE);
	EXPECT_FALSE(panel_sender_push(&s, 0));
	EXPECT_FALSE(panel_sender_push(&s, 5));

	/* On the way out the queue still drains, the idle text follows
	 * quickly, and nothing new is taken. */
	panel_sender_quit(&s);
	long long t = 0;
	int sent = 0, what;
	for (;;) {
		what = panel_sender_next(&s, t, &wait);
		if (what == BTN_UP)
			sent++;
		if (what == 0)
			break;
		ASSERT_GE(wait, 0);
		ASSERT_LE(wait, PANEL_PRESS_GAP);
		t += what < 0 ? wait : 0;
	}
	EXPECT_EQ(sent, PANEL_PRESS_QUEUE);
	EXPECT_EQ(t, PANEL_PRESS_QUEUE * PANEL_PRESS_GAP);
	EXPECT_FALSE(panel_sender_push(&s, BTN_UP));
	EXPECT_EQ(panel_sender_next(&s, t + 10000, &wait), -1);
	EXPECT_EQ(wait, -1);
}

/* A sample at HHMM; temperatures below -500 are left out. */
struct panel_state
at(int hhmm, double in, double out = -999, int setpoint = -999)
{
	struct panel_state st;
	memset(&st, 0, sizeof(st));
	st.minute = hhmm < 0 ? -1 : hhmm / 100 * 60 + hhmm % 100;
	st.has_in = in > -500;
	st.in = in;
	st.has_out = out > -500;
	st.out = out;
	st.has_setpoint = setpoint > -500;
	st.setpoint = setpoint;
	return st;
}

class PanelHistory : public ::testing::Test {
protected:
	struct panel_history h;
	void SetUp() override { panel_history_clear(&h); }
	int add(struct panel_state st) { return panel_history_add(&h, &st); }
	/* Indoor value age minutes back, -1000 when there is none. */
	double in(int age) {
		const struct panel_sample *s = panel_history_at(&h, age);
		return s && (s->have & SAMPLE_IN) ? s->in : -1000;
	}
};

TEST_F(PanelHistory, KeepsSamplesByTheirSimulatedMinute)
{
	EXPECT_EQ(panel_history_at(&h, 0), nullptr);
	EXPECT_EQ(add(at(1700, 66, 60, 68)), HISTORY_ADDED);
	EXPECT_EQ(add(at(1702, 66.5, 59.9, 69)), HISTORY_ADDED);
	const struct panel_sample *s = panel_history_at(&h, 0);
	ASSERT_NE(s, nullptr);
	EXPECT_FLOAT_EQ(s->in, 66.5);
	EXPECT_FLOAT_EQ(s->out, 59.9f);
	EXPECT_EQ(s->setpoint, 69);
	EXPECT_EQ(panel_history_at(&h, 1), nullptr) << "kelvo stepped over it";
	EXPECT_FLOAT_EQ(in(2), 66);

	/* The same minute again replaces, it does not add. */
	EXPECT_EQ(add(at(1702, 67)), HISTORY_ADDED);
	EXPECT_FLOAT_EQ(in(0), 67);
	EXPECT_FLOAT_EQ(in(2), 66);
	EXPECT_EQ(panel_history_at(&h, 0)->have, SAMPLE_IN);

	/* Without a time a sample has no place. */
	EXPECT_EQ(add(at(-1, 80)), HISTORY_IGNORED);
	EXPECT_FLOAT_EQ(in(0), 67);
	EXPECT_EQ(h.now, 17 * 60 + 2);

	/* A time with nothing else still moves the clock on. */
	EXPECT_EQ(add(at(1704, -999)), HISTORY_ADDED);
	EXPECT_EQ(panel_history_at(&h, 0), nullptr);
	EXPECT_FLOAT_EQ(in(2), 67);

	for (int age : { -1, PANEL_DAY, 100000 })
		EXPECT_EQ(panel_history_at(&h, age), nullptr) << age;
}

TEST_F(PanelHistory, RunsOnAcrossSimulatedMidnight)
{
	int t[] = { 2354, 2356, 2358, 0, 2, 4 };
	for (int i = 0; i < 6; i++)
		EXPECT_EQ(add(at(t[i], 60 + i)), HISTORY_ADDED) << t[i];
	for (int i = 0; i < 6; i++)
		EXPECT_FLOAT_EQ(in(2 * (5 - i)), 60 + i) << t[i];
	EXPECT_EQ(h.now, 4);
}

TEST_F(PanelHistory, ANewDayOverwritesTheOldOneAndItsSkippedMinutes)
{
	/* A whole day minute by minute, then kelvo at two minutes a tick. */
	for (int m = 0; m < PANEL_DAY; m++)
		add(at(m / 60 * 100 + m % 60, 50));
	for (int m = 0; m <= 10; m += 2)
		ASSERT_EQ(add(at(m, 70)), HISTORY_ADDED);
	for (int age = 0; age <= 10; age++)
		EXPECT_FLOAT_EQ(in(age), age % 2 ? -1000 : 70) << age;
	/* What is older than the new day's start stays yesterday's. */
	EXPECT_FLOAT_EQ(in(11), 50);
	EXPECT_FLOAT_EQ(in(PANEL_DAY - 1), 50);
}

TEST_F(PanelHistory, AFreshKelvoStartsAFreshHistory)
{
	add(at(1700, 66));
	add(at(1702, 66));
	add(at(1704, 66));
	/* kelvo started over from its default document: back to 17:00. */
	EXPECT_EQ(add(at(1700, 40)), HISTORY_RESTARTED);
	EXPECT_FLOAT_EQ(in(0), 40);
	for (int age = 1; age < PANEL_DAY; age++)
		ASSERT_EQ(panel_history_at(&h, age), nullptr) << age;

	/* A jump far ahead is no trend either. */
	EXPECT_EQ(add(at(2100, 41)), HISTORY_RESTARTED);
	EXPECT_EQ(panel_history_at(&h, 240), nullptr);
	/* But a few missed texts are just a gap. */
	EXPECT_EQ(add(at(2200, 42)), HISTORY_ADDED);
	EXPECT_FLOAT_EQ(in(60), 41);
}

TEST(PanelChart, ScaleCoversAllCurvesAndTheBandWithAMargin)
{
	struct panel_history h;
	panel_history_clear(&h);
	EXPECT_FALSE(panel_chart_scale(&h).valid);

	struct panel_state st = at(1700, 66.2, 59.9, 68);
	panel_history_add(&h, &st);
	struct panel_scale s = panel_chart_scale(&h);
	ASSERT_TRUE(s.valid);
	EXPECT_EQ(s.lo, 58);	/* floor(59.9) - 1 */
	EXPECT_EQ(s.hi, 70);	/* set point + 1, + 1 */

	/* A steady room alone still gets a few degrees of height. */
	panel_history_clear(&h);
	st = at(1700, 66);
	panel_history_add(&h, &st);
	s = panel_chart_scale(&h);
	EXPECT_EQ(s.hi - s.lo, 6);
	EXPECT_LT(s.lo, 66);
	EXPECT_GT(s.hi, 66);
}

TEST(PanelChart, RowsAndColumnsStayInsideTheChart)
{
	struct panel_scale s = { true, 58, 70 };

	EXPECT_EQ(panel_scale_row(&s, 70, 25), 0);
	EXPECT_EQ(panel_scale_row(&s, 58, 25), 24);
	EXPECT_EQ(panel_scale_row(&s, 64, 25), 12);
	EXPECT_EQ(panel_scale_row(&s, 500, 25), 0);
	EXPECT_EQ(panel_scale_row(&s, -500, 25), 24);
	EXPECT_EQ(panel_scale_row(&s, 64, 1), 0);
	EXPECT_EQ(panel_scale_row(&s, 64, 0), 0);
	struct panel_scale flat = { true, 60, 60 };
	EXPECT_EQ(panel_scale_row(&flat, 60, 10), 0);

	EXPECT_EQ(panel_chart_col(0, 150), 149);
	EXPECT_EQ(panel_chart_col(PANEL_DAY - 1, 150), 0);
	EXPECT_EQ(panel_chart_col(PANEL_DAY / 2, 150), 74);
	EXPECT_EQ(panel_chart_col(-5, 150), 149);
	EXPECT_EQ(panel_chart_col(99999, 150), 0);
	EXPECT_EQ(panel_chart_col(0, 0), 0);
	int prev = 150;
	for (int age = 0; age < PANEL_DAY; age++) {
		int c = panel_chart_col(age, 150);
		ASSERT_LE(c, prev) << age;
		prev = c;
	}
}

/* Columns of the chart holding a dot of series. */
std::string
columns(const struct panel_chart &c, int series)
{
	std::string cols(c.cols, ' ');
	for (int y = 0; y < c.rows; y++)
		for (int x = 0; x < c.cols; x++)
			if (c.dot[(size_t)y * c.cols + x] & series)
				cols[x] = '#';
	return cols;
}

TEST(PanelChart, PlotsTheNewestRightAndJoinsAcrossMidnight)
{
	struct panel_history h;
	struct panel_chart c;
	panel_history_clear(&h);

	panel_chart_plot(&h, 40, 20, &c);
	EXPECT_EQ(columns(c, 0xff), std::string(40, ' '));

	struct panel_state st = at(1200, 64, 58, 68);
	panel_history_add(&h, &st);
	panel_chart_plot(&h, 40, 20, &c);
	ASSERT_EQ(c.dot.size(), 800u);
	int x = 39;
	EXPECT_TRUE(c.dot[(size_t)panel_scale_row(&c.scale, 64, 20) * 40 + x] &
	    SERIES_IN);
	EXPECT_TRUE(c.dot[(size_t)panel_scale_row(&c.scale, 58, 20) * 40 + x] &
	    SERIES_OUT);
	EXPECT_TRUE(c.dot[(size_t)panel_scale_row(&c.scale, 68, 20) * 40 + x] &
	    SERIES_SETPOINT);
	EXPECT_EQ(c.dot[0], 0);

	/* Six hours across midnight at two minutes a tick: one unbroken
	 * line over the last quarter of the chart. */
	panel_history_clear(&h);
	for (int m = 21 * 60; m < 27 * 60; m += 2) {
		int mm = m % PANEL_DAY;
		st = at(mm / 60 * 100 + mm % 60, 60 + (m % 7), 50, 68);
		panel_history_add(&h, &st);
	}
	panel_chart_plot(&h, 40, 20, &c);
	EXPECT_EQ(columns(c, SERIES_IN), std::string(30, ' ') +
	    std::string(10, '#'));
	/* The band is dotted, the set point solid. */
	EXPECT_EQ(columns(c, SERIES_SETPOINT).substr(30), std::string(10, '#'));
	std::string band = columns(c, SERIES_BAND).substr(30);
	EXPECT_EQ(band, "# # # # # ");

	/* Sizes that leave no room draw nothing and do not fail. */
	panel_chart_plot(&h, 0, 20, &c);
	EXPECT_TRUE(c.dot.empty());
	panel_chart_plot(&h, -3, -3, &c);
	EXPECT_TRUE(c.dot.empty());
	panel_chart_plot(&h, 1, 1, &c);
	EXPECT_EQ(c.dot.size(), 1u);
}

TEST(PanelChart, AGapIsLeftOpen)
{
	struct panel_history h;
	struct panel_chart c;
	struct panel_state st;
	panel_history_clear(&h);

	/* Two hours of samples, two hours of nothing, then two more. */
	for (int m = 0; m <= 6 * 60; m += 2) {
		if (m > 2 * 60 && m < 4 * 60)
			continue;
		st = at(m / 60 * 100 + m % 60, 60);
		panel_history_add(&h, &st);
	}
	panel_chart_plot(&h, PANEL_DAY / 10, 10, &c);
	std::string cols = columns(c, SERIES_IN);
	/* Minute m sits at column (1439 - (360 - m)) / 10. */
	EXPECT_EQ(cols.substr(0, 107), std::string(107, ' '));
	EXPECT_EQ(cols.substr(107, 13), std::string(13, '#'));
	EXPECT_EQ(cols.substr(120, 11), std::string(11, ' '));
	EXPECT_EQ(cols.substr(131), std::string(13, '#'));
}

} // namespace
