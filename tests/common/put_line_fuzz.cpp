// put_one_line and put_field against a model written another way: whatever
// the value, the record line is one line, and reading its escapes back gives
// the value's bytes up to its NUL or the length asked for.
#include "collector.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

const char collector_name[] = "put_line_fuzz";
const int collector_output_failure_status = 3;

static std::string written(const std::string &key, const std::string &value, size_t max_length,
                           bool every_control)
{
    char *buffer = nullptr;
    size_t length = 0;
    FILE *saved = stdout;
    stdout = open_memstream(&buffer, &length);
    if (stdout == nullptr)
        abort();
    put_field(key.c_str(), value.c_str(), max_length, every_control);
    (void)fclose(stdout);
    stdout = saved;
    std::string text(buffer, length);
    free(buffer);
    return text;
}

// The escapes read back: "\n", "\r" and "\xHH" only; a backslash before
// anything else stands for itself.
static std::string unescaped(std::string_view text)
{
    std::string bytes;
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] == '\\' && i + 1 < text.size() && (text[i + 1] == 'n' || text[i + 1] == 'r')) {
            bytes.push_back(text[++i] == 'n' ? '\n' : '\r');
        } else if (text[i] == '\\' && text.substr(i + 1, 1) == "x" && i + 3 < text.size() &&
                   isxdigit(static_cast<unsigned char>(text[i + 2])) &&
                   isxdigit(static_cast<unsigned char>(text[i + 3]))) {
            bytes.push_back(
                static_cast<char>(std::stoi(std::string(text.substr(i + 2, 2)), nullptr, 16)));
            i += 3;
        } else {
            bytes.push_back(text[i]);
        }
    }
    return bytes;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    // The first byte chooses the length (255: no bound) and the escaping.
    size_t max_length = data[0] == 255 ? SIZE_MAX : data[0] >> 1;
    bool every_control = (data[0] & 1) != 0;
    std::string value(reinterpret_cast<const char *>(data + 1), size - 1);
    std::string line = written("KEY", value, max_length, every_control);

    // One line, key first, nothing that would end it early.
    if (line.size() < 6 || line.compare(0, 5, "KEY: ") != 0 || line.back() != '\n' ||
        line.find_first_of("\n\r") != line.size() - 1)
        abort();
    std::string_view shown(line.data() + 5, line.size() - 6);
    for (unsigned char byte : shown)
        if (every_control && (byte < 0x20 || byte == 0x7f))
            abort();
    // A backslash is written as it is, so a value with one reads back
    // ambiguously: the round trip is asserted for the others.
    std::string expected = value.c_str();
    expected.resize(std::min(expected.size(), max_length));
    if (expected.find('\\') == expected.npos && unescaped(shown) != expected)
        abort();
    return 0;
}
