/*
 * main.cpp - kelvo-panel: a thermostat face for kelvo on the terminal.
 *
 * The link to kelvo (link.h) follows the outputs object and sends the
 * presses on threads of its own; its hooks wake the screen through a
 * self-pipe, since PPS descriptors are not kernel descriptors and cannot
 * join the screen's poll().  The screen thread alone touches ncurses: it
 * polls the terminal and the pipe, turns keys into presses and redraws
 * from the link's latest state and history.  Signals only set a flag and
 * are kept away from the link's threads, so they always interrupt the
 * screen's poll().
 */
#include <errno.h>
#include <fcntl.h>
#include <langinfo.h>
#include <limits.h>
#include <locale.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>


#include <curses.h>

#include "control.h"
#include "link.h"
#include "panel.h"
#include "platform.h"

#define NOTE_MS		3000	/* how long a complaint stays on screen */

/* The smallest window the face, a readable chart and the keys fit in. */
#define MIN_COLS	50
#define MIN_LINES	16
#define CHART_TOP	8	/* first line of the chart */
#define CHART_LEFT	5	/* room for the degree labels */

enum { PAIR_IN = 1, PAIR_OUT, PAIR_SETPOINT, PAIR_HEAT, PAIR_COOL };

static int wake_pipe[2] = { -1, -1 };
/* The link's last line worth telling, for the screen thread to show. */
static pthread_mutex_t traced_mutex = PTHREAD_MUTEX_INITIALIZER;
static char traced[96];
static volatile sig_atomic_t quit_signal;

static bool utf8;
static char note[96];
static long long note_until;

static void
on_signal(int sig)
{
	(void)sig;
	quit_signal = 1;
}

static void
wake(void)
{
	char c = 0;

	/* A full pipe already holds a wake-up; losing this one is fine. */
	if (write(wake_pipe[1], &c, 1) < 0 && errno != EAGAIN)
		return;
}

/* The link's hooks, on its threads: all they may do is wake the screen. */
static void
on_text(const struct client_state *st, void *arg)
{
	(void)st;
	(void)arg;
	wake();
}

static void
on_running(bool running, void *arg)
{
	(void)running;
	(void)arg;
	wake();
}

static void
on_trace(const char *line, void *arg)
{
	(void)arg;
	pthread_mutex_lock(&traced_mutex);
	snprintf(traced, sizeof(traced), "%s", line);
	pthread_mutex_unlock(&traced_mutex);
	wake();
}

/* kelvo's answer to a press: one not applied is said as a trace is. */
static void
on_answered(const char *what, int result, const char *why, void *arg)
{
	char line[sizeof(traced)];

	if (result == CONTROL_APPLIED)
		return;
	snprintf(line, sizeof(line), "%s: %s", what, why);
	on_trace(line, arg);
}

static void
say(const char *msg)
{
	snprintf(note, sizeof(note), "%s", msg);
	note_until = link_now() + NOTE_MS;
}

/* Glyphs of the big indoor figure, 3 wide and 5 high; '#' is lit. */
static const char *const font[][5] = {
	{ "###", "# #", "# #", "# #", "###" }, { " # ", "## ", " # ", " # ", "###" },
	{ "###", "  #", "###", "#  ", "###" }, { "###", "  #", "###", "  #", "###" },
	{ "# #", "# #", "###", "  #", "  #" }, { "###", "#  ", "###", "  #", "###" },
	{ "###", "#  ", "###", "# #", "###" }, { "###", "  #", "  #", "  #", "  #" },
	{ "###", "# #", "###", "# #", "###" }, { "###", "# #", "###", "  #", "###" },
	{ "   ", "   ", "###", "   ", "   " },	/* '-' */
};

static void
big_text(int y, int x, const char *s)
{
	for (; *s; s++, x += 4) {
		int g = *s == '-' ? 10 : *s - '0';
		if (g < 0 || g > 10)
			continue;
		for (int r = 0; r < 5; r++)
			for (int c = 0; c < 3; c++)
				if (font[g][r][c] == '#')
					mvaddch(y + r, x + c, ' ' | A_REVERSE);
	}
}

static attr_t
series_attr(int series)
{
	if (series & SERIES_IN)
		return COLOR_PAIR(PAIR_IN) | A_BOLD;
	if (series & SERIES_OUT)
		return COLOR_PAIR(PAIR_OUT);
	if (series & SERIES_SETPOINT)
		return COLOR_PAIR(PAIR_SETPOINT);
	return COLOR_PAIR(PAIR_SETPOINT) | A_DIM;
}

static int
strongest(int bits)
{
	static const int order[] = { SERIES_IN, SERIES_OUT, SERIES_SETPOINT,
	    SERIES_BAND };

	for (int s : order)
		if (bits & s)
			return s;
	return 0;
}

static void
draw_face(const struct client_state *st, bool have)
{
	char line[64], status[128];
	int plant = client_plant(st);
	long long silent;
	int link = link_status(&silent);

	attron(A_BOLD);
	mvaddstr(0, 1, "kelvo");
	attroff(A_BOLD);
	if (link == LINK_NONE) {
		char path[PATH_MAX];
		if (pps_path(KC_OUTPUTS, path, sizeof(path)) < 0)
			snprintf(path, sizeof(path), "%s", KC_OUTPUTS);
		snprintf(status, sizeof(status), "waiting for kelvo (no %.100s)",
		    path);
	} else if (link == LINK_SILENT)
		snprintf(status, sizeof(status), "kelvo silent for %llds",
		    silent / 1000);
	else
		snprintf(status, sizeof(status), "%s",
		    have ? "live" : "connected");
	/* Right-aligned, but never over the name; a long path is cut. */
	int x = COLS - 1 - (int)strlen(status);
	mvaddnstr(0, x > 8 ? x : 8, status, COLS - 9);

	if (have && st->has_in)
		snprintf(line, sizeof(line), "%d", st->in_whole);
	else
		snprintf(line, sizeof(line), "--");
	attron(COLOR_PAIR(PAIR_IN));
	big_text(1, 2, line);
	attroff(COLOR_PAIR(PAIR_IN));
	mvaddstr(6, 2, "indoor");

	if (!have)
		return;
	/* In modern AUTO the band is what the up and down keys move. */
	if (client_band_buttons(st) && st->has_low && st->has_high)
		snprintf(line, sizeof(line), "band %d..%d", st->low, st->high);
	else if (st->has_setpoint)
		snprintf(line, sizeof(line), "set point %d", st->setpoint);
	else
		snprintf(line, sizeof(line), "set point ?");
	attron(A_BOLD | COLOR_PAIR(PAIR_SETPOINT));
	mvaddstr(1, 22, line);
	attroff(A_BOLD | COLOR_PAIR(PAIR_SETPOINT));
	snprintf(line, sizeof(line), "mode %-4s  fan %s",
	    kc_mode_name(st->mode), kc_fan_name(st->fan));
	mvaddstr(2, 22, line);
	attr_t a = plant == PLANT_HEATING ? COLOR_PAIR(PAIR_HEAT) | A_BOLD :
	    plant == PLANT_COOLING ? COLOR_PAIR(PAIR_COOL) | A_BOLD : A_NORMAL;
	attron(a);
	mvaddstr(3, 22, client_plant_name(plant));
	attroff(a);
	/* The face's own form of the clock; the published text else. */
	char clock[16];
	if (!client_clock_display(st, clock, sizeof(clock)))
		snprintf(clock, sizeof(clock), "%s",
		    st->clock[0] ? st->clock : "?");
	snprintf(line, sizeof(line), "time %s", clock);
	mvaddstr(4, 22, line);
	if (st->has_out)
		snprintf(line, sizeof(line), "outdoor %d", st->out_whole);
	else
		snprintf(line, sizeof(line), "outdoor ?");
	attron(COLOR_PAIR(PAIR_OUT));
	mvaddstr(5, 22, line);
	attroff(COLOR_PAIR(PAIR_OUT));
	if (!st->modern)
		return;
	char hum[16] = "?";
	if (st->has_humidity)
		snprintf(hum, sizeof(hum), "%.0f%%", st->humidity);
	snprintf(line, sizeof(line), "preset %s  humidity %s",
	    st->preset >= 0 ? kc_presets[st->preset].name : "?", hum);
	mvaddstr(6, 22, line);
}

/* The four quarters of the simulated day on the time axis. */
static void
draw_time_axis(int y, int x0, int width, int now)
{
	static const struct { int minute; const char *label; } mark[] = {
		{ 0, "12a" }, { 360, "6a" }, { 720, "12p" }, { 1080, "6p" },
	};

	for (const auto &m : mark) {
		int age = (now - m.minute + CLIENT_DAY) % CLIENT_DAY;
		int x = x0 + panel_chart_col(age, width);
		int len = (int)strlen(m.label);
		if (x + len <= x0 + width)
			mvaddstr(y, x, m.label);
	}
}

static void
draw_chart(const struct client_history *h)
{
	static struct panel_chart c;
	int width = COLS - CHART_LEFT - 1, height = LINES - CHART_TOP - 2;
	int dx = utf8 ? 2 : 1, dy = utf8 ? 4 : 1;

	attron(A_DIM);
	mvaddstr(7, 1, "last simulated day:");
	attroff(A_DIM);
	attron(series_attr(SERIES_IN));
	addstr(" indoor");
	attroff(series_attr(SERIES_IN));
	attron(series_attr(SERIES_OUT));
	addstr(" outdoor");
	attroff(series_attr(SERIES_OUT));
	attron(series_attr(SERIES_SETPOINT));
	addstr(utf8 ? " set point \u00b11" : " set point +-1");
	attroff(series_attr(SERIES_SETPOINT));

	panel_chart_plot(h, width * dx, height * dy, &c);
	if (!c.scale.valid)
		return;
	for (int y = 0; y < height; y++)
		for (int x = 0; x < width; x++) {
			int bits = 0, pattern = 0;
			for (int j = 0; j < dy; j++)
				for (int i = 0; i < dx; i++) {
					int d = c.dot[(size_t)(y * dy + j) *
					    c.cols + x * dx + i];
					if (d == 0)
						continue;
					bits |= d;
					/* Braille numbers its dots column-wise,
					 * the bottom pair last. */
					pattern |= j == 3 ? (i ? 0x80 : 0x40) :
					    1 << (i * 3 + j);
				}
			if (bits == 0)
				continue;
			int s = strongest(bits);
			attron(series_attr(s));
			if (utf8) {
				wchar_t w[2] = { (wchar_t)(0x2800 + pattern), 0 };
				mvaddwstr(CHART_TOP + y, CHART_LEFT + x, w);
			} else
				mvaddch(CHART_TOP + y, CHART_LEFT + x,
				    s == SERIES_IN ? '*' : s == SERIES_OUT ?
				    'o' : s == SERIES_SETPOINT ? '-' : '.');
			attroff(series_attr(s));
		}

	/* Degrees at the top, the middle and the bottom of the chart. */
	int mid = (c.scale.lo + c.scale.hi) / 2;
	int vals[3] = { c.scale.hi, mid, c.scale.lo };
	for (int v : vals) {
		char label[8];
		int row = panel_scale_row(&c.scale, v, height * dy) / dy;
		snprintf(label, sizeof(label), "%4d", v);
		mvaddstr(CHART_TOP + row, 0, label);
	}
	draw_time_axis(LINES - 2, CHART_LEFT, width, h->now);
}

static void
draw(void)
{
	static struct client_history h;
	struct client_state st;
	bool have;

	erase();
	if (COLS < MIN_COLS || LINES < MIN_LINES) {
		char msg[96];
		snprintf(msg, sizeof(msg), "kelvo-panel needs %dx%d, this is %dx%d",
		    MIN_COLS, MIN_LINES, COLS, LINES);
		mvaddnstr(LINES / 2, 0, msg, COLS);
		refresh();
		return;
	}
	have = link_latest(&st);
	link_history(&h);

	draw_face(&st, have);
	if (link_now() < note_until) {
		attron(A_BOLD);
		mvaddnstr(6, 22, note, COLS - 23);
		attroff(A_BOLD);
	}
	draw_chart(&h);
	attron(A_REVERSE);
	mvaddnstr(LINES - 1, 0, utf8 ?
	    " m mode  f fan  +/\u2191 warmer  -/\u2193 cooler  q quit " :
	    " m mode  f fan  +/Up warmer  -/Down cooler  q quit ", COLS);
	attroff(A_REVERSE);
	refresh();
}

static int
key_button(int ch)
{
	switch (ch) {
	case 'm': case 'M':
		return BTN_MODE;
	case 'f': case 'F':
		return BTN_FAN;
	case '+': case '=': case KEY_UP:
		return BTN_UP;
	case '-': case '_': case KEY_DOWN:
		return BTN_DOWN;
	}
	return 0;
}

static void
setup_colors(void)
{
	if (!has_colors())
		return;
	start_color();
	use_default_colors();
	init_pair(PAIR_IN, COLOR_YELLOW, -1);
	init_pair(PAIR_OUT, COLOR_CYAN, -1);
	init_pair(PAIR_SETPOINT, COLOR_GREEN, -1);
	init_pair(PAIR_HEAT, COLOR_RED, -1);
	init_pair(PAIR_COOL, COLOR_BLUE, -1);
}

static void
press(int btn)
{
	switch (link_press(btn)) {
	case LINK_DOWN:
		say("kelvo takes no buttons now (not running)");
		break;
	case LINK_FULL:
		say("too many presses at once; some dropped");
		break;
	}
}

static int
run_screen(void)
{
	struct pollfd pfd[2];
	int ch;
	bool quit = false;

	if (newterm(NULL, stdout, stdin) == NULL) {
		fprintf(stderr, "kelvo-panel: cannot use this terminal "
		    "(TERM=%s); try --once\n", getenv("TERM") ? getenv("TERM") :
		    "");
		return 1;
	}
	cbreak();
	noecho();
	keypad(stdscr, TRUE);
	nodelay(stdscr, TRUE);
	curs_set(0);
	setup_colors();

	pfd[0].fd = STDIN_FILENO;
	pfd[0].events = POLLIN;
	pfd[1].fd = wake_pipe[0];
	pfd[1].events = POLLIN;
	while (!quit && !quit_signal) {
		draw();
		pthread_mutex_lock(&traced_mutex);
		if (traced[0] != '\0')
			say(traced);
		traced[0] = '\0';
		pthread_mutex_unlock(&traced_mutex);
		/* Once a second at least, for the "silent" count. */
		if (poll(pfd, 2, 1000) < 0 && errno != EINTR)
			break;
		if (pfd[1].revents & POLLIN) {
			char junk[64];
			while (read(wake_pipe[0], junk, sizeof(junk)) > 0)
				;
		}
		while ((ch = getch()) != ERR) {
			int btn = key_button(ch);
			if (ch == 'q' || ch == 'Q')
				quit = true;
			else if (ch == 12)	/* ^L */
				clearok(curscr, TRUE);
			else if (btn != 0)
				press(btn);
		}
	}
	endwin();

	/* Presses already made still count, and the object is left idle. */
	link_stop(3000);
	return 0;
}

/*
 * --once: the last text kelvo published, and whether kelvo still runs by
 * the one rule (client_running_now: a text no older than its sim object's
 * period allows, CLIENT_QUIET_MS at least), so a script can tell a live
 * reading from what a stopped kelvo left behind: status 3 for the latter.
 */
static int
once(void)
{
	char buf[1024], out[512], path[PATH_MAX];
	struct client_state st;
	ssize_t n;
	int fd, taken;

	if (pps_path(KC_OUTPUTS, path, sizeof(path)) < 0)
		snprintf(path, sizeof(path), "%s", KC_OUTPUTS);
	if ((fd = pps_open(KC_OUTPUTS, O_RDONLY)) < 0) {
		fprintf(stderr, "kelvo-panel: no outputs object at %s (%s); "
		    "is kelvo running with this PPS_ROOT?\n", path,
		    strerror(errno));
		return 1;
	}
	n = pps_read(fd, buf, sizeof(buf));
	pps_close(fd);
	if (n < 0) {
		fprintf(stderr, "kelvo-panel: %s: %s\n", path, strerror(errno));
		return 1;
	}
	taken = client_parse(buf, (size_t)n, &st);
	client_format(&st, out, sizeof(out));
	fputs(out, stdout);
	/* The one rule; a kelvo set to a long period is quiet that long. */
	bool running = client_running_now(nullptr, nullptr);
	printf("running %s\n", running ? "yes" : "no");
	if (taken == 0) {
		fprintf(stderr, "kelvo-panel: nothing readable in %s\n", path);
		return 1;
	}
	return running ? 0 : 3;
}

static void
usage(FILE *f)
{
	fprintf(f,
	    "usage: kelvo-panel [--once]\n"
	    "Shows kelvo's thermostat and takes its buttons: m mode, f fan,\n"
	    "+/Up and -/Down the set point, q quit.  --once prints the state\n"
	    "as text and whether kelvo runs, and exits (3 when it does not).\n"
	    "The objects are under $PPS_ROOT/kelvo (default /pps).\n");
}

int
main(int argc, char *argv[])
{
	struct sigaction sa;
	sigset_t block, old;
	struct link_hooks hooks = { on_text, on_running, on_answered, on_trace,
	    NULL };

	if (argc == 2 && strcmp(argv[1], "--once") == 0)
		return once();
	if (argc == 2 && (strcmp(argv[1], "-h") == 0 ||
	    strcmp(argv[1], "--help") == 0)) {
		usage(stdout);
		return 0;
	}
	if (argc != 1) {
		usage(stderr);
		return 2;
	}
	if (!isatty(STDIN_FILENO) || !isatty(STDOUT_FILENO)) {
		fprintf(stderr, "kelvo-panel: needs a terminal; "
		    "kelvo-panel --once prints the state as text\n");
		return 1;
	}

	setlocale(LC_ALL, "");
	utf8 = strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
	if (pipe2(wake_pipe, O_CLOEXEC | O_NONBLOCK) < 0) {
		perror("kelvo-panel: pipe");
		return 1;
	}

	/* Ours before ncurses looks, so it leaves them to us. */
	memset(&sa, 0, sizeof(sa));
	sa.sa_handler = on_signal;
	sigemptyset(&sa.sa_mask);
	sigaction(SIGINT, &sa, NULL);
	sigaction(SIGTERM, &sa, NULL);
	sigaction(SIGHUP, &sa, NULL);

	sigemptyset(&block);
	sigaddset(&block, SIGINT);
	sigaddset(&block, SIGTERM);
	sigaddset(&block, SIGHUP);
	sigaddset(&block, SIGWINCH);
	pthread_sigmask(SIG_BLOCK, &block, &old);
	if (link_start(&hooks) < 0) {
		fprintf(stderr, "kelvo-panel: cannot start the link to kelvo\n");
		return 1;
	}
	pthread_sigmask(SIG_SETMASK, &old, NULL);

	return run_screen();
}
