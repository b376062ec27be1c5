// swprobe: one record per package instance of the package database.
#ifndef PROBES_SWPROBE_SWPROBE_H
#define PROBES_SWPROBE_SWPROBE_H

#include <pkginfo.h>

// Writes the package record of one filled package information record.
void display_node(const struct pkginfo *info);

// swprobe's one failure status: a package with incomplete information, or
// output that was lost.
inline constexpr int swprobe_failure_status = 2;

// Writes a record for every package instance and returns the exit status;
// ends the process with swprobe_failure_status on a package with incomplete
// information.
int list_packages();

#endif
