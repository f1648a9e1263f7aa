/*
 * The control object against a real kelvo: every command reaching the
 * document and the published text, batches refused whole, steps equal to
 * ordinary ticks, the pause, the faults, restarts, and kelvo-ctl.
 */
#include <gtest/gtest.h>

#include <math.h>
#include <sys/stat.h>

#include <atomic>
#include <memory>
#include <thread>

#include "dbXML.h"
#include "kelvo.h"
#include "thermodyn.h"
#include "testutil.h"

namespace {

class Control : public ::testing::Test {
protected:
	kt::TempDir root, pps;
	std::unique_ptr<kt::Kelvo> k;

	std::string doc() { return root / "kelvoweb.xml"; }
	std::string obj(const char *name) {
		return pps / (std::string("kelvo/") + name);
	}
	/* As the next load reads it: without the blanks a save may keep. */
	std::string value(const char *name) {
		std::string v = kt::element(kt::read_file(doc()), name);
		return v.erase(0, v.find_first_not_of(' '));
	}
	std::string published(const char *name) {
		return kt::attribute(kt::read_file(obj("outputs")), name);
	}
	std::string sim(const char *name) {
		return kt::attribute(kt::read_file(obj("sim")), name);
	}
	void start(std::vector<std::string> args = {}) {
		args.push_back(root.path);
		k.reset(new kt::Kelvo(pps.path, args, root.path));
		/*
		 * This kelvo's sim object, not one left by the last, and
		 * published too, so a silent fault keeps a text to look at.
		 */
		std::string me = std::to_string(k->pid) + "@";
		ASSERT_TRUE(kt::wait_for([&] {
			return sim("batch") == "0" &&
			    sim("start").compare(0, me.size(), me) == 0 &&
			    published("ts_mode") != "?";
		}));
	}
	/* Writes a control text whole and waits for kelvo to count it. */
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
	int ctl(const std::string &args, std::string *err = nullptr) {
		std::string e = root / "ctl.err";
		std::string cmd = "PPS_ROOT='" + pps.path + "' " KELVO_CTL_BIN
		    " " + args + " >/dev/null 2>'" + e + "'";
		int rc = system(cmd.c_str());
		if (err)
			*err = kt::read_file(e);
		return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
	}
	/* A face's one look: its exit status, its "running" line in *said. */
	int once(const std::string &bin, std::string *said) {
		std::string o = root / "once.out";
		std::string cmd = "PPS_ROOT='" + pps.path + "' " + bin + " >'" +
		    o + "' 2>/dev/null";
		int rc = system(cmd.c_str());
		std::string out = kt::read_file(o);
		size_t at = out.find("running ");
		*said = at == std::string::npos ? "" :
		    out.substr(at, out.find('\n', at) - at);
		return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
	}
};

TEST_F(Control, EveryCommandReachesTheDocumentAndThePublishedText)
{
	start({ "-v" });
	std::string first = "@sim\nstate::running\npm_interval::200\n"
	    "pm_minutes::2\nfault::\nbatch::0\nerror::\nid::\nstart::" +
	    std::to_string(k->pid) + "@";
	EXPECT_EQ(kt::read_file(obj("sim")).substr(0, first.size()), first);
	EXPECT_EQ(kt::mode_of(obj("sim")), 0600u);
	EXPECT_EQ(batch("state::paused\ntd_time_::2200\ntd_temp_in_::62.5\n"
	    "td_temp_out_::20\ntd_sys::ON\nts_mode::COOL\nts_fan::ON\n"
	    "ts_temp::70\npm_minutes::5\npm_interval::150\nfault::silent,plant\n"),
	    "");
	for (auto [name, want] : std::vector<std::pair<const char *,
	    const char *>>{ { "td_time_", "2200" }, { "td_time", "10:00p" },
	    { "td_temp_in_", "62.500" }, { "td_temp_in", "63" },
	    { "td_temp_out_", "20.000" }, { "td_temp_out", "20" },
	    { "td_sys", "ON" }, { "ts_mode", "COOL" }, { "ts_fan", "ON" },
	    { "ts_temp", "70" }, { "pm_minutes", "5" },
	    { "pm_interval", "150" }, { "pm_state", "paused" },
	    { "pm_fault", "plant,silent" } })
		EXPECT_EQ(value(name), want) << name;
	EXPECT_EQ(sim("state"), "paused");
	EXPECT_EQ(sim("pm_interval"), "150");
	EXPECT_EQ(sim("fault"), "plant,silent");
	/* Silent: the last text before the batch stays. */
	EXPECT_EQ(published("ts_mode"), "HEAT");

	EXPECT_EQ(batch("fault::\n"), "");
	/* Published before the sim object counted the batch. */
	EXPECT_EQ(published("ts_mode"), "COOL");
	EXPECT_EQ(published("td_temp_in_"), "62.500");
	EXPECT_EQ(published("td_time"), "10:00p");

	EXPECT_EQ(batch("reset::defaults\nts_temp::75\n"), "");
	EXPECT_EQ(value("ts_temp"), "75");
	EXPECT_EQ(value("pm_state"), "");
	EXPECT_EQ(value("pm_fault"), "");
	EXPECT_EQ(sim("state"), "running");
	EXPECT_EQ(batch("reset::defaults\nstate::paused\n"), "");
	EXPECT_EQ(value("td_time_"), "1700");
	EXPECT_EQ(value("ts_temp"), "68");
	EXPECT_EQ(sim("pm_interval"), "200");
	EXPECT_EQ(k->stop(), 0);
	EXPECT_NE(k->output().find("control2xml::batch 1 applied, 11 commands"),
	    std::string::npos);
}

/*
 * Ids name the answer: a good one is repeated with the batch's answer,
 * refused or applied; a bad one refuses the batch with the reason.  Press
 * commands go in order by the buttons' rule, limits and all, and a face's
 * senders in parallel each read their own answer.
 */
TEST_F(Control, BatchesAreAnsweredByIdAndPressAsTheButtons)
{
	start({ "-v" });
	EXPECT_EQ(batch("id::a-1.B_2\nts_temp::89\npress::up\npress::up\n"
	    "press::mode\npress::fan\n"), "");
	EXPECT_EQ(sim("id"), "a-1.B_2");
	EXPECT_EQ(value("ts_temp"), "90");
	EXPECT_EQ(published("ts_temp"), "90");
	EXPECT_EQ(published("ts_mode"), "COOL");
	EXPECT_EQ(published("ts_fan"), "ON");
	EXPECT_EQ(batch("ts_temp::60\npress::down\npress::mode\n"), "");
	EXPECT_EQ(sim("id"), "");
	EXPECT_EQ(published("ts_temp"), "60");
	EXPECT_EQ(published("ts_mode"), "OFF");
	/* Above the top by other means: the buttons never pull it in. */
	EXPECT_EQ(batch("ts_temp::95\npress::up\n"), "");
	EXPECT_EQ(published("ts_temp"), "95");
	EXPECT_EQ(batch("press::down\n"), "");
	EXPECT_EQ(published("ts_temp"), "94");

	std::string long_id(65, 'x');
	for (auto [text, why] : std::vector<std::pair<std::string,
	    std::string>>{
	    { "id::a b\nts_temp::70\n", "id: \"a b\" is not 1 to 64 of" },
	    { "id::" + long_id + "\n", "is not 1 to 64 of" },
	    { "id::\nts_temp::70\n", "id: \"\" is not 1 to 64 of" },
	    { "id::x/y\n", "id: \"x/y\" is not" },
	    { "id::one\nid::two\n", "a batch has one id at most" },
	    { "id::p1\npress::left\n", "press: \"left\" is no button" },
	    { "id::p2\npress::UP\n", "press: \"UP\" is no button" },
	    { "id::p3\npress::\n", "press: \"\" is no button" } }) {
		std::string error = batch(text);
		EXPECT_NE(error.find(why), std::string::npos) << text << error;
	}
	/* A good id is repeated with its refusal; a bad one is not. */
	EXPECT_EQ(sim("id"), "p3");
	EXPECT_NE(batch("id::q/\n").find("id:"), std::string::npos);
	EXPECT_EQ(sim("id"), "");
	EXPECT_EQ(published("ts_temp"), "94");

	/* Senders at once, each taking only the answer to its own id. */
	std::vector<std::thread> senders;
	std::atomic<int> rcs[6];
	for (int i = 0; i < 6; i++)
		senders.emplace_back([&, i] {
			rcs[i] = ctl(i % 2 ? "press down 3" : "set ts_temp=x");
		});
	for (auto &t : senders)
		t.join();
	for (int i = 0; i < 6; i++)
		EXPECT_EQ(rcs[i].load(), i % 2 ? 0 : 2) << i;
	EXPECT_EQ(published("ts_temp"), "85");
	EXPECT_EQ(k->stop(), 0);
}

/*
 * A result kelvo cannot publish (the outputs object replaced by a
 * directory) is applied and answered with that reason, which kelvo-ctl
 * reports as applied but not published.
 */
TEST_F(Control, AResultThatCannotBePublishedIsAnsweredSo)
{
	start({ "-v" });
	ASSERT_EQ(batch("state::paused\n"), "");
	ASSERT_EQ(unlink(obj("outputs").c_str()), 0);
	ASSERT_EQ(mkdir(obj("outputs").c_str(), 0700), 0);
	std::string err;
	EXPECT_EQ(ctl("set ts_temp=75", &err), 1);
	EXPECT_NE(err.find("applied, but not published: the outputs object "
	    "cannot be"), std::string::npos) << err;
	EXPECT_EQ(value("ts_temp"), "75");
	EXPECT_EQ(sim("error").compare(0, 28, "applied, but not published: "),
	    0) << sim("error");
	ASSERT_EQ(rmdir(obj("outputs").c_str()), 0);
	ASSERT_TRUE(kt::wait_for([&] { return kt::exists(obj("outputs")); }));
	EXPECT_EQ(ctl("press up"), 0);
	EXPECT_EQ(published("ts_temp"), "76");
	EXPECT_EQ(sim("error"), "");
	EXPECT_EQ(k->stop(), 0);
	EXPECT_NE(k->output().find("not published: the outputs object"),
	    std::string::npos);
}

TEST_F(Control, ABadBatchAppliesNothing)
{
	start({ "-v" });
	ASSERT_EQ(batch("state::paused\n"), "");
	std::string before = kt::read_file(doc());
	const std::pair<std::string, const char *> bad[] = {
		{ "ts_temp::80\nstep::0\n", "step: \"0\" is not a whole number" },
		{ "ts_temp::80\nfrobnicate::1\n", "\"frobnicate\" is no command" },
		{ "td_time_::2460\n", "td_time_: \"2460\" is no time of day" },
		{ "td_time_::-000\n", "td_time_: \"-000\" is no time of day" },
		{ "td_time_::+700\n", "td_time_: \"+700\" is no time of day" },
		{ "td_time_::700\n", "td_time_: \"700\" is no time of day" },
		{ "td_temp_out_::nan\n", "is not a temperature" },
		{ "td_temp_in_::1000.5\n", "is not a temperature" },
		{ "ts_mode::heat\n", "is not HEAT, COOL or OFF" },
		{ "fault::plant,\n", "may not end in a comma" },
		{ "fault::fire\n", "\"fire\" is no fault" },
		{ "pm_interval::60001\n", "pm_interval:" },
		{ "ts_temp::80\nts_fan::ON", "the last line has no newline" },
		{ "ts_temp:n:80\n", "only plain values" },
		{ "ts_temp 80\n", "line 2 is not name::value" },
		{ "ts_temp::8\x01" "0\n", "control character" },
		{ std::string("ts_temp::8\0" "0\n", 13), "control character" },
		{ "ts_temp::" + std::string(5000, '8') + "\n", "longer than 4096" },
	};
	for (auto &[text, why] : bad)
		EXPECT_NE(batch(text).find(why), std::string::npos) << text;
	/* Not even the header: refused too, with nothing changed. */
	std::string tmp = obj("control") + ".new";
	kt::write_file(tmp, "ts_temp::80\n");
	rename(tmp.c_str(), obj("control").c_str());
	ASSERT_TRUE(kt::wait_for([&] { return sim("batch") == "20"; }));
	EXPECT_NE(sim("error").find("does not begin with @control"),
	    std::string::npos);
	EXPECT_EQ(kt::read_file(doc()), before);
	/* And the next good batch still goes through. */
	EXPECT_EQ(batch("ts_temp::81\n"), "");
	EXPECT_EQ(value("ts_temp"), "81");
	EXPECT_EQ(k->stop(), 0);
	EXPECT_NE(k->output().find("control2xml::batch 2 refused: step:"),
	    std::string::npos);
}

/*
 * A root kelvo cannot save in: the batch is refused, kelvo goes on as it
 * was, and a restart finds nothing of it.  As root, permissions do not
 * stop a save; a directory where the save writes its temporary file does.
 */
TEST_F(Control, ABatchThatCannotBeSavedIsRefusedAndForgotten)
{
	start();
	std::string tmp = doc() + ".tmp";
	bool as_root = geteuid() == 0;
	ASSERT_EQ(as_root ? mkdir(tmp.c_str(), 0700) :
	    chmod(root.path.c_str(), 0500), 0);
	/* Ticks fail to save from now on, again and again. */
	ASSERT_TRUE(kt::wait_for([&] {
		return k->errors().find("cannot save") != std::string::npos;
	}));
	std::string out = kt::read_file(obj("outputs"));
	std::string err;
	EXPECT_EQ(ctl("set ts_temp=77 fault=plant state=paused", &err), 1);
	EXPECT_NE(err.find("cannot save the state document"),
	    std::string::npos) << err;
	EXPECT_EQ(sim("state"), "running");
	EXPECT_EQ(sim("fault"), "");
	EXPECT_EQ(sim("batch"), "1");
	EXPECT_NE(sim("error").find("nothing of the batch is applied"),
	    std::string::npos);
	EXPECT_EQ(kt::read_file(obj("outputs")), out);
	EXPECT_EQ(published("ts_temp"), "68");
	usleep(300 * 1000);
	/* Said on standard error once, however many saves failed. */
	EXPECT_EQ(kt::count(k->errors(), "cannot save"), 1) << k->errors();

	ASSERT_EQ(as_root ? rmdir(tmp.c_str()) :
	    chmod(root.path.c_str(), 0700), 0);
	/* Running, as before the batch: the clock moves again. */
	std::string at = value("td_time_");
	EXPECT_TRUE(kt::wait_for([&] { return value("td_time_") != at; }));
	ASSERT_EQ(k->stop(), 0);
	start();
	EXPECT_EQ(sim("state"), "running");
	EXPECT_EQ(sim("fault"), "");
	EXPECT_EQ(value("ts_temp"), "68");
	EXPECT_EQ(kt::element(kt::read_file(doc()), "pm_state"), "");
	EXPECT_EQ(kt::element(kt::read_file(doc()), "pm_fault"), "");
}

/* n ordinary ticks of the very code the simulation thread runs. */
static void
ordinary_ticks(const std::string &path, int n, int minutes)
{
	snprintf(xml_fname, sizeof(xml_fname), "%s", path.c_str());
	pm_minutes = minutes;
	sim_faults = 0;
	for (int i = 0; i < n; i++)
		thermodyn_tick();
	db_release();
}

TEST_F(Control, AStepIsExactlyThatManyOrdinaryTicks)
{
	start({ "-v" });
	/* Long ticks too, which are made of shorter ones. */
	for (auto [minutes, n] : { std::pair<int, int>{ 7, 500 }, { 1000, 60 } }) {
		ASSERT_EQ(batch("state::paused\nts_mode::COOL\nts_temp::64\n"
		    "td_time_::2330\npm_minutes::" + std::to_string(minutes) +
		    "\n"), "");
		kt::TempDir other;
		kt::write_file(other / "kelvoweb.xml", kt::read_file(doc()));
		ASSERT_EQ(batch("step::" + std::to_string(n) + "\n"), "");
		ordinary_ticks(other / "kelvoweb.xml", n, minutes);
		/* The publisher's cycles since may have dropped the blanks. */
		auto loaded = [](std::string t) {
			for (size_t p; (p = t.find("> ")) != std::string::npos; )
				t.erase(p + 1, 1);
			return t;
		};
		EXPECT_EQ(loaded(kt::read_file(doc())),
		    loaded(kt::read_file(other / "kelvoweb.xml"))) << minutes;
		EXPECT_EQ(published("td_time_"), value("td_time_"));
	}
	/* A week at a day a tick: the model holds, and the trace is quiet. */
	ASSERT_EQ(batch("pm_minutes::1440\nts_mode::HEAT\nstep::10080\n"), "");
	EXPECT_LT(fabs(atof(value("td_temp_in_").c_str()) - 64), 10);
	EXPECT_EQ(k->stop(), 0);
	EXPECT_LE(kt::count(k->output(), "\n"), 20) << k->output();
}

/*
 * A client that sees a new start in the sim object reads the outputs
 * next: they must be this kelvo's, never the text a stopped one left.
 */
TEST_F(Control, TheSimObjectOfAStartComesAfterItsFirstPublication)
{
	for (int i = 0; i < 5; i++) {
		ASSERT_EQ(mkdir((pps / "kelvo").c_str(), 0700) == 0 ||
		    errno == EEXIST, true);
		unlink(obj("sim").c_str());
		kt::write_file(obj("outputs"), "@outputs\nts_mode::OFF\n");
		struct stat left, now;
		ASSERT_EQ(stat(obj("outputs").c_str(), &left), 0);
		k.reset(new kt::Kelvo(pps.path, { root.path }, root.path));
		std::string me = std::to_string(k->pid) + "@";
		ASSERT_TRUE(kt::wait_for([&] {
			return sim("start").compare(0, me.size(), me) == 0; }));
		ASSERT_EQ(stat(obj("outputs").c_str(), &now), 0);
		EXPECT_NE(now.st_ino, left.st_ino) << i;
		EXPECT_EQ(published("ts_mode"), "HEAT") << i;
		EXPECT_EQ(k->stop(), 0);
	}
}

TEST_F(Control, PausedTheClockStandsWhilePublicationsGoOn)
{
	start();
	ASSERT_EQ(batch("pm_interval::40\n"), "");
	ASSERT_EQ(batch("state::paused\n"), "");
	std::string at = value("td_time_");
	kt::Publications pubs(pps / "kelvo", "outputs");
	ASSERT_TRUE(pubs.ok());
	struct stat was, now;
	ASSERT_EQ(stat(doc().c_str(), &was), 0);
	usleep(600 * 1000);
	EXPECT_GE(pubs.take(), 5);
	EXPECT_EQ(value("td_time_"), at);
	/* Paused, the publications read what they read last: no saves. */
	ASSERT_EQ(stat(doc().c_str(), &now), 0);
	EXPECT_EQ(now.st_ino, was.st_ino);
	EXPECT_EQ(now.st_mtim.tv_nsec, was.st_mtim.tv_nsec);
	/* Yet a hand edit is published, and so is a press after it. */
	std::string text = kt::read_file(doc());
	size_t p = text.find("<ts_temp>");
	ASSERT_NE(p, std::string::npos);
	text.replace(p, text.find("</ts_temp>") - p, "<ts_temp>75");
	kt::write_file(doc() + ".edit", text);
	ASSERT_EQ(rename((doc() + ".edit").c_str(), doc().c_str()), 0);
	EXPECT_TRUE(kt::wait_for([&] { return published("ts_temp") == "75"; }));
	kt::write_file(obj("inputs"), "@inputs\nbtn1::\nbtn2::\nbtn3::event\n"
	    "btn4::\n");
	EXPECT_TRUE(kt::wait_for([&] { return published("ts_temp") == "76"; }));
	/* A long period set while paused is left at once for a short one. */
	ASSERT_EQ(batch("pm_interval::60000\nstate::running\n"), "");
	ASSERT_EQ(batch("pm_interval::20\n"), "");
	EXPECT_TRUE(kt::wait_for([&] { return value("td_time_") != at; }, 2));
}

TEST_F(Control, FaultsBreakThePlantTheSensorAndThePublication)
{
	start();
	/* A heater that is on and switched, but gives no heat. */
	ASSERT_EQ(batch("state::paused\nts_mode::HEAT\nts_temp::80\n"
	    "td_temp_in_::70\ntd_temp_out_::20\ntd_sys::ON\nfault::plant\n"
	    "step::30\n"), "");
	EXPECT_EQ(value("td_sys"), "ON");
	EXPECT_LT(atof(value("td_temp_in_").c_str()), 70.0);

	ASSERT_EQ(batch("fault::sensor\nstep::1\n"), "");
	EXPECT_EQ(published("td_temp_in_"), "");
	EXPECT_EQ(published("td_temp_in"), "");
	EXPECT_EQ(published("td_sys"), "OFF");
	EXPECT_FALSE(value("td_temp_in_").empty());

	ASSERT_EQ(batch("fault::silent\npm_interval::30\n"), "");
	kt::Publications pubs(pps / "kelvo", "outputs");
	usleep(300 * 1000);
	EXPECT_EQ(pubs.take(), 0);
	ASSERT_EQ(batch("fault::\n"), "");
	EXPECT_GE(pubs.take(), 1);
	EXPECT_FALSE(published("td_temp_in_").empty());
}

TEST_F(Control, ARestartContinuesPausedAndFaultyAndReplaysNothing)
{
	start();
	ASSERT_EQ(batch("state::paused\nfault::sensor\npm_minutes::3\n"), "");
	std::string at = value("td_time_");
	ASSERT_EQ(k->stop(), 0);
	/* Left behind for the next kelvo: it must not be taken. */
	kt::write_file(obj("control"), "@control\nts_temp::85\n");
	start();
	EXPECT_EQ(kt::read_file(obj("control")), "@control\n");
	EXPECT_EQ(sim("state"), "paused");
	EXPECT_EQ(sim("fault"), "sensor");
	EXPECT_EQ(sim("pm_minutes"), "3");
	ASSERT_TRUE(kt::wait_for([&] {
		return published("td_temp_in_").empty() &&
		    published("ts_temp") == "68";
	}));
	usleep(500 * 1000);
	EXPECT_EQ(value("td_time_"), at);
	EXPECT_EQ(value("ts_temp"), "68");
}

/*
 * One rule for "is kelvo running": silent, kelvo is not running to any
 * face once the quiet limit has passed, yet it takes the batch that ends
 * the fault, sent from any face.
 */
TEST_F(Control, SilentIsNotRunningToEveryFaceYetTakesItsCure)
{
	const std::string ctl_bin = KELVO_CTL_BIN " status";
	const std::string panel_bin = KELVO_PANEL_BIN " --once";
	std::string ctl_said, panel_said;

	start();
	ASSERT_EQ(ctl("speed 2 100"), 0);
	ASSERT_EQ(once(ctl_bin, &ctl_said), 0);
	EXPECT_EQ(ctl_said, "running yes");
	ASSERT_EQ(ctl("fault silent"), 0);
	/* The quiet limit is a few seconds: poll, bounded but generous. */
	ASSERT_TRUE(kt::wait_for([&] { return once(ctl_bin, &ctl_said) == 1; },
	    60)) << ctl_said;
	/* Nothing is published under the fault: the panel must agree now. */
	EXPECT_EQ(once(panel_bin, &panel_said), 3);
	EXPECT_EQ(ctl_said, "running no");
	EXPECT_EQ(panel_said, "running no");

	ASSERT_EQ(ctl("fault none"), 0);
	EXPECT_TRUE(kt::wait_for([&] { return once(ctl_bin, &ctl_said) == 0; },
	    60)) << ctl_said;
	EXPECT_TRUE(kt::wait_for([&] {
		return once(panel_bin, &panel_said) == 0;
	}, 60)) << panel_said;
	EXPECT_EQ(ctl_said, "running yes");
	EXPECT_EQ(panel_said, "running yes");
}

/*
 * kelvo killed while a batch waits and started again: the new kelvo counts
 * from 0 and empties the control object, and kelvo-ctl must not take the
 * new count for the answer.
 */
TEST_F(Control, ABatchWaitingThroughARestartIsNotTaken)
{
	for (int sig : { SIGKILL, SIGTERM }) {
		SCOPED_TRACE(sig);
		start();
		ASSERT_EQ(batch("ts_fan::ON\n"), "");
		ASSERT_EQ(batch("ts_fan::AUTO\n"), "");
		std::string was = sim("start");
		ASSERT_TRUE(kt::stop_process(k->pid));
		std::string err;
		int rc = -1;
		std::thread sender([&] { rc = ctl("set ts_temp=85", &err); });
		EXPECT_TRUE(kt::wait_for([&] {
			return kt::read_file(obj("control")).find("ts_temp::85") !=
			    std::string::npos;
		}));
		kill(k->pid, sig);
		kill(k->pid, SIGCONT);
		EXPECT_GE(k->wait_exit(), 0);
		start();
		sender.join();
		EXPECT_NE(sim("start"), was);
		/*
		 * A killed kelvo takes nothing.  One told to stop may take the
		 * batch on its way out, and then answers it before it goes:
		 * whichever happened, the answer is what the document says.
		 */
		bool applied = rc == 0 || (rc == 1 &&
		    err.find(KC_UNPUBLISHED) != std::string::npos);
		if (sig == SIGKILL || !applied) {
			/* Nobody can know what the killed kelvo did with it. */
			EXPECT_EQ(rc, 3) << sig;
			EXPECT_TRUE(err.find("started again without answering") !=
			    std::string::npos || err.find("may yet be taken") !=
			    std::string::npos) << err;
		}
		/* Applied on its way out, unpublished: the document has it. */
		std::string now = applied ? "85" : "68";
		EXPECT_EQ(value("ts_temp"), now);
		EXPECT_EQ(published("ts_temp"), now);
		EXPECT_EQ(k->stop(), 0);
	}
}

/*
 * The control object removed, or something else put in its place: kelvo
 * makes it again, and says what it found there, once, as a refused batch.
 */
TEST_F(Control, TheControlObjectIsMadeAgainAndAnythingElseIsRefused)
{
	start({ "-v" });
	/*
	 * No command at all: answered, applied, nothing changed.  Its id sets
	 * it apart from the empty text kelvo writes when it makes the object,
	 * which a batch renamed in before the reader's first look would be.
	 */
	ASSERT_EQ(batch("id::empty\n"), "");
	EXPECT_EQ(sim("batch"), "1");

	ASSERT_EQ(unlink(obj("control").c_str()), 0);
	ASSERT_TRUE(kt::wait_for([&] {
		return kt::read_file(obj("control")) == "@control\n"; }));
	EXPECT_EQ(ctl("set ts_temp=70"), 0);
	EXPECT_EQ(value("ts_temp"), "70");
	EXPECT_EQ(sim("batch"), "2");

	/* A pipe renamed over it: one refusal, and kelvo is not stuck. */
	std::string fifo = obj("control") + ".fifo";
	ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
	ASSERT_EQ(rename(fifo.c_str(), obj("control").c_str()), 0);
	ASSERT_TRUE(kt::wait_for([&] { return sim("batch") == "3"; }));
	EXPECT_EQ(sim("error"), "the control object is no regular file");
	usleep(300 * 1000);
	EXPECT_EQ(sim("batch"), "3");
	ASSERT_EQ(unlink(obj("control").c_str()), 0);
	ASSERT_TRUE(kt::wait_for([&] {
		return kt::read_file(obj("control")) == "@control\n"; }));
	EXPECT_EQ(batch("ts_temp::71\n"), "");

	/* A directory made where it was, while kelvo looked away. */
	ASSERT_TRUE(kt::stop_process(k->pid));
	ASSERT_EQ(unlink(obj("control").c_str()), 0);
	ASSERT_EQ(mkdir(obj("control").c_str(), 0700), 0);
	kill(k->pid, SIGCONT);
	ASSERT_TRUE(kt::wait_for([&] { return sim("batch") == "5"; }));
	EXPECT_EQ(sim("error"), "the control object is no regular file");
	ASSERT_EQ(rmdir(obj("control").c_str()), 0);
	ASSERT_TRUE(kt::wait_for([&] {
		return kt::read_file(obj("control")) == "@control\n"; }));
	EXPECT_EQ(ctl("set ts_temp=68"), 0);
	EXPECT_EQ(sim("batch"), "6");
	EXPECT_EQ(k->stop(), 0);
	EXPECT_EQ(kt::count(k->output(), "refused: the control object is no "
	    "regular file"), 2);
	EXPECT_NE(k->output().find("batch 1 applied, 0 commands"),
	    std::string::npos);
}

TEST_F(Control, KelvoCtlExitStatuses)
{
	std::string err;
	EXPECT_EQ(ctl("pause", &err), 1);
	EXPECT_NE(err.find("kelvo is not running"), std::string::npos);
	EXPECT_EQ(ctl("status", &err), 1);
	start();
	EXPECT_EQ(ctl("status"), 0);
	EXPECT_EQ(ctl("step 30"), 0);
	EXPECT_EQ(sim("state"), "paused");
	EXPECT_EQ(ctl("speed 10 100"), 0);
	EXPECT_EQ(sim("pm_minutes"), "10");
	EXPECT_EQ(ctl("set ts_temp=72 td_time_=0000"), 0);
	EXPECT_EQ(published("td_time"), "12:00a");
	EXPECT_EQ(ctl("fault plant,sensor"), 0);
	EXPECT_EQ(ctl("fault none"), 0);
	EXPECT_EQ(sim("fault"), "");
	EXPECT_EQ(ctl("set td_time_=2400", &err), 1);
	EXPECT_NE(err.find("td_time_: \"2400\" is no time of day"),
	    std::string::npos);
	EXPECT_EQ(ctl("set td_time_=-000", &err), 1);
	EXPECT_NE(err.find("td_time_: \"-000\" is no time of day"),
	    std::string::npos);
	EXPECT_EQ(published("td_time"), "12:00a");
	for (const char *args : { "", "step many", "speed", "set ts_temp",
	    "fault", "pause now", "frob", "set 'ts_temp=1\n2'" })
		EXPECT_EQ(ctl(args, &err), 2) << args;
	EXPECT_NE(err.find("usage: kelvo-ctl"), std::string::npos);
	EXPECT_EQ(ctl("reset"), 0);
	EXPECT_EQ(value("ts_temp"), "68");
	/*
	 * A kelvo that answers nothing: unknown, and rightly so, as it
	 * takes the batch once it goes on.  The next sender reads only
	 * its own answer, not that late one.
	 */
	int batches = atoi(sim("batch").c_str());
	ASSERT_TRUE(kt::stop_process(k->pid));
	EXPECT_EQ(ctl("set ts_temp=77", &err), 3);
	EXPECT_NE(err.find("kelvo did not answer within 2 s: the batch may yet "
	    "be taken"), std::string::npos) << err;
	EXPECT_NE(kt::read_file(obj("control")).find("ts_temp::77\n"),
	    std::string::npos);
	kill(k->pid, SIGCONT);
	ASSERT_TRUE(kt::wait_for([&] { return value("ts_temp") == "77"; }));
	EXPECT_EQ(ctl("set ts_temp=69"), 0);
	EXPECT_EQ(sim("batch"), std::to_string(batches + 2));
	EXPECT_EQ(value("ts_temp"), "69");
	/* Targets keep the buttons' limits, refused before anything goes. */
	for (const char *args : { "set ts_temp=59", "set ts_temp=91",
	    "set ts_temp=1000", "set ts_mode=COOL ts_temp=x" })
		EXPECT_EQ(ctl(args, &err), 2) << args;
	EXPECT_NE(err.find("set point must be a whole number from 60 to 90"),
	    std::string::npos) << err;
	EXPECT_EQ(sim("batch"), std::to_string(batches + 2));
	EXPECT_EQ(ctl("set ts_temp=60"), 0);
	EXPECT_EQ(ctl("set ts_temp=90"), 0);
}

/*
 * kelvo-ctl press against a real kelvo: each press shown before it
 * returns, a press that changes nothing still seen taken and undone
 * nowhere else, and one kelvo never shows taken back; set in any case.
 */
TEST_F(Control, KelvoCtlPressAndSetInAnyCase)
{
	std::string err;
	EXPECT_EQ(ctl("press up", &err), 1);
	EXPECT_NE(err.find("kelvo is not running"), std::string::npos) << err;
	start();
	EXPECT_EQ(ctl("set ts_mode=heat ts_fan=On td_sys=off ts_temp=68"), 0);
	EXPECT_EQ(value("ts_mode"), "HEAT");
	EXPECT_EQ(value("ts_fan"), "ON");
	EXPECT_EQ(value("td_sys"), "OFF");
	/* The control object itself holds kelvo's own texts only. */
	EXPECT_NE(kt::read_file(obj("control")).find("ts_mode::HEAT\nts_fan::ON\n"
	    "td_sys::OFF\n"), std::string::npos) << kt::read_file(obj("control"));
	EXPECT_EQ(ctl("set ts_mode=warm", &err), 1);
	EXPECT_NE(err.find("ts_mode"), std::string::npos) << err;

	/* Shown when kelvo-ctl returns: no wait needed to read the result. */
	EXPECT_EQ(ctl("press up 3"), 0);
	EXPECT_EQ(published("ts_temp"), "71");
	EXPECT_EQ(ctl("press MODE"), 0);
	EXPECT_EQ(published("ts_mode"), "COOL");
	EXPECT_EQ(ctl("press fan 2"), 0);
	EXPECT_EQ(published("ts_fan"), "ON");
	EXPECT_EQ(ctl("set ts_temp=90"), 0);
	EXPECT_EQ(ctl("press up"), 0);
	EXPECT_EQ(published("ts_temp"), "90");
	EXPECT_EQ(published("ts_fan"), "ON");
	EXPECT_EQ(kt::read_file(obj("inputs")).find("event"), std::string::npos);

	for (const char *args : { "press", "press left", "press up 0",
	    "press up 101", "press up 2 3", "press up x", "press up -1" })
		EXPECT_EQ(ctl(args, &err), 2) << args;
	EXPECT_NE(err.find("usage: kelvo-ctl"), std::string::npos);

	/* Silent, a press is still a batch kelvo answers. */
	EXPECT_EQ(ctl("fault silent"), 0);
	EXPECT_EQ(ctl("press down"), 0);
	EXPECT_EQ(value("ts_temp"), "89");
	EXPECT_EQ(ctl("fault none"), 0);

	/* Unanswered is unknown: kelvo applies it once it goes on. */
	ASSERT_TRUE(kt::stop_process(k->pid));
	EXPECT_EQ(ctl("press down", &err), 3);
	EXPECT_NE(err.find("may yet be taken"), std::string::npos) << err;
	kill(k->pid, SIGCONT);
	EXPECT_EQ(ctl("step 1"), 0);
	EXPECT_EQ(published("ts_temp"), "88");
	/* Many presses go in a few batches, every one applied. */
	EXPECT_EQ(ctl("press down 100"), 0);
	EXPECT_EQ(published("ts_temp"), "60");
}

} // namespace
