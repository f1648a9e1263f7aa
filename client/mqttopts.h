/*
 * mqttopts.h - the command line every face on an MQTT broker shares
 * (kelvo-mqtt, kelvo-fleet): the two topic prefixes, the user name and
 * its password, TLS, --help, and a bad option said with the face's usage
 * and status 2.
 *
 * A face lists its own long options and reads them with a hook of its
 * own; the shared ones are read here, in the same words for every face.
 * Their getopt codes lie above any character, so a face's own codes
 * never meet them.  The broker's address is each face's own (one, or a
 * list); its default port and its name in lines are here.
 */
#ifndef KELVO_CLIENT_MQTTOPTS_H
#define KELVO_CLIENT_MQTTOPTS_H

#include <getopt.h>
#include <stddef.h>
#include <stdio.h>

#include <string>

/* Never an option: a command line is anybody's to read in ps. */
#define MQTT_PASSWORD_ENV	"KELVO_MQTT_PASSWORD"

/* What the shared options asked for. */
struct mqtt_options {
	std::string	 prefix = "kelvo", dprefix = "homeassistant";
	std::string	 username, password, cafile;
	bool		 has_password = false;
	bool		 tls = false;		/* --tls, or --cafile */
};

/* A face's part of its command line. */
struct mqtt_face {
	const char		*name;		/* "kelvo-mqtt", for the lines */
	void			(*usage)(FILE *f);
	const struct option	*own;		/* its long options, 0-ended */
	/* One of them, optarg set: -1 to go on, else the status to exit. */
	int			(*take)(int ch, void *arg);
	void			*arg;
};

/* "NAME: " and the line, then the usage, on stderr: 2, to exit with. */
int	 mqtt_bad_usage(const struct mqtt_face *f, const char *fmt, ...)
	    __attribute__((format(printf, 2, 3)));
/*
 * Reads the command line: the shared options into o, the face's through
 * its hook; then nothing may be left over, and --cafile and --tls are
 * one or the other (--cafile is TLS too).  -1 to go on, else the status
 * to exit with (0 after --help).
 */
int	 mqtt_read_options(int argc, char *argv[], const struct mqtt_face *f,
	    struct mqtt_options *o);
/*
 * The password for the user name from $MQTT_PASSWORD_ENV, which then
 * leaves the environment: -1 to go on, 2 when there is no user name.
 */
int	 mqtt_take_password(const struct mqtt_face *f, struct mqtt_options *o);
/* The broker's port when the address gives none: 8883 with TLS, 1883. */
int	 mqtt_default_port(bool tls);
/* A broker's name in lines: "HOST:PORT", "[V6ADDR]:PORT". */
void	 mqtt_broker_name(const char *host, int port, char *buf, size_t len);

#endif
