// What a package source promises for any database it reads: instances in
// ascending order, each found again by its name, the parameters that must
// be there present, and the ones listed for it on one line each.
#ifndef PROBES_TESTS_SOURCE_CHECK_H
#define PROBES_TESTS_SOURCE_CHECK_H

#include "pkgdb.h"

#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>

inline void check_source(adm::Source &source, std::initializer_list<const char *> present,
                         std::initializer_list<const char *> one_line)
{
    std::shared_ptr<adm::Package> package;
    std::string previous;
    for (int count = 0; source.next(package) == 0; count++) {
        const std::string &instance = package->instance();
        if (instance.empty() || (count > 0 && instance < previous))
            abort();
        for (const char *name : present)
            if (package->find(name) == nullptr)
                abort();
        for (const char *name : one_line)
            if (const char *value = package->find(name); value && strchr(value, '\n'))
                abort();
        std::shared_ptr<adm::Package> found = source.find(instance);
        if (!found || found->instance() != instance)
            abort();
        previous = instance;
    }
}
#endif
