#include <sys/vtoc.h>
