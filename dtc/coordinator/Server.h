// dtcd's event loop: one thread that accepts clients, reads request frames,
// runs the branch state machine, answers finished durable writes, expires
// time-outs and stops on SIGTERM or SIGINT. Every socket is non-blocking; a
// slow client never holds up the others.
#pragma once

#include "Coordinator.h"

// Runs until a signal arrives on signalFd. listenFd is a listening,
// non-blocking Unix socket. Answers 0 on a clean stop, 1 when the loop itself
// failed (a one-line reason is printed on stderr).
int runServer(Coordinator& co, int listenFd, int signalFd);
