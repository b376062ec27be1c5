// The three matchers and canonicalize_name against a model written another
// way: the name is cut at the first of each letter of the form and every
// piece is checked whole.
#include "labelprobe.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

static bool all_of_class(const std::string &s, bool targets)
{
    for (char c : s)
        if (!((c >= '0' && c <= '9') || (targets && c >= 'A' && c <= 'F')))
            return false;
    return true;
}

// Digits and targets hold no lower-case letter, so each letter of the form
// is the first of its kind after the one before it.
static bool model_match(const std::string &name, char part_letter, bool whole_disk)
{
    size_t d = name.find('d');
    if (name.empty() || name[0] != 'c' || d == std::string::npos)
        return false;
    std::string numbers = name.substr(1, d - 1);
    size_t t = numbers.find('t');
    if ((t != std::string::npos && !all_of_class(numbers.substr(t + 1), true)) ||
        !all_of_class(numbers.substr(0, t), false))
        return false;
    std::string rest = name.substr(d + 1);
    size_t letter = rest.find(part_letter);
    if (letter == std::string::npos || !all_of_class(rest.substr(0, letter), false))
        return false;
    std::string part = rest.substr(letter + 1);
    return whole_disk ? part == "2" : all_of_class(part, false);
}

static std::string model_canonical(const std::string &name)
{
    size_t c = name.find('c');
    std::string out = c == std::string::npos ? "" : name.substr(c);
    if (out.size() >= 2 && out[out.size() - 2] == 's')
        out.erase(out.size() - 2);
    return out;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // A name ends at its first NUL.
    const char *text = reinterpret_cast<const char *>(data);
    std::string name(text, strnlen(text, size));
    // Exactly as large as the interface asks, so a byte written past it shows.
    char *out = static_cast<char *>(malloc(name.size() + 1));
    canonicalize_name(out, name.c_str());
    if (conventional_name(name.c_str()) != model_match(name, 's', false) ||
        whole_disk_name(name.c_str()) != model_match(name, 's', true) ||
        fdisk_physical_name(name.c_str()) != model_match(name, 'p', false) ||
        out != model_canonical(name))
        abort();
    free(out);
    return 0;
}
