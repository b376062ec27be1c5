// The rpm reader's parsers of its stream, which fuzz targets call alone.
#ifndef PROBES_PLATFORM_ADM_LINUX_RPM_H
#define PROBES_PLATFORM_ADM_LINUX_RPM_H

#include "pkgdb.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace adm
{

// The fields the reader sends for each header, in this order, each ended by
// a NUL; a tag the header lacks is sent empty. After the headers it sends
// "E" and the error number it ended with as its last field: "E0" when every
// header was read.
enum RpmField {
    rpm_name,
    rpm_epoch,
    rpm_version,
    rpm_release,
    rpm_arch,
    rpm_summary,
    rpm_group,
    rpm_vendor,
    rpm_packager,
    rpm_url,
    rpm_prefix,
    rpm_description,
    rpm_install_time,
    rpm_field_count
};

struct RpmHeader {
    std::string_view fields[rpm_field_count]; // into the stream
    std::string instance;
};

// The headers with a name in the stream, up to the reader's last word: the
// error number it ended with, or EIO when it ended without one.
int parse_rpm_stream(std::string_view stream, std::vector<RpmHeader> &headers);

// Names each header's instance, NAME; NAME.ARCH for each of several headers
// of one name; and NAME-VERSION-RELEASE.ARCH where that is still not
// unique. Then sorts them by instance.
void name_rpm_instances(std::vector<RpmHeader> &headers);

// The package one header stands for.
std::shared_ptr<Package> rpm_package(const RpmHeader &header);

} // namespace adm

#endif
