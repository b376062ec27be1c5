// The three matchers and canonicalize_name against a model written another
// way: the name is cut at the first of each letter of the form and every
// piece is checked whole.
#include "labelprobe.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

static bool all_digits(const std::string &s)
{
    return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

static bool all_targets(const std::string &s)
{
    return std::all_of(s.begin(), s.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); });
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
    if (t != std::string::npos && !all_targets(numbers.substr(t + 1)))
        return false;
    if (!all_digits(numbers.substr(0, t)))
        return false;
    std::string rest = name.substr(d + 1);
    size_t letter = rest.find(part_letter);
    if (letter == std::string::npos || !all_digits(rest.substr(0, letter)))
        return false;
    std::string part = rest.substr(letter + 1);
    return whole_disk ? part == "2" : all_digits(part);
}

static std::string model_canonical(const std::string &name)
{
    size_t c = name.find('c');
    if (c == std::string::npos)
        return "";
    std::string out = name.substr(c);
    if (out.size() >= 2 && out[out.size() - 2] == 's')
        out.erase(out.size() - 2);
    return out;
}

static void expect(bool holds)
{
    if (!holds)
        abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // A name ends at its first NUL.
    const char *text = reinterpret_cast<const char *>(data);
    std::string name(text, strnlen(text, size));

    expect(conventional_name(name.c_str()) == model_match(name, 's', false));
    expect(whole_disk_name(name.c_str()) == model_match(name, 's', true));
    expect(fdisk_physical_name(name.c_str()) == model_match(name, 'p', false));

    // Exactly as large as the interface asks, so a byte written past it shows.
    char *out = static_cast<char *>(malloc(name.size() + 1));
    canonicalize_name(out, name.c_str());
    expect(out == model_canonical(name));
    free(out);
    return 0;
}
