/* The public header must be plain C99. */
#include "quilmarn_crontab.h"

#include <stdio.h>
#include <string.h>

int main(void) {
    const char *v = crontab_version();
    if (v == NULL || strcmp(v, QC_VERSION) != 0) {
        fprintf(stderr, "bad version\n");
        return 1;
    }
    if (crontab_delete_job(NULL, 1) != CRONTAB_ERROR || crontab_last_error()[0] == '\0') {
        fprintf(stderr, "no error text\n");
        return 1;
    }
    return 0;
}
