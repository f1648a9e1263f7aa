/*
 * parse.h - what users hand a face, read the one way every face reads
 * it: a set point asked for, and a HOST:PORT to listen on or connect to.
 *
 * The faces differ where their users do: a JSON API takes a number, an
 * MQTT payload is text; a server may let the system pick its port, a
 * client needs one to connect to and has a usual one.  Those differences
 * are the flags below, so that each face says which rules are its own
 * and the rest cannot drift apart.  Every input is untrusted; each
 * function is pure and refuses what it cannot read whole.
 */
#ifndef KELVO_CLIENT_PARSE_H
#define KELVO_CLIENT_PARSE_H

#include <stddef.h>

#include <nlohmann/json.hpp>

#include "contract.h"


enum {
	SETPOINT_TEXT = 1,	/* a string holding a decimal number counts */
	SETPOINT_ROUND = 2,	/* rounded half away from zero, else whole */
};

/*
 * The set point v asks for: a JSON number (also a string with
 * SETPOINT_TEXT: decimal digits, sign, point and exponent only, no
 * blanks, hex, "inf" or "nan") that is whole, or rounds with
 * SETPOINT_ROUND, to KC_SETPOINT_MIN..MAX.  false when it is not.
 */
bool	 client_setpoint(const nlohmann::json &v, int how, int *out);

#define HOSTPORT_HOST_MAX	256	/* a host's bytes, NUL included */

enum {
	HOSTPORT_OPTIONAL = 1,	/* HOST alone (also a bare IPv6 address) */
	HOSTPORT_ZERO = 2,	/* port 0: the system picks one */
};

/*
 * HOST:PORT or [V6ADDR]:PORT into host (out of its brackets, shorter
 * than hostlen) and *port (1..65535, also 0 with HOSTPORT_ZERO); with
 * HOSTPORT_OPTIONAL also HOST, [V6ADDR] or a bare V6ADDR, *port then
 * untouched.  false, nothing written, when s is none of those.
 */
bool	 client_hostport(const char *s, int how, char *host, size_t hostlen,
	    int *port);

#endif
