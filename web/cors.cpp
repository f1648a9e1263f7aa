/*
 * cors.cpp - allowed origins and their headers.
 *
 * Origins are compared as the exact strings a browser sends, so an
 * origin is checked for that form when it is allowed: one written
 * otherwise ("HTTP://Host:80/") would never match, and a user would wait
 * for requests that never pass.  The list is filled before the server
 * starts and only read after, so it needs no lock.
 */
#include "cors.h"

#include <stdlib.h>
#include <string.h>

static char *allowed[CORS_MAX];
static int nallowed;

/* host[:port] of an origin: a name, an IPv4 address or [IPv6]. */
static bool
authority_ok(const char *s, bool https, const char **why)
{
	const char *end, *p;

	if (*s == '[') {
		if ((end = strchr(s, ']')) == NULL || end == s + 1) {
			*why = "an IPv6 address goes in brackets";
			return false;
		}
		for (p = s + 1; p < end; p++)
			if (strchr("0123456789abcdef:.", *p) == NULL) {
				*why = "the IPv6 address must be lower-case "
				    "hex digits and colons";
				return false;
			}
		end++;
	} else {
		end = s + strcspn(s, ":");
		if (end == s) {
			*why = "there is no host";
			return false;
		}
		for (p = s; p < end; p++)
			if (strchr("abcdefghijklmnopqrstuvwxyz0123456789.-_",
			    *p) == NULL) {
				*why = "the host must be a lower-case name or "
				    "address, with nothing after it but a port";
				return false;
			}
	}
	if (*end == '\0')
		return true;
	size_t n = strlen(end + 1);
	if (*end != ':' || n < 1 || n > 5 ||
	    strspn(end + 1, "0123456789") != n || end[1] == '0' ||
	    atol(end + 1) > 65535) {
		*why = "the port must be 1 to 65535, with no path after it";
		return false;
	}
	if (atol(end + 1) == (https ? 443 : 80)) {
		*why = "a browser leaves out the scheme's default port";
		return false;
	}
	return true;
}

bool
cors_allow(const char *origin, const char **why)
{
	bool https;

	if (strncmp(origin, "http://", 7) == 0)
		https = false;
	else if (strncmp(origin, "https://", 8) == 0)
		https = true;
	else {
		*why = "an origin begins with http:// or https://";
		return false;
	}
	if (strlen(origin) > 255) {
		*why = "the origin is longer than 255 characters";
		return false;
	}
	if (!authority_ok(origin + (https ? 8 : 7), https, why))
		return false;
	if (cors_allowed(origin) != NULL)
		return true;
	if (nallowed == CORS_MAX) {
		*why = "more than 32 origins";
		return false;
	}
	if ((allowed[nallowed] = strdup(origin)) == NULL) {
		*why = "out of memory";
		return false;
	}
	nallowed++;
	return true;
}

const char *
cors_allowed(const char *origin)
{
	if (origin == NULL)
		return NULL;
	for (int i = 0; i < nallowed; i++)
		if (strcmp(allowed[i], origin) == 0)
			return allowed[i];
	return NULL;
}

bool
cors_is_preflight(const char *method, const char *asked)
{
	return strcmp(method, "OPTIONS") == 0 && asked != NULL;
}

void
cors_headers(cors_fields *h, const char *origin)
{
	if (origin == NULL)
		return;
	h->emplace_back("Access-Control-Allow-Origin", origin);
	/* A cache must not hand this answer to another origin. */
	h->emplace_back("Vary", "Origin");
}

void
cors_preflight_headers(cors_fields *h)
{
	h->emplace_back("Access-Control-Allow-Methods", "GET, POST, PUT");
	h->emplace_back("Access-Control-Allow-Headers",
	    "Content-Type, Authorization");
	h->emplace_back("Access-Control-Max-Age", CORS_MAX_AGE);
}
