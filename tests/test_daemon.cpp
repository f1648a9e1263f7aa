/*
 * The kelvo binary, run in a scratch root with its own PPS directory: the
 * command line, start-up and restart, presses reaching the document and
 * the published text at once, hostile inputs, kills at any instant, and
 * stopping.
 */
#include <gtest/gtest.h>

#include <dirent.h>

#include <random>

#include "testutil.h"

namespace {

const char help_text[] =
    "\n\nUsage: kelvo\n\n"
    "\tusage [-v[v]] [-i] [-p <classic | modern>] "
    "[-m <heat | off | cool | auto>] [-t <temp>] "
    "[-f <on | auto> theRootDir\n\n"
    "\t\t-v verbose\n"
    "\t\t-vv extra verbose - constant simulation output\n"
    "\t\t-i default initial conditions (deletes xml file)\n"
    "\t\t-p set thermostat profile (modern: auto mode, band, presets, "
    "humidity)\n"
    "\t\t-m set thermostat mode setting (auto with -p modern)\n"
    "\t\t-t set thermostat temp setting\n"
    "\t\t-f set thermostat fan setting\n"
    "\n";

TEST(CommandLine, BadOptionsPrintTheHelpAndExit255)
{
	kt::TempDir root;
	const std::vector<std::vector<std::string>> bad = {
		{}, { "-v" }, { "-x", root.path }, { "-m", "heat", root.path },
		{ "-m", "WARM", root.path }, { "-f", "on", root.path },
		{ "-f", "OFF", root.path }, { root.path, "-t" }, { "-t" },
	};
	for (auto &args : bad) {
		std::string out, err;
		EXPECT_EQ(kt::run_kelvo(args, &out, &err), 255) << args.size();
		EXPECT_EQ(out, help_text);
	}
	std::string out, err;
	kt::run_kelvo({ "-q", "-m", "x", root.path }, &out, &err);
	EXPECT_NE(err.find("invalid option"), std::string::npos) << err;
}

TEST(CommandLine, AnUnusableRootExits254)
{
	std::string out, err;
	EXPECT_EQ(kt::run_kelvo({ "/no/such/dir" }, &out, &err), 254);
	EXPECT_EQ(out, help_text);
	/* Which directory, and why, before the help text. */
	EXPECT_EQ(err, "kelvo: root directory /no/such/dir: No such file or "
	    "directory\n");
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KT_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KT_SANITIZED 1
#endif
#endif

/*
 * Threads that cannot be made: each thread's stack is as big as
 * RLIMIT_STACK says, and an address-space limit lets just so many of
 * them in (root ignores a thread count limit, not this one).  A stack
 * of 1 TiB fits nowhere; with 512 MiB stacks, 808 MiB of address space
 * holds kelvo's own 40-odd and one stack, 1320 MiB two.  The sanitizers
 * need terabytes of address space of their own, so they sit this out.
 */
TEST(DaemonStart, AThreadThatCannotStartIsSaidAndStopsKelvo)
{
#ifdef KT_SANITIZED
	GTEST_SKIP() << "address-space limits and sanitizers do not mix";
#endif
	const struct {
		const char *limits, *what;
	} cases[] = {
		{ "--stack=1099511627776", "the simulation" },
		{ "--stack=536870912 --as=847249408", "the publisher" },
		{ "--stack=536870912 --as=1384120320", "the input reader" },
	};
	for (const auto &c : cases) {
		kt::TempDir root;
		std::string cmd = std::string("PPS_ROOT='") + root.path +
		    "' timeout 20 prlimit " + c.limits + " '" KELVO_BIN "' -v '" +
		    root.path + "' 2>'" + (root / "err") + "' >/dev/null";
		int st = system(cmd.c_str());
		ASSERT_TRUE(WIFEXITED(st)) << c.what;
		EXPECT_EQ(WEXITSTATUS(st), 1) << c.what;
		EXPECT_EQ(kt::read_file(root / "err"), std::string("kelvo: "
		    "cannot start ") + c.what + ": Resource temporarily "
		    "unavailable\n");
	}
}

TEST(CommandLine, ARootTooLongForTheDocumentPathIsRefused)
{
	kt::TempDir root;
	std::string deep = root.path;
	while (deep.size() < 260) {
		deep += "/dddddddddddddddddddddddddddddddddddddddd";
		ASSERT_EQ(mkdir(deep.c_str(), 0700), 0);
	}
	std::string out, err;
	EXPECT_EQ(kt::run_kelvo({ deep }, &out, &err), 1);
	EXPECT_NE(err.find("root directory name too long"), std::string::npos);
	EXPECT_EQ(out, "");
}

/* A root directory, a PPS directory, and kelvo running on them. */
class Daemon : public ::testing::Test {
protected:
	kt::TempDir root, pps;
	std::unique_ptr<kt::Kelvo> k;

	std::string doc() { return root / "kelvoweb.xml"; }
	std::string outputs() { return pps / "kelvo/outputs"; }
	std::string inputs() { return pps / "kelvo/inputs"; }
	std::string value(const char *name) {
		return kt::element(kt::read_file(doc()), name);
	}
	std::string published(const char *name) {
		return kt::attribute(kt::read_file(outputs()), name);
	}
	void start(std::vector<std::string> args = {}) {
		args.push_back(root.path);
		k.reset(new kt::Kelvo(pps.path, args, root.path));
	}
	/* Waits until the document shows the clock moved n ticks on. */
	bool ticks(int n) {
		if (!kt::wait_for([&] { return !value("td_time_").empty(); }))
			return false;
		int from = atoi(value("td_time_").c_str());
		return kt::wait_for([&] {
			int t = atoi(value("td_time_").c_str());
			return (t - from + 2400) % 2400 >= 2 * n;
		});
	}
	void set_interval(int ms) {
		std::string t = kt::read_file(doc());
		std::string from = "<pm_interval>" + value("pm_interval");
		t.replace(t.find(from), from.size(),
		    "<pm_interval>" + std::to_string(ms));
		kt::write_file(doc(), t);
	}
	void press(const std::string &attrs) {
		ASSERT_TRUE(kt::wait_for([&] { return kt::exists(inputs()); }));
		std::string tmp = inputs() + ".new";
		kt::write_file(tmp, "@inputs\n" + attrs);
		ASSERT_EQ(rename(tmp.c_str(), inputs().c_str()), 0);
	}
	bool running() { return k->pid > 0 && kill(k->pid, 0) == 0 &&
	    k->wait_exit(0) == -1; }
};

TEST_F(Daemon, AFreshStartCreatesTheDocumentAndBothObjects)
{
	start({ "-v" });
	ASSERT_TRUE(kt::wait_for([&] { return published("ts_mode") == "HEAT"; }));
	ASSERT_TRUE(ticks(2));
	EXPECT_EQ(value("ts_temp"), "68");
	EXPECT_EQ(kt::read_file(inputs()),
	    "@inputs\nbtn1::\nbtn2::\nbtn3::\nbtn4::\n");
	EXPECT_EQ(kt::mode_of(outputs()), 0600u);
	EXPECT_EQ(kt::mode_of(pps / "kelvo"), 0700u);
	std::string text = kt::read_file(outputs());
	EXPECT_EQ(text.rfind("@outputs\nts_mode::HEAT\nts_fan::AUTO\n"
	    "ts_temp::68\ntd_temp_in_::", 0), 0u);
	EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 11);
	EXPECT_EQ(k->stop(), 0);
	std::string out = k->output();
	for (const char *line : { "thermodyn::initializing\n",
	    "thermodyn::enter main processing\n",
	    "xml2pps:: enter main processing\n",
	    "event2xml:: enter main processing\n",
	    "event2xml::creating pps inputs\n",
	    "xml2pp::creating pps outputs\n", "kelvo::main - exit\n" })
		EXPECT_NE(out.find(line), std::string::npos) << line;
}

TEST_F(Daemon, OverridesAreWrittenAndARestartContinues)
{
	start({ "-t", "75", "-m", "COOL", "-f", "ON" });
	ASSERT_TRUE(ticks(3));
	EXPECT_EQ(k->stop(), 0);
	EXPECT_EQ(value("ts_temp"), "75");
	EXPECT_EQ(value("ts_mode"), "COOL");
	EXPECT_EQ(value("ts_fan"), "ON");
	int before = atoi(value("td_time_").c_str());

	start({ "-t", "-5" });
	ASSERT_TRUE(ticks(1));
	EXPECT_EQ(k->stop(), 0);
	EXPECT_EQ(value("ts_temp"), "75");
	EXPECT_GT(atoi(value("td_time_").c_str()), before);

	start({ "-t", "abc" });
	ASSERT_TRUE(kt::wait_for([&] { return value("ts_temp") == "0"; }));
	EXPECT_EQ(k->stop(SIGINT), 0);

	start({ "-i" });
	ASSERT_TRUE(kt::wait_for([&] { return published("ts_temp") == "68"; }));
	EXPECT_EQ(value("ts_mode"), "HEAT");
	EXPECT_EQ(k->stop(), 0);
}

TEST_F(Daemon, WithoutVerboseNothingIsPrinted)
{
	start({ "-t", "70" });
	ASSERT_TRUE(ticks(2));
	press("btn9::event\n");
	EXPECT_EQ(k->stop(), 0);
	EXPECT_EQ(k->output(), "");
	EXPECT_EQ(k->errors(), "");
}

TEST_F(Daemon, ExtraVerbosePrintsOneLinePerTick)
{
	start({ "-vv" });
	ASSERT_TRUE(ticks(3));
	EXPECT_EQ(k->stop(), 0);
	std::string out = k->output();
	EXPECT_NE(out.find("1702  59.9  66.0   ON *  68 HEAT fan-AUTO\n"),
	    std::string::npos) << out;
}

TEST_F(Daemon, ParametersOutsideTheirRangeFallBackAndSaySo)
{
	start({ "-i" });
	ASSERT_TRUE(ticks(1));
	k->stop();
	std::string t = kt::read_file(doc());
	t.replace(t.find("<pm_minutes>2"), 13, "<pm_minutes>2147483647");
	kt::write_file(doc(), t);
	set_interval(0);
	start({ "-v" });
	ASSERT_TRUE(ticks(3));
	int a = atoi(value("td_time_").c_str());
	ASSERT_TRUE(ticks(1));
	/* Two simulated minutes a tick: a few ticks move the clock little. */
	int moved = (atoi(value("td_time_").c_str()) - a + 2400) % 2400;
	EXPECT_TRUE(moved >= 2 && moved <= 20) << moved;
	EXPECT_EQ(k->stop(), 0);
	std::string out = k->output();
	EXPECT_NE(out.find("thermodyn::pm_interval 0 is no period, using 200 ms"),
	    std::string::npos) << out;
	EXPECT_NE(out.find("thermodyn::pm_minutes 2147483647 is outside"),
	    std::string::npos) << out;
	/* The document keeps what the user wrote. */
	EXPECT_EQ(value("pm_interval"), "0");
}

TEST_F(Daemon, EachButtonReachesTheDocumentAndThePublishedText)
{
	start({ "-v" });
	ASSERT_TRUE(kt::wait_for([&] { return published("ts_temp") == "68"; }));
	press("btn3::event\n");
	EXPECT_TRUE(kt::wait_for([&] { return published("ts_temp") == "69"; }));
	EXPECT_EQ(value("ts_temp"), "69");
	press("btn4::event\n");
	EXPECT_TRUE(kt::wait_for([&] { return published("ts_temp") == "68"; }));
	press("btn1::event\n");
	EXPECT_TRUE(kt::wait_for([&] { return published("ts_mode") == "COOL"; }));
	press("btn2::event\n");
	EXPECT_TRUE(kt::wait_for([&] { return published("ts_fan") == "ON"; }));
	/* One text with several events is one batch, applied in order. */
	press("btn1::event\nbtn2::\nbtn3::event\nbtn4::\nbtn3::event\n");
	EXPECT_TRUE(kt::wait_for([&] { return published("ts_temp") == "70"; }));
	EXPECT_EQ(published("ts_mode"), "OFF");
	EXPECT_EQ(value("ts_mode"), "OFF");
	EXPECT_EQ(k->stop(), 0);
	EXPECT_NE(k->output().find("event2xml::processing input btn3\n"),
	    std::string::npos);
}

TEST_F(Daemon, APressIsPublishedAtOnceAndEachBatchAtMostOnce)
{
	start({ "-i" });
	ASSERT_TRUE(kt::wait_for([&] { return published("ts_temp") == "68"; }));
	k->stop();
	/* The next tick is a minute away: every publication here is extra. */
	set_interval(60000);
	unlink(outputs().c_str());
	start({ "-v" });
	ASSERT_TRUE(kt::wait_for([&] { return published("ts_temp") == "68"; }));
	kt::Publications pub(pps / "kelvo", "outputs");
	ASSERT_TRUE(pub.ok());
	press("btn3::event\nbtn4::\nbtn3::event\n");
	EXPECT_TRUE(kt::wait_for([&] { return published("ts_temp") == "70"; }));
	EXPECT_EQ(pub.take(), 1);

	/* Presses pouring in: never more publications than batches read.
	 * The last press, published, comes after all the others. */
	for (int i = 0; i < 30; i++) {
		press("btn3::event\n");
		std::this_thread::sleep_for(std::chrono::milliseconds(5));
	}
	press("btn2::event\n");
	EXPECT_TRUE(kt::wait_for([&] { return published("ts_fan") == "ON"; }));
	int texts = pub.take();
	int batches = kt::count(k->output(), "processing input btn") - 2;
	EXPECT_GE(texts, 1);
	EXPECT_LE(texts, batches);
	EXPECT_EQ(published("ts_temp"), value("ts_temp"));

	/* Names that are no button change nothing and publish nothing. */
	press("btn9::event\n");
	press("x::event\n");
	ASSERT_TRUE(kt::wait_for([&] {
		return kt::count(k->output(), ">>>>> unexpected event") > 0;
	}));
	press("btn1::event\n");
	EXPECT_TRUE(kt::wait_for([&] { return published("ts_mode") == "COOL"; }));
	EXPECT_EQ(pub.take(), 1);
	EXPECT_EQ(k->stop(), 0);
}

TEST_F(Daemon, RegularPublicationsKeepTheirPaceThroughPresses)
{
	start({ "-v" });
	ASSERT_TRUE(kt::wait_for([&] { return published("ts_temp") == "68"; }));
	kt::Publications pub(pps / "kelvo", "outputs");
	ASSERT_TRUE(pub.ok());
	int before = kt::count(k->output(), "processing input");
	auto t0 = std::chrono::steady_clock::now();
	for (int i = 0; i < 80; i++) {
		press(i % 2 ? "btn4::event\n" : "btn3::event\n");
		std::this_thread::sleep_for(std::chrono::milliseconds(25));
	}
	int total = pub.take();
	double ms = std::chrono::duration<double, std::milli>(
	    std::chrono::steady_clock::now() - t0).count();
	int batches = kt::count(k->output(), "processing input") - before;
	/* One extra per batch at most, so the rest are the regular ones:
	 * about one per 200 ms period, never more. */
	int regular = total - batches;
	EXPECT_GE(regular, (int)(ms / 200 / 2)) << total << " " << batches << " " << ms;
	EXPECT_LE(total, batches + (int)(ms / 200) + 1);
	EXPECT_EQ(k->stop(), 0);
}

TEST_F(Daemon, StaleOutputsTemporaryFilesGoAtStart)
{
	ASSERT_EQ(mkdir((pps / "kelvo").c_str(), 0700), 0);
	const char *stale[] = { "kelvo/.outputs.Ab12Cd", "kelvo/.outputs.zzzzzz",
	    "kelvo/.sim.Xy34Zw" };
	const char *kept[] = { "kelvo/.inputs.Ab12Cd", "kelvo/.outputs.old" };
	for (auto f : stale)
		kt::write_file(pps / f, "@outputs\nts_temp::1\n");
	for (auto f : kept)
		kt::write_file(pps / f, "@inputs\nbtn3::event\n");
	start();
	ASSERT_TRUE(kt::wait_for([&] { return published("ts_temp") == "68" &&
	    kt::exists(pps / "kelvo/sim"); }));
	for (auto f : stale)
		EXPECT_FALSE(kt::exists(pps / f)) << f;
	for (auto f : kept)
		EXPECT_EQ(kt::read_file(pps / f), "@inputs\nbtn3::event\n") << f;
	EXPECT_EQ(k->stop(), 0);
}

TEST_F(Daemon, HostileInputsDoNotStopTheNextPress)
{
	start({ "-v" });
	ASSERT_TRUE(kt::wait_for([&] { return published("ts_temp") == "68"; }));
	std::string junk[] = {
		std::string("event\0event\xff\xfe", 13), "ev", "eventevent",
		std::string(5000, 'e') + "vent", "x::event\n",
	};
	std::string many;
	for (int i = 0; i < 300; i++)
		many += "zz" + std::to_string(i % 10) + "::event\n";
	for (auto &j : junk) {
		kt::write_file(inputs(), j);
		std::this_thread::sleep_for(std::chrono::milliseconds(20));
	}
	kt::write_file(inputs(), many);
	std::this_thread::sleep_for(std::chrono::milliseconds(50));
	press("btn3::event\n");
	EXPECT_TRUE(kt::wait_for([&] { return published("ts_temp") == "69"; }));
	EXPECT_TRUE(running());
	EXPECT_EQ(k->stop(), 0);
	EXPECT_NE(k->output().find(">>>>> unexpected event"), std::string::npos);
}

TEST_F(Daemon, WithoutPpsItKeepsSimulatingWithoutSpinning)
{
	std::string none = pps / "absent";
	k.reset(new kt::Kelvo(none, { root.path }, root.path));
	ASSERT_TRUE(kt::wait_for([&] { return kt::exists(doc()); }));
	ASSERT_TRUE(ticks(5));
	double cpu = k->cpu_seconds();
	/* Five more ticks, a second, must cost a small part of a core. */
	ASSERT_TRUE(ticks(5));
	EXPECT_LT(k->cpu_seconds() - cpu, 0.5);
	/* PPS appearing later is picked up. */
	ASSERT_EQ(mkdir(none.c_str(), 0700), 0);
	EXPECT_TRUE(kt::wait_for([&] {
		return kt::exists(none + "/kelvo/outputs") &&
		    kt::exists(none + "/kelvo/inputs");
	}));
	kt::write_file(none + "/kelvo/inputs", "@inputs\nbtn3::event\n");
	EXPECT_TRUE(kt::wait_for([&] { return value("ts_temp") == "69"; }));
	EXPECT_EQ(k->stop(), 0);
}

TEST_F(Daemon, ObjectsRemovedWhileRunningAreMadeAgain)
{
	start();
	ASSERT_TRUE(kt::wait_for([&] { return published("ts_temp") == "68"; }));
	ASSERT_TRUE(kt::wait_for([&] { return kt::exists(inputs()); }));
	ASSERT_EQ(system(("rm -rf '" + pps.path + "/kelvo'").c_str()), 0);
	EXPECT_TRUE(kt::wait_for([&] {
		return kt::exists(outputs()) && kt::exists(inputs());
	}));
	press("btn3::event\n");
	EXPECT_TRUE(kt::wait_for([&] { return published("ts_temp") == "69"; }));
	EXPECT_EQ(k->stop(), 0);
}

TEST_F(Daemon, AnExistingDirectoryWithoutTheInputsObjectGetsOne)
{
	ASSERT_EQ(mkdir((pps / "kelvo").c_str(), 0700), 0);
	start({ "-v" });
	EXPECT_TRUE(kt::wait_for([&] { return kt::exists(inputs()); }));
	EXPECT_EQ(k->stop(), 0);
	EXPECT_EQ(k->output().find("pps running?"), std::string::npos);
}

TEST_F(Daemon, TheOutputsObjectAlwaysAppearsOnAFirstRun)
{
	start({ "-i" });
	ASSERT_TRUE(kt::wait_for([&] { return kt::exists(outputs()); }));
	k->stop();
	set_interval(5000);
	for (int i = 0; i < 15; i++) {
		ASSERT_EQ(system(("rm -rf '" + pps.path + "/kelvo'").c_str()), 0);
		start();
		/* Long before the second tick, whatever the period. */
		EXPECT_TRUE(kt::wait_for([&] {
			return published("ts_mode") == "HEAT";
		}, 4)) << "run " << i;
		EXPECT_EQ(k->stop(SIGKILL), 128 + SIGKILL);
	}
}

TEST_F(Daemon, KillsAtAnyInstantNeverLoseTheDocument)
{
	start({ "-t", "77", "-m", "COOL" });
	ASSERT_TRUE(ticks(1));
	k->stop();
	set_interval(1);
	std::mt19937 rng(12345);
	std::uniform_int_distribution<int> us(0, 30000);
	for (int i = 0; i < 200; i++) {
		start();
		std::this_thread::sleep_for(std::chrono::microseconds(us(rng)));
		k->kill_hard();
		std::string t = kt::read_file(doc());
		ASSERT_EQ(kt::element(t, "ts_temp"), "77") << "kill " << i << ":\n" << t;
		ASSERT_EQ(kt::element(t, "ts_mode"), "COOL") << "kill " << i;
		ASSERT_EQ(kt::element(t, "pm_interval"), "1") << "kill " << i;
		ASSERT_NE(t.find("</thermodynData>"), std::string::npos);
	}
	/* Each start clears what the kill before it left of the outputs. */
	int litter = 0;
	DIR *d = opendir((pps / "kelvo").c_str());
	ASSERT_NE(d, nullptr);
	while (struct dirent *e = readdir(d))
		litter += strncmp(e->d_name, ".outputs.", 9) == 0;
	closedir(d);
	EXPECT_LE(litter, 1);
	start({ "-v" });
	ASSERT_TRUE(ticks(3));
	EXPECT_EQ(k->stop(), 0);
	EXPECT_EQ(value("ts_temp"), "77");
}

TEST_F(Daemon, AnUnwritableDocumentIsSaidOnceAndSavingResumes)
{
	start({ "-v", "-t", "72" });
	ASSERT_TRUE(ticks(2));
	/* The temporary file's place taken by a directory makes every save
	 * fail, also for root, which ignores permission bits. */
	std::string tmp = doc() + ".tmp";
	if (geteuid() != 0)
		chmod(root.path.c_str(), 0500);
	else	/* kelvo's own temporary file may be there for a moment */
		ASSERT_TRUE(kt::wait_for([&] {
			return mkdir(tmp.c_str(), 0700) == 0;
		}));
	std::this_thread::sleep_for(std::chrono::milliseconds(1000));
	std::string frozen = value("td_time_");
	std::this_thread::sleep_for(std::chrono::milliseconds(500));
	EXPECT_EQ(value("td_time_"), frozen);
	if (geteuid() != 0)
		chmod(root.path.c_str(), 0700);
	else
		rmdir(tmp.c_str());
	ASSERT_TRUE(ticks(2));
	press("btn3::event\n");
	EXPECT_TRUE(kt::wait_for([&] { return value("ts_temp") == "73"; }))
	    << k->output();
	EXPECT_EQ(k->stop(), 0);
	std::string out = k->output();
	size_t said = out.find("dbXML::cannot save");
	EXPECT_NE(said, std::string::npos);
	EXPECT_EQ(said, out.rfind("dbXML::cannot save"));
	EXPECT_NE(out.find("dbXML::saving"), std::string::npos);
}

} // namespace
