/*
 * play.cpp - kelvo-ctl play: scenarios against the running kelvo, their
 * expectations checked, a JUnit report for CI.
 *
 * Every file is checked before the first is played, so a bad one stops
 * the run before kelvo has been touched.  A fast play resets kelvo and
 * keeps it paused: the time between two points of the script is one
 * control batch stepping that many ticks, with the step's set in the
 * same batch, so the result is the same on any machine at any period.
 * A paced play lets kelvo run at its own period and acts when the
 * published clock reaches each point, for watching a face follow along.
 *
 * A press is a batch of its own, like every face's: kelvo answers it
 * once the outputs show it, so the text read next is its result.
 */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "client.h"
#include "link.h"
#include "ctl.h"
#include "platform.h"
#include "play.h"
#include "scenfile.h"

#define OUTPUTS_WAIT	KC_OUTPUTS "?wait"
#define DAY		1440

struct player {
	bool		 paced;
	int		 outfd;		/* the outputs, "?wait" */
	struct client_state st;		/* the latest text read */
	struct client_sim sim;		/* kelvo's latest answer */
	long		 now;		/* simulated minutes since the start */
	int		 clock;		/* minute of the day last seen, -1 */
	bool		 reached;	/* kelvo took a batch of this play */
	std::string	 error;
};

/* The outputs as they are now, into p->st. */
static bool
read_outputs(struct player *p)
{
	if (client_outputs_read(&p->st) <= 0) {
		p->error = "kelvo's outputs cannot be read";
		return false;
	}
	return true;
}

/* The next text kelvo publishes, within ms; false when none came. */
static bool
next_text(struct player *p, int ms)
{
	char buf[KC_TEXT_LEN];
	ssize_t n;

	if ((n = pps_read_within(p->outfd, buf, sizeof(buf), ms)) <= 0)
		return false;
	client_parse(buf, (size_t)n, &p->st);
	return true;
}

/* Counts the minutes the published clock moved since it was last seen. */
static void
follow_clock(struct player *p)
{
	int m = p->st.minute;

	if (m < 0)
		return;
	if (p->clock >= 0)
		p->now += ((m - p->clock) % DAY + DAY) % DAY;
	p->clock = m;
}

/*
 * Sends the commands as one batch, with the player's own step (ticks,
 * fast play) and state in it.  A scenario's "state" is a note of the
 * session it was recorded from and is not sent: the player owns the clock.
 */
static bool
send(struct player *p, const std::vector<scen_cmd> &cmds, long ticks,
    bool reset)
{
	struct client_batch b;
	char why[320], n[24];
	bool jumps = reset;

	client_batch_init(&b);
	if (reset)
		client_batch_add(&b, "reset", "defaults");
	if (ticks > 0) {
		snprintf(n, sizeof(n), "%ld", ticks);
		client_batch_add(&b, "step", n);
	}
	for (const scen_cmd &c : cmds) {
		if (c.name == "state")
			continue;
		if (c.name == "reset" || c.name == "td_time_")
			jumps = true;
		if (!client_batch_add(&b, c.name.c_str(), c.value.c_str())) {
			p->error = "the batch does not fit a control text";
			return false;
		}
	}
	if (!p->paced || reset)
		client_batch_add(&b, "state", KC_PAUSED);
	if (b.n == 0)
		return true;
	switch (client_control_send(&b, CONTROL_WAIT_MS, &p->sim, why,
	    sizeof(why))) {
	case CONTROL_APPLIED:
		p->reached = true;
		break;
	case CONTROL_REFUSED:
		p->reached = true;
		p->error = std::string("kelvo refused a batch: ") + why;
		return false;
	default:
		p->error = why;
		return false;
	}
	if (!read_outputs(p))
		return false;
	/* Set clocks are no time gone by; ticks are counted by the caller. */
	if (jumps || !p->paced)
		p->clock = p->st.minute;
	else
		follow_clock(p);
	return true;
}

/* Lets kelvo run at its own period, counting from the clock shown. */
static bool
resume(struct player *p)
{
	struct client_batch b;
	char why[320];

	client_batch_init(&b);
	client_batch_add(&b, "state", KC_RUNNING);
	if (client_control_send(&b, CONTROL_WAIT_MS, &p->sim, why,
	    sizeof(why)) != CONTROL_APPLIED) {
		p->error = why;
		return false;
	}
	return true;
}

static std::string
shown(const struct player *p, int attr)
{
	return scenario_shown(&p->st, attr);
}

static bool
press(struct player *p, int btn)
{
	struct client_batch b;
	char why[320];

	client_batch_init(&b);
	client_batch_add(&b, "press", client_button_name(btn));
	switch (client_control_send(&b, CONTROL_WAIT_MS, &p->sim, why,
	    sizeof(why))) {
	case CONTROL_APPLIED:
		break;
	case CONTROL_REFUSED:
		p->error = std::string("kelvo refused a press: ") + why;
		return false;
	default:
		p->error = why;
		return false;
	}
	if (!read_outputs(p))
		return false;
	if (p->paced)
		follow_clock(p);
	return true;
}

/* Waits, at kelvo's pace, until the published clock reaches at. */
static bool
reach(struct player *p, long at)
{
	while (p->now < at) {
		int period = p->sim.pm_interval > 0 ? p->sim.pm_interval : 200;
		int pm = p->sim.pm_minutes > 0 ? p->sim.pm_minutes : 2;
		if (p->sim.faults & KC_FAULT_SILENT) {
			/* Nothing to read: the ticks go by at their period. */
			long ticks = (at - p->now + pm - 1) / pm;
			delay((unsigned int)(ticks * period));
			p->now += ticks * pm;
			p->clock = -1;
			break;
		}
		if (!next_text(p, 3 * period + 1000)) {
			p->error = "kelvo stopped publishing";
			return false;
		}
		if (p->clock < 0)
			p->clock = p->st.minute;
		else
			follow_clock(p);
	}
	return true;
}

/*
 * A set the scenario expects refused, in a batch of its own so that the
 * ticks before it are taken either way.  A set kelvo takes, or refuses
 * for another reason, is a failed expectation, its line in *failure;
 * false when kelvo's answer is not known.
 */
static bool
refusal(struct player *p, const struct scenario &s, const struct scen_step &st,
    std::string *failure)
{
	struct client_batch b;
	char why[320], line[768];

	client_batch_init(&b);
	for (const scen_cmd &c : st.set)
		if (c.name != "state")
			client_batch_add(&b, c.name.c_str(), c.value.c_str());
	switch (client_control_send(&b, CONTROL_WAIT_MS, &p->sim, why,
	    sizeof(why))) {
	case CONTROL_REFUSED:
		if (strstr(why, st.refused.c_str()) != nullptr)
			return true;
		snprintf(line, sizeof(line), "%s:%d: at minute %ld: kelvo "
		    "refused the set: %s, expected \"%s\"", s.file.c_str(),
		    st.refused_line, st.at, why, st.refused.c_str());
		break;
	case CONTROL_APPLIED:
		snprintf(line, sizeof(line), "%s:%d: at minute %ld: kelvo "
		    "applied the set, expected it refused (\"%s\")",
		    s.file.c_str(), st.refused_line, st.at, st.refused.c_str());
		break;
	default:
		p->error = why;
		return false;
	}
	*failure = line;
	return true;
}

static void
check(struct player *p, const struct scenario &s, const struct scen_step &st,
    const std::string &failure, struct suite *out, int *passed, int *failed)
{
	struct testcase tc;
	char line[512];

	tc.line = st.line;
	tc.name = "at minute " + std::to_string(st.at) + " (line " +
	    std::to_string(st.line) + ")";
	if (!st.refused.empty() && failure.empty()) {
		(*passed)++;
	} else if (!failure.empty()) {
		(*failed)++;
		printf("%s\n", failure.c_str());
		fflush(stdout);
		tc.failures.push_back(failure);
	}
	for (const scen_expect &e : st.expect) {
		std::string got = shown(p, e.what);
		if (scenario_holds(e, got)) {
			(*passed)++;
			continue;
		}
		(*failed)++;
		snprintf(line, sizeof(line), "%s:%d: at minute %ld: %s is %s, "
		    "expected %s", s.file.c_str(), e.line, st.at,
		    scenario_what_name(e.what), got.empty() ? "\"\"" :
		    got.c_str(), scenario_want(e).c_str());
		printf("%s\n", line);
		fflush(stdout);
		tc.failures.push_back(line);
	}
	out->cases.push_back(tc);
}

/* One scenario; false when it could not be played to its end. */
static bool
play_one(struct player *p, const struct scenario &s, struct suite *out,
    int *passed, int *failed)
{
	p->now = 0;
	p->clock = -1;
	if (!send(p, s.start, 0, true))
		return false;
	/*
	 * Paced, kelvo starts from a pause, so the tick it makes as soon as
	 * it runs is counted from the clock the start left.
	 */
	if (p->paced && !resume(p))
		return false;
	for (const scen_step &st : s.steps) {
		std::string failure;
		long ticks = 0;
		if (p->paced) {
			if (!reach(p, st.at))
				return false;
		} else if (st.at > p->now) {
			int pm = p->sim.pm_minutes > 0 ? p->sim.pm_minutes : 2;
			ticks = (st.at - p->now + pm - 1) / pm;
			p->now += ticks * pm;
			/* A step takes at most a week of ticks. */
			for (; ticks > KC_STEP_MAX; ticks -= KC_STEP_MAX)
				if (!send(p, {}, KC_STEP_MAX, false))
					return false;
		}
		if (!st.refused.empty()) {
			if (ticks > 0 && !send(p, {}, ticks, false))
				return false;
			if (!refusal(p, s, st, &failure))
				return false;
		} else if (!st.set.empty() || ticks > 0) {
			if (!send(p, st.set, ticks, false))
				return false;
		}
		for (int b : st.press)
			if (!press(p, b))
				return false;
		if (!st.expect.empty() || !st.refused.empty()) {
			/* Paced, the text that reached the point is the one. */
			if ((!p->paced || !st.set.empty()) && st.press.empty() &&
			    !read_outputs(p))
				return false;
			check(p, s, st, failure, out, passed, failed);
		}
	}
	if (p->paced) {
		/* Left where the scenario ended, as a fast play leaves it. */
		p->paced = false;
		return send(p, {}, 0, false);
	}
	return true;
}

/*
 * The code point of the UTF-8 sequence at s[i], its length into *len;
 * -1 when the bytes there are no well-formed sequence (a stray or
 * missing continuation, an overlong form, a surrogate, past U+10FFFF).
 */
static long
utf8_at(const std::string &s, size_t i, size_t *len)
{
	unsigned char c = (unsigned char)s[i];
	long cp, min;
	size_t n;

	*len = 1;
	if (c < 0x80)
		return c;
	if (c >= 0xc2 && c <= 0xdf)
		n = 2, cp = c & 0x1f, min = 0x80;
	else if (c >= 0xe0 && c <= 0xef)
		n = 3, cp = c & 0x0f, min = 0x800;
	else if (c >= 0xf0 && c <= 0xf4)
		n = 4, cp = c & 0x07, min = 0x10000;
	else
		return -1;
	if (i + n > s.size())
		return -1;
	for (size_t k = 1; k < n; k++) {
		unsigned char d = (unsigned char)s[i + k];
		if ((d & 0xc0) != 0x80)
			return -1;
		cp = cp << 6 | (d & 0x3f);
	}
	if (cp < min || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff))
		return -1;
	*len = n;
	return cp;
}

/*
 * Text for XML 1.0, whatever a scenario, a file name or kelvo says: the
 * five entities; line ends and tabs as references, which an attribute
 * would otherwise fold into spaces; and every byte that is not well-formed
 * UTF-8, and every character XML 1.0 does not allow (the other C0
 * controls, U+FFFE, U+FFFF) or a reader would take for one (DEL, the
 * C1 controls), as U+FFFD, so a report never fails to parse.
 */
static std::string
xml(const std::string &s)
{
	std::string o;
	size_t len;

	for (size_t i = 0; i < s.size(); i += len) {
		long cp = utf8_at(s, i, &len);
		switch (cp) {
		case '&': o += "&amp;"; continue;
		case '<': o += "&lt;"; continue;
		case '>': o += "&gt;"; continue;
		case '"': o += "&quot;"; continue;
		case '\'': o += "&apos;"; continue;
		case '\n': o += "&#10;"; continue;
		case '\t': o += "&#9;"; continue;
		}
		if (cp < 0x20 || (cp >= 0x7f && cp <= 0x9f) || cp == 0xfffe ||
		    cp == 0xffff)
			o += "\xef\xbf\xbd";		/* U+FFFD */
		else
			o.append(s, i, len);
	}
	return o;
}

/*
 * The JUnit report.  It carries no times or dates, so two plays of the
 * same scenarios write the same report.
 */
bool
play_junit(int fd, const char *path, const std::vector<suite> &suites)
{
	int tests = 0, failures = 0, errors = 0;
	std::string doc;
	size_t done = 0;
	ssize_t n = -1;

	for (const suite &s : suites) {
		int n = 0, fl = 0;
		std::string body;
		for (const testcase &tc : s.cases) {
			n++;
			body += "    <testcase classname=\"" + xml(s.name) +
			    "\" name=\"" + xml(tc.name) + "\" file=\"" +
			    xml(s.file) + "\" line=\"" +
			    std::to_string(tc.line) + "\"";
			if (tc.failures.empty()) {
				body += "/>\n";
				continue;
			}
			fl++;
			std::string all;
			for (const std::string &l : tc.failures)
				all += l + "\n";
			body += ">\n      <failure type=\"expectation\" "
			    "message=\"" + xml(tc.failures[0]) + "\">" +
			    xml(all) + "</failure>\n    </testcase>\n";
		}
		if (!s.error.empty()) {
			n++;
			body += "    <testcase classname=\"" + xml(s.name) +
			    "\" name=\"play\" file=\"" + xml(s.file) +
			    "\">\n      <error type=\"play\" message=\"" +
			    xml(s.error) + "\"/>\n    </testcase>\n";
		}
		doc += "  <testsuite name=\"" + xml(s.name) + "\" file=\"" +
		    xml(s.file) + "\" tests=\"" + std::to_string(n) +
		    "\" failures=\"" + std::to_string(fl) + "\" errors=\"" +
		    (s.error.empty() ? "0" : "1") + "\" skipped=\"0\">\n" +
		    body + "  </testsuite>\n";
		tests += n;
		failures += fl;
		errors += !s.error.empty();
	}
	doc = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
	    "<testsuites name=\"kelvo-ctl play\" tests=\"" +
	    std::to_string(tests) + "\" failures=\"" + std::to_string(failures) +
	    "\" errors=\"" + std::to_string(errors) + "\">\n" + doc +
	    "</testsuites>\n";
	bool wrote = ftruncate(fd, 0) == 0;
	while (wrote && done < doc.size()) {
		if ((n = write(fd, doc.data() + done, doc.size() - done)) > 0)
			done += (size_t)n;
		else if (n == 0 || errno != EINTR)
			wrote = false;
	}
	int err = errno;
	if (close(fd) != 0 && wrote) {
		wrote = false;
		err = errno;
	}
	if (!wrote)
		fprintf(stderr, "kelvo-ctl: cannot write %s: %s\n", path,
		    n == 0 ? "nothing more could be written" : strerror(err));
	return wrote;
}

bool
play_scenarios(const std::vector<scenario> &all, bool paced,
    std::vector<suite> *suites, int *passed, int *failed, bool *reached)
{
	struct player p = {};
	bool ok = true;

	p.paced = paced;
	*reached = false;
	if ((p.outfd = pps_open(OUTPUTS_WAIT, O_RDONLY)) < 0 ||
	    !next_text(&p, 1000)) {
		fprintf(stderr, "kelvo-ctl: kelvo is not running (its outputs "
		    "cannot be read: %s)\n", strerror(errno));
		if (p.outfd >= 0)
			pps_close(p.outfd);
		return false;
	}
	for (const scenario &s : all) {
		struct suite out;
		out.file = s.file;
		out.name = s.name;
		p.paced = paced;
		p.error.clear();
		bool played = play_one(&p, s, &out, passed, failed);
		if (!played && !p.reached) {
			/* Stopped or gone since it was seen: nothing played. */
			fprintf(stderr, "kelvo-ctl: %s%s\n",
			    p.error.compare(0, 20, "kelvo is not running") ?
			    "kelvo is not running: " : "", p.error.c_str());
			ok = false;
			break;
		}
		if (!played) {
			fprintf(stderr, "kelvo-ctl: %s: %s\n", s.file.c_str(),
			    p.error.c_str());
			out.error = p.error;
			ok = false;
		}
		suites->push_back(out);
		if (!ok)
			break;
	}
	pps_close(p.outfd);
	*reached = p.reached;
	return ok;
}
