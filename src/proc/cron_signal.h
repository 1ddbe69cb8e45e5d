// A descriptor that an event loop polls (poll, epoll, asyncio's add_reader):
// readable while raised. Raising and clearing are cheap enough to do under
// the instance lock and never block.
#pragma once

#include <cstdint>

using cron_signal_t = intptr_t;
constexpr cron_signal_t CRON_SIGNAL_NONE = -1;

// A new lowered descriptor, or CRON_SIGNAL_NONE when the system gives none
// or the platform has no such thing (the desktop platform).
cron_signal_t cron_signal_open();
void cron_signal_raise(cron_signal_t s);
void cron_signal_lower(cron_signal_t s);
void cron_signal_close(cron_signal_t s);
