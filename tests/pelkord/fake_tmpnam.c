/* Preloaded into the daemon to hand it temporary names that glibc never
   returns: none at all, one without a directory, one too long for a socket. */
#include <stdlib.h>
#include <string.h>

char *tmpnam(char *s) {
    const char *name = getenv("FAKE_TMPNAM");
    (void)s;
    if (name == NULL || strcmp(name, "(null)") == 0) return NULL;
    return (char *)name;
}
