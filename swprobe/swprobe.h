// swprobe: one record per package instance of the package database.
#ifndef PROBES_SWPROBE_SWPROBE_H
#define PROBES_SWPROBE_SWPROBE_H

#include <pkginfo.h>

// Writes the package record of one filled package information record.
void display_node(const struct pkginfo *info);

// Writes a record for every package instance and returns the exit status;
// ends the process with status 2 on a package with incomplete information.
int list_packages();

#endif
