/*
 * kelvo-web's API document against the contract.  The document is written
 * by hand and kelvo-matter generates its constants from it, so every enum
 * and limit in it must be the contract's; and what kelvo-web takes (a mode
 * in any letter case) the document's request schemas must take too, or a
 * validating proxy or a generated client refuses what kelvo-web answers.
 */
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

#include "contract.h"

using nlohmann::json;

namespace {

json
document()
{
	std::ifstream in(KELVO_OPENAPI);
	return json::parse(in);
}

std::set<std::string>
texts(const json &list)
{
	std::set<std::string> s;
	for (auto &v : list)
		if (v.is_string())
			s.insert(v.get<std::string>());
	return s;
}

template <typename F>
std::set<std::string>
names(int from, int to, F name)
{
	std::set<std::string> s;
	for (int i = from; i <= to; i++)
		s.insert(name(i));
	return s;
}

/* A value of a request: the upper-case texts, or any case of them. */
void
takesAnyCase(const json &schema, const std::set<std::string> &words,
    const std::string &what)
{
	SCOPED_TRACE(what);
	ASSERT_TRUE(schema.contains("anyOf")) << schema.dump();
	EXPECT_EQ(texts(schema["anyOf"][0]["enum"]), words);
	std::regex re(schema["anyOf"][1]["pattern"].get<std::string>(),
	    std::regex::ECMAScript);
	for (const std::string &w : words) {
		std::string lower, mixed;
		for (size_t i = 0; i < w.size(); i++) {
			lower += (char)tolower((unsigned char)w[i]);
			mixed += i % 2 ? (char)tolower((unsigned char)w[i]) : w[i];
		}
		for (const std::string &v : { w, lower, mixed, " " + lower + "\t" })
			EXPECT_TRUE(std::regex_search(v, re)) << v;
	}
	for (const char *bad : { "", "AUTOMATIC", "HE AT", "x", "ONOFF" })
		EXPECT_FALSE(std::regex_search(std::string(bad), re)) << bad;
}

TEST(OpenApi, EveryEnumIsTheContracts)
{
	json d = document();
	json &sc = d["components"]["schemas"];
	auto modes = names(MODE_OFF, MODE_AUTO, kc_mode_name);
	auto fans = names(FAN_AUTO, FAN_ON, kc_fan_name);
	auto syses = names(SYS_OFF, SYS_ON, kc_sys_name);
	auto plants = names(PLANT_OFF, PLANT_IDLE, kc_plant_name);
	auto buttons = names(BTN_MODE, BTN_DOWN, kc_button_name);
	auto faults = names(0, KC_FAULTS - 1,
	    [](int i) { return kc_fault_name[i]; });

	EXPECT_EQ(texts(sc["State"]["properties"]["ts_mode"]["enum"]), modes);
	EXPECT_EQ(texts(sc["State"]["properties"]["ts_fan"]["enum"]), fans);
	EXPECT_EQ(texts(sc["State"]["properties"]["td_sys"]["enum"]), syses);
	EXPECT_EQ(texts(sc["State"]["properties"]["plant"]["enum"]), plants);
	EXPECT_EQ(texts(sc["HistorySample"]["properties"]["td_sys"]["enum"]),
	    syses);
	EXPECT_EQ(texts(sc["Fault"]["enum"]), faults);
	EXPECT_EQ(texts(sc["SimCommands"]["properties"]["press"]["items"]
	    ["enum"]), buttons);
	EXPECT_EQ(texts(d["paths"]["/api/press/{button}"]["post"]["parameters"]
	    [0]["schema"]["enum"]), buttons);
	json &put = d["paths"];
	EXPECT_EQ(texts(put["/api/mode"]["put"]["responses"]["202"]["content"]
	    ["application/json"]["schema"]["properties"]["target"]["enum"]),
	    modes);
	EXPECT_EQ(texts(put["/api/fan"]["put"]["responses"]["202"]["content"]
	    ["application/json"]["schema"]["properties"]["target"]["enum"]),
	    fans);
	std::set<std::string> states = { "running", "paused" };
	EXPECT_EQ(texts(sc["Sim"]["properties"]["state"]["enum"]), states);
	EXPECT_EQ(texts(sc["SimCommands"]["properties"]["state"]["enum"]),
	    states);
}

TEST(OpenApi, RequestsTakeEveryLetterCaseKelvoWebTakes)
{
	json d = document();
	json &cmd = d["components"]["schemas"]["SimCommands"]["properties"];
	auto modes = names(MODE_OFF, MODE_AUTO, kc_mode_name);
	auto fans = names(FAN_AUTO, FAN_ON, kc_fan_name);

	takesAnyCase(cmd["ts_mode"], modes, "ts_mode");
	takesAnyCase(cmd["ts_fan"], fans, "ts_fan");
	takesAnyCase(cmd["td_sys"], names(SYS_OFF, SYS_ON, kc_sys_name),
	    "td_sys");
	for (auto &[path, words] : { std::make_pair("/api/mode", modes),
	    std::make_pair("/api/fan", fans) })
		takesAnyCase(d["paths"][path]["put"]["requestBody"]["content"]
		    ["application/json"]["schema"]["properties"]["value"], words,
		    path);
	/* What the pattern takes is what the contract reads. */
	for (const char *v : { "heat", " Cool\t", "oFF" })
		EXPECT_NE(kc_mode_of(v), MODE_UNKNOWN) << v;
}

TEST(OpenApi, EveryLimitIsTheContracts)
{
	json d = document();
	json &cmd = d["components"]["schemas"]["SimCommands"]["properties"];
	const struct { const char *name; long lo, hi; } limits[] = {
		{ "step", 1, KC_STEP_MAX },
		{ "pm_interval", 1, KC_INTERVAL_MAX },
		{ "pm_minutes", 1, KC_MINUTES_MAX },
		{ "td_temp_in_", -KC_TEMP_MAX, KC_TEMP_MAX },
		{ "td_temp_out_", -KC_TEMP_MAX, KC_TEMP_MAX },
		{ "ts_temp", 0, KC_TEMP_MAX },
	};
	char why[KC_WHY_LEN];
	for (auto &l : limits) {
		SCOPED_TRACE(l.name);
		EXPECT_EQ(cmd[l.name]["minimum"], l.lo);
		EXPECT_EQ(cmd[l.name]["maximum"], l.hi);
		/* The contract takes the edges and nothing past them. */
		EXPECT_TRUE(kc_command_check(l.name, std::to_string(l.lo).c_str(),
		    why, sizeof(why))) << why;
		EXPECT_TRUE(kc_command_check(l.name, std::to_string(l.hi).c_str(),
		    why, sizeof(why))) << why;
		EXPECT_FALSE(kc_command_check(l.name,
		    std::to_string(l.hi + 1).c_str(), why, sizeof(why)));
		EXPECT_FALSE(kc_command_check(l.name,
		    std::to_string(l.lo - 1).c_str(), why, sizeof(why)));
	}
	EXPECT_EQ(cmd["press"]["maxItems"].get<int>(), KC_BATCH_MAX - 1);
	json &sp = d["paths"]["/api/setpoint"]["put"]["requestBody"]["content"]
	    ["application/json"]["schema"]["properties"]["value"];
	EXPECT_EQ(sp["minimum"], KC_SETPOINT_MIN);
	EXPECT_EQ(sp["maximum"], KC_SETPOINT_MAX);
	json &sim = d["components"]["schemas"]["Sim"]["properties"];
	EXPECT_EQ(sim["pm_interval"]["maximum"], KC_INTERVAL_MAX);
	EXPECT_EQ(sim["pm_minutes"]["maximum"], KC_MINUTES_MAX);
	json &step = d["paths"]["/api/sim/step"]["post"]["requestBody"]
	    ["content"]["application/json"]["schema"]["properties"]["ticks"];
	EXPECT_EQ(step["maximum"], KC_STEP_MAX);
}

/*
 * The presets kelvo-matter shows controllers come from the document: their
 * names and, in x-kelvo-presets, each one's set point and band.
 */
TEST(OpenApi, PresetsAreTheContracts)
{
	json d = document();
	json &p = d["components"]["schemas"]["SimCommands"]["properties"]
	    ["preset"];
	auto presets = names(PRESET_HOME, PRESET_SLEEP,
	    [](int i) { return kc_presets[i].name; });
	EXPECT_EQ(texts(p["enum"]), presets);
	EXPECT_EQ(texts(d["paths"]["/api/preset"]["put"]["requestBody"]
	    ["content"]["application/json"]["schema"]["properties"]["preset"]
	    ["enum"]), presets);
	json &x = p["x-kelvo-presets"];
	ASSERT_TRUE(x.is_object()) << p.dump();
	EXPECT_EQ(x.size(), presets.size());
	for (int i = PRESET_HOME; i <= PRESET_SLEEP; i++) {
		const struct kc_preset &k = kc_presets[i];
		SCOPED_TRACE(k.name);
		ASSERT_TRUE(x.contains(k.name));
		EXPECT_EQ(x[k.name]["setpoint"], k.setpoint);
		EXPECT_EQ(x[k.name]["low"], k.low);
		EXPECT_EQ(x[k.name]["high"], k.high);
	}
}

}  // namespace
