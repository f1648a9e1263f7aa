/*
 * The PPS bridge's pure pieces: finding button events in an inputs text,
 * and the outputs object text.
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "dbXML.h"
#include "kelvo.h"
#include "xml2pps.h"
#include "testutil.h"

namespace {

std::vector<std::string>
scan(const std::string &text, int max = PPS_MAX_EVENTS)
{
	char names[PPS_MAX_EVENTS][5];
	std::vector<std::string> v;
	int n = event_scan(text.c_str(), names, max);
	for (int i = 0; i < n; i++)
		v.push_back(names[i]);
	return v;
}

using V = std::vector<std::string>;

TEST(EventScan, OrdinaryTexts)
{
	EXPECT_EQ(scan("@inputs\nbtn1::\nbtn2::\nbtn3::\nbtn4::\n"), V{});
	EXPECT_EQ(scan("@inputs\nbtn1::event\nbtn2::\nbtn3::\nbtn4::\n"),
	    V{ "btn1" });
	EXPECT_EQ(scan("@inputs\nbtn1::event\nbtn2::\nbtn3::event\nbtn4::\n"),
	    (V{ "btn1", "btn3" }));
	EXPECT_EQ(scan("@inputs\nbtn3::event\nbtn3::event\n"),
	    (V{ "btn3", "btn3" }));
}

TEST(EventScan, NamesAreCutByPosition)
{
	EXPECT_EQ(scan("@inputs\nmybtn3::event\n"), V{ "btn3" });
	EXPECT_EQ(scan("@inputs\nb3::event\n"), V{ "s\nb3" });
	EXPECT_EQ(scan("@inputs\nbtn1::noevent\n"), V{ "n1::" });
	/* The last event of a text with no newline after it still counts. */
	EXPECT_EQ(scan("@inputs\nbtn4::event"), V{ "btn4" });
}

TEST(EventScan, HostileTexts)
{
	/* Too little text ahead of a match to hold a name. */
	EXPECT_EQ(scan("event"), V{});
	EXPECT_EQ(scan("btn3:event"), V{});
	EXPECT_EQ(scan("\nbtn3:event\nxxxxxxevent"), (V{ "\nbtn", "xxxx" }));
	EXPECT_EQ(scan(""), V{});
	EXPECT_EQ(scan("eventeventeventevent"), V{ "teve" });
	/* Hundreds of events: bounded by the caller's room. */
	std::string many = "@inputs\n";
	for (int i = 0; i < 500; i++)
		many += "btn3::event\n";
	EXPECT_EQ(scan(many).size(), (size_t)PPS_MAX_EVENTS);
	EXPECT_EQ(scan(many, 3).size(), 3u);
	/* A NUL ends the text, whatever follows it. */
	std::string nul("@inputs\nbtn1::event\n\0btn2::event\n", 33);
	EXPECT_EQ(scan(nul), V{ "btn1" });
}

TEST(EventScan, NeverReadsPastTheText)
{
	/* Every prefix of a text, in a buffer sized exactly for it, so a
	 * sanitizer build catches any read beyond the NUL. */
	std::string text = "@inputs\nbtn1::event\nbtn3::eventevent\nxx::event";
	for (size_t n = 0; n <= text.size(); n++) {
		std::vector<char> buf(text.begin(), text.begin() + n);
		buf.push_back('\0');
		char names[PPS_MAX_EVENTS][5];
		int k = event_scan(buf.data(), names, PPS_MAX_EVENTS);
		for (int i = 0; i < k; i++)
			EXPECT_EQ(strlen(names[i]), 4u);
	}
}

class Published : public ::testing::Test {
protected:
	kt::TempDir dir;
	char values[KC_ATTRS_MODERN][KC_VALUE_LEN];
	char text[KC_TEXT_LEN];

	void SetUp() override {
		snprintf(xml_fname, sizeof(xml_fname), "%s",
		    (dir / "kelvoweb.xml").c_str());
		Verbose = 0;
	}
	int publish() {
		db = new dbXML(xml_fname, false);
		pps_values(db, values);
		delete db;
		return pps_text(values, text, sizeof(text));
	}
};

TEST_F(Published, TheDefaultDocument)
{
	int n = publish();
	EXPECT_STREQ(text, "@outputs\nts_mode::HEAT\nts_fan::AUTO\n"
	    "ts_temp::68\ntd_temp_in_::66.0\ntd_temp_in::66\n"
	    "td_temp_out_::60.0\ntd_temp_out::60\ntd_sys::OFF\n"
	    "td_time_::1700\ntd_time::05:00p\n");
	EXPECT_EQ(n, 159);
}

TEST_F(Published, MissingValuesAreEmptyAndLongOnesAreCut)
{
	std::string longv(300, 'x');
	kt::write_file(xml_fname, "<?xml version=\"1.0\" ?>\n<thermodynData>"
	    "<inputs><ts_mode>" + longv + "</ts_mode></inputs>"
	    "<outputs><td_sys/></outputs><parameters/></thermodynData>\n");
	int n = publish();
	EXPECT_EQ(strlen(values[0]), 63u);
	EXPECT_STREQ(values[1], "");
	EXPECT_STREQ(values[7], "");
	EXPECT_EQ(kt::attribute(text, "ts_mode"), std::string(63, 'x'));
	EXPECT_EQ(kt::attribute(text, "td_sys"), "");
	EXPECT_EQ(n, (int)strlen(text));
}

TEST_F(Published, TheTextNeverOverrunsItsBuffer)
{
	for (auto &v : values) {
		memset(v, 'y', KC_VALUE_LEN - 1);
		v[KC_VALUE_LEN - 1] = '\0';
	}
	int n = pps_text(values, text, sizeof(text));
	EXPECT_EQ(n, KC_TEXT_LEN - 1);
	EXPECT_EQ(strlen(text), (size_t)KC_TEXT_LEN - 1);
	char small[20];
	EXPECT_EQ(pps_text(values, small, sizeof(small)), 19);
}

/*
 * Cut anywhere, the text is the whole text's beginning and ends within
 * its buffer: every buffer size, every value of another length, the
 * modern values too.
 */
TEST_F(Published, ACutTextIsTheWholeTextsBeginningAtEverySize)
{
	for (int i = 0; i < KC_ATTRS_MODERN; i++) {
		memset(values[i], 'a' + i, (size_t)(i * 5) % KC_VALUE_LEN);
		values[i][(i * 5) % KC_VALUE_LEN] = '\0';
	}
	char whole[2048];
	int n = pps_text_n(values, KC_ATTRS_MODERN, whole, sizeof(whole));
	ASSERT_EQ(n, (int)strlen(whole));
	ASSERT_GT(n, KC_TEXT_LEN);
	EXPECT_EQ(pps_text_n(values, KC_ATTRS_MODERN, whole, 0), 0);
	for (size_t len = 1; len <= (size_t)n + 2; len++) {
		std::vector<char> buf(len + 1, '#');
		int got = pps_text_n(values, KC_ATTRS_MODERN, buf.data(), len);
		size_t want = std::min(len - 1, (size_t)n);
		ASSERT_EQ(got, (int)want) << len;
		ASSERT_EQ(std::string(buf.data()), std::string(whole, want))
		    << len;
		ASSERT_EQ(buf[len], '#') << len;
	}
}

} // namespace
