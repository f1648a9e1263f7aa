/*
 * mqttopts.cpp - the shared part of an MQTT face's command line.
 *
 * getopt_long gets the face's own options and the shared ones in one
 * table, so an abbreviation is judged against all of them, as it was
 * when each face listed every option itself.  The user name is checked
 * as the broker will check it (libmosquitto's UTF-8 rule), so that a
 * bad one is refused here instead of on every connection.
 */
#include "mqttopts.h"

#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include <mosquitto.h>

#include "topics.h"

/* The shared options' getopt codes: above any character. */
enum {
	OPT_PREFIX = 0x100,
	OPT_DPREFIX,
	OPT_USERNAME,
	OPT_CAFILE,
	OPT_TLS,
};

static const struct option shared[] = {
	{ "prefix", required_argument, NULL, OPT_PREFIX },
	{ "discovery-prefix", required_argument, NULL, OPT_DPREFIX },
	{ "username", required_argument, NULL, OPT_USERNAME },
	{ "cafile", required_argument, NULL, OPT_CAFILE },
	{ "tls", no_argument, NULL, OPT_TLS },
	{ "help", no_argument, NULL, 'h' },
};

int
mqtt_bad_usage(const struct mqtt_face *f, const char *fmt, ...)
{
	va_list ap;

	fprintf(stderr, "%s: ", f->name);
	va_start(ap, fmt);
	vfprintf(stderr, fmt, ap);
	va_end(ap);
	fputc('\n', stderr);
	f->usage(stderr);
	return 2;
}

/* One shared option into o, or -2 when ch is none: as take's result. */
static int
take_shared(const struct mqtt_face *f, int ch, char **argv,
    struct mqtt_options *o)
{
	switch (ch) {
	case OPT_PREFIX:
	case OPT_DPREFIX:
		if (!mqtt_valid_prefix(optarg))
			return mqtt_bad_usage(f, "bad prefix \"%s\" (topic "
			    "levels, no '+', '#' or empty level)", optarg);
		(ch == OPT_PREFIX ? o->prefix : o->dprefix) = optarg;
		return -1;
	case OPT_USERNAME:
		if (*optarg == '\0' || mosquitto_validate_utf8(optarg,
		    (int)strlen(optarg)) != MOSQ_ERR_SUCCESS)
			return mqtt_bad_usage(f, "bad user name \"%s\"", optarg);
		o->username = optarg;
		return -1;
	case OPT_CAFILE:
		if (*optarg == '\0')
			return mqtt_bad_usage(f, "--cafile needs a file");
		o->cafile = optarg;
		return -1;
	case OPT_TLS:
		o->tls = true;
		return -1;
	case 'h':
		f->usage(stdout);
		return 0;
	case ':':
		return mqtt_bad_usage(f, "option \"%s\" needs a value",
		    argv[optind - 1]);
	case '?':
		return mqtt_bad_usage(f, "bad option \"%s\"", argv[optind - 1]);
	default:
		return -2;
	}
}

int
mqtt_read_options(int argc, char *argv[], const struct mqtt_face *f,
    struct mqtt_options *o)
{
	std::vector<struct option> all;
	int ch, rc;

	for (const struct option *p = f->own; p->name != NULL; p++)
		all.push_back(*p);
	all.insert(all.end(), shared, shared + sizeof(shared) /
	    sizeof(shared[0]));
	all.push_back(option{ NULL, 0, NULL, 0 });
	opterr = 0;
	while ((ch = getopt_long(argc, argv, ":h", all.data(), NULL)) != -1) {
		if ((rc = take_shared(f, ch, argv, o)) == -2)
			rc = f->take(ch, f->arg);
		if (rc >= 0)
			return rc;
	}
	if (optind < argc)
		return mqtt_bad_usage(f, "unexpected argument \"%s\"",
		    argv[optind]);
	if (o->tls && !o->cafile.empty())
		return mqtt_bad_usage(f, "--cafile and --tls: one or the other");
	o->tls = o->tls || !o->cafile.empty();
	return -1;
}

int
mqtt_take_password(const struct mqtt_face *f, struct mqtt_options *o)
{
	const char *pw;

	if ((pw = getenv(MQTT_PASSWORD_ENV)) == NULL)
		return -1;
	if (o->username.empty())
		return mqtt_bad_usage(f, MQTT_PASSWORD_ENV " is set but no "
		    "--username");
	o->password = pw;
	o->has_password = true;
	unsetenv(MQTT_PASSWORD_ENV);
	return -1;
}

int
mqtt_default_port(bool tls)
{
	return tls ? 8883 : 1883;
}

void
mqtt_broker_name(const char *host, int port, char *buf, size_t len)
{
	snprintf(buf, len, strchr(host, ':') ? "[%s]:%d" : "%s:%d", host,
	    port);
}
