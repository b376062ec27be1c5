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
    std::string line;
    for (size_t i = 0; i <= text.size(); i++) {
        if (i < text.size() && text[i] != '\n') {
            line += text[i];
            continue;
        }
        size_t equals = line.find('=');
        if (equals != std::string::npos && line[0] == '#')
            first_values.emplace(line.substr(0, equals), std::nullopt);
        else if (equals != std::string::npos)
            first_values.emplace(line.substr(0, equals), line.substr(equals + 1));
        line.clear();
    }
    for (const auto &[name, value] : first_values) {
        const char *found = package.find(name);
        if ((found != nullptr) != value.has_value() ||
            (found && strcmp(found, value->c_str()) != 0))
            abort();
    }
    return 0;
}
