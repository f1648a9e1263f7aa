/*
 * The fleet's timer wheel: keys handed out once when due and not before,
 * times beyond a turn, a key set again or cancelled, and a loop that fell
 * far behind catching up in one take.
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "wheel.h"

namespace {

std::vector<int>
take(struct wheel *w, long long now)
{
	std::vector<int> keys;
	wheel_take(w, now, &keys);
	std::sort(keys.begin(), keys.end());
	return keys;
}

TEST(Wheel, HandsOutEachKeyOnceWhenDue)
{
	struct wheel w;
	wheel_init(&w, 4, 1000);
	wheel_set(&w, 0, 1010);
	wheel_set(&w, 1, 1200);
	wheel_set(&w, 2, 900);		/* already past: the next take */
	EXPECT_EQ(take(&w, 1005), std::vector<int>({ 2 }));
	EXPECT_EQ(take(&w, 1100), std::vector<int>({ 0 }));
	EXPECT_TRUE(take(&w, 1100).empty());
	EXPECT_TRUE(wheel_pending(&w, 1));
	EXPECT_EQ(take(&w, 1200), std::vector<int>({ 1 }));
	EXPECT_FALSE(wheel_pending(&w, 1));
	EXPECT_EQ(wheel_wait(&w, 1200), -1);
}

TEST(Wheel, DueTimesComeWithTheKeysAndPeriodsKeepTheirPhase)
{
	struct wheel w;
	std::vector<int> keys;
	std::vector<long long> dues;
	wheel_init(&w, 3, 1000);
	wheel_set(&w, 0, 1003);
	wheel_set(&w, 1, 1150);
	wheel_set(&w, 2, 990);		/* past: handed out as due now */
	wheel_take(&w, 1180, &keys, &dues);
	ASSERT_EQ(keys.size(), 3u);
	for (size_t i = 0; i < keys.size(); i++)
		EXPECT_EQ(dues[i], keys[i] == 0 ? 1003 : keys[i] == 1 ? 1150 :
		    1000) << keys[i];
	/* Taken 177 ms late, a 200 ms period stays on its phase. */
	EXPECT_EQ(wheel_next(1003, 200, 1180), 1203);
	/* Periods missed entirely are skipped, not made up. */
	EXPECT_EQ(wheel_next(1003, 200, 1900), 2003);
	EXPECT_EQ(wheel_next(1003, 200, 1403), 1603);
	EXPECT_EQ(wheel_next(1003, 0, 1500), 1500);
}

TEST(Wheel, TimesBeyondATurnWaitForTheirTurn)
{
	struct wheel w;
	long long turn = (long long)WHEEL_SLOT_MS * WHEEL_SLOTS;
	wheel_init(&w, 2, 0);
	wheel_set(&w, 0, turn + 8);	/* the same slot as 8, a turn later */
	wheel_set(&w, 1, 3 * turn);
	for (long long t = 0; t < turn; t += 50)
		EXPECT_TRUE(take(&w, t).empty()) << t;
	EXPECT_EQ(take(&w, turn + 8), std::vector<int>({ 0 }));
	/* Far behind: one take covers it all. */
	EXPECT_EQ(take(&w, 10 * turn), std::vector<int>({ 1 }));
}

TEST(Wheel, SetAgainOrCancelledForgetsTheOldTime)
{
	struct wheel w;
	wheel_init(&w, 3, 0);
	wheel_set(&w, 0, 100);
	wheel_set(&w, 0, 300);
	wheel_set(&w, 1, 100);
	wheel_cancel(&w, 1);
	wheel_set(&w, 2, 200);
	wheel_set(&w, 2, 50);
	EXPECT_EQ(take(&w, 150), std::vector<int>({ 2 }));
	EXPECT_TRUE(take(&w, 299).empty());
	EXPECT_EQ(take(&w, 300), std::vector<int>({ 0 }));
	EXPECT_EQ(w.pending, 0);
	/* Keys out of range are ignored, not written. */
	wheel_set(&w, 7, 10);
	wheel_set(&w, -1, 10);
	EXPECT_EQ(w.pending, 0);
}

}
