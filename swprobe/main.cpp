#include "collector.h"
#include "swprobe.h"

int main(int argc, char *argv[])
{
    parse_command_line(argc, argv);
    return list_packages();
}
