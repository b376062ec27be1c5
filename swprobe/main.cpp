// swprobe's entry: the command-line check, then the package list.
#include "collector.h"
#include "swprobe.h"

const char collector_name[] = "swprobe";
const int collector_output_failure_status = swprobe_failure_status;

int main(int argc, char *argv[])
{
    parse_command_line(argc, argv);
    return finish_output(list_packages());
}
