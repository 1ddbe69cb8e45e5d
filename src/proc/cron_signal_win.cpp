// The desktop platform has no descriptor a socket poll would take; hosts
// there wait with crontab_wait_events.
#include "proc/cron_signal.h"

cron_signal_t cron_signal_open() { return CRON_SIGNAL_NONE; }
void cron_signal_raise(cron_signal_t) {}
void cron_signal_lower(cron_signal_t) {}
void cron_signal_close(cron_signal_t) {}
