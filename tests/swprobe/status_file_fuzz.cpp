// Parses arbitrary dpkg status files and checks what every entry may hold: a
// name and a state, fields of one line each, and a description that folds
// into one line.
#include "dpkg.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    constexpr size_t none = std::string_view::npos;
    std::string_view text(reinterpret_cast<const char *>(data), size);
    for (const adm::StatusEntry &e : adm::parse_status_file(text)) {
        bool one_line =
            e.name.find('\n') == none && adm::join_description(e.description).find('\n') == none;
        for (const auto &field :
             {e.arch, e.version, e.maintainer, e.section, e.homepage, e.multi_arch, e.synopsis})
            one_line = one_line && field.value_or("").find('\n') == none;
        // Continuation lines count only after a Description line.
        if (e.name.empty() || !one_line || (!e.description.empty() && !e.synopsis) ||
            (e.status != adm::status_installed && e.status != adm::status_partial))
            abort();
    }
    return 0;
}
