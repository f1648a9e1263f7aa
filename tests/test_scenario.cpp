/*
 * test_scenario.cpp - kelvo-ctl play and record against a real kelvo in
 * a scratch root: the shipped scenarios, failures and their lines,
 * repeatability at other periods, invalid files, a recorded session
 * played back, and the JUnit report read as XML.
 */
#include <gtest/gtest.h>

#include <dirent.h>
#include <tinyxml.h>

#include <algorithm>

#include "testutil.h"

namespace {

struct CtlRun {
	int status;
	std::string out, err;
};

/* A kelvo of its own and kelvo-ctl run against it. */
struct World {
	kt::TempDir dir;
	std::string pps = dir / "pps", root = dir / "root";
	kt::Kelvo *k = nullptr;

	World() {
		mkdir(pps.c_str(), 0700);
		mkdir(root.c_str(), 0700);
		k = new kt::Kelvo(pps, { "-v", root }, dir.path);
		EXPECT_TRUE(kt::wait_for([&] {
			return kt::read_file(pps + "/kelvo/sim").find("batch::") !=
			    std::string::npos && kt::read_file(pps +
			    "/kelvo/outputs").find("td_time::") !=
			    std::string::npos;
		}));
	}
	~World() { delete k; }

	/* as_mb: a limit on kelvo-ctl's address space, in MiB. */
	CtlRun ctl(const std::string &args, int as_mb = 0) {
		std::string cmd = (as_mb > 0 ? "ulimit -v " +
		    std::to_string(as_mb * 1024) + "; " : std::string()) +
		    "PPS_ROOT='" + pps + "' " KELVO_CTL_BIN " " +
		    args + " >'" + dir / "ctl.out" + "' 2>'" + dir / "ctl.err" +
		    "'";
		int st = system(cmd.c_str());
		return { WIFEXITED(st) ? WEXITSTATUS(st) : -1,
		    kt::read_file(dir / "ctl.out"), kt::read_file(dir / "ctl.err") };
	}
	std::string file(const std::string &name, const std::string &text) {
		kt::write_file(dir / name, text);
		return dir / name;
	}
	std::string outputs() { return kt::read_file(pps + "/kelvo/outputs"); }
	std::string document() { return kt::read_file(root + "/kelvoweb.xml"); }
};

std::vector<std::string>
shipped()
{
	std::vector<std::string> files;
	DIR *d = opendir(SCENARIO_DIR);
	struct dirent *e;

	while (d != nullptr && (e = readdir(d)) != nullptr) {
		std::string n = e->d_name;
		if (n.size() > 5 && n.substr(n.size() - 5) == ".yaml")
			files.push_back(std::string(SCENARIO_DIR) + "/" + n);
	}
	if (d != nullptr)
		closedir(d);
	std::sort(files.begin(), files.end());
	return files;
}

std::string
joined(const std::vector<std::string> &v)
{
	std::string s;
	for (auto &x : v)
		s += "'" + x + "' ";
	return s;
}

int
count_children(TiXmlElement *e, const char *name)
{
	int n = 0;
	for (TiXmlElement *c = e->FirstChildElement(name); c;
	    c = c->NextSiblingElement(name))
		n++;
	return n;
}

} // namespace

TEST(Scenario, ShippedScenariosPassWithAJUnitReport)
{
	World w;
	std::vector<std::string> files = shipped();
	ASSERT_GE(files.size(), 6u);
	CtlRun r = w.ctl("play --junit '" + w.dir / "report.xml" + "' " +
	    joined(files));
	EXPECT_EQ(r.status, 0) << r.out << r.err;
	EXPECT_NE(r.out.find(" passed, 0 failed\n"), std::string::npos) << r.out;
	/* Left paused where the last one ended. */
	EXPECT_NE(kt::read_file(w.pps + "/kelvo/sim").find("state::paused"),
	    std::string::npos);

	TiXmlDocument doc((w.dir / "report.xml").c_str());
	ASSERT_TRUE(doc.LoadFile());
	TiXmlElement *top = doc.RootElement();
	ASSERT_STREQ(top->Value(), "testsuites");
	EXPECT_EQ(count_children(top, "testsuite"), (int)files.size());
	EXPECT_STREQ(top->Attribute("failures"), "0");
	for (TiXmlElement *s = top->FirstChildElement("testsuite"); s;
	    s = s->NextSiblingElement("testsuite")) {
		EXPECT_NE(s->Attribute("name"), nullptr);
		EXPECT_GT(count_children(s, "testcase"), 0);
		EXPECT_EQ(std::to_string(count_children(s, "testcase")),
		    s->Attribute("tests"));
	}
}

TEST(Scenario, AWrongExpectationFailsWithItsLineAndValues)
{
	World w;
	std::string f = w.file("wrong.yaml",
	    "name: wrong <&> \"on purpose\"\n"
	    "start: {ts_temp: 68, td_time_: \"0100\"}\n"
	    "steps:\n"
	    "  - at: 9\n"
	    "    expect:\n"
	    "      ts_temp: 68.000\n"
	    "      ts_mode: COOL\n"
	    "      td_temp_in_: {min: 100}\n"
	    "      td_time_: \"0110\"\n"
	    "  - at: 10\n"
	    "    expect: {plant: cooling}\n");
	CtlRun r = w.ctl("play --junit '" + w.dir / "j.xml" + "' '" + f + "'");
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.out,
	    f + ":7: at minute 9: ts_mode is HEAT, expected COOL\n" +
	    f + ":8: at minute 9: td_temp_in_ is " +
	    kt::attribute(w.outputs(), "td_temp_in_").substr(
	    kt::attribute(w.outputs(), "td_temp_in_").find_first_not_of(' ')) +
	    ", expected at least 100\n" +
	    f + ":11: at minute 10: plant is heating, expected cooling\n"
	    "2 passed, 3 failed\n");

	TiXmlDocument doc((w.dir / "j.xml").c_str());
	ASSERT_TRUE(doc.LoadFile());
	TiXmlElement *s = doc.RootElement()->FirstChildElement("testsuite");
	ASSERT_NE(s, nullptr);
	EXPECT_STREQ(s->Attribute("name"), "wrong <&> \"on purpose\"");
	EXPECT_STREQ(s->Attribute("failures"), "2");
	TiXmlElement *tc = s->FirstChildElement("testcase");
	ASSERT_NE(tc, nullptr);
	EXPECT_STREQ(tc->Attribute("line"), "4");
	TiXmlElement *fl = tc->FirstChildElement("failure");
	ASSERT_NE(fl, nullptr);
	EXPECT_NE(std::string(fl->GetText()).find("ts_mode is HEAT, expected "
	    "COOL"), std::string::npos);
}

TEST(Scenario, TwoPlaysAtOtherPeriodsGiveTheSameOutputAndDocuments)
{
	World w;
	std::string f = std::string(SCENARIO_DIR) + "/day-heat-and-cool.yaml";
	std::string g = std::string(SCENARIO_DIR) + "/setpoint-limits.yaml";
	std::string out[2], report[2], state[2];
	const char *period[2] = { "1", "700" };

	for (int i = 0; i < 2; i++) {
		ASSERT_EQ(w.ctl(std::string("speed 7 ") + period[i]).status, 0);
		usleep(300000);
		CtlRun r = w.ctl("play --junit '" + w.dir / "r.xml" + "' '" + f +
		    "' '" + g + "'");
		EXPECT_EQ(r.status, 0) << r.out << r.err;
		out[i] = r.out;
		report[i] = kt::read_file(w.dir / "r.xml");
		state[i] = w.document();
	}
	EXPECT_EQ(out[0], out[1]);
	EXPECT_EQ(report[0], report[1]);
	EXPECT_EQ(state[0], state[1]);
	EXPECT_NE(state[0].find("<pm_interval>200</pm_interval>"),
	    std::string::npos);
}

TEST(Scenario, InvalidFilesExit2AndNothingIsPlayed)
{
	World w;
	std::string good = std::string(SCENARIO_DIR) + "/plant-fault.yaml";
	const struct {
		const char *text, *where, *what;
	} bad[] = {
		{ "steps: [{at: 1, sett: {ts_temp: 70}}]\n", ":1:17:",
		    "\"sett\" is no key of a step" },
		{ "colour: red\nsteps: []\n", ":1:1:", "no key of a scenario" },
		{ "steps:\n  - at: 1\n    set: {td_temp_out_: [20]}\n", ":3:25:",
		    "needs a plain value" },
		{ "steps: [{at: ten}]\n", ":1:14:", "whole number of minutes" },
		{ "steps:\n  - at: 30\n  - at: 20\n", ":3:9:",
		    "goes back before 30" },
		{ "start: {ts_mode: WARM}\nsteps: []\n", ":1:18:",
		    "is not HEAT, COOL or OFF" },
		{ "steps: [{at: 1, set: {fault: [plant, fire]}}]\n", ":1:30:",
		    "\"fire\" is no fault" },
		{ "steps: [{at: 1, set: {pm_minutes: 0}}]\n", ":1:35:",
		    "in 1..1440" },
		{ "steps: [{at: 1, press: left}]\n", ":1:24:", "a press is" },
		{ "steps: [{at: 1, expect: {td_sys: maybe}}]\n", ":1:34:",
		    "never what td_sys shows" },
		{ "steps: [{at: 1, expect: {td_pressure: 3}}]\n", ":1:26:",
		    "is not published" },
		{ "steps:\n  - at: 1\n   expect: x\n", ":3:", "" },
		{ "start: {fault: silent}\nsteps: [{at: 1, press: up}]\n",
		    ":2:24:", "silent fault" },
		/* Escapes that make control characters, and a second document. */
		{ "steps:\n  - at: 1\n    set: {\"step\\0\": \"30\"}\n", ":3:11:",
		    "control character (U+0000)" },
		{ "start: {ts_mode: \"COOL\\0!\"}\nsteps: []\n", ":1:18:",
		    "control character (U+0000)" },
		{ "name: \"a\\eb\"\nsteps: []\n", ":1:7:", "(U+001B)" },
		{ "name: \"a\\u0085b\"\nsteps: []\n", ":1:7:", "(U+0085)" },
		{ "steps: [{at: 1, expect: {\"ts_mode\\t\": HEAT}}]\n", ":1:26:",
		    "(U+0009)" },
		{ "steps: [{at: 1}]\n---\nsteps: [{at: 2, set: {ts_temp: 80}}]\n",
		    ":2:1:", "a second YAML document" },
		/* Nothing would be checked, and "0 passed" would say it passed. */
		{ "name: empty\nsteps: []\n", ":2:8:", "no step expects anything" },
		{ "start: {ts_temp: 70}\nsteps:\n  - at: 5\n    set: {ts_temp: 72}\n"
		    "  - {at: 9, press: up}\n", ":3:3:",
		    "no step expects anything" },
		/* Hex is no number in any place a file gives one. */
		{ "steps: [{at: 0x10, expect: {ts_temp: 68}}]\n", ":1:14:",
		    "at must be a whole number of minutes" },
		{ "start: {ts_temp: 0x10}\nsteps: [{at: 1, expect: {ts_temp: 68}}]\n",
		    ":1:18:", "ts_temp: \"0x10\"" },
		{ "steps: [{at: 1, set: {td_temp_out_: 0x10}, "
		    "expect: {ts_temp: 68}}]\n", ":1:37:", "td_temp_out_: \"0x10\"" },
		{ "steps: [{at: 1, expect: {td_temp_out_: 0x10}}]\n", ":1:40:",
		    "\"0x10\" is never what td_temp_out_ shows" },
		{ "steps: [{at: 1, expect: {td_temp_in_: {max: 0x10}}}]\n",
		    ":1:45:", "max must be a number" },
		{ "steps: [{at: 1, expect: {ts_temp: \" 68\"}}]\n", ":1:35:",
		    "is never what ts_temp shows" },
		{ "steps: [{at: -1, expect: {ts_temp: 68}}]\n", ":1:14:",
		    "at must be a whole number of minutes" },
		/* A refusal expected: one kelvo's check makes, in its words. */
		{ "start: {profile: modern}\n"
		    "steps: [{at: 1, set: {ts_temp_low: 70}, "
		    "refused: deadband}]\n",
		    ":2:50:", "kelvo would take this set" },
		{ "start: {profile: modern}\n"
		    "steps: [{at: 1, set: {ts_temp_low: 88}, "
		    "refused: below 60}]\n", ":2:50:",
		    "kelvo would refuse this set with \"ts_temp_low: 88 would "
		    "push ts_temp_high above 90" },
		{ "steps: [{at: 1, refused: x, expect: {ts_temp: 68}}]\n",
		    ":1:26:", "refused needs a set" },
		{ "start: {profile: modern}\n"
		    "steps: [{at: 1, set: {ts_temp_low: 88}, refused: [a]}]\n",
		    ":2:50:", "refused takes the words" },
		/* A refused set switches no profile: the next is classic. */
		{ "steps:\n"
		    "  - {at: 1, set: {profile: modern, ts_temp_low: 88}, "
		    "refused: above 90}\n"
		    "  - {at: 2, set: {ts_temp_low: 70}, "
		    "expect: {ts_temp: 68}}\n",
		    ":3:32:", "ts_temp_low: the classic profile has none" },
	};
	std::string before = w.document();
	std::string sim = kt::read_file(w.pps + "/kelvo/sim");
	int i = 0;

	for (auto &b : bad) {
		std::string f = w.file("bad" + std::to_string(i++) + ".yaml",
		    b.text);
		CtlRun r = w.ctl("play '" + good + "' '" + f + "'");
		EXPECT_EQ(r.status, 2) << b.text;
		EXPECT_EQ(r.out, "") << b.text;
		EXPECT_EQ(r.err.find(f + b.where), 0u) << b.text << r.err;
		EXPECT_NE(r.err.find(b.what), std::string::npos) << r.err;
	}
	CtlRun r = w.ctl("play '" + good + "' '" + w.dir / "missing.yaml" + "'");
	EXPECT_EQ(r.status, 2);
	EXPECT_NE(r.err.find("missing.yaml:1:1: cannot be read"),
	    std::string::npos) << r.err;
	EXPECT_EQ(w.ctl("play --fast " + good).status, 2);
	EXPECT_EQ(w.ctl("play").status, 2);
	EXPECT_EQ(w.ctl("record").status, 2);
	/* Not a batch taken: the sim object still counts the same. */
	EXPECT_EQ(kt::attribute(kt::read_file(w.pps + "/kelvo/sim"), "batch"),
	    kt::attribute(sim, "batch"));
	EXPECT_EQ(kt::element(w.document(), "ts_temp"),
	    kt::element(before, "ts_temp"));
}

/*
 * A set expected refused: the ticks before it taken all the same, kelvo's
 * refusal counted as a passed expectation, nothing of the set applied;
 * the JUnit report has the step.
 */
TEST(Scenario, ARefusedSetIsAnExpectationAndChangesNothing)
{
	World w;
	std::string f = w.file("refused.yaml",
	    "start: {profile: modern, td_time_: \"0000\", ts_mode: AUTO}\n"
	    "steps:\n"
	    "  - at: 60\n"
	    "    set: {ts_temp: 75, ts_temp_high: 61}\n"
	    "    refused: \"ts_temp_high: 61 would push ts_temp_low "
	    "below 60\"\n"
	    "    expect: {td_time: \"01:00a\", ts_temp: 68, ts_temp_high: 74}\n"
	    "  - at: 62\n"
	    "    set: {preset: away, ts_temp_low: 88}\n"
	    "    refused: \"above 90\"\n");
	CtlRun r = w.ctl("play --junit '" + w.dir / "r.xml" + "' '" + f + "'");
	EXPECT_EQ(r.status, 0) << r.out << r.err;
	EXPECT_NE(r.out.find("5 passed, 0 failed\n"), std::string::npos)
	    << r.out;
	EXPECT_EQ(kt::attribute(w.outputs(), "ts_preset"), "none");
	EXPECT_EQ(kt::attribute(w.outputs(), "td_time"), "01:02a");
	std::string report = kt::read_file(w.dir / "r.xml");
	EXPECT_NE(report.find("at minute 62 (line 7)"), std::string::npos)
	    << report;
	EXPECT_NE(report.find("failures=\"0\""), std::string::npos) << report;
}

/*
 * A number is read by one rule wherever a scenario gives one, the
 * control object's: "-0" is 0 in at, a set, an expected value and a
 * range alike, and an exponent a temperature may have an expected value
 * may have too.
 */
TEST(Scenario, MinusZeroIsZeroInEveryPlace)
{
	World w;
	std::string f = w.file("zero.yaml",
	    "start: {ts_temp: 68, td_temp_out_: 10}\n"
	    "steps:\n"
	    "  - at: -0\n"
	    "    set: {td_temp_out_: -0}\n"
	    "    expect:\n"
	    "      td_temp_out_: -0\n"
	    "      td_temp_out: {min: -0, max: -0.0}\n"
	    "      ts_temp: 6.8e1\n");
	CtlRun r = w.ctl("play '" + f + "'");
	EXPECT_EQ(r.status, 0) << r.out << r.err;
	EXPECT_EQ(r.out, "3 passed, 0 failed\n") << r.err;
}

/*
 * Files built to take play's memory: aliases of a long list of presses
 * (the file that reached 2.8 GB), aliases of aliases, a plain file of
 * megabytes.  Under a 64 MiB limit on the whole process each is refused
 * at its place, exit 2, nothing played; a scenario at the bounds plays.
 */
/*
 * The sanitizers reserve terabytes of address space at start, so under
 * them the files are played without the limit: the refusals still count,
 * and the plain build holds the memory to it.
 */
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define PLAY_MB	0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define PLAY_MB	0
#endif
#endif
#ifndef PLAY_MB
#define PLAY_MB	64
#endif

TEST(Scenario, FilesPastTheBoundsAreRefusedWithin64MiB)
{
	World w;
	std::string sim = kt::read_file(w.pps + "/kelvo/sim");
	auto presses = [](size_t bytes) {
		std::string y = "steps:\n  - {at: 0, press: &p [up";
		for (int i = 1; i < 1000; i++)
			y += ", up";
		y += "]}\n";
		while (y.size() < bytes)
			y += "  - {at: 0, press: *p}\n";
		return y;
	};
	std::string laughs = "name: x\nsteps: []\nx:\n  a0: &a0 [lol]\n";
	for (int i = 1; i < 10; i++) {
		laughs += "  a" + std::to_string(i) + ": &a" +
		    std::to_string(i) + " [*a" + std::to_string(i - 1);
		for (int j = 1; j < 10; j++)
			laughs += ", *a" + std::to_string(i - 1);
		laughs += "]\n";
	}
	std::string plain = "name: x\nsteps:\n";
	while (plain.size() < (4u << 20))
		plain += "  - {at: 0, expect: {ts_temp: 68}}\n";
	std::string names = "name: [a";
	for (int i = 1; i < 49900; i++)
		names += ",a";
	names += "]\nsteps: []\n";
	std::string steps = "steps:\n  - &s {at: 0}\n", cycle = "steps: &s [*s]\n";
	for (int i = 0; i < 10000; i++)
		steps += "  - *s\n";
	std::string many = "steps:\n  - {at: 0, press: [up";
	for (int i = 1; i < 9999; i++)
		many += ",up";
	many += "]}\n  - {at: 1, press: down}\n  - {at: 2, press: [up, up]}\n";
	const struct {
		std::string name, text, where, what;
	} bad[] = {
		{ "presses-1.46MB", presses(1460000), ":1:1:", "longer than 1 MiB" },
		{ "presses-0.9MB", presses(900000), ":51:20:", "more than 50000 "
		    "keys" },
		{ "laughs", laughs, ":9:", "more than 50000 keys, values" },
		{ "plain-4MB", plain, ":1:1:", "longer than 1 MiB" },
		{ "names", names, ":1:7:", "name must be a plain text" },
		{ "steps", steps, ":10002:5:", "more than 10000 steps" },
		{ "many", many, ":4:21:", "more than 10000 presses" },
		{ "cycle", cycle, ":1:12:", "an alias inside what its anchor" },
	};
	for (auto &b : bad) {
		std::string f = w.file(b.name + ".yaml", b.text);
		CtlRun r = w.ctl("play '" + f + "'", PLAY_MB);
		EXPECT_EQ(r.status, 2) << b.name << r.err;
		EXPECT_EQ(r.out, "") << b.name;
		EXPECT_EQ(r.err.find(f + b.where), 0u) << b.name << r.err;
		EXPECT_NE(r.err.find(b.what), std::string::npos) << r.err;
	}
	EXPECT_EQ(kt::attribute(kt::read_file(w.pps + "/kelvo/sim"), "batch"),
	    kt::attribute(sim, "batch"));

	/* Near the bounds: 45003 nodes of 5000 aliased steps, all played. */
	std::string full = "steps:\n  - &s {at: 0, expect: {ts_temp: {min: 0}}}\n";
	for (int i = 1; i < 5000; i++)
		full += "  - *s\n";
	CtlRun r = w.ctl("play '" + w.file("full.yaml", full) + "'", PLAY_MB);
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, "5000 passed, 0 failed\n");
}

/* Every character of text is one XML 1.0 allows, as UTF-8. */
bool
xml_chars(const std::string &text)
{
	for (size_t i = 0; i < text.size(); ) {
		unsigned char c = (unsigned char)text[i];
		int n = c < 0x80 ? 1 : c >= 0xc2 && c <= 0xdf ? 2 :
		    c >= 0xe0 && c <= 0xef ? 3 : c >= 0xf0 && c <= 0xf4 ? 4 : 0;
		if (n == 0 || i + n > text.size())
			return false;
		long cp = n == 1 ? c : c & (0x7f >> n);
		for (int k = 1; k < n; k++) {
			if ((text[i + k] & 0xc0) != 0x80)
				return false;
			cp = cp << 6 | (text[i + k] & 0x3f);
		}
		if ((n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000) ||
		    (cp < 0x20 && cp != 9 && cp != 10 && cp != 13) ||
		    (cp >= 0xd800 && cp <= 0xdfff) || cp == 0xfffe ||
		    cp == 0xffff || cp > 0x10ffff)
			return false;
		i += n;
	}
	return true;
}

/*
 * A name holding U+FFFE and bytes that are no UTF-8, in a file whose
 * name holds a control character and such a byte: the report parses,
 * and each of them is U+FFFD in it.
 */
TEST(Scenario, TheJUnitReportIsValidXmlWhateverTheScenarioSays)
{
	World w;
	const std::string fffd = "\xef\xbf\xbd";
	std::string f = w.file("odd\x01\xff.yaml",
	    "name: \"\\uFFFE \xc3\x28 \x80 \xc0\xaf \xed\xa0\x80 \xc3\xa9 ok\"\n"
	    "steps: [{at: 2, expect: {ts_mode: COOL}}]\n");
	std::string report = w.dir / "j.xml";
	CtlRun r = w.ctl("play --junit '" + report + "' '" + f + "'");
	EXPECT_EQ(r.status, 1) << r.err;
	EXPECT_NE(r.out.find("\n0 passed, 1 failed\n"), std::string::npos) << r.out;

	std::string x = kt::read_file(report);
	EXPECT_TRUE(xml_chars(x)) << x;
	TiXmlDocument doc(report.c_str());
	ASSERT_TRUE(doc.LoadFile()) << x;
	TiXmlElement *s = doc.RootElement()->FirstChildElement("testsuite");
	ASSERT_NE(s, nullptr);
	EXPECT_EQ(std::string(s->Attribute("name")), fffd + " " + fffd + "( " +
	    fffd + " " + fffd + fffd + " " + fffd + fffd + fffd + " \xc3\xa9 ok");
	EXPECT_EQ(std::string(s->Attribute("file")),
	    w.dir / ("odd" + fffd + fffd + ".yaml"));
	TiXmlElement *fl = s->FirstChildElement("testcase") ?
	    s->FirstChildElement("testcase")->FirstChildElement("failure") :
	    nullptr;
	ASSERT_NE(fl, nullptr);
	EXPECT_NE(std::string(fl->GetText()).find("odd" + fffd + fffd +
	    ".yaml:2: at minute 2: ts_mode is HEAT"), std::string::npos);
}

/* One string replaced by another throughout s. */
std::string
replaced(std::string s, const std::string &from, const std::string &to)
{
	for (size_t at = s.find(from); at != std::string::npos;
	    at = s.find(from, at + to.size()))
		s.replace(at, from.size(), to);
	return s;
}

/*
 * What kelvo-ctl can judge itself it refuses in the words typed, sending
 * nothing; a play kelvo does not take says so and counts nothing; a
 * report that cannot be written stops the play before it starts, and a
 * report's missing directories are made.
 */
TEST(Scenario, KelvoCtlSaysWhatHappened)
{
	World w;
	std::string sim = kt::read_file(w.pps + "/kelvo/sim");
	std::string good = std::string(SCENARIO_DIR) + "/plant-fault.yaml";
	const struct {
		const char *args, *err;
	} judged[] = {
		{ "step 0", "kelvo-ctl: step: ticks 1..10080\n" },
		{ "step 10081", "kelvo-ctl: step: ticks 1..10080\n" },
		{ "speed 0", "kelvo-ctl: speed: minutes 1..1440\n" },
		{ "speed 2000", "kelvo-ctl: speed: minutes 1..1440\n" },
		{ "speed 7 0", "kelvo-ctl: speed: ms 1..60000\n" },
	};
	for (auto &j : judged) {
		CtlRun r = w.ctl(j.args);
		EXPECT_EQ(r.status, 2) << j.args;
		EXPECT_EQ(r.err, j.err);
	}
	kt::write_file(w.dir / "plain", "x");
	for (const std::string &report : { w.dir / "plain/r.xml", w.dir.path })
	{
		CtlRun r = w.ctl("play --junit '" + report + "' '" + good + "'");
		EXPECT_EQ(r.status, 2) << report;
		EXPECT_EQ(r.out, "");
		EXPECT_EQ(r.err.find("kelvo-ctl: cannot write " + report + ": "),
		    0u) << r.err;
	}
	EXPECT_EQ(kt::attribute(kt::read_file(w.pps + "/kelvo/sim"), "batch"),
	    kt::attribute(sim, "batch"));

	CtlRun r = w.ctl("play --junit '" + w.dir / "a/b/r.xml" + "' '" + good +
	    "'");
	EXPECT_EQ(r.status, 0) << r.err;
	TiXmlDocument doc((w.dir / "a/b/r.xml").c_str());
	EXPECT_TRUE(doc.LoadFile());

	/* A kelvo that takes nothing: not running, and nothing counted. */
	ASSERT_TRUE(kt::stop_process(w.k->pid));
	r = w.ctl("play --junit '" + w.dir / "none.xml" + "' '" + good + "'");
	kill(w.k->pid, SIGCONT);
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.err.find("kelvo-ctl: kelvo is not running"), 0u) << r.err;
	EXPECT_FALSE(kt::exists(w.dir / "none.xml"));
}

/*
 * The README's CI example, as written but for the programs' paths, a
 * port of the system's choosing and a stand-in for the browser test, in
 * a fresh directory with scenarios/ and no reports/.
 */
TEST(Scenario, TheReadmeCiExampleRuns)
{
	kt::TempDir d;
	std::string readme = kt::read_file(README_FILE);
	size_t end = readme.find("kelvo-ctl play --junit reports/");
	ASSERT_NE(end, std::string::npos);
	size_t start = readme.rfind("```sh\n", end);
	ASSERT_NE(start, std::string::npos);
	std::string script = readme.substr(start + 6,
	    readme.find("```", end) - start - 6);
	script = replaced(script, "kelvo-web --listen 127.0.0.1:8080",
	    KELVO_WEB_BIN " --listen 127.0.0.1:0");
	script = replaced(script, "kelvo-ctl ", KELVO_CTL_BIN " ");
	script = replaced(script, "PPS_ROOT=$T/pps kelvo ",
	    "PPS_ROOT=$T/pps " KELVO_BIN " ");
	script = replaced(script, "npx playwright test --reporter=junit "
	    "tests/heater-fails.spec.ts", "echo '<testsuites/>'");
	kt::write_file(d / "ci.sh", script);
	mkdir((d / "checkout").c_str(), 0755);
	ASSERT_EQ(symlink(SCENARIO_DIR, (d / "checkout/scenarios").c_str()), 0);
	mkdir((d / "t").c_str(), 0755);
	std::string cmd = "cd '" + d / "checkout" + "' && T='" + d / "t" +
	    "' sh '" + d / "ci.sh" + "' >'" + d / "out" + "' 2>&1";
	int st = system(cmd.c_str());
	EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << script <<
	    kt::read_file(d / "out");
	for (const char *report : { "kelvo-scenarios.xml", "cold-night.xml",
	    "page.xml" }) {
		TiXmlDocument doc((d / "checkout/reports/" + report).c_str());
		ASSERT_TRUE(doc.LoadFile()) << report;
		if (strcmp(report, "page.xml") != 0) {
			EXPECT_STREQ(doc.RootElement()->Attribute("failures"),
			    "0");
		}
	}
}

TEST(Scenario, WithoutKelvoPlayAndRecordExit1)
{
	kt::TempDir d;
	std::string cmd = "PPS_ROOT='" + d.path + "' " KELVO_CTL_BIN " play "
	    SCENARIO_DIR "/plant-fault.yaml 2>/dev/null";
	int st = system(cmd.c_str());
	EXPECT_EQ(WEXITSTATUS(st), 1);
	/* Said so, and no count of nothing played. */
	cmd = "PPS_ROOT='" + d.path + "' " KELVO_CTL_BIN " play --junit '" +
	    d / "r/j.xml" + "' " SCENARIO_DIR "/plant-fault.yaml >'" +
	    d / "out" + "' 2>'" + d / "err" + "'";
	st = system(cmd.c_str());
	EXPECT_EQ(WEXITSTATUS(st), 1);
	EXPECT_EQ(kt::read_file(d / "out"), "");
	EXPECT_NE(kt::read_file(d / "err").find("kelvo is not running"),
	    std::string::npos);
	EXPECT_FALSE(kt::exists(d / "r/j.xml"));
	cmd = "PPS_ROOT='" + d.path + "' " KELVO_CTL_BIN " record '" +
	    d / "x.yaml" + "' 2>/dev/null";
	st = system(cmd.c_str());
	EXPECT_EQ(WEXITSTATUS(st), 1);
	EXPECT_FALSE(kt::exists(d / "x.yaml"));
}

/* kelvo-ctl with args under w's root, its output into out and err. */
pid_t
spawn_ctl(World &w, const std::vector<std::string> &args,
    const std::string &out, const std::string &err)
{
	pid_t pid = fork();
	if (pid == 0) {
		std::vector<char *> argv;
		argv.push_back((char *)KELVO_CTL_BIN);
		for (auto &a : args)
			argv.push_back((char *)a.c_str());
		argv.push_back(nullptr);
		setenv("PPS_ROOT", w.pps.c_str(), 1);
		int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
		int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
		dup2(o, 1);
		dup2(e, 2);
		execv(KELVO_CTL_BIN, argv.data());
		_exit(127);
	}
	return pid;
}

int
exit_of(pid_t pid)
{
	int st;
	if (waitpid(pid, &st, 0) != pid)
		return -1;
	return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

/*
 * As it was found: a recording of a running kelvo while every shipped
 * scenario plays, ended by a signal part-way through.  Its playback
 * passes, or the recording said which steps it could not place exactly;
 * SIGHUP and SIGTERM end it as SIGINT does.
 */
TEST(Scenario, ARecordingDuringAPlayPlaysBackOrSaysWhere)
{
	World w;
	std::vector<std::string> play = { "play" };
	for (auto &f : shipped())
		play.push_back(f);
	const struct {
		int batches, sig;
	} runs[] = { { 4, SIGINT }, { 12, SIGHUP }, { 25, SIGTERM },
	    { 0, SIGINT } };	/* 0: once the play has ended */

	for (auto &run : runs) {
		std::string rec = w.dir / "rec.yaml", err = w.dir / "rec.err";
		auto batch = [&] {
			return atol(kt::attribute(kt::read_file(w.pps +
			    "/kelvo/sim"), "batch").c_str());
		};
		ASSERT_EQ(w.ctl("reset").status, 0);
		long first = batch();
		/* The last run's "recording into" is not this one's. */
		unlink(err.c_str());
		pid_t r = spawn_ctl(w, { "record", rec }, w.dir / "rec.out", err);
		ASSERT_TRUE(kt::wait_for([&] {
			return kt::read_file(err).find("recording into") !=
			    std::string::npos;
		}));
		pid_t p = spawn_ctl(w, play, w.dir / "play.out", w.dir /
		    "play.err");
		int played = -1;
		if (run.batches == 0)
			played = exit_of(p);
		else
			EXPECT_TRUE(kt::wait_for([&] {
				return batch() >= first + run.batches;
			})) << run.batches;
		kill(r, run.sig);
		EXPECT_EQ(exit_of(r), 0) << kt::read_file(err);
		if (played < 0)
			played = exit_of(p);
		EXPECT_EQ(played, 0) << kt::read_file(w.dir / "play.out");

		ASSERT_EQ(w.ctl("reset").status, 0);
		CtlRun back = w.ctl("play '" + rec + "'");
		std::string said = kt::read_file(err);
		EXPECT_EQ(said.find("cannot be played back"), std::string::npos)
		    << said;
		EXPECT_NE(back.status, 2) << back.err;
		if (back.status != 0) {
			EXPECT_NE(said.find("may not play back exactly"),
			    std::string::npos) << run.batches << "\n" << back.out
			    << said << kt::read_file(rec);
		}
	}
}

/*
 * Stopped right after kelvo answered a batch, before the recorder may
 * have read the answer: the recording ends with the batch (its fault
 * too), not with its result alone.
 */
TEST(Scenario, ARecordingStoppedRightAfterABatchEndsWithIt)
{
	World w;
	std::string rec = w.dir / "rec.yaml", err = w.dir / "rec.err";

	for (const char *b : { "fault=sensor", "step=5 fault=sensor",
	    "td_time_=0700 fault=plant", "step=30 ts_temp=75 fault=sensor",
	    "reset=defaults fault=sensor state=paused" }) {
		ASSERT_EQ(w.ctl("set reset=defaults state=paused").status, 0);
		unlink(err.c_str());
		pid_t r = spawn_ctl(w, { "record", rec }, w.dir / "rec.out",
		    err);
		ASSERT_TRUE(kt::wait_for([&] {
			return kt::read_file(err).find("recording into") !=
			    std::string::npos;
		}));
		ASSERT_EQ(w.ctl(std::string("set ") + b).status, 0);
		kill(r, SIGINT);
		EXPECT_EQ(exit_of(r), 0) << kt::read_file(err);

		ASSERT_EQ(w.ctl("reset").status, 0);
		CtlRun back = w.ctl("play '" + rec + "'");
		std::string said = kt::read_file(err);
		if (back.status != 0) {
			EXPECT_NE(said.find("may not play back exactly"),
			    std::string::npos) << b << "\n" << back.out << said
			    << kt::read_file(rec);
		}
	}
}

/*
 * Steps that change only the faults or the speed are recorded with what
 * changed, settings with the plant and the clock, and the playback of a
 * paused kelvo's session passes.
 */
TEST(Scenario, StepsOfFaultsAndSpeedAloneRecordAndPlayBack)
{
	World w;
	std::string rec = w.dir / "rec.yaml", err = w.dir / "rec.err";
	ASSERT_EQ(w.ctl("set td_time_=0600 state=paused").status, 0);
	pid_t r = spawn_ctl(w, { "record", rec }, w.dir / "rec.out", err);
	ASSERT_TRUE(kt::wait_for([&] {
		return kt::read_file(err).find("recording into") !=
		    std::string::npos;
	}));
	for (const char *c : { "fault plant", "step 5", "fault none",
	    "step 5", "speed 3", "step 4", "set ts_mode=COOL", "step 2",
	    "fault sensor", "step 3", "fault none" })
		ASSERT_EQ(w.ctl(c).status, 0) << c;
	kill(r, SIGINT);
	EXPECT_EQ(exit_of(r), 0) << kt::read_file(err);

	std::string y = kt::read_file(rec);
	int steps = 0;
	for (size_t at = y.find("\n  - at: "); at != std::string::npos;
	    at = y.find("\n  - at: ", at + 1)) {
		size_t next = y.find("\n  - at: ", at + 1);
		std::string step = y.substr(at, next == std::string::npos ?
		    std::string::npos : next - at);
		if (step.find("\n    set:") == std::string::npos)
			continue;
		steps++;
		if (step.find("ts_mode: ") != std::string::npos) {
			EXPECT_NE(step.find("td_time_: "), std::string::npos)
			    << step;
			EXPECT_NE(step.find("td_sys: "), std::string::npos) << step;
		}
	}
	EXPECT_EQ(steps, 6) << y;
	ASSERT_EQ(w.ctl("reset").status, 0);
	CtlRun back = w.ctl("play '" + rec + "'");
	EXPECT_EQ(back.status, 0) << back.out << back.err << y;
}

/* Presses written by hand, a fault and a speed change, recorded. */
TEST(Scenario, ARecordedSessionPlaysBackAndPasses)
{
	World w;
	std::string rec = w.dir / "session.yaml";
	std::string inputs = w.pps + "/kelvo/inputs";
	ASSERT_EQ(w.ctl("set ts_temp=70 td_time_=2300 state=paused").status, 0);

	pid_t pid = fork();
	if (pid == 0) {
		setenv("PPS_ROOT", w.pps.c_str(), 1);
		int fd = open((w.dir / "rec.err").c_str(),
		    O_WRONLY | O_CREAT | O_TRUNC, 0644);
		dup2(fd, 2);
		execl(KELVO_CTL_BIN, KELVO_CTL_BIN, "record", rec.c_str(),
		    (char *)nullptr);
		_exit(127);
	}
	ASSERT_TRUE(kt::wait_for([&] {
		return kt::read_file(w.dir / "rec.err").find("recording") !=
		    std::string::npos;
	}));
	usleep(200000);
	auto press = [&](const char *text, const char *name, const char *want) {
		kt::write_file(w.dir / "in.tmp", text);
		rename((w.dir / "in.tmp").c_str(), inputs.c_str());
		EXPECT_TRUE(kt::wait_for([&] {
			return kt::attribute(w.outputs(), name) == want;
		})) << name;
		usleep(100000);
	};
	press("@inputs\nbtn1::\nbtn2::\nbtn3::event\nbtn4::\n", "ts_temp", "71");
	ASSERT_EQ(w.ctl("step 30").status, 0);
	press("@inputs\nbtn1::event\nbtn2::\nbtn3::\nbtn4::\n", "ts_mode",
	    "COOL");
	ASSERT_EQ(w.ctl("fault plant").status, 0);
	ASSERT_EQ(w.ctl("speed 7").status, 0);
	ASSERT_EQ(w.ctl("step 50").status, 0);
	ASSERT_EQ(w.ctl("set td_temp_in_=85.5 fault=").status, 0);
	press("@inputs\nbtn1::\nbtn2::event\nbtn3::\nbtn4::\n", "ts_fan", "ON");
	ASSERT_EQ(w.ctl("step 20").status, 0);
	usleep(200000);
	std::string end = w.outputs();
	kill(pid, SIGINT);
	int st;
	ASSERT_EQ(waitpid(pid, &st, 0), pid);
	ASSERT_TRUE(WIFEXITED(st));
	EXPECT_EQ(WEXITSTATUS(st), 0) << kt::read_file(w.dir / "rec.err");

	std::string y = kt::read_file(rec);
	EXPECT_NE(y.find("fault: \"plant\""), std::string::npos) << y;
	EXPECT_NE(y.find("pm_minutes: 7"), std::string::npos) << y;
	EXPECT_NE(y.find("td_time_: \"2300\""), std::string::npos) << y;
	/* 30 ticks of 2 and 50 + 20 of 7 minutes. */
	EXPECT_NE(y.find("  - at: 550\n    expect:"), std::string::npos) << y;

	/* Away from where it ended, then back by the recording. */
	ASSERT_EQ(w.ctl("reset").status, 0);
	CtlRun r = w.ctl("play '" + rec + "'");
	EXPECT_EQ(r.status, 0) << r.out << r.err << y;
	EXPECT_EQ(r.out, "10 passed, 0 failed\n");
	for (int a = 0; a < 10; a++) {
		static const char *names[] = { "ts_mode", "ts_fan", "ts_temp",
		    "td_temp_in_", "td_temp_in", "td_temp_out_", "td_temp_out",
		    "td_sys", "td_time_", "td_time" };
		EXPECT_EQ(kt::attribute(w.outputs(), names[a]),
		    kt::attribute(end, names[a])) << names[a];
	}
}

/* A modern kelvo recorded: its start, a preset, a band moved by a press. */
TEST(Scenario, AModernSessionRecordsAndPlaysBack)
{
	World w;
	std::string rec = w.dir / "modern.yaml", err = w.dir / "rec.err";
	std::string inputs = w.pps + "/kelvo/inputs";
	ASSERT_EQ(w.ctl("set profile=modern ts_mode=auto ts_temp_high=80 "
	    "td_humidity_=55 state=paused").status, 0);

	pid_t r = spawn_ctl(w, { "record", rec }, w.dir / "rec.out", err);
	ASSERT_TRUE(kt::wait_for([&] {
		return kt::read_file(err).find("recording into") !=
		    std::string::npos;
	}));
	usleep(200000);
	ASSERT_EQ(w.ctl("step 30").status, 0);
	kt::write_file(w.dir / "in.tmp",
	    "@inputs\nbtn1::\nbtn2::\nbtn3::event\nbtn4::\n");
	rename((w.dir / "in.tmp").c_str(), inputs.c_str());
	EXPECT_TRUE(kt::wait_for([&] {
		return kt::attribute(w.outputs(), "ts_temp_low") == "69";
	}));
	usleep(100000);
	ASSERT_EQ(w.ctl("set preset=sleep").status, 0);
	ASSERT_EQ(w.ctl("step 40").status, 0);
	usleep(200000);
	std::string end = w.outputs();
	kill(r, SIGINT);
	EXPECT_EQ(exit_of(r), 0) << kt::read_file(err);

	std::string y = kt::read_file(rec);
	EXPECT_NE(y.find("profile: \"modern\""), std::string::npos) << y;
	EXPECT_NE(y.find("ts_temp_high: 80"), std::string::npos) << y;
	EXPECT_NE(y.find("td_humidity_: "), std::string::npos) << y;
	ASSERT_EQ(w.ctl("reset").status, 0);
	CtlRun back = w.ctl("play '" + rec + "'");
	EXPECT_EQ(back.status, 0) << back.out << back.err << y;
	for (const char *name : { "ts_mode", "ts_temp", "ts_temp_low",
	    "ts_temp_high", "ts_preset", "td_call", "td_humidity_",
	    "td_temp_in_" })
		EXPECT_EQ(kt::attribute(w.outputs(), name),
		    kt::attribute(end, name)) << name;
}
