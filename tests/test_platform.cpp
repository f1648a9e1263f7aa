/*
 * The PPS stand-in: where objects live, whole-text writes, and "?wait"
 * reads that return at once the first time and then block until a writer
 * replaces or rewrites the object.
 */
#include <gtest/gtest.h>

#include <dirent.h>
#include <limits.h>
#include <sys/stat.h>

#include <atomic>
#include <future>
#include <vector>

#include "platform.h"
#include "testutil.h"

namespace {

class Pps : public ::testing::Test {
protected:
	kt::TempDir root;
	std::string obj;

	void SetUp() override {
		setenv("PPS_ROOT", root.path.c_str(), 1);
		ASSERT_EQ(pps_mkdir("/pps/kelvo", 0700), 0);
		obj = root / "kelvo/inputs";
		kt::write_file(obj, "@inputs\nbtn1::\n");
	}
	void TearDown() override { unsetenv("PPS_ROOT"); }

	static std::string read_once(int fd) {
		char buf[1024];
		ssize_t n = pps_read(fd, buf, sizeof(buf));
		return n < 0 ? "(error)" : std::string(buf, (size_t)n);
	}
	/* A read on another thread, so a test can watch it block. */
	static std::shared_future<std::string> start_read(int fd) {
		auto task = std::make_shared<std::packaged_task<std::string()>>(
		    [fd] { return read_once(fd); });
		std::shared_future<std::string> result = task->get_future();
		std::thread([task] { (*task)(); }).detach();
		return result;
	}
	/* Its text; the test fails, not hangs, if it never returns. */
	static std::string await(std::shared_future<std::string> r,
	    double seconds = 10) {
		if (r.wait_for(std::chrono::milliseconds((long)(seconds * 1000)))
		    != std::future_status::ready)
			return "(still blocked)";
		return r.get();
	}
	static std::string read_blocked(int fd) { return await(start_read(fd)); }
	/* Writes as a shell redirection does: truncate, write, close. */
	void rewrite(const std::string &text) {
		int fd = open(obj.c_str(), O_WRONLY | O_TRUNC);
		ASSERT_GE(fd, 0);
		ASSERT_EQ(write(fd, text.data(), text.size()),
		    (ssize_t)text.size());
		close(fd);
	}
	void rename_in(const std::string &text) {
		kt::write_file(obj + ".new", text);
		ASSERT_EQ(rename((obj + ".new").c_str(), obj.c_str()), 0);
	}
};

TEST_F(Pps, PathsMoveUnderPpsRoot)
{
	char out[64];
	EXPECT_EQ(pps_path("/pps/kelvo/outputs", out, sizeof(out)), 0);
	EXPECT_EQ(std::string(out), root / "kelvo/outputs");
	EXPECT_EQ(pps_path("/ppsx/a", out, sizeof(out)), 0);
	EXPECT_STREQ(out, "/ppsx/a");
	EXPECT_EQ(pps_path("/pps/kelvo/outputs", out, 8), -1);
	unsetenv("PPS_ROOT");
	EXPECT_EQ(pps_path("/pps/kelvo/outputs", out, sizeof(out)), 0);
	EXPECT_STREQ(out, "/pps/kelvo/outputs");
}

TEST_F(Pps, OpeningNeedsTheObjectUnlessItCreatesIt)
{
	EXPECT_EQ(pps_open("/pps/kelvo/outputs", O_WRONLY), -1);
	EXPECT_EQ(pps_open("/pps/kelvo/outputs?wait", O_RDONLY), -1);
	int fd = pps_open("/pps/kelvo/outputs", O_WRONLY | O_CREAT | O_TRUNC,
	    0600);
	ASSERT_GE(fd, 0);
	EXPECT_EQ(kt::mode_of(root / "kelvo/outputs"), 0600u);
	EXPECT_EQ(pps_close(fd), 0);
	EXPECT_EQ(pps_close(fd), -1);
	EXPECT_EQ(pps_read(-1, nullptr, 0), -1);
	EXPECT_EQ(pps_write(999, "x", 1), -1);
}

TEST_F(Pps, WritesReplaceTheWholeTextAndKeepTheMode)
{
	int fd = pps_open("/pps/kelvo/outputs", O_WRONLY | O_CREAT | O_TRUNC,
	    0600);
	ASSERT_GE(fd, 0);
	std::string a = "@outputs\nts_temp::68\ntd_time::05:00p\n";
	std::string b = "@outputs\nts_temp::7\n";
	EXPECT_EQ(pps_write(fd, a.data(), a.size()), (ssize_t)a.size());
	EXPECT_EQ(pps_write(fd, b.data(), b.size()), (ssize_t)b.size());
	EXPECT_EQ(kt::read_file(root / "kelvo/outputs"), b);
	EXPECT_EQ(kt::mode_of(root / "kelvo/outputs"), 0600u);
	pps_close(fd);
	/* No temporary files are left behind. */
	std::string ls = "ls -A '" + root.path + "/kelvo' | wc -l";
	FILE *p = popen(ls.c_str(), "r");
	int count = 0;
	ASSERT_EQ(fscanf(p, "%d", &count), 1);
	pclose(p);
	EXPECT_EQ(count, 2);
}

TEST_F(Pps, WaitReadsTheCurrentTextAtOnceThenBlocksForAChange)
{
	int fd = pps_open("/pps/kelvo/inputs?wait", O_RDONLY);
	ASSERT_GE(fd, 0);
	EXPECT_EQ(read_once(fd), "@inputs\nbtn1::\n");
	auto r = start_read(fd);
	EXPECT_EQ(await(r, 0.3), "(still blocked)");
	rewrite("@inputs\nbtn1::event\n");
	EXPECT_EQ(await(r), "@inputs\nbtn1::event\n");
	pps_close(fd);
}

TEST_F(Pps, EachKindOfWriteWakesTheReaderOnce)
{
	int fd = pps_open("/pps/kelvo/inputs?wait", O_RDONLY);
	ASSERT_GE(fd, 0);
	read_once(fd);

	std::string texts[] = { "@inputs\nbtn3::event\n",
		"@inputs\nbtn4::event\n", "@inputs\nbtn4::event\n",
		"@inputs\nbtn2::event\n" };
	rewrite(texts[0]);
	EXPECT_EQ(read_blocked(fd), texts[0]);
	rename_in(texts[1]);
	EXPECT_EQ(read_blocked(fd), texts[1]);
	/* The same text again is still a new press. */
	int w = pps_open("/pps/kelvo/inputs", O_WRONLY);
	ASSERT_GE(w, 0);
	ASSERT_EQ(pps_write(w, texts[2].data(), texts[2].size()),
	    (ssize_t)texts[2].size());
	EXPECT_EQ(read_blocked(fd), texts[2]);
	pps_close(w);
	rewrite(texts[3]);
	EXPECT_EQ(read_blocked(fd), texts[3]);
	/* ...and none of them is handed out twice. */
	auto r = start_read(fd);
	EXPECT_EQ(await(r, 0.3), "(still blocked)");
	rewrite("@inputs\n");
	EXPECT_EQ(await(r), "@inputs\n");
	pps_close(fd);
}

TEST_F(Pps, ATextReadAgainAfterItsFileWasReplacedIsNotNew)
{
	int fd = pps_open("/pps/kelvo/inputs?wait", O_RDONLY);
	ASSERT_GE(fd, 0);
	read_once(fd);
	/*
	 * A writer renaming a new text in while the reader holds the old
	 * file open moves the old file's change time, not its text; here
	 * chmod does that, and a writer's open and close wakes the reader.
	 */
	ASSERT_EQ(chmod(obj.c_str(), 0640), 0);
	int w = open(obj.c_str(), O_WRONLY);
	ASSERT_GE(w, 0);
	close(w);
	auto r = start_read(fd);
	EXPECT_EQ(await(r, 0.3), "(still blocked)") << "the press again";
	rename_in("@inputs\nbtn3::event\n");
	EXPECT_EQ(await(r), "@inputs\nbtn3::event\n");
	pps_close(fd);
}

TEST_F(Pps, WritesThatLandBeforeTheReadAreSeenAsOne)
{
	int fd = pps_open("/pps/kelvo/inputs?wait", O_RDONLY);
	ASSERT_GE(fd, 0);
	read_once(fd);
	rewrite("@inputs\nbtn1::event\n");
	rename_in("@inputs\nbtn2::event\n");
	rewrite("@inputs\nbtn3::event\n");
	EXPECT_EQ(read_blocked(fd), "@inputs\nbtn3::event\n");
	auto r = start_read(fd);
	EXPECT_EQ(await(r, 0.3), "(still blocked)");
	rewrite("@inputs\n");
	EXPECT_EQ(await(r), "@inputs\n");
	pps_close(fd);
}

TEST_F(Pps, ReadsAreCutToTheBufferAndOtherFilesDoNotWake)
{
	int fd = pps_open("/pps/kelvo/inputs?wait", O_RDONLY);
	ASSERT_GE(fd, 0);
	char small[4];
	EXPECT_EQ(pps_read(fd, small, sizeof(small)), 4);
	EXPECT_EQ(std::string(small, 4), "@inp");
	kt::write_file(root / "kelvo/outputs", "other");
	auto r = start_read(fd);
	kt::write_file(root / "kelvo/inputs2", "other");
	EXPECT_EQ(await(r, 0.3), "(still blocked)");
	rewrite("@inputs\n");
	EXPECT_EQ(await(r), "@inputs\n");
	pps_close(fd);
}

TEST_F(Pps, ReadersNeverSeeATornText)
{
	std::string a(3000, 'a'), b(5000, 'b'), first = kt::read_file(obj);
	int w = pps_open("/pps/kelvo/inputs", O_WRONLY);
	ASSERT_GE(w, 0);
	std::atomic<bool> done(false);
	std::thread writer([&] {
		for (int i = 0; i < 400; i++) {
			const std::string &t = (i % 2) ? a : b;
			pps_write(w, t.data(), t.size());
		}
		done = true;
	});
	int torn = 0, reads = 0;
	while (!done) {
		std::string t = kt::read_file(obj);
		reads++;
		if (t != a && t != b && t != first)
			torn++;
	}
	writer.join();
	pps_close(w);
	EXPECT_GT(reads, 0);
	EXPECT_EQ(torn, 0);
}

TEST_F(Pps, AReaderWhoseDirectoryVanishesFailsAndRecovers)
{
	int fd = pps_open("/pps/kelvo/inputs?wait", O_RDONLY);
	ASSERT_GE(fd, 0);
	read_once(fd);
	ASSERT_EQ(system(("rm -rf '" + root.path + "/kelvo'").c_str()), 0);
	EXPECT_EQ(read_blocked(fd), "(error)");
	EXPECT_EQ(read_once(fd), "(error)");
	ASSERT_EQ(pps_mkdir("/pps/kelvo", 0700), 0);
	kt::write_file(obj, "@inputs\nbtn2::event\n");
	EXPECT_EQ(read_once(fd), "@inputs\nbtn2::event\n");
	pps_close(fd);
}

/* What this process holds open of the files that stood at path. */
static std::vector<struct stat>
held_at(const std::string &path)
{
	std::vector<struct stat> held;
	DIR *d = opendir("/proc/self/fd");
	struct dirent *e;

	while (d != nullptr && (e = readdir(d)) != nullptr) {
		std::string fd = std::string("/proc/self/fd/") + e->d_name;
		char link[PATH_MAX];
		ssize_t n = readlink(fd.c_str(), link, sizeof(link) - 1);
		struct stat st;
		if (n <= 0)
			continue;
		link[n] = '\0';
		if ((link == path || link == path + " (deleted)") &&
		    stat(fd.c_str(), &st) == 0)
			held.push_back(st);
	}
	if (d != nullptr)
		closedir(d);
	return held;
}

TEST_F(Pps, AReaderHoldsWhatItHandedOutSoAReplacementFreesNothing)
{
	int fd = pps_open("/pps/kelvo/inputs?wait", O_RDONLY);
	ASSERT_GE(fd, 0);
	read_once(fd);
	struct stat first;
	ASSERT_EQ(stat(obj.c_str(), &first), 0);
	rename_in("@inputs\nbtn3::event\n");
	/* The writer's rename took the name; the file is still ours to free. */
	auto held = held_at(obj);
	ASSERT_EQ(held.size(), 1u);
	EXPECT_EQ(held[0].st_ino, first.st_ino);
	EXPECT_EQ(held[0].st_nlink, 0u);
	EXPECT_EQ(read_blocked(fd), "@inputs\nbtn3::event\n");

	/* Back for the next text, the reader lets the one before go. */
	for (int i = 0; i < 6; i++) {
		std::string t = "@inputs\nbtn" + std::to_string(i % 4 + 1) +
		    "::event\n";
		auto r = start_read(fd);
		if (i % 2)
			rewrite(t);
		else
			rename_in(t);
		EXPECT_EQ(await(r), t);
		struct stat now;
		ASSERT_EQ(stat(obj.c_str(), &now), 0);
		int current = 0;
		held = held_at(obj);
		for (const struct stat &st : held)
			current += st.st_ino == now.st_ino && st.st_nlink == 1;
		EXPECT_LE(held.size(), 2u) << "after text " << i;
		EXPECT_GE(current, 1) << "after text " << i;
	}
	pps_close(fd);
	EXPECT_EQ(held_at(obj).size(), 0u);
}

TEST_F(Pps, AWriterHoldsNothingOnceItsTextIsIn)
{
	int w = pps_open("/pps/kelvo/inputs", O_WRONLY);
	ASSERT_GE(w, 0);
	std::string t = "@inputs\nbtn2::event\n";
	for (int i = 0; i < 3; i++)
		ASSERT_EQ(pps_write(w, t.data(), t.size()), (ssize_t)t.size());
	EXPECT_EQ(held_at(obj).size(), 0u);
	/* Whatever stands in the way is taken by its name, never opened. */
	ASSERT_EQ(unlink(obj.c_str()), 0);
	ASSERT_EQ(mkfifo(obj.c_str(), 0600), 0);
	EXPECT_EQ(pps_write(w, t.data(), t.size()), (ssize_t)t.size());
	EXPECT_EQ(kt::read_file(obj), t);
	EXPECT_EQ(held_at(obj).size(), 0u);
	pps_close(w);
}

/*
 * A reader that waits for one answer at a time rests between them: it
 * holds nothing and follows nothing meanwhile, and its next read gives
 * the text of then at once, whatever happened to the object or its
 * directory in between; the read after that waits for a change again.
 */
TEST_F(Pps, ARestingWaitHoldsNothingAndBeginsWithTheTextOfThen)
{
	int fd = pps_open("/pps/kelvo/inputs?wait", O_RDONLY);
	ASSERT_GE(fd, 0);
	EXPECT_EQ(read_once(fd), "@inputs\nbtn1::\n");
	for (int round = 0; round < 3; round++) {
		ASSERT_EQ(pps_rest(fd), 0);
		EXPECT_EQ(held_at(obj).size(), 0u) << round;
		std::string t = "@inputs\nbtn" + std::to_string(round + 2) +
		    "::event\n";
		/* Many texts while it rests: it is given only the last. */
		for (int i = 0; i < 50; i++)
			rename_in(i < 49 ? "@inputs\nbtn4::\n" : t);
		if (round == 2) {
			ASSERT_EQ(system(("rm -rf '" + root.path +
			    "/kelvo'").c_str()), 0);
			ASSERT_EQ(pps_mkdir("/pps/kelvo", 0700), 0);
			kt::write_file(obj, t);
		}
		EXPECT_EQ(read_once(fd), t) << round;
		auto r = start_read(fd);
		EXPECT_EQ(await(r, 0.3), "(still blocked)") << round;
		rewrite(t + "x::\n");
		EXPECT_EQ(await(r), t + "x::\n") << round;
	}
	/* Resting with the directory gone: the next read says so. */
	ASSERT_EQ(pps_rest(fd), 0);
	ASSERT_EQ(system(("rm -rf '" + root.path + "/kelvo'").c_str()), 0);
	EXPECT_EQ(read_once(fd), "(error)");
	pps_close(fd);
	/* Only a "?wait" descriptor rests. */
	ASSERT_EQ(pps_mkdir("/pps/kelvo", 0700), 0);
	kt::write_file(obj, "@inputs\n");
	int plain = pps_open("/pps/kelvo/inputs", O_RDONLY);
	ASSERT_GE(plain, 0);
	EXPECT_EQ(pps_rest(plain), -1);
	EXPECT_EQ(pps_rest(-1), -1);
	pps_close(plain);
}

/*
 * A lock handle kept across turns excludes the other writers on each
 * turn, lets them in between, and knows when its file is no longer the
 * one they lock.
 */
TEST_F(Pps, AKeptLockTakesTurnsAndKnowsWhenItsFileIsGone)
{
	int kept = pps_lock_open("/pps/kelvo/control");
	ASSERT_GE(kept, 0);
	for (int turn = 0; turn < 3; turn++) {
		ASSERT_EQ(pps_lock_take(kept, 0), 0);
		/* Another thread's own handle waits, then gives up. */
		auto [other, error] = std::async(std::launch::async, [] {
			int h = pps_lock("/pps/kelvo/control", 20);
			return std::make_pair(h, errno);
		}).get();
		EXPECT_EQ(other, -1) << turn;
		EXPECT_EQ(error, ETIMEDOUT);
		pps_lock_give(kept);
		other = pps_lock("/pps/kelvo/control", 0);
		ASSERT_GE(other, 0) << turn;
		EXPECT_EQ(pps_lock_take(kept, 20), -1);
		EXPECT_EQ(errno, ETIMEDOUT);
		pps_unlock(other);
		EXPECT_TRUE(pps_lock_current(kept, "/pps/kelvo/control"));
	}
	ASSERT_EQ(system(("rm -rf '" + root.path + "/kelvo'").c_str()), 0);
	EXPECT_FALSE(pps_lock_current(kept, "/pps/kelvo/control"));
	ASSERT_EQ(pps_mkdir("/pps/kelvo", 0700), 0);
	int other = pps_lock("/pps/kelvo/control", 0);
	ASSERT_GE(other, 0);
	/* The old file is nobody's lock any more: taking it excludes none. */
	EXPECT_EQ(pps_lock_take(kept, 0), 0);
	EXPECT_FALSE(pps_lock_current(kept, "/pps/kelvo/control"));
	pps_unlock(other);
	pps_unlock(kept);
	EXPECT_EQ(pps_lock_open("/pps/nodir/control"), -1);
}

TEST(Wakeup, APostIsKeptForTheNextWaitAndPostsDoNotPileUp)
{
	struct wakeup w;
	struct timespec due;
	ASSERT_EQ(wakeup_init(&w), 0);
	deadline_in(&due, 0);
	EXPECT_EQ(wakeup_wait(&w, &due), 0);
	/* Posted while nobody waits: the next wait returns at once. */
	wakeup_post(&w);
	wakeup_post(&w);
	deadline_in(&due, 60000);
	EXPECT_EQ(wakeup_wait(&w, &due), 1);
	deadline_in(&due, 0);
	EXPECT_EQ(wakeup_wait(&w, &due), 0);
	/* A post from another thread cuts a long wait short. */
	std::thread poster([&] {
		std::this_thread::sleep_for(std::chrono::milliseconds(50));
		wakeup_post(&w);
	});
	deadline_in(&due, 60000);
	EXPECT_EQ(wakeup_wait(&w, &due), 1);
	poster.join();
}

TEST(ReplaceFile, KeepsTheModeAndFailsCleanly)
{
	kt::TempDir dir;
	std::string path = dir / "doc", tmp = dir / "doc.tmp";
	ASSERT_EQ(replace_file(path.c_str(), tmp.c_str(), "abc", 3, 0640), 0);
	EXPECT_EQ(kt::read_file(path), "abc");
	EXPECT_EQ(kt::mode_of(path), 0640u);
	EXPECT_FALSE(kt::exists(tmp));
	/* A target that cannot be replaced leaves it as it was. */
	std::string sub = dir / "sub";
	mkdir(sub.c_str(), 0700);
	kt::write_file(sub + "/x", "keep");
	EXPECT_EQ(replace_file(sub.c_str(), tmp.c_str(), "new", 3, 0644), -1);
	EXPECT_EQ(kt::read_file(sub + "/x"), "keep");
	EXPECT_FALSE(kt::exists(tmp));
	EXPECT_EQ(replace_file((dir / "no/such").c_str(), nullptr, "x", 1,
	    0644), -1);
}

} // namespace
