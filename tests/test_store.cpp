/*
 * The state store: the default document, the saved form, the value
 * operations and their failures, and documents people broke by hand.
 */
#include <gtest/gtest.h>

#include <math.h>
#include <limits.h>

#include "dbXML.h"
#include "kelvo.h"
#include "testutil.h"

namespace {

const char saved_default[] =
    "<?xml version=\"1.0\" ?>\n"
    "<thermodynData>\n"
    "    <inputs>\n"
    "        <ts_mode>HEAT</ts_mode>\n"
    "        <ts_fan>AUTO</ts_fan>\n"
    "        <ts_temp>68</ts_temp>\n"
    "    </inputs>\n"
    "    <outputs>\n"
    "        <td_temp_in_>66.0</td_temp_in_>\n"
    "        <td_temp_in>66</td_temp_in>\n"
    "        <td_temp_out_>60.0</td_temp_out_>\n"
    "        <td_temp_out>60</td_temp_out>\n"
    "        <td_sys>OFF</td_sys>\n"
    "        <td_time_>1700</td_time_>\n"
    "        <td_time>05:00p</td_time>\n"
    "    </outputs>\n"
    "    <parameters>\n"
    "        <pm_interval>200</pm_interval>\n"
    "        <pm_minutes>2</pm_minutes>\n"
    "    </parameters>\n"
    "</thermodynData>\n";

class Store : public ::testing::Test {
protected:
	kt::TempDir dir;
	std::string path;

	void SetUp() override {
		path = dir / "kelvoweb.xml";
		snprintf(xml_fname, sizeof(xml_fname), "%s", path.c_str());
		Verbose = 0;
	}
	void TearDown() override { Verbose = 0; }

	/* One store cycle running f, as every thread does it. */
	template <class F> void cycle(F f, bool init = false) {
		db = new dbXML(xml_fname, init);
		f(db);
		delete db;
	}
	std::string text() { return kt::read_file(path); }
	void expect_defaults() {
		cycle([](dbXML *d) {
			EXPECT_STREQ(d->getValStr("ts_mode"), "HEAT");
			EXPECT_STREQ(d->getValStr("ts_fan"), "AUTO");
			EXPECT_EQ(d->getValInt("ts_temp"), 68);
			EXPECT_FLOAT_EQ(d->getValFp("td_temp_in_"), 66.0f);
			EXPECT_STREQ(d->getValStr("td_time"), "05:00p");
			EXPECT_EQ(d->getValInt("pm_interval"), 200);
		});
	}
	/* Traces of one store cycle running f, at trace level 1. */
	template <class F> std::string traced(F f) {
		Verbose = 1;
		::testing::internal::CaptureStdout();
		cycle(f);
		std::string out = ::testing::internal::GetCapturedStdout();
		Verbose = 0;
		return out;
	}
};

TEST_F(Store, DefaultDocumentIsTheTwentyFiveLineText)
{
	std::string d = db_default_text;
	EXPECT_EQ(d.size(), 480u);
	EXPECT_EQ(std::count(d.begin(), d.end(), '\n'), 25);
	EXPECT_EQ(d.rfind("<?xml version=\"1.0\" ?>\n<thermodynData>\n\n\t<inputs>\n", 0), 0u);
}

TEST_F(Store, FirstCycleWritesDefaultsAndSavesTheLibraryLayout)
{
	ASSERT_FALSE(kt::exists(path));
	expect_defaults();
	EXPECT_EQ(text(), saved_default);
}

TEST_F(Store, InitReplacesWhateverTheFileHeld)
{
	cycle([](dbXML *d) {
		d->setValStr("ts_mode", "COOL");
		d->setValInt("ts_temp", 75);
	});
	cycle([](dbXML *d) {
		EXPECT_STREQ(d->getValStr("ts_mode"), "HEAT");
		EXPECT_EQ(d->getValInt("ts_temp"), 68);
	}, true);
}

TEST_F(Store, SavedFormLoadsTheSameValues)
{
	kt::write_file(path, db_default_text);
	expect_defaults();
	EXPECT_EQ(text(), saved_default);
	expect_defaults();
	EXPECT_EQ(text(), saved_default);
}

TEST_F(Store, FloatsKeepTheirBlanksOnlyUntilTheNextLoad)
{
	cycle([](dbXML *d) {
		EXPECT_EQ(d->setValFp("td_temp_in_", 66.0f), 1);
		EXPECT_STREQ(d->getValStr("td_temp_in_"), "  66.000");
		EXPECT_FLOAT_EQ(d->getValFp("td_temp_in_"), 66.0f);
		d->setValFp("td_temp_out_", -5.25f);
		EXPECT_STREQ(d->getValStr("td_temp_out_"), "  -5.250");
	});
	EXPECT_NE(text().find("<td_temp_in_>  66.000</td_temp_in_>"),
	    std::string::npos);
	cycle([](dbXML *d) {
		EXPECT_STREQ(d->getValStr("td_temp_in_"), "66.000");
		EXPECT_STREQ(d->getValStr("td_temp_out_"), "-5.250");
	});
}

TEST_F(Store, IntegersAndWideFloats)
{
	cycle([](dbXML *d) {
		d->setValInt("ts_temp", -12);
		d->setValFp("td_temp_in_", 1234.5f);
		d->setValFp("td_temp_out_", 12345.678f);
	});
	cycle([](dbXML *d) {
		EXPECT_STREQ(d->getValStr("ts_temp"), "-12");
		EXPECT_STREQ(d->getValStr("td_temp_in_"), "1234.500");
		EXPECT_EQ(strlen(d->getValStr("td_temp_out_")), 9u);
	});
}

TEST_F(Store, MissingElementsFailWithTheirTraceAndChangeNothing)
{
	std::string out = traced([](dbXML *d) {
		EXPECT_EQ(d->getValInt("ts_nothing"), -1);
		EXPECT_EQ(d->getValStr("td_nothing"), nullptr);
		EXPECT_EQ(d->getValFp("pm_nothing"), 0.0f);
		EXPECT_EQ(d->setValStr("ts_nothing", "x"), 0);
		EXPECT_EQ(d->setValInt("td_nothing", 3), 0);
		EXPECT_EQ(d->setValFp("pm_nothing", 1.0f), 0);
	});
	EXPECT_EQ(out,
	    "getValInt exception ts_nothing\n"
	    "getValStr exception td_nothing\n"
	    "getValFp exception pm_nothing\n"
	    "setValStr exception ts_nothing\n"
	    "setValInt exception td_nothing\n"
	    "setValFp exception pm_nothing\n");
	EXPECT_EQ(text(), saved_default);
}

TEST_F(Store, NamesWithoutAKnownPrefixFailSilently)
{
	std::string out = traced([](dbXML *d) {
		EXPECT_EQ(d->getValStr("TS_mode"), nullptr);
		EXPECT_EQ(d->getValStr("mode"), nullptr);
		EXPECT_EQ(d->getValInt(""), -1);
		EXPECT_EQ(d->setValStr("xx_mode", "COOL"), 0);
	});
	EXPECT_EQ(out, "");
}

TEST_F(Store, AReadOnlyCycleStillRewritesTheFile)
{
	struct stat a, b;
	expect_defaults();
	ASSERT_EQ(stat(path.c_str(), &a), 0);
	cycle([](dbXML *) {});
	ASSERT_EQ(stat(path.c_str(), &b), 0);
	/* Each save is a new file renamed into place. */
	EXPECT_NE(a.st_ino, b.st_ino);
}

/* Open descriptors of ours on a copy of the document that is gone. */
static int
replaced_documents_open(const std::string &path)
{
	char link[PATH_MAX], fd[64];
	int n = 0;

	for (int i = 0; i < 1024; i++) {
		snprintf(fd, sizeof(fd), "/proc/self/fd/%d", i);
		ssize_t len = readlink(fd, link, sizeof(link) - 1);
		if (len < 0)
			continue;
		link[len] = '\0';
		if (std::string(link) == path + " (deleted)")
			n++;
	}
	return n;
}

/* A thread holds at most the one document its last cycle replaced. */
TEST_F(Store, ACycleHoldsOnlyTheDocumentItReplacedUntilReleased)
{
	expect_defaults();
	db_release();
	EXPECT_EQ(replaced_documents_open(path), 0);
	for (int t = 60; t < 90; t++)
		cycle([t](dbXML *d) { d->setValInt("ts_temp", t); });
	EXPECT_EQ(replaced_documents_open(path), 1);
	db_release();
	EXPECT_EQ(replaced_documents_open(path), 0);
	EXPECT_EQ(kt::element(text(), "ts_temp"), "89");
}

TEST_F(Store, SavingKeepsPermissionsAndReplacesAStaleTemporaryFile)
{
	expect_defaults();
	chmod(path.c_str(), 0640);
	kt::write_file(path + ".tmp", "half a docu");
	chmod((path + ".tmp").c_str(), 0777);
	cycle([](dbXML *d) { d->setValInt("ts_temp", 71); });
	EXPECT_EQ(kt::mode_of(path), 0640u);
	EXPECT_FALSE(kt::exists(path + ".tmp"));
	EXPECT_EQ(kt::element(text(), "ts_temp"), "71");
}

/* Files a crash or a careless edit can leave: each resets to defaults. */
TEST_F(Store, BrokenDocumentsResetToDefaults)
{
	std::string decl = "<?xml version=\"1.0\" ?>\n";
	std::string saved = saved_default;
	const std::vector<std::string> broken = {
		"",
		"   \n\t \n",
		"<?xml vers",
		decl,
		saved.substr(0, 200),
		saved.substr(0, saved.size() - 5),
		decl + "<otherRoot><inputs/><outputs/><parameters/></otherRoot>\n",
		decl + "<thermodynData><inputs/><outputs/></thermodynData>\n",
		decl + "<!-- thermodynData -->\n",
		std::string("\x00\xff\xfe<<>>&&\x01", 10),
		"<thermodynData><inputs><ts_mode>COOL</ts_mode></inputs>",
	};
	for (const auto &b : broken) {
		SCOPED_TRACE(b);
		kt::write_file(path, b);
		expect_defaults();
		EXPECT_EQ(text(), saved_default);
	}
}

TEST_F(Store, ValueElementsWithoutTextActAsMissing)
{
	kt::write_file(path, "<?xml version=\"1.0\" ?>\n<thermodynData>"
	    "<inputs><ts_mode></ts_mode><ts_fan><!--c-->ON</ts_fan>"
	    "<ts_temp><x>1</x></ts_temp></inputs><outputs/><parameters/>"
	    "</thermodynData>\n");
	std::string out = traced([](dbXML *d) {
		EXPECT_EQ(d->getValStr("ts_mode"), nullptr);
		EXPECT_EQ(d->getValStr("ts_fan"), nullptr);
		EXPECT_EQ(d->getValInt("ts_temp"), -1);
		EXPECT_EQ(d->setValStr("ts_mode", "OFF"), 0);
	});
	EXPECT_EQ(out, "getValStr exception ts_mode\n"
	    "getValStr exception ts_fan\n"
	    "getValInt exception ts_temp\n"
	    "setValStr exception ts_mode\n");
	/* Kept as the user left it: nothing is added. */
	EXPECT_NE(text().find("<ts_mode />"), std::string::npos);
}

TEST_F(Store, HostileNumbersReadWithoutOverflow)
{
	kt::write_file(path, db_default_text);
	cycle([](dbXML *d) {
		d->setValStr("ts_temp", "99999999999999999999");
		d->setValStr("pm_minutes", "-99999999999999999999");
		d->setValStr("td_temp_in_", "nan");
		d->setValStr("td_temp_out_", "1e99");
		d->setValStr("pm_interval", "abc");
		d->setValStr("td_time_", "  0042xyz");
	});
	cycle([](dbXML *d) {
		EXPECT_EQ(d->getValInt("ts_temp"), INT_MAX);
		EXPECT_EQ(d->getValInt("pm_minutes"), INT_MIN);
		EXPECT_TRUE(isnan(d->getValFp("td_temp_in_")));
		EXPECT_TRUE(isinf(d->getValFp("td_temp_out_")));
		EXPECT_EQ(d->getValInt("pm_interval"), 0);
		EXPECT_EQ(d->getValFp("pm_interval"), 0.0f);
		EXPECT_EQ(d->getValInt("td_time_"), 42);
	});
}

TEST_F(Store, TextsThatWouldBreakTheDocumentAreRefused)
{
	cycle([](dbXML *d) {
		EXPECT_EQ(d->setValStr("ts_mode", ""), 0);
		EXPECT_EQ(d->setValStr("ts_fan", " \t\n"), 0);
		EXPECT_EQ(d->setValFp("td_temp_in_", NAN), 0);
		EXPECT_EQ(d->setValFp("td_temp_in_", INFINITY), 0);
		EXPECT_EQ(d->setValFp("td_temp_out_", 1e30f), 0);
		EXPECT_EQ(d->setValFp("td_temp_out_", -1e14f), 0);
		/* Reserved characters go out as entities and come back. */
		EXPECT_EQ(d->setValStr("td_time", "<a&b>\""), 1);
	});
	cycle([](dbXML *d) {
		EXPECT_STREQ(d->getValStr("ts_mode"), "HEAT");
		EXPECT_STREQ(d->getValStr("ts_fan"), "AUTO");
		EXPECT_STREQ(d->getValStr("td_time"), "<a&b>\"");
		EXPECT_STREQ(d->getValStr("td_temp_in_"), "66.0");
	});
}

TEST_F(Store, AnUnwritableDocumentKeepsWorkingFromMemoryAndSaysSoOnce)
{
	/* A directory where the temporary file goes makes every save fail,
	 * whoever runs the test (root ignores permission bits). */
	expect_defaults();
	cycle([](dbXML *d) { d->setValInt("ts_temp", 72); });
	ASSERT_EQ(mkdir((path + ".tmp").c_str(), 0700), 0);
	std::string out = traced([](dbXML *d) {
		d->setValInt("ts_temp", 80);
	});
	out += traced([](dbXML *d) { EXPECT_EQ(d->getValInt("ts_temp"), 72); });
	EXPECT_NE(out.find("dbXML::cannot save"), std::string::npos);
	EXPECT_EQ(out.find("dbXML::cannot save"), out.rfind("dbXML::cannot save"));
	EXPECT_EQ(kt::element(text(), "ts_temp"), "72");

	rmdir((path + ".tmp").c_str());
	out = traced([](dbXML *d) { d->setValInt("ts_temp", 81); });
	EXPECT_NE(out.find("dbXML::saving"), std::string::npos);
	EXPECT_EQ(kt::element(text(), "ts_temp"), "81");
}

TEST_F(Store, NoDocumentAndNoWayToWriteOneStillGivesEveryValue)
{
	snprintf(xml_fname, sizeof(xml_fname), "%s",
	    (dir / "missing/kelvoweb.xml").c_str());
	std::string out = traced([](dbXML *d) {
		EXPECT_STREQ(d->getValStr("ts_mode"), "HEAT");
		EXPECT_EQ(d->getValInt("pm_minutes"), 2);
	});
	EXPECT_NE(out.find("working from the defaults"), std::string::npos);
	EXPECT_EQ(out.find("exception"), std::string::npos);
}

} // namespace
