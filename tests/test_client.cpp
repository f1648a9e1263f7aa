/*
 * The client library every face is built on: drives and pacing with a
 * made-up clock, the JSON shape of hostile texts, and the link run
 * against a real kelvo, from a press refused while none runs to targets
 * and quick presses reaching the document and kelvo's stop being noticed;
 * and the log lines, a flood of them summarised.
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <thread>
#include <tuple>

#include "control.h"
#include "json.h"
#include "link.h"
#include "logline.h"
#include "parse.h"
#include "platform.h"
#include "testutil.h"
#include "topics.h"

namespace {

struct client_state
state(const std::string &text)
{
	struct client_state st;
	client_parse(text.data(), text.size(), &st);
	return st;
}

/*
 * A child floods two kinds of line into a file as its standard error:
 * each kind's first line comes at once, the rest as counts that add up,
 * a lone late line as itself, and no line of a client's text can break.
 */
TEST(ClientLogline, FloodsAreCountedAndNothingIsLost)
{
	kt::TempDir dir;
	std::string path = dir / "err";
	pid_t pid = fork();
	if (pid == 0) {
		freopen(path.c_str(), "w", stderr);
		logline_name("t");
		for (int i = 0; i < 5000; i++)
			logline("bad command %d\nforged: line", i);
		logline("once");
		std::this_thread::sleep_for(std::chrono::milliseconds(1100));
		logline_flush();
		logline("once");	/* the kind is quiet again: at once */
		logline("late %d", 1);
		logline("late %d", 2);	/* held, then shown as itself */
		logline_end();
		_exit(0);
	}
	int status;
	ASSERT_EQ(waitpid(pid, &status, 0), pid);
	std::istringstream in(kt::read_file(path));
	std::vector<std::string> lines;
	for (std::string l; std::getline(in, l);)
		lines.push_back(l);
	ASSERT_EQ(lines.size(), 6u) << kt::read_file(path);
	EXPECT_EQ(lines[0], "t: bad command 0?forged: line");
	EXPECT_EQ(lines[1], "t: once");
	EXPECT_EQ(lines[2].rfind("t: bad command 4999?forged: line (4999 like "
	    "this in ", 0), 0u) << lines[2];
	EXPECT_EQ(lines[3], "t: once");
	EXPECT_EQ(lines[4], "t: late 1");
	EXPECT_EQ(lines[5], "t: late 2");
}

/*
 * One format about different topics is as many kinds: a bad mode, a bad
 * fan and a bad press in one second are three lines at once, each
 * topic's repeats counted apart.  Past LOGLINE_KINDS kinds in a second,
 * new topics are counted together, so the lines stay few.
 */
TEST(ClientLogline, EachErrorOnEachTopicShowsAtOnce)
{
	kt::TempDir dir;
	std::string path = dir / "err";
	const char *bad = "%s: \"%s\" ignored";
	pid_t pid = fork();
	if (pid == 0) {
		freopen(path.c_str(), "w", stderr);
		logline_name("t");
		for (int i = 0; i < 3; i++) {
			logline_on("set/mode", bad, "set/mode", "HOT");
			logline_on("set/fan", bad, "set/fan", "OFF");
			logline_on("press", bad, "press", "left");
			logline_on("press", "%s: dropped", "press");
		}
		char topic[32];
		for (int i = 0; i < 1000; i++) {
			snprintf(topic, sizeof(topic), "t%d", i);
			logline_on(topic, bad, topic, "x");
		}
		logline_end();
		_exit(0);
	}
	int status;
	ASSERT_EQ(waitpid(pid, &status, 0), pid);
	std::istringstream in(kt::read_file(path));
	std::vector<std::string> lines;
	for (std::string l; std::getline(in, l);)
		lines.push_back(l);
	ASSERT_GE(lines.size(), 4u);
	EXPECT_EQ(lines[0], "t: set/mode: \"HOT\" ignored");
	EXPECT_EQ(lines[1], "t: set/fan: \"OFF\" ignored");
	EXPECT_EQ(lines[2], "t: press: \"left\" ignored");
	EXPECT_EQ(lines[3], "t: press: dropped");
	int told = 0;
	for (const std::string &l : lines) {
		size_t n = l.find(" (");
		told += n != std::string::npos ? atoi(l.c_str() + n + 2) : 1;
	}
	EXPECT_EQ(told, 12 + 1000) << "every line told";
	EXPECT_LE(lines.size(), 4u + 2 * LOGLINE_KINDS) << kt::read_file(path);
}

TEST(ClientJson, TypesEachAttributeAndNullsWhatDoesNotRead)
{
	struct client_state odd = state("@outputs\nts_mode::HEAT\nts_fan::\n"
	    "ts_temp::68.5\ntd_temp_in_::66.127\ntd_temp_in::66\n"
	    "td_temp_out_::nan\ntd_temp_out::x\ntd_sys::O\x01N\n"
	    "td_time_::1704\n");
	nlohmann::json j = client_state_json(&odd);
	EXPECT_EQ(j.size(), 19u);
	EXPECT_EQ(j["minute"], 17 * 60 + 4);
	EXPECT_EQ(j["ts_mode"], "HEAT");
	EXPECT_EQ(j["td_temp_in_"], 66.127);
	EXPECT_EQ(j["td_temp_in"], 66);
	EXPECT_EQ(j["td_time_"], "1704");
	for (const char *k : { "ts_fan", "ts_temp", "td_temp_out_",
	    "td_temp_out", "td_sys", "td_time" })
		EXPECT_TRUE(j[k].is_null()) << k;

	struct client_history h;
	client_history_clear(&h);
	struct client_state a = state("td_time_::2359\ntd_temp_in_::65.96\n"
	    "td_sys::ON\nts_temp::68\n");
	struct client_state b = state("td_time_::0001\ntd_temp_out_::59.933\n");
	client_history_add(&h, &a);
	client_history_add(&h, &b);
	nlohmann::json hj = client_history_json(&h);
	ASSERT_EQ(hj.size(), 2u);
	EXPECT_EQ(hj[0].dump(), "{\"minute\":1439,\"td_sys\":\"ON\","
	    "\"td_temp_in_\":65.96,"
	    "\"td_temp_out_\":null,\"td_time_\":\"2359\",\"ts_temp\":68}");
	EXPECT_EQ(hj[1]["td_time_"], "0001");
	EXPECT_EQ(hj[1]["td_temp_out_"], 59.933);
}

/*
 * The state's enums, plant and clock as every JSON face hands them out,
 * and the control values every face sends: kelvo's own text or as given.
 */
TEST(ClientJson, EnumsPlantAndTheClockShown)
{
	const struct {
		const char *text, *mode, *sys, *plant, *clock;
	} cases[] = {
		{ "ts_mode::HEAT\nts_fan::ON\ntd_sys::OFF\ntd_time_::1200\n",
		    "HEAT", "OFF", "fan", "12:00 pm" },
		{ "ts_mode::heat\nts_fan::ON\ntd_sys::ON\ntd_time_::0000\n",
		    nullptr, "ON", nullptr, "12:00 am" },
		{ "ts_mode::OFF\nts_fan::AUTO\ntd_sys::ON\ntd_time_::2359\n",
		    "OFF", "ON", "off", "11:59 pm" },
		{ "ts_mode::COOL\nts_fan::AUTO\ntd_sys::On\ntd_time_::0024\n",
		    "COOL", nullptr, nullptr, "12:24 am" },
		{ "ts_mode::COOL\nts_fan::AUTO\ntd_sys::ON\ntd_time::12:00a\n",
		    "COOL", "ON", "cooling", nullptr },
	};
	for (const auto &c : cases) {
		struct client_state st = state(c.text);
		nlohmann::json j = client_state_json(&st);
		auto is = [](const nlohmann::json &v, const char *want) {
			return want ? v == want : v.is_null();
		};
		EXPECT_TRUE(is(j["ts_mode"], c.mode)) << c.text << j.dump();
		EXPECT_TRUE(is(j["td_sys"], c.sys)) << c.text << j.dump();
		EXPECT_TRUE(is(j["plant"], c.plant)) << c.text << j.dump();
		EXPECT_TRUE(is(j["clock"], c.clock)) << c.text << j.dump();
	}

	const struct {
		const char *name, *value, *sent;
	} values[] = {
		{ "ts_mode", "heat", "HEAT" }, { "ts_mode", " Cool ", "COOL" },
		{ "ts_fan", "on", "ON" }, { "td_sys", "oFf", "OFF" },
		{ "ts_mode", "warm", "warm" }, { "ts_mode", "HEAT\n", "HEAT\n" },
		{ "ts_fan", "o n", "o n" }, { "state", "Paused", "Paused" },
		{ "reset", "on", "on" }, { "ts_fan", "", "" },
	};
	for (const auto &v : values)
		EXPECT_STREQ(client_control_value(v.name, v.value), v.sent)
		    << v.name << "=" << v.value;
}

/*
 * A modern text: its six values typed, AUTO a mode only there, the plant
 * in AUTO from the call, the status lines.
 */
TEST(ClientJson, ModernValuesAutoAndTheBand)
{
	const char *modern = "@outputs\nts_mode::AUTO\nts_fan::AUTO\n"
	    "ts_temp::70\ntd_temp_in_::75.000\ntd_temp_in::75\ntd_sys::ON\n"
	    "td_time_::1300\nts_temp_low::68\nts_temp_high::74\n"
	    "ts_preset::home\ntd_call::COOL\ntd_humidity_::41.250\n"
	    "td_humidity::41\n";
	struct client_state st = state(modern);
	nlohmann::json j = client_state_json(&st);
	EXPECT_TRUE(st.modern);
	EXPECT_EQ(j["ts_mode"], "AUTO");
	EXPECT_EQ(j["ts_temp_low"], 68);
	EXPECT_EQ(j["ts_temp_high"], 74);
	EXPECT_EQ(j["ts_preset"], "home");
	EXPECT_EQ(j["td_call"], "COOL");
	EXPECT_EQ(j["td_humidity_"], 41.25);
	EXPECT_EQ(j["td_humidity"], 41);
	EXPECT_EQ(j["plant"], "cooling");
	char out[512];
	client_format(&st, out, sizeof(out));
	EXPECT_NE(std::string(out).find("mode AUTO\nfan AUTO\nplant cooling\n"
	    "low 68\nhigh 74\npreset home\ncall COOL\nhumidity 41\n"),
	    std::string::npos) << out;

	/* A classic kelvo's AUTO is no mode, and its values are null. */
	st = state("ts_mode::AUTO\nts_fan::AUTO\ntd_sys::ON\n");
	j = client_state_json(&st);
	EXPECT_FALSE(st.modern);
	EXPECT_EQ(st.mode, MODE_UNKNOWN);
	EXPECT_TRUE(j["ts_mode"].is_null());
	EXPECT_TRUE(j["plant"].is_null());
	EXPECT_TRUE(j["ts_preset"].is_null());
	/* Bad modern texts are null, and leave the others standing. */
	st = state("ts_temp_low::6x\nts_preset::work\ntd_call::heat\n"
	    "td_humidity::41\n");
	j = client_state_json(&st);
	EXPECT_TRUE(j["ts_temp_low"].is_null());
	EXPECT_TRUE(j["ts_preset"].is_null());
	EXPECT_TRUE(j["td_call"].is_null());
	EXPECT_EQ(j["td_humidity"], 41);
	EXPECT_TRUE(st.has_humidity);
	EXPECT_STREQ(client_control_value("ts_mode", "auto"), "AUTO");
	EXPECT_STREQ(client_control_value("td_call", "cool"), "COOL");

	/* On the broker a classic state keeps its keys, a modern one adds. */
	st = state("ts_mode::HEAT\nts_temp::70\ntd_sys::ON\n");
	EXPECT_FALSE(mqtt_state_json(&st).contains("ts_temp_low"));
	EXPECT_TRUE(mqtt_state_json(&st).contains("ts_temp"));
	st = state(modern);
	EXPECT_EQ(mqtt_state_json(&st)["ts_temp_low"], 68);
	struct mqtt_topics t;
	mqtt_make_topics("kelvo", "t1", "homeassistant", &t);
	nlohmann::json d = mqtt_discovery("t1", &t, "kelvo-fleet", true);
	EXPECT_EQ(d["origin"]["name"], "kelvo-fleet");
	EXPECT_EQ(d["temp_lo_cmd_t"], "kelvo/t1/set/temp_low");
	EXPECT_FALSE(mqtt_discovery("t1", &t).contains("temp_lo_cmd_t"));
}

/* kelvo's answers, as the link's sender tells them: what, result. */
std::mutex answers_mutex;
std::vector<std::pair<std::string, int>> answers;

static size_t
answered(void)
{
	std::lock_guard<std::mutex> g(answers_mutex);
	return answers.size();
}

TEST(ClientLink, PressesAndTargetsAreAnsweredBatchesAndAStopIsNoticed)
{
	kt::TempDir root;
	std::string pps = root / "pps", doc = root / "kelvoweb.xml";
	ASSERT_EQ(mkdir(pps.c_str(), 0700), 0);
	setenv("PPS_ROOT", pps.c_str(), 1);
	struct link_hooks hooks = {};
	hooks.answered = [](const char *what, int result, const char *, void *) {
		std::lock_guard<std::mutex> g(answers_mutex);
		answers.emplace_back(what, result);
	};
	ASSERT_EQ(link_start(&hooks), 0);

	/* Nobody to take it: refused, nothing written. */
	EXPECT_EQ(link_press(BTN_UP), LINK_DOWN);
	EXPECT_EQ(link_set("ts_temp", "70"), LINK_DOWN);
	EXPECT_FALSE(kt::exists(pps + "/kelvo/control"));

	auto value = [&](const char *name) {
		return kt::element(kt::read_file(doc), name);
	};
	{
		kt::Kelvo k(pps, { root.path }, root.path);
		ASSERT_TRUE(kt::wait_for(link_running));
		for (auto [name, v] : std::vector<std::pair<const char *,
		    const char *>>{ { "ts_temp", "59" }, { "ts_temp", "91" },
		    { "ts_temp", "1000" }, { "ts_temp", "7x" },
		    { "ts_mode", "WARM" }, { "td_sys", "ON" } })
			EXPECT_EQ(link_set(name, v), LINK_BAD) << name << v;
		EXPECT_EQ(link_press(0), LINK_BAD);
		/* A target, then presses on it: in order, each from the last. */
		EXPECT_GE(link_set("ts_temp", "80"), 1);
		EXPECT_GE(link_set("ts_mode", "COOL"), 1);
		EXPECT_GE(link_set("ts_fan", "ON"), 1);
		for (int i = 0; i < 10; i++)
			EXPECT_GE(link_press(i < 9 ? BTN_UP : BTN_DOWN), 1);
		EXPECT_TRUE(kt::wait_for([] { return answered() == 13; }, 30));
		EXPECT_EQ(value("ts_temp"), "88");
		EXPECT_EQ(value("ts_mode"), "COOL");
		EXPECT_EQ(value("ts_fan"), "ON");
		{
			std::lock_guard<std::mutex> g(answers_mutex);
			for (const auto &a : answers)
				EXPECT_EQ(a.second, CONTROL_APPLIED) << a.first;
			EXPECT_EQ(answers[0].first, "ts_temp 80");
			EXPECT_EQ(answers[12].first, "press down");
		}
		struct client_state st;
		EXPECT_TRUE(kt::wait_for([&] { return link_latest(&st) &&
		    st.setpoint == 88; })) << st.setpoint;
		/* The inputs object is the PPS clients' own: untouched. */
		EXPECT_EQ(kt::read_file(pps + "/kelvo/inputs").find("event"),
		    std::string::npos);
		k.kill_hard();
	}
	/* A killed kelvo leaves its last text: silence says it is gone. */
	EXPECT_TRUE(kt::wait_for([] { return !link_running(); }, 15));
	EXPECT_EQ(link_status(nullptr), LINK_SILENT);
	EXPECT_EQ(link_press(BTN_DOWN), LINK_DOWN);
	link_stop(1000);
}

/* One batch of one command through client_control_send: its result. */
static int
send_one(const char *name, const std::string &value,
    int ms = CONTROL_WAIT_MS)
{
	struct client_batch b;
	struct client_sim sim;
	char why[320];

	client_batch_init(&b);
	if (!client_batch_add(&b, name, value.c_str()))
		return -1;
	int r = client_control_send(&b, ms, &sim, why, sizeof(why));
	if (r != CONTROL_APPLIED)
		fprintf(stderr, "%s %s: %d %s\n", name, value.c_str(), r, why);
	return r;
}

/*
 * One process's batches, one after another and two threads' at once,
 * through a kelvo killed and started again in a PPS directory made anew:
 * each answered by its own id, and the lock that the sender keeps from
 * one batch to the next still the one every other sender takes.
 */
TEST(ClientControl, BatchesAcrossAKelvoStartedAgainInANewDirectory)
{
	kt::TempDir root;
	std::string pps = root / "pps", doc = root / "kelvoweb.xml";
	ASSERT_EQ(mkdir(pps.c_str(), 0700), 0);
	setenv("PPS_ROOT", pps.c_str(), 1);
	auto value = [&](const char *name) {
		return kt::element(kt::read_file(doc), name);
	};
	for (int life = 0; life < 2; life++) {
		kt::Kelvo k(pps, { root.path }, root.path);
		/* Its sim object comes after its first publication. */
		ASSERT_TRUE(kt::wait_for([] {
			struct client_sim sim;
			bool have = false;
			return client_running_now(&sim, &have) && have;
		})) << life;
		if (life > 0) {
			/* Another sender holds the new directory's lock. */
			int other = pps_lock(KC_CONTROL, 0);
			ASSERT_GE(other, 0);
			EXPECT_EQ(send_one("ts_temp", "70", 200), CONTROL_BUSY);
			pps_unlock(other);
		}
		for (int t = 61; t <= 88; t += 3)
			EXPECT_EQ(send_one("ts_temp", std::to_string(t + life)),
			    CONTROL_APPLIED) << life << " " << t;
		EXPECT_EQ(value("ts_temp"), std::to_string(88 + life));
		ASSERT_EQ(send_one("ts_temp", "75"), CONTROL_APPLIED);
		/* Ups on one thread, downs on another: each one taken. */
		std::vector<int> results[2];
		auto presses = [&](int side) {
			for (int i = 0; i < 10; i++)
				results[side].push_back(send_one("press",
				    side ? "down" : "up"));
		};
		std::thread up(presses, 0), down(presses, 1);
		up.join();
		down.join();
		for (int side = 0; side < 2; side++)
			for (int r : results[side])
				EXPECT_EQ(r, CONTROL_APPLIED) << side;
		EXPECT_EQ(value("ts_temp"), "75");
		k.kill_hard();
		ASSERT_EQ(system(("rm -rf '" + pps + "/kelvo'").c_str()), 0);
	}
	/* Nobody there now: said so, nothing waited for. */
	EXPECT_EQ(send_one("ts_temp", "70"), CONTROL_DOWN);
	unsetenv("PPS_ROOT");
}

/* The faces' own rules are flags: each face's inputs, good and bad. */
TEST(ClientParse, SetPointsAndButtonsByFace)
{
	const int web = 0, mqtt = SETPOINT_TEXT | SETPOINT_ROUND;
	using nlohmann::json;
	int v = -1;

	EXPECT_TRUE(client_setpoint(json(72), web, &v) && v == 72);
	EXPECT_TRUE(client_setpoint(json(72.0), web, &v) && v == 72);
	for (json bad : { json(70.5), json("72"), json(59), json(91),
	    json(18446744073709551615ULL), json(-9223372036854775807LL),
	    json(true), json(nullptr) })
		EXPECT_FALSE(client_setpoint(bad, web, &v)) << bad;
	EXPECT_TRUE(client_setpoint(json("69.5"), mqtt, &v) && v == 70);
	EXPECT_TRUE(client_setpoint(json("59.5"), mqtt, &v) && v == 60);
	EXPECT_TRUE(client_setpoint(json("7.2e1"), mqtt, &v) && v == 72);
	EXPECT_TRUE(client_setpoint(json(70.5), mqtt, &v) && v == 71);
	for (const char *bad : { "", " 72", "90.5", "0x48", "inf", "nan",
	    "1e999", "72abc" })
		EXPECT_FALSE(client_setpoint(json(bad), mqtt, &v)) << bad;
	EXPECT_FALSE(client_setpoint(json(std::string("72\0", 3)), mqtt, &v));
	EXPECT_EQ(v, 71);		/* nothing written by a refusal */

	EXPECT_EQ(client_button_of("up", false), BTN_UP);
	EXPECT_EQ(client_button_of("UP", false), 0);
	EXPECT_EQ(client_button_of("Down", true), BTN_DOWN);
	EXPECT_EQ(client_button_of("press", true), 0);
	EXPECT_STREQ(client_button_name(BTN_FAN), "fan");
	EXPECT_STREQ(client_button_name(9), "?");
}

TEST(ClientParse, HostPortByFace)
{
	const int listen = HOSTPORT_ZERO, broker = HOSTPORT_OPTIONAL;
	char host[HOSTPORT_HOST_MAX];
	int port = -1;

	ASSERT_TRUE(client_hostport("127.0.0.1:0", listen, host, sizeof(host),
	    &port));
	EXPECT_STREQ(host, "127.0.0.1");
	EXPECT_EQ(port, 0);
	ASSERT_TRUE(client_hostport("[::1]:08080", listen, host, sizeof(host),
	    &port));
	EXPECT_STREQ(host, "::1");
	EXPECT_EQ(port, 8080);
	for (const char *bad : { "localhost", "::1", "[::1]", ":80", "h:",
	    "h:65536", "h:+80", "h:8 0", "[a]b]:80", "[]:80", "[::1]x:80",
	    "a[b:80" })
		EXPECT_FALSE(client_hostport(bad, listen, host, sizeof(host),
		    &port)) << bad;
	EXPECT_EQ(port, 8080);		/* nothing written by a refusal */
	std::string longer(HOSTPORT_HOST_MAX, 'a');
	EXPECT_FALSE(client_hostport((longer + ":80").c_str(), listen, host,
	    sizeof(host), &port));

	port = -1;
	for (const char *ok : { "localhost", "::1", "[fe80::1]" }) {
		EXPECT_TRUE(client_hostport(ok, broker, host, sizeof(host),
		    &port)) << ok;
		EXPECT_EQ(port, -1) << ok;	/* left to the default */
	}
	EXPECT_STREQ(host, "fe80::1");
	EXPECT_TRUE(client_hostport("mqtt.lan:1883", broker, host,
	    sizeof(host), &port) && port == 1883);
	for (const char *bad : { "h:0", "zz::zz", "[::1]:", "" })
		EXPECT_FALSE(client_hostport(bad, broker, host, sizeof(host),
		    &port)) << bad;
}

} // namespace
