/*
 * play.h - scenarios played against the running kelvo, and the JUnit
 * report of what held.
 */
#ifndef KELVO_CTL_PLAY_H
#define KELVO_CTL_PLAY_H

#include <string>
#include <vector>

#include "scenfile.h"

/* One testcase: a step with expectations. */
struct testcase {
	std::string	 name;
	int		 line;
	std::vector<std::string> failures;
};

struct suite {
	std::string	 file, name;
	std::vector<testcase> cases;
	std::string	 error;		/* the play stopped: why */
};

/*
 * Plays the scenarios in order, each from a reset, and leaves kelvo
 * paused where the last ended.  Every expectation that fails is printed
 * on standard output as it fails; passed and failed count them.  false
 * when a scenario could not be played to its end (its suite says why,
 * and the later ones are not played); *reached says whether kelvo took
 * any of the play's batches ("kelvo is not running" said when not).
 */
bool	 play_scenarios(const std::vector<scenario> &all, bool paced,
	    std::vector<suite> *suites, int *passed, int *failed,
	    bool *reached);
/*
 * Writes the JUnit report of the suites into fd, opened for path, and
 * closes it; false when it cannot.
 */
bool	 play_junit(int fd, const char *path, const std::vector<suite> &suites);

#endif
