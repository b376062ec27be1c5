// lumo-load: loads the platform description named by $LUMO_PLATFORM the way
// treeprobe's first call does, so that its peak memory is the library's
// share of a treeprobe run.
#include "lumo.h"

#include <cstdio>

int main()
{
    int code = lumo_initialize();
    if (code != 0) {
        (void)fprintf(stderr, "lumo-load: %s\n", lumo_strerror(code));
        return 1;
    }
    return lumo_shutdown();
}
