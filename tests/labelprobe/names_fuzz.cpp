// The three matchers and canonicalize_name against a model written another
// way: POSIX regular expressions for the forms, string operations for the name.
#include "labelprobe.h"

#include <cstdint>
#include <cstdlib>
#include <regex.h>
#include <string>

static bool matches(const std::string &name, const std::string &part)
{
    regex_t form;
    std::string pattern = "^c[0-9]*(t[0-9A-F]*)?d[0-9]*" + part + "$";
    bool match = regcomp(&form, pattern.c_str(), REG_EXTENDED | REG_NOSUB) == 0 &&
                 regexec(&form, name.c_str(), 0, nullptr, 0) == 0;
    regfree(&form);
    return match;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // A name ends at its first NUL.
    std::string name = std::string(reinterpret_cast<const char *>(data), size).c_str();
    std::string canonical = name.substr(std::min(name.find('c'), name.size()));
    if (canonical.size() >= 2 && canonical[canonical.size() - 2] == 's')
        canonical.resize(canonical.size() - 2);
    // Exactly as large as the interface asks, so a byte written past it shows.
    char *out = static_cast<char *>(malloc(name.size() + 1));
    canonicalize_name(out, name.c_str());
    if (conventional_name(name.c_str()) != matches(name, "s[0-9]*") ||
        whole_disk_name(name.c_str()) != matches(name, "s2") ||
        fdisk_physical_name(name.c_str()) != matches(name, "p[0-9]*") || out != canonical)
        abort();
    free(out);
    return 0;
}
