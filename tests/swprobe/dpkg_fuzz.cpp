// The dpkg source over any database folder: "status", the journal files of
// "updates/" merged over it, and the install times from "info/". Every
// package it delivers is found again by its instance, in ascending order,
// with each parameter on one line. Calls adm::open_dpkg_source and the
// Source interface only.
#include "../fuzz_files.h"
#include "pkgdb.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_files::Tree files(std::string_view(reinterpret_cast<const char *>(data), size));
    std::unique_ptr<adm::Source> source = adm::open_dpkg_source(files.root, 1 << 20);
    std::shared_ptr<adm::Package> package;
    std::string previous;
    for (int count = 0; source->next(package) == 0; count++) {
        const std::string &instance = package->instance();
        if (instance.empty() || (count > 0 && instance < previous))
            abort();
        for (const char *name : {"NAME", "ARCH", "VERSION", "VENDOR", "BASEDIR", "CATEGORY", "DESC",
                                 "INSTDATE", "EMAIL", "HOTLINE"}) {
            const char *value = package->find(name);
            if (value != nullptr && strchr(value, '\n') != nullptr)
                abort();
        }
        if (package->find("NAME") == nullptr || package->find("BASEDIR") == nullptr)
            abort();
        std::shared_ptr<adm::Package> found = source->find(instance);
        if (!found || found->instance() != instance)
            abort();
        previous = instance;
    }
    return 0;
}
