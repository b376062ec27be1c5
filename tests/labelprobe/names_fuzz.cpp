// The three matchers and canonicalize_name against a model written another
// way: regular expressions for the forms, std::string for the cut.
#include "labelprobe.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>

static const std::regex conventional_form("c[0-9]*(t[0-9A-F]*)?d[0-9]*s[0-9]*");
static const std::regex whole_disk_form("c[0-9]*(t[0-9A-F]*)?d[0-9]*s2");
static const std::regex fdisk_form("c[0-9]*(t[0-9A-F]*)?d[0-9]*p[0-9]*");

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
    // A name ends at its first NUL, and an entry name is at most 255 bytes
    // (which also keeps the recursive regex matcher within its stack).
    const char *text = reinterpret_cast<const char *>(data);
    std::string name(text, strnlen(text, size < 255 ? size : 255));

    expect(conventional_name(name.c_str()) == std::regex_match(name, conventional_form));
    expect(whole_disk_name(name.c_str()) == std::regex_match(name, whole_disk_form));
    expect(fdisk_physical_name(name.c_str()) == std::regex_match(name, fdisk_form));

    // Exactly as large as the interface asks, so a byte written past it shows.
    char *out = static_cast<char *>(malloc(name.size() + 1));
    canonicalize_name(out, name.c_str());
    expect(out == model_canonical(name));
    free(out);
    return 0;
}
