// Parses arbitrary dpkg status files, checks what every entry may hold,
// writes the entries back out as a status file and checks that reading that
// gives the same entries again.
#include "pkgdb.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace
{

using Field = std::optional<std::string_view> adm::StatusEntry::*;
constexpr std::pair<const char *, Field> fields[] = {
    {"Architecture", &adm::StatusEntry::arch},     {"Version", &adm::StatusEntry::version},
    {"Maintainer", &adm::StatusEntry::maintainer}, {"Section", &adm::StatusEntry::section},
    {"Homepage", &adm::StatusEntry::homepage},     {"Multi-Arch", &adm::StatusEntry::multi_arch},
    {"Description", &adm::StatusEntry::synopsis},
};

// Every line ends with a carriage return and a line feed, so that a value
// ending in a carriage return of its own reads back unchanged.
std::string write_back(const std::vector<adm::StatusEntry> &entries)
{
    std::string out;
    for (const adm::StatusEntry &entry : entries) {
        out.append("Package: ").append(entry.name).append("\r\nStatus: ");
        out.append(!entry.listed                           ? "purge ok not-installed\r\n"
                   : entry.status == adm::status_installed ? "install ok installed\r\n"
                                                           : "install ok unpacked\r\n");
        for (auto [name, field] : fields)
            if (entry.*field)
                out.append(name).append(": ").append(*(entry.*field)).append("\r\n");
        for (std::string_view rest = entry.description; !rest.empty();) {
            std::string_view line = rest.substr(0, rest.find('\n'));
            rest.remove_prefix(std::min(rest.size(), line.size() + 1));
            if (line.ends_with('\r'))
                line.remove_suffix(1);
            out.append(line).append("\r\n");
        }
        out.append("\r\n");
    }
    return out;
}

std::vector<std::string> describe(const std::vector<adm::StatusEntry> &entries)
{
    std::vector<std::string> shown;
    for (const adm::StatusEntry &e : entries) {
        std::string &text = shown.emplace_back(std::string(e.name) + "\n");
        text += e.listed ? std::to_string(e.status) : "unlisted";
        for (auto [name, field] : fields)
            text += e.*field ? "=" + std::string(*(e.*field)) : "-";
        text += "\n" + adm::join_description(e.description);
    }
    return shown;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    std::vector<adm::StatusEntry> entries = adm::parse_status_file(text);
    for (const adm::StatusEntry &e : entries) {
        if (e.name.empty() || e.name.find('\n') != std::string_view::npos ||
            (e.status != adm::status_installed && e.status != adm::status_partial))
            abort();
        for (auto [name, field] : fields)
            if (e.*field && (e.*field)->find('\n') != std::string_view::npos)
                abort();
        // Continuation lines come only after a Description line.
        if (!e.description.empty() && !e.synopsis)
            abort();
    }
    if (describe(adm::parse_status_file(write_back(entries))) != describe(entries))
        abort();
    return 0;
}
