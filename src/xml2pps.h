/*
 * xml2pps.h - the PPS bridge: the output publisher and the input reader.
 */
#ifndef KELVO_XML2PPS_H
#define KELVO_XML2PPS_H

#include <stddef.h>

#include "contract.h"

class dbXML;

#define PPS_READ_LEN	256	/* one read of the inputs object */
#define PPS_MAX_EVENTS	64	/* more than fit in one read */

/* The publisher thread; it starts the input reader. */
void *xml2pps(void *arg);
/* The input reader thread. */
void *event2xml(void *arg);
/* The control reader thread: batches of commands that drive the simulation. */
void *control2xml(void *arg);
/*
 * On the way out: waits until a batch the control reader has taken is
 * answered, and keeps it from taking another.
 */
void control_drain(void);


/*
 * Checks one control text of len bytes and, when every command of it is
 * good, applies them all in one store cycle (the caller holds xml_mutex).
 * Returns the number of commands applied (its id line not counted), 0
 * for a text without any, or -1 with why filled in when the batch was
 * refused and nothing changed.  id gets the batch's id as soon as the
 * text shows a good one, refused or not; "" for none.
 */
int control_batch(char *text, size_t len, char *id, size_t idlen, char *why,
    size_t whylen);

/*
 * Finds the button events in one NUL-terminated text read from the inputs
 * object and copies their four-character names into names, in order.
 * Returns how many, at most max.
 */
int event_scan(const char *text, char (*names)[5], int max);

/* Copies the published values out of d, empty where d has none. */
void pps_values(dbXML *d, char (*values)[KC_VALUE_LEN]);
/* Formats the outputs object text; returns its length. */
int pps_text(char (*values)[KC_VALUE_LEN], char *out, size_t len);
/*
 * The same for d's profile: KC_ATTRS_MODERN values (the modern ones
 * empty in a classic document), and how many of them it publishes.
 */
int pps_values_all(dbXML *d, char (*values)[KC_VALUE_LEN]);
/* The outputs object text of the first n (KC_ATTRS or all) values. */
int pps_text_n(char (*values)[KC_VALUE_LEN], int n, char *out, size_t len);

#endif
