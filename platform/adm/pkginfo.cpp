#include <pkginfo.h>
