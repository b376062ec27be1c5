// treeprobe's entry: the command-line check, the library binding, the walk.
#include "collector.h"
#include "treeprobe.h"

#include <cstdio>
#include <dlfcn.h>

const char collector_name[] = "treeprobe";
const int collector_output_failure_status = treeprobe_failure_status;

// A large tree makes millions of short lines, read by a parent through a
// pipe: a large buffer keeps the write calls few.
static char output_buffer[1 << 16];

int main(int argc, char *argv[])
{
    (void)setvbuf(stdout, output_buffer, _IOFBF, sizeof output_buffer);
    parse_command_line(argc, argv);

    if (load_lumo_libs() == 0) {
        const char *why = dlerror();
        display_errorf(error_id_other, 0, "Error loading lumo library: %s",
                       why != nullptr ? why : "unknown error");
        return finish_output(treeprobe_library_not_bound_status);
    }
    return finish_output(walk_platform_tree());
}
