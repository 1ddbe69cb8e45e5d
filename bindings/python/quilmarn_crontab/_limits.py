"""The library's limits: a mirror of the CRONTAB_* limit macros of
quilmarn_crontab.h, kept in this one module (the binding's tests compare it
with the header). Text sizes are in bytes."""

MAX_JOBS = 128                       #: jobs in one scheduler
LOG_CAPACITY = 20                    #: run records kept per job
MAX_ACTIVE = 32                      #: runs going on at once per scheduler
RETRY_MAX = 10                       #: further attempts after a failed one
BACKOFF_MAX_SEC = 3600               #: pause before each further attempt
CATCH_UP_MAX_SEC = 2678400           #: catch-up window (31 days)
JITTER_MAX_SEC = 86400               #: largest start delay (one day)
NAME_MAX = 127                       #: a job's name (longer names are cut)
EXPR_MAX = 127                       #: an expression
CMD_MAX = 1023                       #: a command
WORKDIR_MAX = 511                    #: a working directory
ENV_MAX = 1023                       #: a job's environment text
ENV_VARS_MAX = 32                    #: variables in it
DATA_DIR_MAX = 511                   #: a data directory, made absolute
NODE_MAX = 127                       #: a cluster node's name
CONNINFO_MAX = 4095                  #: a cluster's connection string
OUTPUT_MAX = 4095                    #: stdout or stderr kept in a run record
EVENT_CAPACITY = 4096                #: events a scheduler keeps
EVENT_TEXT_BYTES = 2 * 1024 * 1024   #: bytes of event output kept
USER_MAX = 63                        #: a job's user name
