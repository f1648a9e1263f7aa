/*
 * parse.cpp - set points and HOST:PORT as users give them.
 *
 * strtod and strtol alone take more than anyone means: hex, "inf",
 * "nan", blanks in front, a sign on a port.  So the characters are
 * looked at first and the conversion only then, and a number too large
 * for its type is cut down to one out of range rather than converted.
 */
#include "parse.h"

#include <arpa/inet.h>
#include <math.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

/* A decimal number and nothing else. */
static bool
decimal(const std::string &s, double *d)
{
	char *end;

	if (s.empty() || strlen(s.c_str()) != s.size() ||
	    strspn(s.c_str(), "0123456789+-.eE") != s.size())
		return false;
	*d = strtod(s.c_str(), &end);
	return end != s.c_str() && *end == '\0';
}

bool
client_setpoint(const nlohmann::json &v, int how, int *out)
{
	double d;

	/* Far out of range stays out of range, and converts exactly. */
	if (v.is_number_unsigned())
		d = v.get<uint64_t>() > 1000 ? 1000 : (double)v.get<uint64_t>();
	else if (v.is_number_integer())
		d = v.get<int64_t>() < -1000 ? -1000 : (double)v.get<int64_t>();
	else if (v.is_number_float())
		d = v.get<double>();
	else if (!v.is_string() || !(how & SETPOINT_TEXT) ||
	    !decimal(v.get_ref<const std::string &>(), &d))
		return false;
	if (!isfinite(d))
		return false;
	/* round() takes halves away from zero: 69.5 is 70, -0.5 is -1. */
	if (how & SETPOINT_ROUND)
		d = round(d);
	if (d != floor(d) || d < KC_SETPOINT_MIN || d > KC_SETPOINT_MAX)
		return false;
	*out = (int)d;
	return true;
}

/* Digits only, at least one, up to 65535 (leading zeros are harmless). */
static bool
port_of(const char *p, int how, int *port)
{
	long n = 0;

	if (*p == '\0')
		return false;
	for (; *p != '\0'; p++) {
		if (*p < '0' || *p > '9')
			return false;
		if ((n = n * 10 + (*p - '0')) > 65535)
			return false;
	}
	if (n == 0 && !(how & HOSTPORT_ZERO))
		return false;
	*port = (int)n;
	return true;
}

bool
client_hostport(const char *s, int how, char *host, size_t hostlen,
    int *port)
{
	const char *colon = strrchr(s, ':'), *h = s, *p = NULL;
	struct in6_addr a;
	size_t n;
	int num = -1;

	if (s[0] == '[') {
		const char *close = strchr(s, ']');
		if (close == NULL || (close[1] != '\0' && close[1] != ':'))
			return false;
		h = s + 1;
		n = (size_t)(close - h);
		p = close[1] == ':' ? close + 2 : NULL;
	} else if (colon != NULL && strchr(s, ':') != colon) {
		/* A bare IPv6 address: no room for a port, or it is unclear. */
		if (!(how & HOSTPORT_OPTIONAL) || inet_pton(AF_INET6, s, &a) != 1)
			return false;
		n = strlen(s);
	} else {
		n = colon != NULL ? (size_t)(colon - s) : strlen(s);
		p = colon != NULL ? colon + 1 : NULL;
	}
	if (n == 0 || n >= hostlen || memchr(h, '[', n) != NULL ||
	    memchr(h, ']', n) != NULL)
		return false;
	if (p == NULL ? !(how & HOSTPORT_OPTIONAL) : !port_of(p, how, &num))
		return false;
	memcpy(host, h, n);
	host[n] = '\0';
	if (p != NULL)
		*port = num;
	return true;
}
