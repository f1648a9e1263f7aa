/*
 * fuzz_events.cpp - the inputs-object scanner against arbitrary text.
 *
 * The inputs object is written by whoever holds the PPS path, so its text
 * can be anything.  Each input is treated as one read: at most 256 bytes,
 * NUL after them, in a heap block of exactly that size so that the
 * sanitizer sees any read past the NUL.  The names event_scan hands on
 * are checked against a plain re-reading of the rules: a name is the four
 * characters six to three places ahead of an "event" (only when six
 * characters precede it), and the search resumes six places after each
 * match.  The names array is also sized exactly to max, to catch a scanner
 * that writes one name too many.
 */
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "xml2pps.h"

#define CHECK(cond, ...)                                                  \
	do {                                                              \
		if (!(cond)) {                                            \
			fprintf(stderr, "fuzz_events: %s: ", #cond);      \
			fprintf(stderr, __VA_ARGS__);                     \
			fputc('\n', stderr);                              \
			abort();                                          \
		}                                                         \
	} while (0)

/* Where each name should come from, by the rules alone. */
static std::vector<size_t>
expected_names(const char *text, size_t len)
{
	std::vector<size_t> at;
	size_t i = 0;

	while (i + 5 <= len) {
		if (memcmp(text + i, "event", 5) != 0) {
			i++;
			continue;
		}
		if (i >= 6)
			at.push_back(i - 6);
		/* The text ends right behind "event": nothing more to find. */
		if (i + 5 >= len)
			break;
		i += 6;
	}
	return at;
}

/* Every "event" in the text, whether the scanner may skip it or not. */
static size_t
events_present(const char *text, size_t len)
{
	size_t n = 0;

	for (size_t i = 0; i + 5 <= len; i++)
		if (memcmp(text + i, "event", 5) == 0)
			n++;
	return n;
}

static void
scan_with(const char *text, size_t len, const std::vector<size_t> &want,
    int max)
{
	/* Exactly max names: one more written is a heap overflow. */
	char (*names)[5] = max > 0 ?
	    static_cast<char (*)[5]>(malloc((size_t)max * 5)) : nullptr;
	size_t expect = want.size() < (size_t)max ? want.size() : (size_t)max;
	int n;

	n = event_scan(text, names, max);
	CHECK(n >= 0 && n <= max, "n=%d max=%d", n, max);
	CHECK((size_t)n <= events_present(text, len), "n=%d events=%zu", n,
	    events_present(text, len));
	CHECK((size_t)n == expect, "n=%d expected=%zu max=%d", n, expect, max);
	for (int k = 0; k < n; k++) {
		size_t p = want[k];

		CHECK(strlen(names[k]) == 4, "name %d has %zu chars", k,
		    strlen(names[k]));
		CHECK(p + 4 <= len && memcmp(text + p + 6, "event", 5) == 0,
		    "name %d from %zu", k, p);
		CHECK(memcmp(names[k], text + p, 4) == 0,
		    "name %d is \"%s\", not the text at %zu", k, names[k], p);
	}
	free(names);
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	/* One read: up to PPS_READ_LEN bytes, and the reader's NUL. */
	size_t got = size < PPS_READ_LEN ? size : PPS_READ_LEN;
	char *buf = static_cast<char *>(malloc(got + 1));
	size_t len;

	memcpy(buf, data, got);
	buf[got] = '\0';
	/* A NUL sent inside the text ends it for the scanner too. */
	len = strlen(buf);

	std::vector<size_t> want = expected_names(buf, len);
	scan_with(buf, len, want, PPS_MAX_EVENTS);
	/* A caller with less room must get the first names and no more. */
	scan_with(buf, len, want, 1);
	scan_with(buf, len, want, 0);
	free(buf);
	return 0;
}
