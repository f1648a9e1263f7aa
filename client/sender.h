/*
 * sender.h - control batches sent off a face's own thread.
 *
 * client_control_send waits for kelvo up to CONTROL_WAIT_MS, far too long
 * for a server's one thread or an MQTT library's network thread.  A face
 * hands its batch here instead; one worker thread sends the batches in
 * the order they came (the control object takes one sender at a time
 * anyway) and calls each one's hook with kelvo's answer, on the worker.
 * A batch not taken within CONTROL_WAIT_MS of being queued times out,
 * however long the batches ahead of it took, unless it was queued to
 * wait its turn: then its CONTROL_WAIT_MS count from when it begins.
 */
#ifndef KELVO_CLIENT_SENDER_H
#define KELVO_CLIENT_SENDER_H

#include "control.h"

/* CONTROL_*, or this for a batch never sent because the sender stopped. */
#define CONTROL_STOPPED	(-1)

/*
 * kelvo's answer to one batch: result CONTROL_* and what came with it;
 * sim is NULL when the batch was never sent.
 */
typedef void (*sender_done)(int result, const struct client_sim *sim,
    const char *why, void *arg);

/* Starts the worker, once however often called; -1 when it cannot. */
int	 sender_start(void);
/*
 * Queues b, its hook and arg: how many batches are queued or under way,
 * this one included, or 0, with nothing queued, when max are already or
 * the sender has stopped.  queued (NULL for none) is called with arg once
 * the batch is taken, before the worker can begin it: for what must
 * happen before done.
 */
int	 sender_push(const struct client_batch *b, sender_done done,
	    void *arg, int max, void (*queued)(void *arg));
/*
 * The same for a batch whose sender has been told it is queued (a 202, a
 * press on a screen): it waits its turn however long the ones ahead take,
 * and is sent, so that nothing queued is dropped for their sake.
 */
int	 sender_push_in_turn(const struct client_batch *b, sender_done done,
	    void *arg, int max);
/* Waits up to ms until nothing is queued or under way. */
void	 sender_drain(int ms);
/*
 * Takes no more: the queued batches get CONTROL_STOPPED at once, and
 * the one under way is waited for, at most ms.
 */
void	 sender_stop(int ms);

#endif
