// Parses arbitrary "pkginfo" files and checks every parameter against a
// second, deliberately naive reading of the same lines.
#include "pkgdb.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    adm::Package package("ORLOfuzz");
    adm::parse_pkginfo_file(text, package);

    // Each name with its first value; a name only a comment gives has none.
    std::map<std::string, std::optional<std::string>> first_values;
    for (size_t start = 0, end = 0; end != std::string::npos; start = end + 1) {
        std::string line = text.substr(start, (end = text.find('\n', start)) - start);
        size_t equals = line.find('=');
        if (equals != std::string::npos)
            first_values.emplace(line.substr(0, equals),
                                 line[0] == '#' ? std::nullopt
                                                : std::optional(line.substr(equals + 1)));
    }
    for (const auto &[name, value] : first_values) {
        const char *found = package.find(name);
        if ((found != nullptr) != value.has_value() ||
            (found && strcmp(found, value->c_str()) != 0))
            abort();
    }
    return 0;
}
