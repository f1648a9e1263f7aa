/*
 * scenfile.cpp - the scenario file: YAML read through yaml-cpp, checked
 * whole into a struct scenario, and the expectations compared.
 *
 * A file is untrusted text, and a scenario that is wrong must be refused
 * before any of it reaches kelvo, so every key, type and value is checked
 * here and the first fault is named with its line and column.  Control
 * values go through kc_command_check, the very check kelvo applies to its
 * control object, so a file that passes here is never refused by kelvo.
 * Scalars are taken as their text, quoted or not: "68" and 68 are the
 * same value, and ON stays ON rather than turning into a YAML boolean.
 * Before yaml-cpp builds its nodes, a pass over the parser's events
 * bounds what the file holds (its aliases counted as what they name)
 * and refuses control characters and second documents; only then is the
 * node tree built and walked.
 */
#include "scenfile.h"

#include <errno.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <new>
#include <set>
#include <sstream>

/*
 * GCC 12 takes yaml-cpp's node iterators for dangling pointers (a false
 * alarm inside the library's own headers, raised where this file makes
 * their instances, so it stays off for the file); the rest stays on.
 */
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic ignored "-Wdangling-pointer"
#endif
#include <yaml-cpp/eventhandler.h>
#include <yaml-cpp/yaml.h>

#include "control.h"

/*
 * A scenario file is untrusted, and yaml-cpp gives every node a few
 * hundred bytes, while an alias makes a copy of what it names each time
 * the scenario is built from it: the file is bounded in size, and in
 * what it holds once its aliases are counted as what they name.  With
 * these, no file takes play past 64 MB.
 */
#define FILE_MAX	(1L << 20)	/* bytes of the file */
#define NODES_MAX	50000L		/* keys, values, lists and maps */
#define TEXT_MAX	(2L << 20)	/* bytes of their keys and values */
#define STEPS_MAX	10000L
#define PRESSES_MAX	10000L		/* in all the steps */

/* The first fault found: where and what. */
struct fault {
	YAML::Mark	 mark;
	std::string	 what;
};

const char *
scenario_what_name(int what)
{
	return what == EXPECT_PLANT ? "plant" :
	    what >= 0 && what < KC_ATTRS_MODERN ? kc_attr_name[what] : "?";
}

/* Whether the attribute's values are numbers (ranges allowed). */
static bool
numeric(int what)
{
	return what == ATTR_SETPOINT || what == ATTR_IN_PRECISE ||
	    what == ATTR_IN || what == ATTR_OUT_PRECISE || what == ATTR_OUT ||
	    what == ATTR_TIME_PRECISE || what == ATTR_LOW || what == ATTR_HIGH ||
	    what == ATTR_HUMIDITY_PRECISE || what == ATTR_HUMIDITY;
}

/*
 * A number a scenario file gives, wherever it gives one, read by the
 * rules of the control object, so that what a file may say in one place
 * it may say in every other: the minutes of at as kc_whole reads a whole
 * number, an expected value and a range's bound as kc_decimal reads a
 * temperature, a set value by kc_command_check itself.  "0x10", " 68"
 * and "inf" are no number anywhere, and "-0" is 0 everywhere, as kelvo
 * takes it.
 */
static bool
file_number(const std::string &s, double *v)
{
	return kc_decimal(s.c_str(), v);
}

/* A text kelvo published as a finite number, blanks around it allowed. */
static bool
number_of(const std::string &s, double *v)
{
	const char *p = s.c_str();
	char *end;

	while (*p == ' ')
		p++;
	if (*p == '\0')
		return false;
	errno = 0;
	*v = strtod(p, &end);
	while (*end == ' ')
		end++;
	return *end == '\0' && errno == 0 && isfinite(*v);
}

static std::string
trimmed(const char *s)
{
	std::string t(s);
	size_t a = t.find_first_not_of(' '), b = t.find_last_not_of(' ');
	return a == std::string::npos ? "" : t.substr(a, b - a + 1);
}

std::string
scenario_shown(const struct client_state *st, int what)
{
	if (what == EXPECT_PLANT)
		return client_plant_name(client_plant(st));
	return trimmed(st->text[what]);
}

bool
scenario_holds(const struct scen_expect &e, const std::string &got)
{
	double g, w;

	if (e.range) {
		if (!number_of(got, &g))
			return false;
		return (!e.has_min || g >= e.min) && (!e.has_max || g <= e.max);
	}
	if (file_number(e.text, &w) && number_of(got, &g))
		return g == w;
	return got == e.text;
}

static std::string
num_text(double v)
{
	char buf[64];

	snprintf(buf, sizeof(buf), "%.10g", v);
	return buf;
}

std::string
scenario_want(const struct scen_expect &e)
{
	if (!e.range)
		return e.text.empty() ? "\"\"" : e.text;
	if (e.has_min && e.has_max)
		return num_text(e.min) + ".." + num_text(e.max);
	return e.has_min ? "at least " + num_text(e.min) :
	    "at most " + num_text(e.max);
}

std::string
scenario_quote(const std::string &v, bool number_ok)
{
	std::string q = "\"";
	double d;

	if (number_ok && number_of(v, &d) &&
	    v.find_first_not_of("0123456789.-") == std::string::npos &&
	    v[0] != '.' && v.back() != '.')
		return v;
	for (unsigned char c : v) {
		char hex[8];
		if (c == '"' || c == '\\') {
			q += '\\';
			q += (char)c;
		} else if (c < 0x20 || c >= 0x7f) {
			snprintf(hex, sizeof(hex), "\\x%02x", c);
			q += hex;
		} else {
			q += (char)c;
		}
	}
	return q + "\"";
}

static bool
fail(struct fault *f, const YAML::Node &n, const std::string &what)
{
	f->mark = n.Mark();
	f->what = what;
	return false;
}

/* The key's text; keys are plain scalars. */
static bool
key_of(const YAML::Node &k, std::string *name, struct fault *f)
{
	if (!k.IsScalar())
		return fail(f, k, "a key must be a plain name");
	*name = k.Scalar();
	return true;
}

/* Refuses a key seen before in the same map. */
static bool
unique(std::set<std::string> *seen, const YAML::Node &k,
    const std::string &name, struct fault *f)
{
	if (!seen->insert(name).second)
		return fail(f, k, "\"" + name + "\" is given twice");
	return true;
}

/*
 * A map of control commands (start, set) into cmds.  A step is refused:
 * it would move the clock outside the steps' "at".
 */
/*
 * The commands are checked in the profile the scenario's commands before
 * them leave (*profile), as kelvo checks them: a played scenario starts
 * from a reset, classic.  With refusal, a set the scenario expects
 * refused: the first command kelvo's check refuses gives its reason
 * there instead of failing the file, and the profile stays as it was,
 * since kelvo then applies none.
 */
static bool
commands(const YAML::Node &n, const char *what, std::vector<scen_cmd> *cmds,
    int *profile, struct fault *f, std::string *refusal = nullptr)
{
	std::set<std::string> seen;
	char why[KC_WHY_LEN];
	int before = *profile;

	if (!n.IsMap())
		return fail(f, n, std::string(what) + " must be a map of "
		    "control commands (name: value)");
	for (auto it = n.begin(); it != n.end(); ++it) {
		struct scen_cmd c;
		/* Copies: the iterator hands out a pair that dies with the line. */
		YAML::Node k = it->first, v = it->second;
		if (!key_of(k, &c.name, f) || !unique(&seen, k, c.name, f))
			return false;
		c.line = k.Mark().line + 1;
		/* The id is the sender's to give, never a scenario's. */
		if (kc_command_of(c.name.c_str()) == nullptr ||
		    kc_command_of(c.name.c_str())->json == KC_JSON_NONE)
			return fail(f, k, "\"" + c.name + "\" is no control "
			    "command");
		if (c.name == "step")
			return fail(f, k, "step is not taken in a scenario: its "
			    "time is the steps' at minutes");
		if (c.name == "fault" && v.IsSequence()) {
			for (size_t i = 0; i < v.size(); i++) {
				if (!v[i].IsScalar())
					return fail(f, v[i], "a fault must be "
					    "plant, sensor or silent");
				c.value += (i ? "," : "") + v[i].Scalar();
			}
		} else if (v.IsScalar()) {
			c.value = v.Scalar();
		} else {
			return fail(f, v, c.name + " needs a plain value" +
			    (c.name == "fault" ? " or a list" : ""));
		}
		/* ts_mode: heat is HEAT, as every face takes it. */
		c.value = client_control_value(c.name.c_str(), c.value.c_str());
		if (refusal != nullptr && !refusal->empty()) {
			/* Past the refused one: kelvo judges no further. */
		} else if (!kc_command_check_as(*profile, c.name.c_str(),
		    c.value.c_str(), why, sizeof(why))) {
			if (refusal == nullptr)
				return fail(f, v, why);
			*refusal = why;
		} else if (c.name == "profile")
			*profile = kc_profile_of(c.value.c_str());
		else if (c.name == "reset")
			*profile = KC_PROFILE_CLASSIC;
		cmds->push_back(c);
	}
	if (refusal != nullptr && !refusal->empty())
		*profile = before;
	/* Room for the player's own step and state in the same batch. */
	if (cmds->size() > KC_BATCH_MAX - 2)
		return fail(f, n, std::string(what) + " has more than " +
		    std::to_string(KC_BATCH_MAX - 2) + " commands");
	return true;
}

static bool
one_press(const YAML::Node &n, std::vector<int> *press, struct fault *f)
{
	int b;

	if (n.IsScalar() && (b = client_button_of(n.Scalar().c_str(),
	    false)) != 0) {
		press->push_back(b);
		return true;
	}
	return fail(f, n, "a press is up, down, mode or fan");
}

static bool
presses(const YAML::Node &n, std::vector<int> *press, struct fault *f)
{
	if (!n.IsSequence())
		return one_press(n, press, f);
	if (n.size() == 0)
		return fail(f, n, "press needs a button, or a list of them");
	for (size_t i = 0; i < n.size(); i++)
		if (!one_press(n[i], press, f))
			return false;
	return true;
}

/* A plain expected value: of the kind its attribute publishes. */
static bool
plain_ok(int what, const std::string &v)
{
	static const char *const plants[] = { "heating", "cooling", "fan",
	    "idle", "off" };
	double d;

	if (v.empty())
		return what != EXPECT_PLANT;
	if (numeric(what))
		return file_number(v, &d);
	switch (what) {
	case ATTR_MODE:
		return kc_mode_of_as(KC_PROFILE_MODERN, v.c_str()) !=
		    MODE_UNKNOWN;
	case ATTR_PRESET:
		return kc_preset_of(v.c_str()) >= 0;
	case ATTR_CALL:
		return kc_call_of(v.c_str()) != CALL_UNKNOWN;
	case ATTR_FAN:
		return kc_fan_of(v.c_str()) != FAN_UNKNOWN;
	case ATTR_SYS:
		return kc_sys_of(v.c_str()) != SYS_UNKNOWN;
	case EXPECT_PLANT:
		for (const char *p : plants)
			if (v == p)
				return true;
		return false;
	}
	return true;
}

static bool
expectations(const YAML::Node &n, std::vector<scen_expect> *out,
    struct fault *f)
{
	std::set<std::string> seen;

	if (!n.IsMap() || n.size() == 0)
		return fail(f, n, "expect must be a map of published names "
		    "and values");
	for (auto it = n.begin(); it != n.end(); ++it) {
		struct scen_expect e = {};
		YAML::Node k = it->first, v = it->second;
		std::string name;
		if (!key_of(k, &name, f) || !unique(&seen, k, name, f))
			return false;
		e.line = k.Mark().line + 1;
		e.what = -1;
		for (int w = 0; w <= EXPECT_PLANT; w++)
			if (name == scenario_what_name(w))
				e.what = w;
		if (e.what < 0)
			return fail(f, k, "\"" + name + "\" is not published "
			    "(the output names, or plant)");
		if (v.IsScalar()) {
			e.text = v.Scalar();
			if (!plain_ok(e.what, e.text))
				return fail(f, v, "\"" + e.text + "\" is never "
				    "what " + name + " shows");
			/* Compared with kelvo's own text: heat is HEAT. */
			if (e.what == ATTR_MODE || e.what == ATTR_FAN ||
			    e.what == ATTR_SYS || e.what == ATTR_CALL)
				e.text = client_control_value(name.c_str(),
				    e.text.c_str());
		} else if (v.IsMap() && numeric(e.what) && v.size() > 0) {
			e.range = true;
			for (auto r = v.begin(); r != v.end(); ++r) {
				std::string bound;
				double d;
				if (!key_of(r->first, &bound, f))
					return false;
				if (bound != "min" && bound != "max")
					return fail(f, r->first, "a range "
					    "takes min and max only");
				if (!r->second.IsScalar() ||
				    !file_number(r->second.Scalar(), &d))
					return fail(f, r->second, bound +
					    " must be a number");
				if (bound == "min") {
					if (e.has_min)
						return fail(f, r->first,
						    "min is given twice");
					e.has_min = true;
					e.min = d;
				} else {
					if (e.has_max)
						return fail(f, r->first,
						    "max is given twice");
					e.has_max = true;
					e.max = d;
				}
			}
			if (e.has_min && e.has_max && e.min > e.max)
				return fail(f, v, "min is above max");
		} else if (v.IsMap()) {
			return fail(f, v, numeric(e.what) ? "a range needs "
			    "min, max or both" : name + " is no number: "
			    "it takes a plain value");
		} else {
			return fail(f, v, name + " needs a value (\"\" expects "
			    "an empty one)");
		}
		out->push_back(e);
	}
	return true;
}

/* A whole number of minutes. */
static bool
minutes(const YAML::Node &n, long *at, struct fault *f)
{
	if (!n.IsScalar() || !kc_whole(n.Scalar().c_str(), 0, SCEN_AT_MAX, at))
		return fail(f, n, "at must be a whole number of minutes, 0 to " +
		    std::to_string(SCEN_AT_MAX));
	return true;
}

/*
 * A step's set; with refused, one kelvo's check refuses in those words
 * (the check is kelvo's own, so kelvo will), and nothing of it counts.
 */
static bool
refused_set(const YAML::Node &set, const YAML::Node *refused,
    struct scen_step *st, int *profile, struct fault *f)
{
	std::string why;

	if (refused == nullptr)
		return commands(set, "set", &st->set, profile, f);
	if (!commands(set, "set", &st->set, profile, f, &why))
		return false;
	if (why.empty())
		return fail(f, *refused, "kelvo would take this set: refused "
		    "expects one it refuses");
	if (why.find(st->refused) == std::string::npos)
		return fail(f, *refused, "kelvo would refuse this set with \"" +
		    why + "\"");
	return true;
}

static bool
one_step(const YAML::Node &n, long prev, struct scen_step *st, int *profile,
    struct fault *f)
{
	std::set<std::string> seen;
	YAML::Node set, refused;
	bool have_at = false, have_set = false, have_refused = false;

	if (!n.IsMap())
		return fail(f, n, "a step must be a map with at");
	st->line = n.Mark().line + 1;
	for (auto it = n.begin(); it != n.end(); ++it) {
		YAML::Node k = it->first, v = it->second;
		std::string name;
		if (!key_of(k, &name, f) || !unique(&seen, k, name, f))
			return false;
		if (name == "at") {
			if (!minutes(v, &st->at, f))
				return false;
			if (st->at < prev)
				return fail(f, v, "at " + std::to_string(st->at) +
				    " goes back before " + std::to_string(prev));
			have_at = true;
		} else if (name == "set") {
			set = v;
			have_set = true;
		} else if (name == "refused") {
			if (!v.IsScalar() || v.Scalar().empty())
				return fail(f, v, "refused takes the words "
				    "kelvo's reason holds");
			refused = v;
			have_refused = true;
			st->refused = v.Scalar();
			st->refused_line = k.Mark().line + 1;
		} else if (name == "press") {
			if (!presses(v, &st->press, f))
				return false;
			st->press_line = v.Mark().line + 1;
			st->press_col = v.Mark().column + 1;
		} else if (name == "expect") {
			if (!expectations(v, &st->expect, f))
				return false;
		} else {
			return fail(f, k, "\"" + name + "\" is no key of a step "
			    "(at, set, refused, press, expect)");
		}
	}
	if (!have_at)
		return fail(f, n, "a step needs at");
	/* The set once the step is read: refused may follow it. */
	if (have_set && !refused_set(set, have_refused ? &refused : nullptr,
	    st, profile, f))
		return false;
	if (have_refused && !have_set)
		return fail(f, refused, "refused needs a set to refuse");
	return true;
}

/* The faults in force after cmds, from faults before them. */
static int
faults_after(const std::vector<scen_cmd> &cmds, int faults)
{
	for (const scen_cmd &c : cmds)
		if (c.name == "reset")
			faults = 0;
		else if (c.name == "fault")
			faults = kc_fault_parse(c.value.c_str(), nullptr, 0);
	return faults;
}

/*
 * While nothing is published no press can be seen taken, and a press
 * not known taken could land after the next batch: refused.
 */
static bool
silent_presses(const struct scenario *s, struct fault *f)
{
	int faults = faults_after(s->start, 0);

	for (const scen_step &st : s->steps) {
		if (st.refused.empty())
			faults = faults_after(st.set, faults);
		if (!st.press.empty() && (faults & KC_FAULT_SILENT)) {
			f->mark.line = st.press_line - 1;
			f->mark.column = st.press_col - 1;
			f->what = "a press while the silent fault is in force "
			    "cannot be seen taken: clear the fault first";
			return false;
		}
	}
	return true;
}

static bool
document(const YAML::Node &root, struct scenario *s, struct fault *f)
{
	std::set<std::string> seen;
	YAML::Node steps;
	bool have_steps = false, checks = false;
	int profile = KC_PROFILE_CLASSIC;

	if (!root.IsMap())
		return fail(f, root, "a scenario is a map of name, start and "
		    "steps");
	for (auto it = root.begin(); it != root.end(); ++it) {
		YAML::Node k = it->first, v = it->second;
		std::string name;
		if (!key_of(k, &name, f) || !unique(&seen, k, name, f))
			return false;
		if (name == "name") {
			if (!v.IsScalar())
				return fail(f, v, "name must be a plain text");
			s->name = v.Scalar();
		} else if (name == "start") {
			if (!commands(v, "start", &s->start, &profile, f))
				return false;
		} else if (name == "steps") {
			if (!v.IsSequence())
				return fail(f, v, "steps must be a list");
			long prev = 0;
			for (size_t i = 0; i < v.size(); i++) {
				struct scen_step st;
				st.at = 0;
				st.press_line = st.press_col = 0;
				st.refused_line = 0;
				if (!one_step(v[i], prev, &st, &profile, f))
					return false;
				prev = st.at;
				checks = checks || !st.expect.empty() ||
				    !st.refused.empty();
				s->steps.push_back(st);
			}
			steps = v;
			have_steps = true;
		} else {
			return fail(f, k, "\"" + name + "\" is no key of a "
			    "scenario (name, start, steps)");
		}
	}
	if (!have_steps)
		return fail(f, root, "a scenario needs steps");
	if (!silent_presses(s, f))
		return false;
	/* It would pass having checked nothing: "0 passed" is no pass. */
	if (!checks)
		return fail(f, steps, "no step expects anything: a scenario "
		    "checks what kelvo shows");
	return true;
}

/*
 * A control character in a key or value: C0, DEL, or C1 as UTF-8.  A
 * YAML escape ("\0", "\x1b") makes one in a quoted scalar, and kelvo's
 * control lines or a face would then see a name or value other than the
 * one the checks passed ("step\0" is not step; "COOL\0!" is cut to
 * COOL by a C string), so none is taken anywhere.
 */
static const char *
control_char(const std::string &v)
{
	for (size_t i = 0; i < v.size(); i++) {
		unsigned char c = (unsigned char)v[i];
		if (c < 0x20 || c == 0x7f || (c == 0xc2 && i + 1 < v.size() &&
		    (unsigned char)v[i + 1] >= 0x80 &&
		    (unsigned char)v[i + 1] <= 0x9f))
			return &v[i];
	}
	return nullptr;
}

static void
refuse(const YAML::Mark &mark, const std::string &what)
{
	throw YAML::ParserException(mark, what);
}

/*
 * The file's parse events, looked at before any node is built: each
 * key and value for control characters; the documents, of which a
 * scenario is one (a later one would otherwise be dropped unseen); and
 * the nodes and their text counted as the scenario will be built, an
 * alias as the size of what its anchor names, so a file of aliases of
 * aliases is refused at the alias that passes the bound, having cost
 * no more than its own events.
 */
class screen : public YAML::EventHandler {
	struct open_node {
		YAML::anchor_t	 anchor;
		long		 nodes, text;	/* the counts before it */
		bool		 map, key_next, steps;
	};
	std::vector<open_node> open;
	/* Per anchor: nodes and text of what it names; -1 while open. */
	std::vector<std::pair<long, long>> named;
	long	 nodes = 0, text = 0;
	int	 documents = 0;
	bool	 steps_key = false;	/* the root's key just read is steps */
	bool	 steps_seen = false;

	void count(const YAML::Mark &mark, long n, long t) {
		nodes += n;
		text += t;
		if (nodes > NODES_MAX)
			refuse(mark, "the file holds more than " +
			    std::to_string(NODES_MAX) + " keys, values, lists "
			    "and maps, each alias counted as what it names");
		if (text > TEXT_MAX)
			refuse(mark, "the file's keys and values pass " +
			    std::to_string(TEXT_MAX >> 20) + " MiB, each alias "
			    "counted as what it names");
	}
	void name(const YAML::Mark &mark, YAML::anchor_t a, long n, long t) {
		if (a == 0)
			return;
		/* Anchors are numbered in order: never above the nodes. */
		if (a > (YAML::anchor_t)NODES_MAX + 1)
			refuse(mark, "too many anchors");
		if (named.size() <= a)
			named.resize(a + 1, { -1, -1 });
		named[a] = { n, t };
	}
	/*
	 * Where a node sits: a key or a value of its map, and the marks of
	 * the steps as the file writes them (an alias where it stands, not
	 * where its anchor is), for the limits on steps and presses.
	 */
	void arrive(const YAML::Mark &mark, const std::string *scalar) {
		if (!open.empty() && open.back().map) {
			bool key = open.back().key_next;
			open.back().key_next = !key;
			if (open.size() == 1 && key)
				steps_key = scalar != nullptr &&
				    *scalar == "steps" && !steps_seen;
			else if (open.size() == 1)
				steps_seen = steps_seen || steps_key;
		} else if (open.size() == 2 && open[1].steps) {
			step_marks.push_back(mark);
		}
	}
	void start(const YAML::Mark &mark, YAML::anchor_t a, bool map) {
		bool steps = open.size() == 1 && !map && steps_key &&
		    !open[0].key_next;
		arrive(mark, nullptr);
		count(mark, 1, 0);
		name(mark, a, -1, -1);
		open.push_back({ a, nodes - 1, text, map, true, steps });
	}
	void end() {
		open_node o = open.back();
		open.pop_back();
		if (o.anchor != 0)
			named[o.anchor] = { nodes - o.nodes, text - o.text };
	}

public:
	std::vector<YAML::Mark> step_marks;

	void OnDocumentStart(const YAML::Mark &mark) override {
		if (++documents > 1)
			refuse(mark, "a second YAML document: a scenario file "
			    "holds one");
	}
	void OnDocumentEnd() override {}
	void OnNull(const YAML::Mark &mark, YAML::anchor_t a) override {
		arrive(mark, nullptr);
		count(mark, 1, 0);
		name(mark, a, 1, 0);
	}
	void OnAlias(const YAML::Mark &mark, YAML::anchor_t a) override {
		if (a >= named.size() || named[a].first < 0)
			refuse(mark, "an alias inside what its anchor names");
		arrive(mark, nullptr);
		count(mark, named[a].first, named[a].second);
	}
	void OnScalar(const YAML::Mark &mark, const std::string &,
	    YAML::anchor_t a, const std::string &value) override {
		const char *c = control_char(value);
		char code[16];
		if (c != nullptr) {
			snprintf(code, sizeof(code), "U+%04X", *c == '\xc2' ?
			    (unsigned char)c[1] : (unsigned char)*c);
			refuse(mark, std::string("a control character (") +
			    code + ") in " +
			    scenario_quote(value.substr(0, 40), false) +
			    ": no key or value may hold one");
		}
		arrive(mark, &value);
		count(mark, 1, (long)value.size());
		name(mark, a, 1, (long)value.size());
	}
	void OnSequenceStart(const YAML::Mark &mark, const std::string &,
	    YAML::anchor_t a, YAML::EmitterStyle::value) override {
		start(mark, a, false);
	}
	void OnSequenceEnd() override { end(); }
	void OnMapStart(const YAML::Mark &mark, const std::string &,
	    YAML::anchor_t a, YAML::EmitterStyle::value) override {
		start(mark, a, true);
	}
	void OnMapEnd() override { end(); }
};

static bool
fail_at(struct fault *f, const YAML::Mark &mark, const std::string &what)
{
	f->mark = mark;
	f->what = what;
	return false;
}

/*
 * The steps and presses, counted before any is built; the nodes are
 * already bounded, so this walk is too.  marks are the steps' places in
 * the file: a step that is an alias is named where the alias stands.
 * What is not a scenario's shape is left to document() to name.
 */
static bool
within_limits(const YAML::Node &root, const std::vector<YAML::Mark> &marks,
    struct fault *f)
{
	long presses = 0;

	if (!root.IsMap())
		return true;
	for (auto it = root.begin(); it != root.end(); ++it) {
		YAML::Node k = it->first, v = it->second;
		if (!k.IsScalar() || k.Scalar() != "steps" || !v.IsSequence())
			continue;
		auto at = [&](size_t i) {
			return i < marks.size() ? marks[i] : v[i].Mark();
		};
		if ((long)v.size() > STEPS_MAX)
			return fail_at(f, at(STEPS_MAX), "more than " +
			    std::to_string(STEPS_MAX) + " steps, each alias "
			    "counted as what it names");
		for (size_t i = 0; i < v.size(); i++) {
			YAML::Node st = v[i];
			for (auto p = st.begin(); st.IsMap() && p != st.end();
			    ++p) {
				YAML::Node pk = p->first, pv = p->second;
				if (!pk.IsScalar() || pk.Scalar() != "press")
					continue;
				long n = pv.IsSequence() ? (long)pv.size() : 1;
				if (presses + n <= PRESSES_MAX) {
					presses += n;
					continue;
				}
				bool alias = at(i).pos != st.Mark().pos;
				return fail_at(f, alias ? at(i) : pv.IsSequence() ?
				    pv[PRESSES_MAX - presses].Mark() : pv.Mark(),
				    "more than " + std::to_string(PRESSES_MAX) +
				    " presses, each alias counted as what it "
				    "names");
			}
		}
	}
	return true;
}

/*
 * Runs the screen over text; throws YAML exceptions at the first fault.
 * The steps' places in the file into *marks.
 */
static void
screened(const std::string &text, std::vector<YAML::Mark> *marks)
{
	std::istringstream in(text);
	YAML::Parser parser(in);
	screen sc;

	while (parser.HandleNextDocument(sc))
		;
	marks->swap(sc.step_marks);
}

static std::string
where(const char *path, int line, int col)
{
	/* yaml-cpp has no place for some faults (an empty document). */
	line = line < 1 ? 1 : line;
	col = col < 1 ? 1 : col;
	return std::string(path) + ":" + std::to_string(line) + ":" +
	    std::to_string(col) + ": ";
}

bool
scenario_load(const char *path, struct scenario *s, std::string *err)
{
	std::string text;
	struct fault f;
	char buf[65536];
	size_t n;
	FILE *fp;

	*s = scenario();
	s->file = path;
	if ((fp = fopen(path, "r")) == nullptr) {
		*err = where(path, 1, 1) + "cannot be read: " + strerror(errno);
		return false;
	}
	while ((n = fread(buf, 1, sizeof(buf), fp)) > 0 &&
	    text.size() <= FILE_MAX)
		text.append(buf, n);
	if (ferror(fp)) {
		*err = where(path, 1, 1) + "cannot be read: " + strerror(errno);
		fclose(fp);
		return false;
	}
	fclose(fp);
	if (text.size() > FILE_MAX) {
		*err = where(path, 1, 1) + "is longer than " +
		    std::to_string(FILE_MAX >> 20) + " MiB: no scenario is";
		return false;
	}
	if (text.find('\0') != std::string::npos) {
		*err = where(path, 1, 1) + "is no text (it holds a NUL byte)";
		return false;
	}
	try {
		std::vector<YAML::Mark> marks;
		screened(text, &marks);
		YAML::Node root = YAML::Load(text);
		if (root.IsNull()) {
			*err = where(path, 1, 1) + "is empty: a scenario needs "
			    "steps";
			return false;
		}
		if (!within_limits(root, marks, &f) ||
		    !document(root, s, &f)) {
			*err = where(path, f.mark.line + 1, f.mark.column + 1) +
			    f.what;
			return false;
		}
	} catch (const YAML::Exception &e) {
		*err = where(path, e.mark.line + 1, e.mark.column + 1) + e.msg;
		return false;
	} catch (const std::bad_alloc &) {
		/* Within the bounds above only a tight ulimit gets here. */
		*err = where(path, 1, 1) + "cannot be read: out of memory";
		return false;
	}
	if (s->name.empty()) {
		const char *b = strrchr(path, '/');
		s->name = b ? b + 1 : path;
	}
	return true;
}
