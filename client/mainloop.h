/*
 * mainloop.h - a face's main thread: it waits for SIGINT or SIGTERM and
 * meanwhile looks after whatever wants a look now and then.
 *
 * The stop signals are blocked in every thread before any is started
 * and taken by sigtimedwait(), so no handler runs at all and no call in
 * any thread is cut short by one.  A thread that has made the main
 * thread's next look due sooner wakes it (SIGUSR1, blocked the same
 * way), rather than the loop polling fast for it.
 */
#ifndef KELVO_CLIENT_MAINLOOP_H
#define KELVO_CLIENT_MAINLOOP_H

#define MAINLOOP_MS	1000	/* the longest wait: log counts go out */

/*
 * Sets the signals up for mainloop_run; call it in the main thread
 * before any other thread starts, so that every one inherits the mask.
 */
void	 mainloop_signals(void);
/* Has the main loop's tick run now, from any thread. */
void	 mainloop_wake(void);
/*
 * Waits, at first MAINLOOP_MS, for a stop signal; on each wake-up or
 * timeout writes the log counts held back (logline_flush) and calls tick,
 * which gives the ms until it wants calling again (at most MAINLOOP_MS
 * are waited) or -1 to end the loop.  The stop signal, 0 when tick ended
 * the loop.
 */
int	 mainloop_run(int (*tick)(void *arg), void *arg);

#endif
