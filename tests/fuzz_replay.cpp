/*
 * fuzz_replay.cpp - a fuzz target's seed corpus replayed as a test, with
 * the compiler the suite is built with and no libFuzzer: every file of
 * FUZZ_CORPUS goes once through the target's LLVMFuzzerTestOneInput,
 * whose own checks abort on anything wrong.  An input a fuzzer found is
 * kept by adding it to the corpus, and from then on is tested here.
 */
#include <gtest/gtest.h>

#include <dirent.h>
#include <stdint.h>

#include <algorithm>
#include <string>
#include <vector>

#include "testutil.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

/* FUZZ_TARGET names the test: the macro is expanded before TEST pastes it. */
TEST(FuzzCorpus, FUZZ_TARGET)
{
	std::vector<std::string> names;
	DIR *d = opendir(FUZZ_CORPUS);
	struct dirent *e;

	ASSERT_NE(d, nullptr) << FUZZ_CORPUS;
	while ((e = readdir(d)) != nullptr)
		if (e->d_name[0] != '.')
			names.push_back(e->d_name);
	closedir(d);
	std::sort(names.begin(), names.end());
	ASSERT_FALSE(names.empty());
	for (const auto &n : names) {
		SCOPED_TRACE(n);
		std::string data = kt::read_file(std::string(FUZZ_CORPUS "/") + n);
		EXPECT_EQ(LLVMFuzzerTestOneInput((const uint8_t *)data.data(),
		    data.size()), 0);
	}
}
