/*
 * fuzz_client_text.cpp - the client library's reading of a published
 * text against arbitrary bytes, through every face's road: the parse, the
 * "name value" lines of kelvo-panel --once, the JSON of kelvo-web's API
 * and kelvo-mqtt's state, and the day's history.
 *
 * The outputs object can hold anything its writer put there.  The input
 * is one read, in a heap block of exactly its size with no NUL after it,
 * as the reader hands it on.  What comes out is checked against what the
 * faces promise: every kept text printable ASCII, every value in kelvo's
 * ranges or unknown, the JSON serialisable with its ten attributes, and
 * the formatted lines free of control characters.
 */
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "client.h"
#include "json.h"

#define CHECK(cond, ...)                                                  \
	do {                                                              \
		if (!(cond)) {                                            \
			fprintf(stderr, "fuzz_client_text: %s: ", #cond); \
			fprintf(stderr, __VA_ARGS__);                     \
			fputc('\n', stderr);                              \
			abort();                                          \
		}                                                         \
	} while (0)

static struct client_history history;

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	static bool cleared;
	struct client_state st;
	char out[512];
	int taken, n;

	if (!cleared) {
		client_history_clear(&history);
		cleared = true;
	}
	std::vector<char> text(data, data + size);
	taken = client_parse(text.empty() ? NULL : text.data(), text.size(),
	    &st);
	CHECK(taken >= 0, "taken %d", taken);

	for (int a = 0; a < KC_ATTRS_MODERN; a++) {
		size_t len = strnlen(st.text[a], CLIENT_TEXT_LEN);
		CHECK(len < CLIENT_TEXT_LEN, "attribute %d not terminated", a);
		for (size_t i = 0; i < len; i++)
			CHECK((unsigned char)st.text[a][i] >= ' ' &&
			    (unsigned char)st.text[a][i] < 0x7f,
			    "attribute %d byte 0x%02x", a,
			    (unsigned char)st.text[a][i]);
	}
	CHECK(st.mode >= MODE_UNKNOWN && st.mode <= MODE_AUTO, "mode %d",
	    st.mode);
	CHECK(st.modern || st.mode != MODE_AUTO, "AUTO in a classic text");
	CHECK(st.preset >= -1 && st.preset < KC_PRESETS, "preset %d",
	    st.preset);
	CHECK(st.call >= CALL_UNKNOWN && st.call <= CALL_COOL, "call %d",
	    st.call);
	CHECK(st.fan >= FAN_UNKNOWN && st.fan <= FAN_ON, "fan %d", st.fan);
	CHECK(st.sys >= SYS_UNKNOWN && st.sys <= SYS_ON, "sys %d", st.sys);
	CHECK(st.minute >= -1 && st.minute < CLIENT_DAY, "minute %d",
	    st.minute);
	if (st.has_in)
		CHECK(st.in > -1000 && st.in < 1000, "indoor %g", st.in);
	if (st.has_out)
		CHECK(st.out > -1000 && st.out < 1000, "outdoor %g", st.out);
	CHECK(strnlen(st.clock, sizeof(st.clock)) < sizeof(st.clock),
	    "clock not terminated");

	n = client_format(&st, out, sizeof(out));
	CHECK(n >= 0 && (size_t)n < sizeof(out), "format gave %d", n);
	for (int i = 0; i < n; i++)
		CHECK(out[i] == '\n' || ((unsigned char)out[i] >= ' ' &&
		    (unsigned char)out[i] < 0x7f), "format byte 0x%02x",
		    (unsigned char)out[i]);

	nlohmann::json j = client_state_json(&st);
	/* The attributes, then the plant, the clock as shown and the minute. */
	CHECK(j.is_object() && j.size() == KC_ATTRS_MODERN + 3, "json %s",
	    j.dump().c_str());
	CHECK(j["plant"].is_null() || j["plant"].is_string(), "plant %s",
	    j.dump().c_str());
	CHECK(j["clock"].is_null() == (st.minute < 0), "clock %s",
	    j.dump().c_str());
	(void)j.dump();

	/* Texts come one after another: the history must take any order. */
	client_history_add(&history, &st);
	for (int age = 0; age < CLIENT_DAY; age += 97)
		(void)client_history_at(&history, age);
	return 0;
}
