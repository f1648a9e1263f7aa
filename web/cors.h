/*
 * cors.h - the origins other than kelvo-web's own that may call it from a
 * browser (an interface's own dev server, say), and the headers that tell
 * the browser so.
 *
 * An allowed origin passes the Origin rule and nothing else: the Host,
 * the token, the content type and the sizes hold for it as for anyone.
 * Its requests carry the token as "Authorization: Bearer" or "?token=",
 * never in the cookie, which a browser sends to every port of the host
 * and so proves nothing about who made the request.  route.cpp applies
 * these rules; this module only knows the origins and the headers.
 */
#ifndef KELVO_WEB_CORS_H
#define KELVO_WEB_CORS_H

#include <string>
#include <utility>
#include <vector>

/* Header fields, name and value: route.h's route_fields is this type. */
typedef std::vector<std::pair<std::string, std::string>> cors_fields;

#define CORS_MAX	32	/* allowed origins */
#define CORS_MAX_AGE	"600"	/* s a browser may keep a preflight's answer */

/*
 * Allows origin: scheme://host[:port] exactly as a browser sends it
 * (http or https, a lower-case host, no default port, no path).  false,
 * with why, when it is no such origin or there are too many.
 */
bool	 cors_allow(const char *origin, const char **why);
/* The allowed origin that origin is (NULL when none or not allowed). */
const char *cors_allowed(const char *origin);
/* A preflight: OPTIONS asking for a method. */
bool	 cors_is_preflight(const char *method, const char *asked);
/* Into h, the headers for an allowed origin (none when origin is NULL). */
void	 cors_headers(cors_fields *h, const char *origin);
/* Into h, those that grant a preflight its method and headers. */
void	 cors_preflight_headers(cors_fields *h);

#endif
