/*
 * fuzz_mqtt_command.cpp - kelvo-mqtt's reading of command payloads
 * against arbitrary bytes.
 *
 * A payload is whatever anyone on the broker publishes.  The first byte
 * picks the command kind (out-of-range kinds included, which must be
 * refused), the rest is the payload, copied into a heap block of exactly
 * its size so that the sanitizer sees any read past its end: payloads
 * carry no NUL of their own.  What a payload reads as is checked against
 * the rules: a value only when accepted, always of its kind and in range,
 * a reason always; and the quoted form for the trace line is printable
 * ASCII of bounded length whatever came in.
 */
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "client.h"
#include "topics.h"

#define CHECK(cond, ...)                                                  \
	do {                                                              \
		if (!(cond)) {                                            \
			fprintf(stderr, "fuzz_mqtt_command: %s: ", #cond); \
			fprintf(stderr, __VA_ARGS__);                     \
			fputc('\n', stderr);                              \
			abort();                                          \
		}                                                         \
	} while (0)

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	const char *why = NULL;
	int kind, value = -12345;
	bool ok;

	if (size == 0)
		return 0;
	/* Kinds -2 .. CMD_KINDS + 1: the edges on both sides as well. */
	kind = (int)(data[0] % (CMD_KINDS + 4)) - 2;
	std::vector<uint8_t> payload(data + 1, data + size);
	int len = (int)payload.size();

	ok = mqtt_parse_command(kind, payload.empty() ? NULL : payload.data(),
	    len, &value, &why);
	CHECK(why != NULL && *why != '\0', "no reason given");
	if (kind < 0 || kind >= CMD_KINDS || len > MQTT_PAYLOAD_MAX)
		CHECK(!ok, "kind %d, %d bytes taken", kind, len);
	if (ok) {
		CHECK(memchr(payload.data(), '\0', payload.size()) == NULL,
		    "a payload with a NUL taken");
		switch (kind) {
		case CMD_MODE:
			/* AUTO too: a classic kelvo refuses it itself. */
			CHECK(value == MODE_OFF || value == MODE_HEAT ||
			    value == MODE_COOL || value == MODE_AUTO, "mode %d",
			    value);
			break;
		case CMD_FAN:
			CHECK(value == FAN_AUTO || value == FAN_ON, "fan %d",
			    value);
			break;
		case CMD_SETPOINT:
			CHECK(value >= KC_SETPOINT_MIN &&
			    value <= KC_SETPOINT_MAX, "set point %d", value);
			break;
		case CMD_PRESS:
			CHECK(value >= BTN_MODE && value <= BTN_DOWN,
			    "button %d", value);
			break;
		}
	}

	/* The trace's quoting: shown bytes escaped, the length said. */
	std::string q = mqtt_quote(payload.empty() ? NULL : payload.data(),
	    len);
	CHECK(q.size() >= 2 && q[0] == '"', "quote %s", q.c_str());
	CHECK(q.size() <= 2 + 40 * 4 + 32, "quote of %zu chars", q.size());
	for (unsigned char c : q)
		CHECK(c >= ' ' && c < 0x7f, "byte 0x%02x in the quote", c);
	return 0;
}
