/*
 * wheel.h - a hashed timer wheel: one pending time per key, for
 * thousands of keys, in one thread.
 *
 * A slot holds the keys due in its span of WHEEL_SLOT_MS; a time beyond
 * one turn of the wheel waits in its slot for the turn it is due in.
 * Setting a key's time again (or cancelling it) leaves its old entry in
 * place, and that entry is dropped when its slot comes round, since it
 * no longer names the key's time: no list is searched, ever.
 */
#ifndef KELVO_FLEET_WHEEL_H
#define KELVO_FLEET_WHEEL_H

#include <vector>

#define WHEEL_SLOT_MS	4
#define WHEEL_SLOTS	1024	/* a turn: about 4 s */

struct wheel_entry {
	int		 key;
	long long	 due;
};

struct wheel {
	std::vector<std::vector<struct wheel_entry>> slot;
	std::vector<long long>	 due;	/* by key; -1: none pending */
	long long		 now;	/* ms up to which keys were taken */
	long long		 pending;
};

void	 wheel_init(struct wheel *w, int keys, long long now);
/* key is due at time due (ms); any earlier time it had is forgotten. */
void	 wheel_set(struct wheel *w, int key, long long due);
void	 wheel_cancel(struct wheel *w, int key);
/* Whether key has a time pending. */
bool	 wheel_pending(const struct wheel *w, int key);
/*
 * The keys due by now, each once, in the order of their times' slots;
 * a key is no longer pending when it is handed out.  With dues, the
 * time each was due, beside it.
 */
void	 wheel_take(struct wheel *w, long long now, std::vector<int> *keys,
	    std::vector<long long> *dues = nullptr);
/*
 * The next of a key's periodic times after the one due at due: a whole
 * number of periods after it, the first later than now.
 */
long long wheel_next(long long due, int period, long long now);
/* ms until the next slot that may hold a due key; -1 when none. */
int	 wheel_wait(const struct wheel *w, long long now);

#endif
