/*
 * kelvo-panel run against a real kelvo in a scratch root: --once for
 * scripts, and the screen inside tmux, whose captured pane is what a user
 * would see.  Every wait is bounded; tmux gets a socket of its own per
 * test and is killed with everything in it.
 */
#include <gtest/gtest.h>

#include <sys/time.h>

#include <memory>

#include <regex>

#include "testutil.h"

namespace {

/* Runs a shell command; its standard output, and its exit status. */
std::string
sh(const std::string &cmd, int *status = nullptr)
{
	std::string out;
	char buf[4096];
	size_t n;
	FILE *p = popen(cmd.c_str(), "r");

	if (p == nullptr)
		return out;
	while ((n = fread(buf, 1, sizeof(buf), p)) > 0)
		out.append(buf, n);
	int st = pclose(p);
	if (status)
		*status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
	return out;
}

struct Result {
	int status = -1;
	std::string out, err;
};

Result
run_panel(const std::string &pps, const std::string &args)
{
	kt::TempDir logs;
	Result r;
	r.out = sh("PPS_ROOT='" + pps + "' '" KELVO_PANEL_BIN "' " + args +
	    " </dev/null 2>'" + (logs / "err") + "'", &r.status);
	r.err = kt::read_file(logs / "err");
	return r;
}

/* A scratch root: kelvo's document under state/, its objects in pps/. */
class PanelLive : public ::testing::Test {
protected:
	kt::TempDir root;
	std::string pps, state;

	void SetUp() override {
		pps = root / "pps";
		state = root / "state";
		ASSERT_EQ(mkdir(pps.c_str(), 0700), 0);
		ASSERT_EQ(mkdir(state.c_str(), 0700), 0);
	}
	std::string outputs() const { return pps + "/kelvo/outputs"; }
	std::string setpoint() const {
		return kt::element(kt::read_file(state + "/kelvoweb.xml"),
		    "ts_temp");
	}
	/* kelvo, once it has published its first text. */
	std::unique_ptr<kt::Kelvo> kelvo(std::vector<std::string> args = {}) {
		args.push_back(state);
		auto k = std::make_unique<kt::Kelvo>(pps, args, root.path);
		EXPECT_TRUE(kt::wait_for([&] {
			return kt::attribute(kt::read_file(outputs()),
			    "ts_temp") != "?";
		})) << k->errors();
		return k;
	}
};

using PanelOnce = PanelLive;

TEST_F(PanelOnce, PrintsWhatIsReadableOrSaysWhereItLooked)
{
	Result r = run_panel(pps, "--once");
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.out, "");
	EXPECT_NE(r.err.find(outputs()), std::string::npos) << r.err;
	{
		auto k = kelvo();
		r = run_panel(pps, "--once");
		EXPECT_EQ(r.status, 0) << r.err;
		EXPECT_NE(r.out.find("\nsetpoint 68\nmode HEAT\nfan AUTO\n"),
		    std::string::npos) << r.out;
		EXPECT_EQ(r.out.find('?'), std::string::npos) << r.out;
		EXPECT_EQ(r.out.substr(r.out.size() - 12), "running yes\n");
	}
	/* kelvo stopped: the last values, and a status a script can see. */
	{
		struct timeval old[2] = { { time(NULL) - 10, 0 },
		    { time(NULL) - 10, 0 } };
		ASSERT_EQ(utimes(outputs().c_str(), old), 0);
		r = run_panel(pps, "--once");
		EXPECT_EQ(r.status, 3) << r.err;
		EXPECT_NE(r.out.find("\nsetpoint 68\n"), std::string::npos);
		EXPECT_EQ(r.out.substr(r.out.size() - 11), "running no\n");
	}
	kt::write_file(outputs(), "@outputs\nts_mode::WARM\nts_temp::72\n"
	    "td_time::\x1b[2J\n");
	r = run_panel(pps, "--once");
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, "time ?\nclock ?\nindoor ?\noutdoor ?\nsetpoint 72\n"
	    "mode ?\n"
	    "fan ?\nplant ?\nrunning yes\n");
	for (const char *junk : { "nothing here", "" }) {
		kt::write_file(outputs(), junk);
		r = run_panel(pps, "--once");
		EXPECT_EQ(r.status, 1) << junk;
		EXPECT_NE(r.err.find("nothing readable"), std::string::npos);
	}
}

TEST_F(PanelOnce, ArgumentsAndNoTerminal)
{
	const struct {
		const char *args;
		int status;
		const char *says;
	} cases[] = { { "--bogus", 2, "usage: kelvo-panel" },
	    { "--once extra", 2, "usage: kelvo-panel" },
	    { "--help", 0, "usage: kelvo-panel" },
	    /* No terminal: a pointer to --once, not a broken screen. */
	    { "", 1, "--once" } };
	for (const auto &c : cases) {
		Result r = run_panel(pps, c.args);
		EXPECT_EQ(r.status, c.status) << c.args;
		EXPECT_NE((r.out + r.err).find(c.says), std::string::npos)
		    << c.args;
	}
}

/* The panel in a tmux session of its own. */
class PanelTmux : public PanelLive {
protected:
	std::string sock;

	void SetUp() override {
		if (system("command -v tmux >/dev/null 2>&1") != 0)
			GTEST_SKIP() << "tmux is not installed";
		PanelLive::SetUp();
		static int serial;
		sock = "kelvo-panel-test-" + std::to_string(getpid()) + "-" +
		    std::to_string(serial++);
	}
	void TearDown() override {
		if (!sock.empty())
			sh(tmux("kill-server") + " 2>/dev/null");
	}
	std::string tmux(const std::string &args) const {
		return "tmux -L " + sock + " -f /dev/null " + args;
	}
	void start(int cols, int lines) {
		int st;
		sh(tmux("new-session -d -s panel -x " + std::to_string(cols) +
		    " -y " + std::to_string(lines) + " \"env PPS_ROOT='" + pps +
		    "' LANG=C.UTF-8 '" KELVO_PANEL_BIN "'; echo \\$? >'" +
		    (root / "status") + "'\""), &st);
		ASSERT_EQ(st, 0);
		/* Keep the pane when the panel ends, to see how it left the
		 * screen; the status comes through a file, as tmux does not
		 * always get to reap the pane in time to tell it. */
		sh(tmux("set-option -t panel remain-on-exit on"), &st);
		ASSERT_EQ(st, 0);
	}
	std::string screen() const {
		return sh(tmux("capture-pane -p -t panel") + " 2>/dev/null");
	}
	bool shows(const std::string &text) const {
		return kt::wait_for([&] {
			return screen().find(text) != std::string::npos;
		});
	}
	void keys(const std::string &k) const {
		sh(tmux("send-keys -t panel " + k));
	}
	/*
	 * The panel's exit status and whether the pane is still on the
	 * alternate screen, once the panel has ended; "" if it never did.
	 */
	std::string ending() const {
		std::string status, alt;
		kt::wait_for([&] {
			status = kt::read_file(root / "status");
			alt = sh(tmux("display-message -p -t panel "
			    "'#{alternate_on}'"));
			return !status.empty() && alt == "0\n";
		});
		return status.empty() ? "" : status + "alternate " + alt;
	}
};

TEST_F(PanelTmux, ShowsTheSetPointAndMovesItWithTheKeys)
{
	auto k = kelvo();
	start(80, 24);
	ASSERT_TRUE(shows("set point 68")) << screen();
	for (const char *what : { "mode HEAT", "fan AUTO", "time ", "q quit" })
		EXPECT_NE(screen().find(what), std::string::npos) << screen();
	/* The clock in the faces' form, not the published "05:00p". */
	EXPECT_TRUE(kt::wait_for([&] { return std::regex_search(screen(),
	    std::regex("time (1[0-2]|[1-9]):[0-5][0-9] [ap]m")); })) << screen();

	keys("-l +");
	EXPECT_TRUE(shows("set point 69")) << screen();
	EXPECT_TRUE(kt::wait_for([&] { return setpoint() == "69"; }))
	    << setpoint();
	keys("Down");
	EXPECT_TRUE(shows("set point 68")) << screen();
	EXPECT_TRUE(kt::wait_for([&] { return setpoint() == "68"; }));
	keys("m");
	EXPECT_TRUE(shows("mode COOL")) << screen();

	/* q leaves a restored terminal, and no press behind in the inputs
	 * object for a kelvo started later to take as new. */
	keys("q");
	EXPECT_EQ(ending(), "0\nalternate 0\n");
	std::string in = kt::read_file(pps + "/kelvo/inputs");
	EXPECT_EQ(in, "@inputs\nbtn1::\nbtn2::\nbtn3::\nbtn4::\n");
}

/* A modern kelvo: the preset and the humidity, and the band in AUTO. */
TEST_F(PanelTmux, ShowsAModernThermostatsBandPresetAndHumidity)
{
	auto k = kelvo({ "-p", "modern", "-m", "AUTO" });
	start(80, 24);
	ASSERT_TRUE(shows("band 68..74")) << screen();
	EXPECT_TRUE(shows("preset none  humidity 4")) << screen();
	EXPECT_TRUE(shows("mode AUTO")) << screen();
	keys("-l +");
	EXPECT_TRUE(shows("band 69..75")) << screen();
	EXPECT_TRUE(kt::wait_for([&] {
		return kt::element(kt::read_file(state + "/kelvoweb.xml"),
		    "ts_temp_low") == "69"; }));
	EXPECT_EQ(setpoint(), "68");
	keys("m");
	EXPECT_TRUE(shows("set point 68")) << screen();
	keys("q");
	EXPECT_EQ(ending(), "0\nalternate 0\n");
}

TEST_F(PanelTmux, WaitsForKelvoAndFollowsItsRestarts)
{
	start(80, 24);
	EXPECT_TRUE(shows("waiting for kelvo")) << screen();
	keys("-l +");	/* nobody to take it: said so, nothing breaks */
	EXPECT_TRUE(shows("kelvo takes no buttons")) << screen();
	{
		auto k = kelvo();
		EXPECT_TRUE(shows("set point 68")) << screen();
		EXPECT_EQ(screen().find("waiting for kelvo"), std::string::npos);
	}
	EXPECT_TRUE(shows("kelvo silent")) << screen();
	auto k = kelvo({ "-t", "75" });
	EXPECT_TRUE(shows("set point 75")) << screen();
	EXPECT_EQ(setpoint(), "75");
}

TEST_F(PanelTmux, SaysHowBigAWindowItNeedsAndEndsOnCtrlC)
{
	auto k = kelvo();
	start(40, 10);
	EXPECT_TRUE(shows("needs 50x16, this is 40x10")) << screen();
	sh(tmux("resize-window -t panel -x 80 -y 24"));
	EXPECT_TRUE(shows("set point 68")) << screen();
	keys("C-c");
	EXPECT_EQ(ending(), "0\nalternate 0\n");
}

} // namespace
