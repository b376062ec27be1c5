// Parses arbitrary dpkg status files, checks what every entry may hold,
// writes the entries back out as a status file and checks that reading that
// gives the same entries again.
#include "pkgdb.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace
{

bool single_line(const std::optional<std::string_view> &value)
{
    return !value || value->find('\n') == std::string_view::npos;
}

// Every line ends with a carriage return and a line feed, so that a value
// ending in a carriage return of its own reads back unchanged.
void put_field(std::string &out, const char *name, const std::optional<std::string_view> &value)
{
    if (value)
        out.append(name).append(": ").append(*value).append("\r\n");
}

std::string write_back(const std::vector<adm::StatusEntry> &entries)
{
    std::string out;
    for (const adm::StatusEntry &entry : entries) {
        out.append("Package: ").append(entry.name).append("\r\n");
        if (!entry.listed)
            out.append("Status: purge ok not-installed\r\n");
        else if (entry.status == adm::status_installed)
            out.append("Status: install ok installed\r\n");
        else
            out.append("Status: install ok unpacked\r\n");
        put_field(out, "Architecture", entry.arch);
        put_field(out, "Version", entry.version);
        put_field(out, "Maintainer", entry.maintainer);
        put_field(out, "Section", entry.section);
        put_field(out, "Homepage", entry.homepage);
        put_field(out, "Multi-Arch", entry.multi_arch);
        put_field(out, "Description", entry.synopsis);
        std::string_view rest = entry.description;
        while (!rest.empty()) {
            size_t end = rest.find('\n');
            std::string_view line = rest.substr(0, end);
            rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
            if (line.ends_with('\r'))
                line.remove_suffix(1);
            out.append(line).append("\r\n");
        }
        out.append("\r\n");
    }
    return out;
}

std::string show(const std::optional<std::string_view> &value)
{
    return value ? "=" + std::string(*value) : "-";
}

std::vector<std::string> describe(const std::vector<adm::StatusEntry> &entries)
{
    std::vector<std::string> shown;
    for (const adm::StatusEntry &e : entries)
        shown.push_back(std::string(e.name) + "\n" +
                        (e.listed ? std::to_string(e.status) : "unlisted") + show(e.arch) +
                        show(e.version) + show(e.maintainer) + show(e.section) + show(e.homepage) +
                        show(e.multi_arch) + show(e.synopsis) + "\n" +
                        adm::join_description(e.description));
    return shown;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    std::vector<adm::StatusEntry> entries = adm::parse_status_file(text);
    for (const adm::StatusEntry &e : entries) {
        if (e.name.empty() ||
            (e.status != adm::status_installed && e.status != adm::status_partial))
            abort();
        if (!single_line(e.name) || !single_line(e.arch) || !single_line(e.version) ||
            !single_line(e.maintainer) || !single_line(e.section) || !single_line(e.homepage) ||
            !single_line(e.multi_arch) || !single_line(e.synopsis))
            abort();
        // Continuation lines come only after a Description line.
        if (!e.description.empty() && !e.synopsis)
            abort();
    }
    std::string again = write_back(entries);
    if (describe(adm::parse_status_file(again)) != describe(entries))
        abort();
    return 0;
}
