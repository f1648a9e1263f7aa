/*
 * kelvo-panel's pieces without a terminal: published texts, good and
 * broken; the day of history behind the chart, across simulated midnight
 * and a kelvo started afresh; the chart's scale and placement; the inputs
 * texts and the pacing of presses.
 */
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "panel.h"

namespace {

const char published[] =
    "@outputs\nts_mode::HEAT\nts_fan::AUTO\nts_temp::68\n"
    "td_temp_in_::66.127\ntd_temp_in::66\ntd_temp_out_::59.933\n"
    "td_temp_out::60\ntd_sys::ON\ntd_time_::1704\ntd_time::05:04p\n";

struct client_state
parse(const std::string &text, int *taken = nullptr)
{
	struct client_state st;
	int n = client_parse(text.data(), text.size(), &st);
	if (taken)
		*taken = n;
	return st;
}

TEST(PanelParse, ReadsAPublishedTextAndFormatsIt)
{
	char buf[256];
	int taken;
	struct client_state st = parse(published, &taken);

	EXPECT_EQ(taken, 10);
	EXPECT_EQ(st.in_whole, 66);
	EXPECT_DOUBLE_EQ(st.out, 59.933);
	EXPECT_EQ(st.minute, 17 * 60 + 4);
	client_format(&st, buf, sizeof(buf));
	EXPECT_STREQ(buf, "time 05:04p\nclock 5:04 pm\nindoor 66.1\n"
	    "outdoor 59.9\n"
	    "setpoint 68\nmode HEAT\nfan AUTO\nplant heating\n");

	/* The other values kelvo publishes; "%8.3f" may leave blanks. */
	st = parse("ts_mode::COOL\nts_fan::ON\ntd_sys::OFF\ntd_time_::0000\n"
	    "td_temp_in_::  -3.500\nts_temp::-5\nts_mode::OFF\n");
	client_format(&st, buf, sizeof(buf));
	EXPECT_STREQ(buf, "time ?\nclock 12:00 am\nindoor -3.5\noutdoor ?\n"
	    "setpoint -5\n"
	    "mode OFF\nfan ON\nplant off\n") << "the last repeat counts";
	EXPECT_EQ(st.minute, 0);
}

/* Each bad line in place of its good one spoils that attribute alone. */
TEST(PanelParse, MalformedOrMissingValuesAreUnknownAndTheRestStays)
{
	const char *bad[] = {
		"ts_mode::WARM", "ts_mode::heat", "ts_mode::", "ts_fan::OFF",
		"ts_temp::6x8", "ts_temp::", "ts_temp::99999", "ts_temp::68 x",
		"ts_temp", "ts_temp:68", "td_sys::MAYBE", "td_time_::2400",
		"td_time_::1260", "td_time_::-100", "td_time_::17040",
		"td_time_::17:04", "td_time::\x1b[2J", "td_time::",
		"td_time::a very long clock text", "td_temp_in_::abc",
		"td_temp_in_::nan", "td_temp_in_::1e9", "td_temp_out::6.5",
	};

	for (const char *line : bad) {
		std::string name(line, strcspn(line, ":"));
		std::string t = published;
		size_t a = t.find("\n" + name + "::") + 1;
		int taken;
		for (std::string repl : { std::string(line) + "\n", std::string() }) {
			std::string u = t;
			u.replace(a, u.find('\n', a) + 1 - a, repl);
			struct client_state st = parse(u, &taken);
			EXPECT_EQ(taken, 9) << line;
			EXPECT_EQ(st.mode != MODE_UNKNOWN, name != "ts_mode") << line;
			EXPECT_EQ(st.fan != FAN_UNKNOWN, name != "ts_fan") << line;
			EXPECT_EQ(st.has_setpoint, name != "ts_temp") << line;
			EXPECT_EQ(st.sys != SYS_UNKNOWN, name != "td_sys") << line;
			EXPECT_EQ(st.minute >= 0, name != "td_time_") << line;
			EXPECT_EQ(st.clock[0] != 0, name != "td_time") << line;
			/* One form of a temperature covers for the other. */
			EXPECT_DOUBLE_EQ(st.in, name == "td_temp_in_" ? 66 :
			    66.127) << line;
			EXPECT_EQ(st.out_whole, 60) << line;
		}
	}
	for (const char *text : { "", "@outputs\n", "\n\n", "garbage" }) {
		int taken;
		struct client_state st = parse(text, &taken);
		EXPECT_EQ(taken, 0) << text;
		EXPECT_FALSE(st.has_in || st.has_setpoint) << text;
		EXPECT_EQ(client_plant(&st), PLANT_NONE) << text;
	}
}

TEST(PanelParse, DamagedLayoutsStillGiveTheGoodLines)
{
	int taken;
	/* CR line ends, a line with no colons, an unknown attribute, an
	 * encoding field, a NUL inside a line, no final newline. */
	std::string t = "@outputs\r\nts_temp::70\r\nnonsense\nfoo::bar\n"
	    "ts_fan:s:ON\ntd_sys::O";
	t += '\0';
	t += "N\nts_mode::COOL";
	struct client_state st = parse(t, &taken);
	EXPECT_EQ(taken, 3);
	EXPECT_EQ(st.setpoint, 70);
	EXPECT_EQ(st.fan, FAN_ON);
	EXPECT_EQ(st.sys, SYS_UNKNOWN);
	EXPECT_EQ(st.mode, MODE_COOL);

	/* Only len bytes count. */
	client_parse("ts_temp::68\nts_temp::99\n", 12, &st);
	EXPECT_EQ(st.setpoint, 68);
	/* Over-long lines and values are no lines of kelvo's. */
	st = parse("ts_temp::68\ntd_time::" + std::string(200, 'x') + "\n",
	    &taken);
	EXPECT_EQ(taken, 1);
	EXPECT_FALSE(parse("ts_temp::" + std::string(70, ' ') + "68\n")
	    .has_setpoint);
}

TEST(PanelParse, RoundsLikeKelvoAndNamesThePlant)
{
	const struct {
		const char *precise;
		int whole;
	} r[] = { { "66.5", 67 }, { "66.499", 66 }, { "-2.5", -2 },
	    { "-2.51", -3 } };
	for (const auto &c : r)
		EXPECT_EQ(parse(std::string("td_temp_in_::") + c.precise)
		    .in_whole, c.whole) << c.precise;
	EXPECT_DOUBLE_EQ(parse("td_temp_out::-4\n").out, -4.0);

	const struct {
		const char *sys, *mode, *fan;
		int plant;
	} p[] = {
		{ "ON", "HEAT", "AUTO", PLANT_HEATING },
		{ "ON", "COOL", "AUTO", PLANT_COOLING },
		{ "ON", "OFF", "AUTO", PLANT_OFF }, { "OFF", "HEAT", "AUTO", PLANT_IDLE },
		{ "OFF", "COOL", "ON", PLANT_FAN }, { "ON", "WARM", "ON", PLANT_NONE },
		{ "", "HEAT", "ON", PLANT_NONE }, { "ON", "HEAT", "", PLANT_NONE },
	};
	for (const auto &c : p) {
		struct client_state st = parse(std::string("td_sys::") + c.sys +
		    "\nts_mode::" + c.mode + "\nts_fan::" + c.fan + "\n");
		EXPECT_EQ(client_plant(&st), c.plant) << c.sys << " " << c.mode;
	}
}

/* A sample at HHMM; temperatures below -500 are left out. */
struct client_state
at(int hhmm, double in, double out = -999, int setpoint = -999)
{
	struct client_state st;
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
	struct client_history h;
	void SetUp() override { client_history_clear(&h); }
	int add(struct client_state st) { return client_history_add(&h, &st); }
	/* Indoor value age minutes back, -1000 when there is none. */
	double in(int age) {
		const struct client_sample *s = client_history_at(&h, age);
		return s && (s->have & SAMPLE_IN) ? s->in : -1000;
	}
};

TEST_F(PanelHistory, KeepsSamplesByTheirSimulatedMinute)
{
	EXPECT_EQ(add(at(1700, 66, 60, 68)), HISTORY_ADDED);
	EXPECT_EQ(add(at(1702, 66.5, 59.9, 69)), HISTORY_ADDED);
	EXPECT_EQ(client_history_at(&h, 0)->setpoint, 69);
	EXPECT_EQ(in(1), -1000) << "kelvo stepped over it";
	EXPECT_EQ(in(2), 66);
	EXPECT_EQ(add(at(1702, 67)), HISTORY_ADDED);
	EXPECT_EQ(client_history_at(&h, 0)->have, SAMPLE_IN) << "replaced";
	EXPECT_EQ(add(at(-1, 80)), HISTORY_IGNORED);
	EXPECT_EQ(in(0), 67);
	/* A time alone still moves the clock on. */
	EXPECT_EQ(add(at(1704, -999)), HISTORY_ADDED);
	EXPECT_EQ(client_history_at(&h, 0), nullptr);
	EXPECT_EQ(in(2), 67);
}

TEST_F(PanelHistory, RunsOnAcrossMidnightOverwritingYesterday)
{
	/* A whole day minute by minute, then two minutes a tick over
	 * midnight: the new day replaces the old, skipped minutes too. */
	for (int m = 0; m < CLIENT_DAY; m++)
		add(at(m / 60 * 100 + m % 60, 50));
	for (int m = 0; m <= 10; m += 2)
		ASSERT_EQ(add(at(m, 70)), HISTORY_ADDED);
	for (int age = 0; age <= 10; age++)
		EXPECT_EQ(in(age), age % 2 ? -1000 : 70) << age;
	EXPECT_EQ(in(11), 50);
	EXPECT_EQ(in(CLIENT_DAY - 1), 50);
}

TEST_F(PanelHistory, AFreshKelvoStartsAFreshHistory)
{
	add(at(1700, 66));
	add(at(1704, 66));
	/* kelvo started over from its default document: back to 17:00. */
	EXPECT_EQ(add(at(1700, 40)), HISTORY_RESTARTED);
	for (int age = 1; age < CLIENT_DAY; age++)
		ASSERT_EQ(client_history_at(&h, age), nullptr) << age;
	/* A jump far ahead is no trend either; a few missed texts are. */
	EXPECT_EQ(add(at(2100, 41)), HISTORY_RESTARTED);
	EXPECT_EQ(add(at(2200, 42)), HISTORY_ADDED);
	EXPECT_EQ(in(60), 41);
}

TEST(PanelChart, ScaleRowsAndColumns)
{
	struct client_history h;
	client_history_clear(&h);
	EXPECT_FALSE(panel_chart_scale(&h).valid);
	struct client_state st = at(1700, 66.2, 59.9, 68);
	client_history_add(&h, &st);
	struct panel_scale s = panel_chart_scale(&h);
	EXPECT_EQ(s.lo, 58);	/* floor(59.9) - 1 */
	EXPECT_EQ(s.hi, 70);	/* the band's top, + 1 */
	/* A steady room still gets a few degrees, not its noise. */
	st = at(1702, 66);
	client_history_clear(&h);
	client_history_add(&h, &st);
	s = panel_chart_scale(&h);
	EXPECT_EQ(s.hi - s.lo, 6);
	EXPECT_EQ(s.lo + 3, 66);

	s = { true, 58, 70 };
	const struct {
		double v;
		int rows, row;
	} rows[] = { { 70, 25, 0 }, { 58, 25, 24 }, { 64, 25, 12 },
	    { 500, 25, 0 }, { -500, 25, 24 }, { 64, 1, 0 }, { 64, 0, 0 } };
	for (const auto &r : rows)
		EXPECT_EQ(panel_scale_row(&s, r.v, r.rows), r.row) << r.v;
	const int cols[][3] = { { 0, 150, 149 }, { CLIENT_DAY - 1, 150, 0 },
	    { CLIENT_DAY / 2, 150, 74 }, { -5, 150, 149 }, { 99999, 150, 0 },
	    { 0, 0, 0 } };
	for (const auto &c : cols)
		EXPECT_EQ(panel_chart_col(c[0], c[1]), c[2]) << c[0];
}

/* Which columns of the chart hold a dot of series. */
std::string
columns(const struct panel_chart &c, int series)
{
	std::string cols(c.cols, ' ');
	for (size_t i = 0; i < c.dot.size(); i++)
		if (c.dot[i] & series)
			cols[i % c.cols] = '#';
	return cols;
}

TEST(PanelChart, PlotsNewestRightJoinsAcrossMidnightLeavesGaps)
{
	struct client_history h;
	struct panel_chart c;
	struct client_state st;
	client_history_clear(&h);
	panel_chart_plot(&h, 40, 20, &c);
	EXPECT_EQ(columns(c, 0xff), std::string(40, ' '));

	/* 21:00 to 03:00 two minutes a tick: one line over the last
	 * quarter; the band dotted, the set point solid. */
	client_history_clear(&h);
	for (int m = 21 * 60; m < 27 * 60; m += 2) {
		int mm = m % CLIENT_DAY;
		st = at(mm / 60 * 100 + mm % 60, 60 + m % 7, 50, 68);
		client_history_add(&h, &st);
	}
	panel_chart_plot(&h, 40, 20, &c);
	EXPECT_EQ(columns(c, SERIES_IN), std::string(30, ' ') +
	    std::string(10, '#'));
	EXPECT_EQ(columns(c, SERIES_SETPOINT).substr(30), std::string(10, '#'));
	EXPECT_EQ(columns(c, SERIES_BAND).substr(30), "# # # # # ");

	/* Two hours, two hours of nothing, two more: minute m sits in
	 * column (1079 + m) / 10, and the gap stays open. */
	client_history_clear(&h);
	for (int m = 0; m <= 6 * 60; m += 2)
		if (m <= 2 * 60 || m >= 4 * 60) {
			st = at(m / 60 * 100 + m % 60, 60);
			client_history_add(&h, &st);
		}
	panel_chart_plot(&h, 144, 10, &c);
	EXPECT_EQ(columns(c, SERIES_IN), std::string(107, ' ') +
	    std::string(13, '#') + std::string(11, ' ') + std::string(13, '#'));

	/* No room: nothing drawn, nothing broken. */
	panel_chart_plot(&h, 0, 20, &c);
	EXPECT_TRUE(c.dot.empty());
	panel_chart_plot(&h, -3, -3, &c);
	EXPECT_TRUE(c.dot.empty());
}

} // namespace
