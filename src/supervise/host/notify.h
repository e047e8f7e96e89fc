// Telling systemd how the supervisor is (sd_notify's protocol, one datagram
// per message on the AF_UNIX socket named in NOTIFY_SOCKET): ready, reloading,
// stopping, and alive, from the supervision loop itself, so that a loop that is
// stuck stops the pings and systemd restarts it. Without NOTIFY_SOCKET every
// call does nothing. notify_posix.cpp and notify_win.cpp.
#pragma once

// Call first, before any thread or child exists: takes NOTIFY_SOCKET and
// WATCHDOG_USEC and removes them and every other WATCHDOG_* variable from the
// environment, which the tools inherit: they are this process's own.
void notify_init();

// Sends one message such as "READY=1".
void notify_send(const char* message);

// Seconds between two WATCHDOG=1, or 0 when systemd asks for none.
double notify_watchdog_every();
