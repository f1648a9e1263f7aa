/*
 * press.h - one button press through the inputs object, the road every
 * face takes, waited for until kelvo's outputs show it taken.
 *
 * The inputs object is shared by every face, and kelvo takes whatever
 * text it holds when it wakes, so a press goes out in the faces' turn
 * (the lock beside the object, which the link's worker takes too) and the
 * turn is kept until kelvo shows the press: no other face's text can
 * overwrite it before kelvo has read it.  What to wait for is what the
 * buttons' rule (kc_press) says the press gives, judged against the
 * outputs as they stand once the turn is ours, since the face before may
 * just have moved them.  A press that changes nothing (up at 90) could
 * not be seen taken, so it goes out with a fan press, which changes
 * something for sure, and a second fan press puts the fan back: kelvo
 * takes one text's presses together.  The idle text follows in the same
 * turn, shown or not, so that no kelvo takes a press later, after its
 * sender has reported it.  The wait is synchronous: for kelvo-ctl, not
 * for a face's threads, which have the link.
 */
#ifndef KELVO_CLIENT_PRESS_H
#define KELVO_CLIENT_PRESS_H

#include <stddef.h>

#include "client.h"

#define PRESS_SHOW_MS	2000	/* a press kelvo has not shown by then is lost */
#define PRESS_TURN_MS	15000	/* the wait for another face's turn to end */

/* The outputs as the presser reads them. */
struct press_watch {
	int		 fd;		/* the outputs object, opened "?wait" */
	struct client_state *st;	/* the latest text read; kept current */
	/* Called after each text read into st, when not NULL. */
	void		(*seen)(void *arg);
	void		*arg;
};

/*
 * Presses btn (BTN_*) once and waits until the outputs show it.  false,
 * with why, when the turn did not come, the outputs could not be read or
 * written, or kelvo did not show the press within PRESS_SHOW_MS (it was
 * taken back).
 */
bool	 client_press_shown(struct press_watch *w, int btn, char *why,
	    size_t whylen);

#endif
