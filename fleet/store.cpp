/*
 * store.cpp - the thermostats kept in one SQLite file.
 *
 * One row a thermostat, by its global number, holding its world and the
 * batches it took: what a restart needs to continue it.  The file is in
 * WAL mode, so a save does not stop readers (a backup, sqlite3 looking
 * in) and costs one append; synchronous=NORMAL keeps it to no fsync per
 * transaction, since what a save guards against is the process dying
 * (kill -9, a crash), after which the WAL written so far is still there.
 *
 * Two processes on one store would each continue the same thermostats
 * and overwrite each other's saves, so the file is locked (flock, which
 * SQLite's own fcntl locks never meet) for as long as the process runs,
 * and a second one is refused.  Everything that can fail at the start
 * fails there, with a line naming the file, before any thermostat
 * connects: a file that is no database, one that cannot be written.
 */
#include "fleet.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <unistd.h>

#include <sqlite3.h>

#include "logline.h"

static sqlite3 *db;
static sqlite3_stmt *load_st, *save_st;
static int lock_fd = -1;
static std::string path_used;
static struct store_counts counts;

static const char SCHEMA[] =
    "CREATE TABLE IF NOT EXISTS thermostat ("
    " num INTEGER PRIMARY KEY, clock INTEGER, out REAL, out_whole INTEGER,"
    " inside REAL, in_whole INTEGER,"
    " running INTEGER, mode INTEGER, fan INTEGER, setpoint INTEGER,"
    " interval INTEGER, minutes INTEGER, paused INTEGER, faults INTEGER,"
    " batch INTEGER, error TEXT, profile INTEGER DEFAULT 0,"
    " low INTEGER, high INTEGER, preset INTEGER, call INTEGER,"
    " humidity REAL, humidity_whole INTEGER)";

/*
 * The modern profile's columns, added to a store written before they
 * were: its rows are classic thermostats, and the reset's values fill
 * the rest when they load (NULL reads as no value).
 */
static const char *const MODERN_COLUMNS[] = {
	"profile INTEGER DEFAULT 0", "low INTEGER", "high INTEGER",
	"preset INTEGER", "call INTEGER", "humidity REAL",
	"humidity_whole INTEGER",
};

static bool
refuse(const char *what)
{
	fprintf(stderr, "kelvo-fleet: store %s: %s\n", path_used.c_str(), what);
	store_close();
	return false;
}

/* The lock, on a descriptor of our own: held until the process ends. */
static bool
lock_store(const char *path)
{
	if ((lock_fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0640)) < 0) {
		char why[300];
		snprintf(why, sizeof(why), "cannot open it for writing: %s",
		    strerror(errno));
		return refuse(why);
	}
	if (flock(lock_fd, LOCK_EX | LOCK_NB) < 0)
		return refuse(errno == EWOULDBLOCK ? "another kelvo-fleet "
		    "holds it; give each process a store of its own" :
		    strerror(errno));
	return true;
}

static bool
exec(const char *sql)
{
	char *err = NULL;

	if (sqlite3_exec(db, sql, NULL, NULL, &err) == SQLITE_OK)
		return true;
	std::string why = err != NULL ? err : sqlite3_errmsg(db);
	sqlite3_free(err);
	if (sqlite3_errcode(db) == SQLITE_NOTADB)
		why = "not an SQLite database (" + why + ")";
	return refuse(why.c_str());
}

static bool
add_columns(void)
{
	sqlite3_stmt *st;

	if (sqlite3_prepare_v2(db, "SELECT profile FROM thermostat LIMIT 0",
	    -1, &st, NULL) == SQLITE_OK) {
		sqlite3_finalize(st);
		return true;
	}
	for (const char *col : MODERN_COLUMNS) {
		std::string sql = std::string("ALTER TABLE thermostat ADD "
		    "COLUMN ") + col;
		if (!exec(sql.c_str()))
			return false;
	}
	return true;
}

bool
store_open(const char *path)
{
	path_used = path;
	if (!lock_store(path))
		return false;
	if (sqlite3_open_v2(path, &db, SQLITE_OPEN_READWRITE |
	    SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, NULL) != SQLITE_OK)
		return refuse(db != NULL ? sqlite3_errmsg(db) : "out of memory");
	if (sqlite3_db_readonly(db, "main") == 1)
		return refuse("it is read-only");
	sqlite3_busy_timeout(db, 1000);
	/* A write at once: a file that cannot take one is found now. */
	if (!exec("PRAGMA journal_mode=WAL") ||
	    !exec("PRAGMA synchronous=NORMAL") || !exec(SCHEMA) ||
	    !exec("BEGIN IMMEDIATE") || !exec("COMMIT") || !add_columns())
		return false;
	if (sqlite3_prepare_v2(db, "SELECT clock, out, out_whole, inside, in_whole, running, mode,"
	    " fan, setpoint, interval, minutes, paused, faults, batch, error,"
	    " profile, low, high, preset, call, humidity, humidity_whole"
	    " FROM thermostat WHERE num = ?", -1, &load_st, NULL) != SQLITE_OK ||
	    sqlite3_prepare_v2(db, "INSERT OR REPLACE INTO thermostat VALUES"
	    " (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?,"
	    " ?, ?, ?, ?, ?, ?, ?)", -1, &save_st,
	    NULL) != SQLITE_OK)
		return refuse(sqlite3_errmsg(db));
	return true;
}

/* The modern columns from c on; NULLs (an older row) keep the reset's. */
static void
load_modern(struct km_world *w, int c)
{
	struct km_world fresh;

	km_reset(&fresh);
	auto col = [&](int at, int dflt) {
		return sqlite3_column_type(load_st, at) == SQLITE_NULL ? dflt :
		    sqlite3_column_int(load_st, at);
	};
	w->profile = col(c++, KC_PROFILE_CLASSIC);
	w->low = col(c++, fresh.low);
	w->high = col(c++, fresh.high);
	w->preset = col(c++, fresh.preset);
	w->call = col(c++, fresh.call);
	w->humidity = sqlite3_column_type(load_st, c) == SQLITE_NULL ?
	    fresh.humidity : (float)sqlite3_column_double(load_st, c);
	c++;
	w->humidity_whole = col(c++, fresh.humidity_whole);
}

/* What no thermostat can be: a row written by hand, or damaged. */
static bool
sane(const struct km_world *w)
{
	int lo = KC_SETPOINT_MIN, hi = KC_SETPOINT_MAX;

	return kc_clock_valid(w->clock) && w->mode >= MODE_UNKNOWN &&
	    w->mode <= (w->profile == KC_PROFILE_MODERN ? MODE_AUTO :
	    MODE_COOL) && w->fan >= FAN_UNKNOWN && w->fan <= FAN_ON &&
	    w->interval >= 1 && w->interval <= KC_INTERVAL_MAX &&
	    w->minutes >= 1 && w->minutes <= KC_MINUTES_MAX &&
	    (w->profile == KC_PROFILE_CLASSIC ||
	    w->profile == KC_PROFILE_MODERN) &&
	    w->low >= lo && w->high <= hi && w->high - w->low >= 3 &&
	    w->preset >= PRESET_NONE && w->preset < KC_PRESETS &&
	    w->call >= CALL_UNKNOWN && w->call <= CALL_COOL &&
	    w->humidity_whole >= 0 && w->humidity_whole <= 100;
}

bool
store_load(struct thermostat *t)
{
	struct km_world *w = &t->w;
	bool found = false;

	sqlite3_bind_int(load_st, 1, t->num);
	if (sqlite3_step(load_st) == SQLITE_ROW) {
		int c = 0;
		w->clock = sqlite3_column_int(load_st, c++);
		w->out = (float)sqlite3_column_double(load_st, c++);
		w->out_whole = sqlite3_column_int(load_st, c++);
		w->in = (float)sqlite3_column_double(load_st, c++);
		w->in_whole = sqlite3_column_int(load_st, c++);
		w->running = sqlite3_column_int(load_st, c++) != 0;
		w->mode = sqlite3_column_int(load_st, c++);
		w->fan = sqlite3_column_int(load_st, c++);
		w->setpoint = sqlite3_column_int(load_st, c++);
		w->interval = sqlite3_column_int(load_st, c++);
		w->minutes = sqlite3_column_int(load_st, c++);
		w->paused = sqlite3_column_int(load_st, c++) != 0;
		w->faults = sqlite3_column_int(load_st, c++) & KC_FAULT_ALL;
		t->batch = (long)sqlite3_column_int64(load_st, c++);
		const unsigned char *e = sqlite3_column_text(load_st, c++);
		snprintf(t->error, sizeof(t->error), "%s", e != NULL ?
		    (const char *)e : "");
		load_modern(w, c);
		found = true;
	}
	sqlite3_reset(load_st);
	/* A row written by hand may hold anything: the world stays sane. */
	return found && sane(w);
}

static bool
save_one(const struct thermostat *t)
{
	const struct km_world *w = &t->w;
	int i = 1;

	sqlite3_bind_int(save_st, i++, t->num);
	sqlite3_bind_int(save_st, i++, w->clock);
	sqlite3_bind_double(save_st, i++, w->out);
	sqlite3_bind_int(save_st, i++, w->out_whole);
	sqlite3_bind_double(save_st, i++, w->in);
	sqlite3_bind_int(save_st, i++, w->in_whole);
	sqlite3_bind_int(save_st, i++, w->running);
	sqlite3_bind_int(save_st, i++, w->mode);
	sqlite3_bind_int(save_st, i++, w->fan);
	sqlite3_bind_int(save_st, i++, w->setpoint);
	sqlite3_bind_int(save_st, i++, w->interval);
	sqlite3_bind_int(save_st, i++, w->minutes);
	sqlite3_bind_int(save_st, i++, w->paused);
	sqlite3_bind_int(save_st, i++, w->faults);
	sqlite3_bind_int64(save_st, i++, t->batch);
	sqlite3_bind_text(save_st, i++, t->error, -1, SQLITE_STATIC);
	sqlite3_bind_int(save_st, i++, w->profile);
	sqlite3_bind_int(save_st, i++, w->low);
	sqlite3_bind_int(save_st, i++, w->high);
	sqlite3_bind_int(save_st, i++, w->preset);
	sqlite3_bind_int(save_st, i++, w->call);
	sqlite3_bind_double(save_st, i++, w->humidity);
	sqlite3_bind_int(save_st, i++, w->humidity_whole);
	int rc = sqlite3_step(save_st);
	sqlite3_reset(save_st);
	return rc == SQLITE_DONE;
}

/*
 * One transaction; a thermostat stays dirty until a save of it commits,
 * so a failed one is tried again with the next.  The rows written, or -1
 * (said) when the transaction failed.
 */
int
store_save(bool pending_only, long long *ms)
{
	long long start = fleet_now();
	std::vector<struct thermostat *> saved;
	bool ok;

	if (db == NULL)
		return -1;
	if (sqlite3_exec(db, "BEGIN", NULL, NULL, NULL) != SQLITE_OK)
		return -1;
	ok = true;
	for (auto &t : fleet) {
		if (!t.dirty || (pending_only && !t.pending))
			continue;
		if (!(ok = save_one(&t)))
			break;
		saved.push_back(&t);
	}
	if (ok && sqlite3_exec(db, "COMMIT", NULL, NULL, NULL) == SQLITE_OK) {
		for (auto *t : saved)
			t->dirty = false;
	} else {
		logline_on(path_used.c_str(), "store %s: saving failed (%s); "
		    "trying again", path_used.c_str(), sqlite3_errmsg(db));
		sqlite3_exec(db, "ROLLBACK", NULL, NULL, NULL);
		saved.clear();
		ok = false;
	}
	counts.saves++;
	counts.rows += saved.size();
	counts.last_ms = fleet_now() - start;
	counts.total_ms += counts.last_ms;
	if (ms != NULL)
		*ms = counts.last_ms;
	return ok ? (int)saved.size() : -1;
}

void
store_counts(struct store_counts *c)
{
	*c = counts;
}

void
store_close(void)
{
	sqlite3_finalize(load_st);
	sqlite3_finalize(save_st);
	load_st = save_st = NULL;
	if (db != NULL)
		sqlite3_close(db);
	db = NULL;
	if (lock_fd >= 0)
		close(lock_fd);
	lock_fd = -1;
}
