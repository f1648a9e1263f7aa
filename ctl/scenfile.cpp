/*
 * scenfile.cpp - the scenario file: YAML read through yaml-cpp, checked
 * whole into a struct scenario, and the expectations compared.
 *
 * A file is untrusted text, and a scenario that is wrong must be refused
 * before any of it reaches kelvo, so every key, type and value is checked
 * here and the first fault is named with its line and column.  Control
 * values go through sim_check, the very checker kelvo applies to its
 * control object, so a file that passes here is never refused by kelvo.
 * Scalars are taken as their text, quoted or not: "68" and 68 are the
 * same value, and ON stays ON rather than turning into a YAML boolean.
 */
#include "scenfile.h"

#include <errno.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <set>

/*
 * GCC 12 takes yaml-cpp's node iterators for dangling pointers (a false
 * alarm inside the library's own headers, raised where this file makes
 * their instances, so it stays off for the file); the rest stays on.
 */
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic ignored "-Wdangling-pointer"
#endif
#include <yaml-cpp/yaml.h>

#include "control.h"
#include "thermodyn.h"
#include "xml2pps.h"

#define FILE_MAX	(4 << 20)	/* no scenario is this long */

/* The first fault found: where and what. */
struct fault {
	YAML::Mark	 mark;
	std::string	 what;
};

const char *
scenario_what_name(int what)
{
	return what == EXPECT_PLANT ? "plant" :
	    what >= 0 && what < CLIENT_ATTRS ? client_attr_name[what] : "?";
}

/* Whether the attribute's values are numbers (ranges allowed). */
static bool
numeric(int what)
{
	return what == ATTR_SETPOINT || what == ATTR_IN_PRECISE ||
	    what == ATTR_IN || what == ATTR_OUT_PRECISE || what == ATTR_OUT ||
	    what == ATTR_TIME_PRECISE;
}

/* A whole text as a finite number, blanks around it allowed. */
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
	if (number_of(e.text, &w) && number_of(got, &g))
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
static bool
commands(const YAML::Node &n, const char *what, std::vector<scen_cmd> *cmds,
    struct fault *f)
{
	std::set<std::string> seen;
	char why[CONTROL_WHY];

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
		if (!client_control_known(c.name.c_str()))
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
		if (!sim_check(c.name.c_str(), c.value.c_str(), why,
		    sizeof(why)))
			return fail(f, v, why);
		cmds->push_back(c);
	}
	/* Room for the player's own step and state in the same batch. */
	if (cmds->size() > CONTROL_MAX - 2)
		return fail(f, n, std::string(what) + " has more than " +
		    std::to_string(CONTROL_MAX - 2) + " commands");
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
		return number_of(v, &d);
	switch (what) {
	case ATTR_MODE:
		return kc_mode_of(v.c_str()) != MODE_UNKNOWN;
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
			    "(the ten output names, or plant)");
		if (v.IsScalar()) {
			e.text = v.Scalar();
			if (!plain_ok(e.what, e.text))
				return fail(f, v, "\"" + e.text + "\" is never "
				    "what " + name + " shows");
			/* Compared with kelvo's own text: heat is HEAT. */
			if (e.what == ATTR_MODE || e.what == ATTR_FAN ||
			    e.what == ATTR_SYS)
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
				    !number_of(r->second.Scalar(), &d))
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

/* A whole number of minutes, plain digits. */
static bool
minutes(const YAML::Node &n, long *at, struct fault *f)
{
	const std::string &s = n.IsScalar() ? n.Scalar() : std::string();

	if (!n.IsScalar() || s.empty() || s.size() > 9 ||
	    s.find_first_not_of("0123456789") != std::string::npos ||
	    (*at = strtol(s.c_str(), nullptr, 10)) > SCEN_AT_MAX)
		return fail(f, n, "at must be a whole number of minutes, 0 to " +
		    std::to_string(SCEN_AT_MAX));
	return true;
}

static bool
one_step(const YAML::Node &n, long prev, struct scen_step *st,
    struct fault *f)
{
	std::set<std::string> seen;
	bool have_at = false;

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
			if (!commands(v, "set", &st->set, f))
				return false;
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
			    "(at, set, press, expect)");
		}
	}
	if (!have_at)
		return fail(f, n, "a step needs at");
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
			faults = client_fault_parse(c.value.c_str());
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
		faults = faults_after(st.set, faults);
		if (!st.press.empty() && (faults & SIM_FAULT_SILENT)) {
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
	bool have_steps = false;

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
			if (!commands(v, "start", &s->start, f))
				return false;
		} else if (name == "steps") {
			if (!v.IsSequence())
				return fail(f, v, "steps must be a list");
			long prev = 0;
			for (size_t i = 0; i < v.size(); i++) {
				struct scen_step st;
				st.at = 0;
				st.press_line = st.press_col = 0;
				if (!one_step(v[i], prev, &st, f))
					return false;
				prev = st.at;
				s->steps.push_back(st);
			}
			have_steps = true;
		} else {
			return fail(f, k, "\"" + name + "\" is no key of a "
			    "scenario (name, start, steps)");
		}
	}
	if (!have_steps)
		return fail(f, root, "a scenario needs steps");
	return silent_presses(s, f);
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
		    std::to_string(FILE_MAX >> 20) + " MiB";
		return false;
	}
	if (text.find('\0') != std::string::npos) {
		*err = where(path, 1, 1) + "is no text (it holds a NUL byte)";
		return false;
	}
	try {
		YAML::Node root = YAML::Load(text);
		if (root.IsNull()) {
			*err = where(path, 1, 1) + "is empty: a scenario needs "
			    "steps";
			return false;
		}
		if (!document(root, s, &f)) {
			*err = where(path, f.mark.line + 1, f.mark.column + 1) +
			    f.what;
			return false;
		}
	} catch (const YAML::Exception &e) {
		*err = where(path, e.mark.line + 1, e.mark.column + 1) + e.msg;
		return false;
	}
	if (s->name.empty()) {
		const char *b = strrchr(path, '/');
		s->name = b ? b + 1 : path;
	}
	return true;
}
