/*
 * scenfile.h - the scenario file of kelvo-ctl play and record, read and
 * checked whole, and its expectations compared with what kelvo shows.
 *
 * A scenario is a start (one control batch after a reset), then steps at
 * simulated minutes since the start, each a control batch, presses and
 * expectations of what kelvo publishes.  Every file is checked before
 * anything is played, with kelvo's own checker for the control values,
 * so a scenario that starts always runs to its end.  The time of a
 * scenario is its "at" minutes alone: the player owns kelvo's clock, and
 * a "state" in a file is kept as a note of the session it came from.
 */
#ifndef KELVO_CTL_SCENFILE_H
#define KELVO_CTL_SCENFILE_H

#include <stdio.h>

#include <string>
#include <vector>

#include "client.h"

#define EXPECT_PLANT	KC_ATTRS_MODERN	/* expect names: attributes, plant */
#define SCEN_AT_MAX	100000000L	/* minutes: about 190 years */

/* One control command of a start or a set, as kelvo takes it. */
struct scen_cmd {
	std::string	 name, value;
	int		 line;
};

/* One expectation: a plain value, or a range of numbers. */
struct scen_expect {
	int		 line;
	int		 what;		/* ATTR_* or EXPECT_PLANT */
	bool		 range;
	bool		 has_min, has_max;
	double		 min, max;
	std::string	 text;		/* the plain value */
};

struct scen_step {
	int		 line;
	long		 at;		/* simulated minutes since the start */
	std::vector<scen_cmd> set;
	std::vector<int> press;		/* BTN_* */
	int		 press_line, press_col;
	std::vector<scen_expect> expect;
	/*
	 * Words kelvo's reason must hold when it refuses the set, as it
	 * must: a refusal the scenario expects, which changes nothing.
	 */
	std::string	 refused;
	int		 refused_line;
};

struct scenario {
	std::string	 file, name;
	std::vector<scen_cmd> start;
	std::vector<scen_step> steps;
};

/*
 * Reads and checks the scenario at path.  false with
 * "FILE:LINE:COLUMN: what is wrong" in *err when it cannot be read or is
 * not a valid scenario.
 */
bool	 scenario_load(const char *path, struct scenario *s, std::string *err);
/* The name an expectation is written with (a press: client_button_name). */
const char *scenario_what_name(int what);
/*
 * What st shows for what, as published (blanks trimmed); the plant as
 * the faces derive it: off, heating, cooling, fan, idle ("" when
 * unknown).
 */
std::string scenario_shown(const struct client_state *st, int what);
/* Whether the shown value got meets e. */
bool	 scenario_holds(const struct scen_expect &e, const std::string &got);
/* e's wanted value as a failure line says it ("62..70", "at most 60"). */
std::string scenario_want(const struct scen_expect &e);
/* A value quoted for YAML, as plain as it can safely be. */
std::string scenario_quote(const std::string &v, bool number_ok);

#endif
