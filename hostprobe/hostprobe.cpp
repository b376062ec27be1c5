// hostprobe: one record with the host's processor counts, page size and
// number of physical memory pages, straight from sysconf.
#include "collector.h"

#include <cstdio>
#include <unistd.h>

const char collector_name[] = "hostprobe";
const int collector_output_failure_status = 1;

// Each line is written as soon as its value is known; a value the host
// cannot give is written as the -1 that sysconf returns.
static const struct {
    const char *key;
    int selector;
} selectors[] = {
    {"_SC_NPROCESSORS_CONF", _SC_NPROCESSORS_CONF},
    {"_SC_NPROCESSORS_ONLN", _SC_NPROCESSORS_ONLN},
    {"_SC_PAGESIZE", _SC_PAGESIZE},
    {"_SC_PHYS_PAGES", _SC_PHYS_PAGES},
    {nullptr, 0},
};

int main(int argc, char *argv[])
{
    parse_command_line(argc, argv);

    (void)fputs("*node: sysconf\n", stdout);
    for (int i = 0; selectors[i].key != nullptr; i++)
        (void)printf("%s: %ld\n", selectors[i].key, sysconf(selectors[i].selector));
    return finish_output(status_completed);
}
