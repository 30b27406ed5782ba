// The supervisor's time limits and clock, shared by its two files.
#ifndef VELMOX_SERVER_SUPERVISOR_LIMITS_H
#define VELMOX_SERVER_SUPERVISOR_LIMITS_H

// Making a pipe may wait for the registry lock (15 s) more than once.
const double kStartLimitSeconds = 60;
// A pipe process ends within moments of its terminate message, or once the
// request it serves is answered; one that does not is killed after this.
const double kStopLimitSeconds = 30;
const double kRestartIntervalSeconds = 1;
// A pipe process whose request ran into the request timeout gets SIGTERM;
// it is killed if it has not ended after this (a handler that is stuck
// never lets it end).
const double kTimeoutGraceSeconds = 2;

// Seconds on the monotonic clock.
double Now();
// The exit of a pipe process that ended as asked.
bool EndedCleanly(int status);

#endif
