/*
 * wheel.cpp - the timer wheel.
 *
 * Taking walks the slots from the last time taken up to now, at most one
 * turn, so a loop that fell behind catches up in one call.  An entry whose
 * time is a later turn goes back into the same slot; an entry that no
 * longer matches its key's time is a left-over of a reset and is dropped.
 */
#include "wheel.h"

#include <stddef.h>

static size_t
slot_of(long long t)
{
	return (size_t)((t / WHEEL_SLOT_MS) % WHEEL_SLOTS);
}

void
wheel_init(struct wheel *w, int keys, long long now)
{
	w->slot.assign(WHEEL_SLOTS, {});
	w->due.assign((size_t)keys, -1);
	w->now = now;
	w->pending = 0;
}

void
wheel_set(struct wheel *w, int key, long long due)
{
	if (key < 0 || (size_t)key >= w->due.size())
		return;
	/* A time already past goes into the next slot taken. */
	if (due < w->now)
		due = w->now;
	if (w->due[(size_t)key] < 0)
		w->pending++;
	w->due[(size_t)key] = due;
	w->slot[slot_of(due)].push_back({ key, due });
}

void
wheel_cancel(struct wheel *w, int key)
{
	if (key < 0 || (size_t)key >= w->due.size() || w->due[(size_t)key] < 0)
		return;
	w->due[(size_t)key] = -1;
	w->pending--;
}

bool
wheel_pending(const struct wheel *w, int key)
{
	return key >= 0 && (size_t)key < w->due.size() &&
	    w->due[(size_t)key] >= 0;
}

void
wheel_take(struct wheel *w, long long now, std::vector<int> *keys,
    std::vector<long long> *dues)
{
	long long from = w->now / WHEEL_SLOT_MS, to = now / WHEEL_SLOT_MS;

	if (now < w->now)
		return;
	if (to - from >= WHEEL_SLOTS)
		from = to - WHEEL_SLOTS + 1;
	for (long long s = from; s <= to; s++) {
		std::vector<struct wheel_entry> &v = w->slot[(size_t)(s %
		    WHEEL_SLOTS)];
		size_t kept = 0;
		for (size_t i = 0; i < v.size(); i++) {
			struct wheel_entry e = v[i];
			if (w->due[(size_t)e.key] != e.due)
				continue;		/* reset or cancelled */
			if (e.due > now) {
				v[kept++] = e;		/* a later turn */
				continue;
			}
			w->due[(size_t)e.key] = -1;
			w->pending--;
			keys->push_back(e.key);
			if (dues != nullptr)
				dues->push_back(e.due);
		}
		v.resize(kept);
	}
	w->now = now;
}

int
wheel_wait(const struct wheel *w, long long now)
{
	if (w->pending == 0)
		return -1;
	long long next = (now / WHEEL_SLOT_MS + 1) * WHEEL_SLOT_MS;
	return (int)(next - now);
}

/*
 * Counting from the due time rather than from now keeps the times where
 * they were spread: a turn that ran late (a busy machine) would
 * otherwise leave every key it took in one slot from then on, and such
 * bursts only grow, each a turn long enough to hold up everything
 * waiting behind it.  Periods missed are skipped, not made up in a burst.
 */
long long
wheel_next(long long due, int period, long long now)
{
	long long next = due + period;

	if (period < 1)
		return now;
	if (next <= now)
		next += ((now - next) / period + 1) * period;
	return next;
}
