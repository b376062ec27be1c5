// The dpkg source over any database folder: "status", the journal files of
// "updates/" merged over it, and the install times from "info/". Every
// package it delivers is found again by its instance, in ascending order,
// with each parameter on one line. Calls adm::open_dpkg_source and the
// Source interface only.
#include "../fuzz_files.h"
#include "pkgdb.h"
#include "source_check.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_files::Tree files(std::string_view(reinterpret_cast<const char *>(data), size));
    std::unique_ptr<adm::Source> source = adm::open_dpkg_source(files.root, 1 << 20);
    check_source(*source, {"NAME", "BASEDIR"},
                 {"NAME", "ARCH", "VERSION", "VENDOR", "BASEDIR", "CATEGORY", "DESC", "INSTDATE",
                  "EMAIL", "HOTLINE"});
    return 0;
}
