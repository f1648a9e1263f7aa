/*
 * record.cpp - kelvo-ctl record: a session with the running kelvo turned
 * into a scenario that plays it back.
 *
 * Three readers follow the outputs, the sim object and the control
 * object, each in a "?wait" read of its own, and hand every text to the
 * main thread in the order they came.  The simulated minute since the
 * start is counted from the published clock, a day at most between two
 * texts; the batches kelvo takes say what else moved and by how much:
 * a step's ticks, a clock that was set rather than ticked, a reset.
 *
 * Everything is written down as control commands, presses too: a set
 * point written as the value it reached plays back the same whoever
 * pressed, and needs no press to be seen taken.  The texts a batch's
 * result comes in are held until kelvo answers it in the sim object
 * (it does so only after publishing the result), so the clock a batch
 * sets is never counted as minutes gone by.  A batch or a press that
 * lands within a hair of a tick of a running kelvo may be written down
 * one tick early; the plant and the clock as published are set at every
 * step that a text of its own shows (a setting, a step, a press), so the
 * playback is where kelvo was all the same.
 *
 * A stop signal does not end the recording at once: the three readers
 * see kelvo's texts at their own moments, so the outputs may already
 * show a batch whose text or answer is still unread.  The readers go on
 * until what was taken of each object is what it holds (or ENDING_MS
 * has passed, which is then said as a step that may not play back).
 */
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <set>
#include <string>
#include <vector>

#include "client.h"
#include "link.h"
#include "ctl.h"
#include "platform.h"
#include "record.h"
#include "scenfile.h"

#define DAY		1440
#define SETTINGS	5	/* the settings a press may move */
#define ANSWER_MS	3000	/* a batch unanswered by then was taken back */
#define ORDER_MS	50	/* how far the readers' texts may come out of order */
#define EARLY_TICKS	20	/* ticks a running kelvo may make unseen */
#define ENDING_MS	3000	/* how long a stop waits to catch up */

enum { T_OUTPUTS, T_SIM, T_CONTROL };

struct text {
	int		 kind;		/* T_* */
	std::string	 body;
	long long	 at;		/* ms it was read */
	bool		 before;	/* held before the recording began */
};

static std::atomic<bool> stopping(false);	/* a stop signal came */
static std::atomic<bool> readers_done(false);
static std::atomic<int> readers_ready(0);	/* past their first read */
static pthread_mutex_t queue_mutex = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t queue_cond = PTHREAD_COND_INITIALIZER;
static std::deque<text> queue;

struct reader {
	int		 kind;
	const char	*path;
	pthread_t	 tid;
};

static void
on_signal(int)
{
	stopping = true;
}

static void *
read_loop(void *arg)
{
	struct reader *r = (struct reader *)arg;
	char buf[KC_CONTROL_LEN + 1];
	bool first = true, ready = false;
	ssize_t n;
	int fd = -1;

	while (!readers_done) {
		if (fd < 0 && (fd = pps_open(r->path, O_RDONLY)) < 0) {
			delay(200);
			continue;
		}
		n = pps_read_within(fd, buf, sizeof(buf), 200);
		if (!ready) {
			ready = true;
			readers_ready++;
		}
		if (n == 0)
			first = false;	/* an empty object held nothing */
		if (n <= 0) {
			if (n < 0 && errno != ETIMEDOUT && errno != EINTR) {
				pps_close(fd);
				fd = -1;
				delay(200);
			}
			continue;
		}
		pthread_mutex_lock(&queue_mutex);
		queue.push_back({ r->kind, std::string(buf, (size_t)n),
		    link_now(), first });
		first = false;
		pthread_cond_signal(&queue_cond);
		pthread_mutex_unlock(&queue_mutex);
	}
	if (fd >= 0)
		pps_close(fd);
	return nullptr;
}

/* The value of name as a reset leaves it: the contract's. */
static std::string
default_of(const char *name)
{
	const char *v = kc_default(name);

	return v != nullptr ? v : "";
}


/* What taking one outputs text changed, to take it back. */
struct undo {
	long long	 at;
	std::string	 body;
	long		 now;
	int		 clock;
	struct client_state last;
	bool		 have_out;
	std::string	 setting[SETTINGS];
	size_t		 nsteps;
	struct scen_step back;		/* the last step as it was */
};

struct recorder {
	struct scenario	 s;
	long		 now;
	int		 clock;		/* minute of the day, -1 unknown */
	struct client_state last;	/* the latest outputs */
	bool		 have_out;
	struct client_sim sim;		/* what has been written down */
	bool		 have_sim;
	/* ts_mode, ts_fan, ts_temp, and a modern band's ends, written */
	std::string	 setting[SETTINGS];
	bool		 modern;	/* the profile written down */
	std::string	 control;	/* the last control text read */
	long		 texts;		/* control texts read since the start */
	long		 base;		/* kelvo's count of batches then */
	std::string	 pending;	/* a control text not yet answered */
	long		 pending_no;	/* which text it was */
	long long	 pending_at;
	std::vector<std::string> held;	/* outputs waiting for the answer */
	bool		 early;		/* an answer came before its batch */
	struct client_sim answer;	/* that answer */
	long long	 answer_at;
	std::deque<struct undo> recent;	/* outputs taken in the last ORDER_MS */
	/* Minutes where the recording had to guess, and why. */
	std::vector<std::pair<long, std::string>> doubts;
};

/* The recording may not be exact at the current minute: said at the end. */
static void
doubt(struct recorder *r, const std::string &why)
{
	for (const auto &d : r->doubts)
		if (d.first == r->now && d.second == why)
			return;
	if (r->doubts.size() < 100)
		r->doubts.push_back({ r->now, why });
}

/* name: value at the current minute; a later one replaces an earlier. */
static void
note(struct recorder *r, const std::string &name, const std::string &value)
{
	std::vector<scen_step> &steps = r->s.steps;

	if (steps.empty() || steps.back().at != r->now) {
		steps.push_back(scen_step());
		steps.back().at = r->now;
		steps.back().line = 0;
	}
	std::vector<scen_cmd> &set = steps.back().set;
	/* Whatever came before a reset in the same minute is gone with it. */
	if (name == "reset")
		set.clear();
	for (scen_cmd &c : set)
		if (c.name == name) {
			c.value = value;
			return;
		}
	set.push_back({ name, value, 0 });
}

static std::string
trimmed(const std::string &s)
{
	size_t a = s.find_first_not_of(' '), b = s.find_last_not_of(' ');
	return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

/*
 * A step at this minute also sets the plant and the clock as st shows
 * them: a change that lands next to a tick of a running kelvo cannot be
 * told from the text to have come before the tick or after it, and the
 * published plant (three decimals, as kelvo keeps it) and clock put the
 * playback where kelvo really was either way; the clock also drives the
 * outdoor temperature, so a step a tick off would otherwise leave every
 * later value off.  A failed sensor hides the indoor temperature, and
 * then only the rest can be set.
 */
static void
plant_and_clock(struct recorder *r, const struct client_state *st)
{
	if (r->s.steps.empty() || r->s.steps.back().at != r->now ||
	    r->s.steps.back().set.empty())
		return;
	for (int a : { ATTR_IN_PRECISE, ATTR_OUT_PRECISE, ATTR_SYS,
	    ATTR_TIME_PRECISE }) {
		std::string v = trimmed(st->text[a]);
		if (!v.empty())
			note(r, kc_attr_name[a], v);
	}
}

/*
 * The outputs show the other profile, and no batch read said so (its text
 * was read too late): the profile is set first in this minute, after a
 * reset, which makes a kelvo classic, and before the settings, which may
 * be its own (AUTO).
 */
static void
profile_seen(struct recorder *r, bool modern)
{
	note(r, "profile", modern ? "modern" : "classic");
	std::vector<scen_cmd> &set = r->s.steps.back().set;
	size_t at = set[0].name == "reset" ? 1 : 0;
	for (size_t i = at; i < set.size(); i++)
		if (set[i].name == "profile") {
			scen_cmd c = set[i];
			set.erase(set.begin() + (long)i);
			set.insert(set.begin() + (long)at, c);
			break;
		}
	r->modern = modern;
}

static void
outputs(struct recorder *r, const std::string &body)
{
	static const int attrs[SETTINGS] = { ATTR_MODE, ATTR_FAN, ATTR_SETPOINT,
	    ATTR_LOW, ATTR_HIGH };
	struct client_state st;

	if (client_parse(body.data(), body.size(), &st) == 0)
		return;
	if (st.minute >= 0) {
		long moved = r->clock < 0 ? 0 :
		    ((st.minute - r->clock) % DAY + DAY) % DAY;
		/*
		 * A paused kelvo's clock moves only by a batch: moving with
		 * none answered, it is a batch's result read out of its
		 * order, and the minutes around it are a guess.
		 */
		if (moved != 0 && r->sim.paused && r->pending.empty() &&
		    !r->early)
			doubt(r, "a batch's result was read out of its order");
		r->now += moved;
		r->clock = st.minute;
	}
	if (st.modern != r->modern)
		profile_seen(r, st.modern);
	/* A setting that moved without a batch: a press. */
	for (int i = 0; i < SETTINGS; i++) {
		std::string v = trimmed(st.text[attrs[i]]);
		if (!v.empty() && v != r->setting[i]) {
			note(r, kc_attr_name[attrs[i]], v);
			r->setting[i] = v;
		}
	}
	plant_and_clock(r, &st);
	r->last = st;
	r->have_out = true;
}

/* The speed, the faults and the state as the sim object has them now. */
static void
sim_moved(struct recorder *r, const struct client_sim *sim)
{
	char f[64];

	if (sim->pm_minutes > 0 && sim->pm_minutes != r->sim.pm_minutes)
		note(r, "pm_minutes", std::to_string(sim->pm_minutes));
	if (sim->pm_interval > 0 && sim->pm_interval != r->sim.pm_interval)
		note(r, "pm_interval", std::to_string(sim->pm_interval));
	if (sim->faults != r->sim.faults) {
		kc_fault_text(sim->faults, f, sizeof(f));
		note(r, "fault", f);
	}
	if (sim->paused != r->sim.paused)
		note(r, "state", sim->paused ? KC_PAUSED : KC_RUNNING);
	r->sim = *sim;
}

/*
 * Whether kelvo can have applied a batch text: a command its check
 * refuses in either profile (a band end with no room for the deadband,
 * a value out of its kind) means kelvo refused the whole batch.
 */
static bool
applicable(const std::string &text)
{
	char why[KC_WHY_LEN];
	size_t p = text.find('\n') + 1, nl;

	for (; p < text.size(); p = nl + 1) {
		if ((nl = text.find('\n', p)) == std::string::npos)
			break;
		std::string line = text.substr(p, nl - p);
		size_t sep = line.find("::");
		if (sep != std::string::npos && !kc_command_check_as(
		    KC_PROFILE_MODERN, line.substr(0, sep).c_str(),
		    line.c_str() + sep + 2, why, sizeof(why)))
			return false;
	}
	return true;
}

/* The commands of a batch kelvo applied, in their order. */
static void
batch(struct recorder *r, const std::string &text)
{
	static const char *const settings[SETTINGS] = { "ts_mode", "ts_fan",
	    "ts_temp", "ts_temp_low", "ts_temp_high" };
	int pm = r->sim.pm_minutes > 0 ? r->sim.pm_minutes : 2;
	size_t p = text.find('\n') + 1, nl;

	/*
	 * A refused batch's text read against another's answer (a text
	 * read out of its turn, said already) is left out: written down,
	 * it would be a step kelvo refuses and no one could play.
	 */
	if (!applicable(text)) {
		doubt(r, "a batch kelvo refused was read as another's answer: "
		    "left out");
		return;
	}
	for (; p < text.size(); p = nl + 1) {
		nl = text.find('\n', p);
		if (nl == std::string::npos)
			break;
		std::string line = text.substr(p, nl - p);
		size_t sep = line.find("::");
		if (sep == std::string::npos)
			continue;
		std::string name = line.substr(0, sep), v = line.substr(sep + 2);
		if (name == "step") {
			long ticks = atol(v.c_str());
			r->now += ticks * pm;
			if (r->clock >= 0)
				r->clock = (int)((r->clock + ticks % DAY * pm) %
				    DAY);
			continue;
		}
		if (name == "pm_minutes")
			pm = atoi(v.c_str());
		if (name == "reset") {
			note(r, "reset", "defaults");
			pm = atoi(default_of("pm_minutes").c_str());
			r->clock = kc_minute_of(default_of("td_time_").c_str());
			for (int i = 0; i < SETTINGS; i++)
				r->setting[i] = default_of(settings[i]);
			r->modern = false;
			r->sim.pm_minutes = pm;
			r->sim.pm_interval =
			    atoi(default_of("pm_interval").c_str());
			r->sim.faults = 0;
			r->sim.paused = false;
			continue;
		}
		/* The sim object says where speed, faults and state ended. */
		if (name == "pm_minutes" || name == "pm_interval" ||
		    name == "fault" || name == "state")
			continue;
		/*
		 * The sender's name for its batch; and a press, whose result
		 * the outputs show, is written down as the value it reached.
		 */
		if (name == "id" || name == "press")
			continue;
		if (name == "td_time_")
			r->clock = kc_minute_of(v.c_str());
		if (name == "profile")
			r->modern = kc_profile_of(v.c_str()) == KC_PROFILE_MODERN;
		for (int i = 0; i < SETTINGS; i++)
			if (name == settings[i])
				r->setting[i] = v;
		note(r, name, v);
	}
}

/*
 * kelvo counts every control text it takes, so an answer whose count is
 * not the pending text's answers another: a text was read too late or
 * not at all, and its batch's place is a guess.  Counted again from
 * here, so that one miss is said once.
 */
static void
in_turn(struct recorder *r, const struct client_sim *sim)
{
	if (r->pending.empty() || sim->batch == r->base + r->pending_no)
		return;
	doubt(r, "a batch's text was not read in its turn: its commands may "
	    "be another batch's");
	r->base = sim->batch - r->pending_no;
}

/*
 * A batch that moved the clock: the held texts are searched for its
 * result, those before it being ticks a running kelvo made before it
 * took the batch, counted first, so the batch lands at the minute it
 * really came.  How many held texts came before it; the rest follow.
 */
static size_t
place_jump(struct recorder *r, const struct client_sim *sim)
{
	std::vector<std::string> held;
	size_t from;
	bool found = false;

	held.swap(r->held);
	int pm = r->sim.pm_minutes > 0 ? r->sim.pm_minutes : 2;
	for (from = 0; from < held.size() && !found; from++) {
		struct client_state st;
		client_parse(held[from].data(), held[from].size(), &st);
		/* k ticks a running kelvo made, unpublished, before it. */
		for (int k = 0; k <= EARLY_TICKS && !found; k++) {
			struct recorder t = *r;
			for (size_t i = 0; i < from; i++)
				outputs(&t, held[i]);
			t.now += (long)k * pm;
			if (t.clock >= 0)
				t.clock = (t.clock + k * pm) % DAY;
			batch(&t, t.pending);
			if (t.clock < 0 || st.minute == t.clock) {
				*r = t;
				found = true;
			}
		}
	}
	if (found)
		from--;
	if (from == held.size()) {
		/*
		 * No result seen: the texts held all came before it, and the
		 * clock restarts from the next text, which is the result
		 * unless a running kelvo ticked first.  Taking a held text
		 * after the batch would count the batch's minutes twice.
		 */
		if (!sim->paused)
			doubt(r, "the result of a batch that moved the clock "
			    "was not seen before kelvo ran on");
		for (const std::string &h : held)
			outputs(r, h);
		batch(r, r->pending);
		r->clock = -1;
	}
	r->held.swap(held);
	return from;
}

/* kelvo answered a batch: what it did, then the texts held for it. */
static void
answered(struct recorder *r, const struct client_sim *sim, bool late)
{
	bool jumped = false;
	size_t from = 0;

	in_turn(r, sim);
	if (sim->error[0] == '\0' && !r->pending.empty()) {
		jumped = r->pending.find("\ntd_time_::") != std::string::npos ||
		    r->pending.find("\nreset::") != std::string::npos ||
		    r->pending.find("\nstep::") != std::string::npos;
	}
	if (jumped) {
		from = place_jump(r, sim);
	} else if (sim->error[0] == '\0') {
		/*
		 * kelvo answers right after publishing the result, and a batch
		 * that sets no clock leaves it as it was: the texts held are
		 * ticks before the batch and its result, so they come first.
		 * An answer read before its batch held the texts after it.
		 */
		if (!late) {
			for (const std::string &h : r->held)
				outputs(r, h);
			r->held.clear();
		}
		if (!r->pending.empty()) {
			batch(r, r->pending);
		} else {
			doubt(r, "a batch went by too fast to be read: what it "
			    "set is taken from what kelvo published");
		}
	}
	if (sim->error[0] == '\0')
		sim_moved(r, sim);
	/*
	 * A step of the faults, the speed or the state alone has no text of
	 * its own to come, and the last one read may be behind kelvo: it
	 * sets only what changed.
	 */
	r->sim.batch = sim->batch;
	r->pending.clear();
	for (size_t i = from; i < r->held.size(); i++)
		outputs(r, r->held[i]);
	r->held.clear();
}

/* Takes back the outputs read since at, to hold them for a batch. */
static void
roll_back(struct recorder *r, long long at)
{
	std::vector<std::string> again;

	while (!r->recent.empty() && r->recent.back().at >= at) {
		struct undo &u = r->recent.back();
		r->now = u.now;
		r->clock = u.clock;
		r->last = u.last;
		r->have_out = u.have_out;
		for (int i = 0; i < SETTINGS; i++)
			r->setting[i] = u.setting[i];
		r->s.steps.resize(u.nsteps);
		if (u.nsteps > 0)
			r->s.steps.back() = u.back;
		again.insert(again.begin(), u.body);
		r->recent.pop_back();
	}
	r->held.insert(r->held.begin(), again.begin(), again.end());
}

static void
take_outputs(struct recorder *r, const struct text &t)
{
	struct undo u;

	if (!r->pending.empty() || r->early) {
		r->held.push_back(t.body);
		return;
	}
	u.at = t.at;
	u.body = t.body;
	u.now = r->now;
	u.clock = r->clock;
	u.last = r->last;
	u.have_out = r->have_out;
	for (int i = 0; i < SETTINGS; i++)
		u.setting[i] = r->setting[i];
	u.nsteps = r->s.steps.size();
	if (u.nsteps > 0)
		u.back = r->s.steps.back();
	r->recent.push_back(u);
	while (!r->recent.empty() && (r->recent.front().at < t.at - ORDER_MS ||
	    r->recent.size() > 64))
		r->recent.pop_front();
	outputs(r, t.body);
}

static void
take(struct recorder *r, const struct text &t)
{
	struct client_sim sim;

	switch (t.kind) {
	case T_OUTPUTS:
		take_outputs(r, t);
		break;
	case T_CONTROL:
		r->control = t.body;
		/* What the control object held before: already answered. */
		if (t.before)
			break;
		r->texts++;
		/* The empty text is kelvo's start or a sender taking back. */
		if (t.body.compare(0, strlen(KC_CONTROL_HEAD), KC_CONTROL_HEAD) != 0 ||
		    t.body.size() <= strlen(KC_CONTROL_HEAD))
			break;
		r->pending = t.body;
		r->pending_no = r->texts;
		r->pending_at = link_now();
		/*
		 * Each object has its own reader, so the result of a batch
		 * that moves the clock may have been read before the batch:
		 * it is taken back and held for the answer.
		 */
		if (t.body.find("\nstep::") != std::string::npos ||
		    t.body.find("\ntd_time_::") != std::string::npos ||
		    t.body.find("\nreset::") != std::string::npos)
			roll_back(r, t.at - ORDER_MS);
		r->recent.clear();
		if (r->early) {
			r->early = false;
			answered(r, &r->answer, true);
		}
		break;
	case T_SIM:
		if (!client_sim_parse(t.body.data(), t.body.size(), &sim) ||
		    sim.batch == r->sim.batch)
			break;
		if (sim.batch < r->sim.batch)
			doubt(r, "kelvo started again");
		else if (sim.batch > r->sim.batch + 1)
			doubt(r, std::to_string(sim.batch - r->sim.batch - 1) +
			    " batch(es) went by between two answers read");
		/* Paused, only a batch's step moves the clock: counted. */
		if ((sim.faults & KC_FAULT_SILENT) && !sim.paused)
			doubt(r, "kelvo publishes nothing while silent and "
			    "running: its minutes then are not seen");
		if (r->pending.empty() && !r->early) {
			/* Read before its batch: wait for the batch a while. */
			r->early = true;
			r->answer = sim;
			r->answer_at = link_now();
			break;
		}
		if (r->early) {
			/* A second answer: the first batch's text is lost. */
			r->early = false;
			answered(r, &r->answer, true);
		}
		answered(r, &sim, false);
		break;
	}
}

/* An answer whose batch never came, or a batch never answered. */
static void
overdue(struct recorder *r)
{
	if (r->early && link_now() - r->answer_at > ORDER_MS * 4) {
		r->early = false;
		answered(r, &r->answer, true);
	}
	if (!r->pending.empty() && link_now() - r->pending_at > ANSWER_MS) {
		doubt(r, "kelvo did not answer a batch within " +
		    std::to_string(ANSWER_MS / 1000) + " s");
		r->pending.clear();
		for (const std::string &h : r->held)
			outputs(r, h);
		r->held.clear();
	}
}

static std::string
value_text(const scen_cmd &c)
{
	bool number = c.name != "td_time_";
	return scenario_quote(c.value, number);
}

/* Writes the scenario; the line each step starts on into *lines. */
static bool
write_scenario(const char *path, const struct recorder *r,
    std::vector<int> *lines)
{
	std::string y, tmp = std::string(path) + ".tmp";
	FILE *f;

	y = "# recorded by kelvo-ctl record: " + std::to_string(r->now) +
	    " simulated minutes\n";
	y += "name: " + scenario_quote(r->s.name, false) + "\n";
	y += "start:\n";
	for (const scen_cmd &c : r->s.start)
		y += "  " + c.name + ": " + value_text(c) + "\n";
	y += "steps:\n";
	for (const scen_step &st : r->s.steps) {
		lines->push_back(1 + (int)std::count(y.begin(), y.end(), '\n'));
		y += "  - at: " + std::to_string(st.at) + "\n";
		if (!st.set.empty()) {
			y += "    set:\n";
			for (const scen_cmd &c : st.set)
				y += "      " + c.name + ": " + value_text(c) +
				    "\n";
		}
		if (!st.expect.empty()) {
			y += "    expect:\n";
			for (const scen_expect &e : st.expect)
				y += std::string("      ") +
				    scenario_what_name(e.what) + ": " +
				    scenario_quote(e.text, e.what !=
				    ATTR_TIME_PRECISE && e.what != ATTR_TIME) +
				    "\n";
		}
	}
	if ((f = fopen(tmp.c_str(), "w")) == nullptr ||
	    fwrite(y.data(), 1, y.size(), f) != y.size() || fclose(f) != 0 ||
	    rename(tmp.c_str(), path) != 0) {
		fprintf(stderr, "kelvo-ctl: cannot write %s: %s\n", path,
		    strerror(errno));
		remove(tmp.c_str());
		return false;
	}
	return true;
}

/*
 * Says, step by step, where the recording had to guess, so that a
 * playback that differs is never a surprise; and whether the file plays
 * at all (a long session can pass a scenario file's bounds).
 */
static void
said_doubts(const char *path, const struct recorder *r,
    const std::vector<int> &lines)
{
	struct scenario back;
	std::string err;

	std::set<std::pair<size_t, std::string>> said;

	for (const auto &d : r->doubts) {
		size_t i = 0;
		while (i + 1 < r->s.steps.size() && r->s.steps[i].at < d.first)
			i++;
		if (!said.insert({ i, d.second }).second)
			continue;
		fprintf(stderr, "kelvo-ctl: %s:%d: the step at minute %ld may "
		    "not play back exactly: %s\n", path, lines[i],
		    r->s.steps[i].at, d.second.c_str());
	}
	if (!scenario_load(path, &back, &err))
		fprintf(stderr, "kelvo-ctl: the recording cannot be played "
		    "back: %s\n", err.c_str());
}

/* The start: where kelvo stood when the recording began. */
static void
starting(struct recorder *r)
{
	static const char *const sets[] = { "td_time_", "td_temp_in_",
	    "td_temp_out_", "td_sys", "ts_mode", "ts_fan", "ts_temp",
	    "ts_temp_low", "ts_temp_high", "td_call", "td_humidity_" };
	static const int attrs[] = { ATTR_TIME_PRECISE, ATTR_IN_PRECISE,
	    ATTR_OUT_PRECISE, ATTR_SYS, ATTR_MODE, ATTR_FAN, ATTR_SETPOINT,
	    ATTR_LOW, ATTR_HIGH, ATTR_CALL, ATTR_HUMIDITY_PRECISE };
	size_t n = sizeof(attrs) / sizeof(attrs[0]);
	char f[64];

	/* A modern kelvo's start is modern first, so the rest is taken. */
	if (r->last.modern)
		r->s.start.push_back({ "profile", "modern", 0 });
	else
		n -= 4;
	for (size_t i = 0; i < n; i++) {
		std::string v = trimmed(r->last.text[attrs[i]]);
		if (v.empty()) {
			fprintf(stderr, "kelvo-ctl: %s is not published; the "
			    "recording starts it from the default\n", sets[i]);
			continue;
		}
		r->s.start.push_back({ sets[i], v, 0 });
	}
	r->s.start.push_back({ "pm_minutes",
	    std::to_string(r->sim.pm_minutes), 0 });
	r->s.start.push_back({ "pm_interval",
	    std::to_string(r->sim.pm_interval), 0 });
	kc_fault_text(r->sim.faults, f, sizeof(f));
	if (f[0] != '\0')
		r->s.start.push_back({ "fault", f, 0 });
	/* A preset still in force is its own values: chosen again last. */
	if (r->last.modern && r->last.preset > PRESET_NONE)
		r->s.start.push_back({ "preset",
		    kc_presets[r->last.preset].name, 0 });
	r->s.start.push_back({ "state", r->sim.paused ? KC_PAUSED : KC_RUNNING,
	    0 });
	r->setting[0] = trimmed(r->last.text[ATTR_MODE]);
	r->setting[1] = trimmed(r->last.text[ATTR_FAN]);
	r->setting[2] = trimmed(r->last.text[ATTR_SETPOINT]);
	r->setting[3] = trimmed(r->last.text[ATTR_LOW]);
	r->setting[4] = trimmed(r->last.text[ATTR_HIGH]);
	r->modern = r->last.modern;
	r->clock = r->last.minute;
	r->now = 0;
	if (r->sim.faults & KC_FAULT_SILENT)
		fprintf(stderr, "kelvo-ctl: kelvo is silent: the start is its "
		    "last text before the fault\n");
}

/* The sim object and the outputs as they stand; false, said, without. */
static bool
read_start(struct recorder *r)
{
	struct client_sim sim;

	if (!client_sim_read(&sim)) {
		fprintf(stderr, "kelvo-ctl: cannot read kelvo's sim object\n");
		return false;
	}
	if (client_outputs_read(&r->last) <= 0) {
		fprintf(stderr, "kelvo-ctl: cannot read kelvo's outputs\n");
		return false;
	}
	r->sim = sim;
	r->base = sim.batch;
	r->s.name = "recorded session";
	starting(r);
	return true;
}

/*
 * Whether the recording has caught up with kelvo: nothing waits for an
 * answer or a batch, and the outputs, the sim object and the control
 * object hold now what was last taken of each.  kelvo takes a batch,
 * publishes its result, then answers; read here the other way round, a
 * result already out whose batch was not seen shows in a later read.
 */
static bool
caught_up(const struct recorder *r)
{
	struct client_state st;
	struct client_sim sim;
	char buf[KC_CONTROL_LEN + 1];
	ssize_t n = -1;
	int fd;

	if (!r->pending.empty() || r->early || !r->held.empty() ||
	    client_outputs_read(&st) <= 0 || !client_sim_read(&sim))
		return false;
	for (int a = 0; a < KC_ATTRS_MODERN; a++)
		if (strcmp(st.text[a], r->last.text[a]) != 0)
			return false;
	if (sim.batch != r->sim.batch)
		return false;
	if ((fd = pps_open(KC_CONTROL, O_RDONLY)) >= 0) {
		n = pps_read(fd, buf, sizeof(buf));
		pps_close(fd);
	}
	/* An empty object is a batch taken back: nothing for kelvo. */
	return n == 0 ||
	    (n > 0 && r->control == std::string(buf, (size_t)n));
}

/*
 * The texts the readers queue, taken until a stop signal and then until
 * the recording has caught up with kelvo.  What is read after that came
 * after the end; a recording that could not catch up takes it all and
 * says so.
 */
static void
follow(struct recorder *r, struct reader *readers, int nreaders)
{
	long long ending = -1;
	bool exact = false;

	for (;;) {
		struct timespec now, due;
		pthread_mutex_lock(&queue_mutex);
		if (queue.empty()) {
			clock_gettime(CLOCK_REALTIME, &now);
			deadline_after(&due, &now, ending < 0 ? 100 : 20);
			pthread_cond_timedwait(&queue_cond, &queue_mutex, &due);
		}
		std::deque<text> got;
		got.swap(queue);
		pthread_mutex_unlock(&queue_mutex);
		for (const text &t : got)
			take(r, t);
		overdue(r);
		if (ending < 0 && stopping)
			ending = link_now();
		if (ending >= 0 && ((exact = caught_up(r)) ||
		    link_now() - ending > ENDING_MS))
			break;
	}
	readers_done = true;
	for (int i = 0; i < nreaders; i++)
		pthread_join(readers[i].tid, nullptr);
	if (exact)
		return;
	pthread_mutex_lock(&queue_mutex);
	for (const text &t : queue)
		take(r, t);
	pthread_mutex_unlock(&queue_mutex);
	doubt(r, "kelvo was still moving " + std::to_string(ENDING_MS /
	    1000) + " s after the stop: the end is where it was last seen, "
	    "and a batch or tick of it may be missing");
}

/* What is still open at the end, and everything as last published. */
static void
finish(struct recorder *r)
{
	if (r->early)
		answered(r, &r->answer, true);
	for (const std::string &h : r->held)
		outputs(r, h);

	/* Last, everything as it was published at the end. */
	scen_step end;
	end.at = r->now;
	end.line = 0;
	for (int a = 0; a < (r->last.modern ? KC_ATTRS_MODERN : KC_ATTRS);
	    a++) {
		struct scen_expect e = {};
		e.what = a;
		e.text = trimmed(r->last.text[a]);
		end.expect.push_back(e);
	}
	r->s.steps.push_back(end);
}

int
record_session(const char *path)
{
	static struct reader readers[3] = {
		{ T_OUTPUTS, KC_OUTPUTS "?wait", 0 },
		{ T_SIM, KC_SIM "?wait", 0 },
		{ T_CONTROL, KC_CONTROL "?wait", 0 },
	};
	struct recorder r = {};
	struct sigaction sa;

	if (!read_start(&r))
		return CTL_FAIL;
	memset(&sa, 0, sizeof(sa));
	sa.sa_handler = on_signal;
	sigemptyset(&sa.sa_mask);
	sigaction(SIGINT, &sa, nullptr);
	sigaction(SIGTERM, &sa, nullptr);
	sigaction(SIGHUP, &sa, nullptr);	/* a closed terminal ends it too */
	for (struct reader &rd : readers)
		if (pthread_create(&rd.tid, nullptr, read_loop, &rd) != 0) {
			fprintf(stderr, "kelvo-ctl: cannot start a reader\n");
			return CTL_FAIL;
		}
	/*
	 * The control reader's first text is taken as answered already, so
	 * the start is announced once the readers have read once: a batch
	 * sent after the announcement is never taken for an old one.
	 */
	for (int i = 0; i < 200 && readers_ready < 3; i++)
		delay(10);
	fprintf(stderr, "kelvo-ctl: recording into %s; Ctrl-C ends it\n",
	    path);
	follow(&r, readers, 3);
	finish(&r);
	std::vector<int> lines;
	if (!write_scenario(path, &r, &lines))
		return CTL_FAIL;
	fprintf(stderr, "kelvo-ctl: recorded %ld simulated minutes, %zu "
	    "steps, into %s\n", r.now, r.s.steps.size(), path);
	said_doubts(path, &r, lines);
	return CTL_OK;
}
