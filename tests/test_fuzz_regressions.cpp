/*
 * test_fuzz_regressions.cpp - inputs the fuzzers turned up, kept as cases.
 *
 * Each case replays one input found by fuzz/fuzz_store, fuzz/fuzz_events
 * or fuzz/fuzz_web
 * through the same road and pins the behaviour that input showed, so it
 * stays that way after the code moves.  The input goes in as bytes, as it
 * was found; the comment says what made it interesting.
 */
#include <gtest/gtest.h>

#include <limits.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include <tinyxml.h>

#include "dbXML.h"
#include "kelvo.h"
#include "route.h"
#include "thermodyn.h"
#include "xml2pps.h"

namespace {

class FuzzStore : public ::testing::Test {
protected:
	char dir[64];

	void SetUp() override
	{
		snprintf(dir, sizeof(dir), "/tmp/kelvo-fuzzreg.XXXXXX");
		ASSERT_NE(mkdtemp(dir), nullptr);
		snprintf(xml_fname, sizeof(xml_fname), "%s/kelvoweb.xml", dir);
		Verbose = 0;
		pm_minutes = 2;
	}

	void TearDown() override
	{
		std::string tmp = std::string(xml_fname) + ".tmp";
		unlink(xml_fname);
		unlink(tmp.c_str());
		rmdir(dir);
	}

	void write_doc(const std::string &text)
	{
		FILE *f = fopen(xml_fname, "wb");
		ASSERT_NE(f, nullptr);
		ASSERT_EQ(fwrite(text.data(), 1, text.size(), f), text.size());
		ASSERT_EQ(fclose(f), 0);
	}

	/* The file as it stands loads, with the root and three sections. */
	static bool shaped_on_disk()
	{
		TiXmlDocument doc(xml_fname);
		TiXmlElement *root;

		if (!doc.LoadFile() ||
		    (root = doc.FirstChildElement("thermodynData")) == nullptr)
			return false;
		return root->FirstChildElement("inputs") != nullptr &&
		    root->FirstChildElement("outputs") != nullptr &&
		    root->FirstChildElement("parameters") != nullptr;
	}
};

/*
 * fuzz_store crash-7b88afcf: a hand-made document whose td_temp_in_ text
 * is "1e39" and a run of semicolons, with a comment ahead of a text, an
 * empty element, CDATA holding bytes that are no UTF-8, a clock that is no
 * clock, a second td_time_ and an element inside td_sys.  A refused setValFp (NaN) left that
 * 36-character text in place, where the harness wrongly expected a
 * freshly printed float: the fault was the harness's.  What the store must
 * do with such a document is what is pinned here: refuse the NaN, keep the
 * text, save a document that loads again, and let the next tick restart
 * the temperature and the clock.
 */
static const char crash_7b88afcf[] =
    "<thermodynData><inputs><ts_mode><!-- c -->HEAT</ts_mode><ts_fan/>"
    "<ts_temp><![CDATA\xff\xff\xff\xff ]]></ts_temp></inputs><outputs>"
    "<td_temp_in_>1e39;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;</td_temp_in_>"
    "<td_time_>w460</td_time_><td_time_>\x9d" "001</td_time_>"
    "<td_sys>n0::<x/></td_sys></outputs><parameters a=\"&amp;\"/>"
    "</thermodynData>\n";

TEST_F(FuzzStore, RefusedFloatKeepsAnOddTextAndTheDocumentStaysLoadable)
{
	const std::string odd = "1e39;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;";
	char values[KC_ATTRS][KC_VALUE_LEN];
	char text[KC_TEXT_LEN];
	char *s;

	write_doc(std::string(crash_7b88afcf, sizeof(crash_7b88afcf) - 1));

	db = new dbXML(xml_fname, false);
	/* The comment comes first: the element does not begin with text. */
	EXPECT_EQ(db->getValStr("ts_mode"), nullptr);
	EXPECT_EQ(db->setValFp("td_temp_in_", NAN), 0);
	EXPECT_EQ(db->setValFp("td_temp_in_", INFINITY), 0);
	EXPECT_EQ(db->setValFp("td_temp_in_", 1e14f), 0);
	ASSERT_NE((s = db->getValStr("td_temp_in_")), nullptr);
	EXPECT_EQ(std::string(s), odd);
	/* Read as a number it is out of range, never undefined. */
	EXPECT_TRUE(isinf(db->getValFp("td_temp_in_")));
	delete db;
	db = nullptr;
	ASSERT_TRUE(shaped_on_disk());

	thermodyn_tick();
	db = nullptr;
	ASSERT_TRUE(shaped_on_disk());

	db = new dbXML(xml_fname, false);
	/* "1e39" is no temperature: the tick starts it again near 66. */
	float in = db->getValFp("td_temp_in_");
	EXPECT_TRUE(isfinite(in));
	EXPECT_LT(fabsf(in - 66.0f), 1.0f);
	/* "w460" reads as 0000: the clock goes on from midnight. */
	ASSERT_NE((s = db->getValStr("td_time_")), nullptr);
	EXPECT_STREQ(s, "0002");
	pps_values(db, values);
	delete db;
	db = nullptr;

	int n = pps_text(values, text, sizeof(text));
	EXPECT_GT(n, 0);
	EXPECT_LT(n, (int)sizeof(text));
	EXPECT_EQ(strlen(text), (size_t)n);
}

/*
 * The widest float the store takes (the one below 1e14) still fits its
 * 19 characters, sign and all; 1e14 itself is refused.
 */
TEST_F(FuzzStore, WidestTakenFloatIsStoredWhole)
{
	char *s;

	write_doc(db_default_text);
	db = new dbXML(xml_fname, false);
	ASSERT_EQ(db->setValFp("td_temp_in_", -nextafterf(1e14f, 0.0f)), 1);
	ASSERT_NE((s = db->getValStr("td_temp_in_")), nullptr);
	EXPECT_STREQ(s, "-99999991988224.000");
	EXPECT_EQ(db->setValFp("td_temp_in_", -1e14f), 0);
	EXPECT_STREQ(db->getValStr("td_temp_in_"), "-99999991988224.000");
	delete db;
	db = nullptr;
	ASSERT_TRUE(shaped_on_disk());
}

/*
 * fuzz_web's first input (its seed fan_bad) stopped it at once: the
 * request it built on the stack, as a plain declaration, had too_big
 * unset, read as 88.  A request and an answer now start out zeroed
 * however they are made; a fan given as a list is a 400, not a 413.
 */
TEST(FuzzWeb, AFreshRequestIsNotTooBigAndABadFanIs400)
{
	struct route_request rq;
	struct route_answer a;

	EXPECT_FALSE(rq.too_big);
	EXPECT_EQ(a.status, 0u);
	EXPECT_FALSE(a.stream);
	EXPECT_EQ(a.data, nullptr);
	route_setup(NULL, 8080);
	rq.peer.ss_family = AF_INET;
	rq.method = "PUT";
	rq.path = "/api/fan";
	rq.headers = { { "Host", "127.0.0.1" },
	    { "Content-Type", "application/json" } };
	ASSERT_FALSE(route_head(&rq, &a)) << "it wants its body";
	rq.body = "{\"value\": [\"ON\"]}";
	route_body(&rq, &a);
	EXPECT_EQ(a.status, 400u);
	EXPECT_NE(a.body.find("the fan must be AUTO or ON"), std::string::npos)
	    << a.body;
}

} // namespace
