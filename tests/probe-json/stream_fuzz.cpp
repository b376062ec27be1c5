// probe-json's conversion of any stream: every object it writes is one line
// of valid UTF-8 without a raw control character, and holds one record,
// error or stray line of the input. The program's own file is built in, with
// its main renamed, so its state can be set back between inputs.
#define main probe_json_main
#include "probe-json.cpp"
#undef main

#include <cstdint>
#include <cstdlib>

// An independent check of UTF-8: decode, then refuse overlong forms,
// surrogates and anything above U+10FFFF.
static bool valid_utf8(std::string_view text)
{
    for (size_t i = 0; i < text.size();) {
        unsigned char lead = static_cast<unsigned char>(text[i]);
        size_t length = lead < 0x80       ? 1
                        : lead >> 5 == 6  ? 2
                        : lead >> 4 == 14 ? 3
                        : lead >> 3 == 30 ? 4
                                          : 0;
        if (length == 0 || i + length > text.size())
            return false;
        uint32_t code = length == 1 ? lead : lead & (0x7f >> length);
        for (size_t k = 1; k < length; k++) {
            unsigned char next = static_cast<unsigned char>(text[i + k]);
            if (next >> 6 != 2)
                return false;
            code = code << 6 | (next & 0x3f);
        }
        static const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < least[length] || (code >= 0xd800 && code <= 0xdfff) || code > 0x10ffff)
            return false;
        i += length;
    }
    return true;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The output goes to a file of its own for the input's time.
    static FILE *output = tmpfile();
    FILE *input = tmpfile();
    int saved_stdout = dup(STDOUT_FILENO);
    if (output == nullptr || input == nullptr || saved_stdout < 0 ||
        fwrite(data, 1, size, input) != size || fflush(input) != 0 ||
        fseek(input, 0, SEEK_SET) != 0 || dup2(fileno(output), STDOUT_FILENO) < 0 ||
        ftruncate(fileno(output), 0) != 0 || lseek(fileno(output), 0, SEEK_SET) != 0)
        abort();
    position = between;
    holding_error = false;
    long_line.clear();
    if (!convert(fileno(input)))
        abort();
    flush_output();
    if (fflush(stdout) != 0 || ferror(stdout))
        abort();
    (void)fclose(input);
    if (dup2(saved_stdout, STDOUT_FILENO) < 0)
        abort();
    (void)close(saved_stdout);

    std::string text(static_cast<size_t>(lseek(fileno(output), 0, SEEK_END)), '\0');
    if (pread(fileno(output), text.data(), text.size(), 0) != static_cast<ssize_t>(text.size()))
        abort();
    // As many objects as lines that start a record or stray, at most.
    size_t objects = 0;
    for (size_t start = 0; start < text.size(); objects++) {
        size_t end = text.find('\n', start);
        if (end == text.npos)
            abort();
        std::string_view line(text.data() + start, end - start);
        if (line.size() < 2 || line.front() != '{' || line.back() != '}' || !valid_utf8(line))
            abort();
        for (unsigned char byte : line)
            if (byte < 0x20)
                abort();
        start = end + 1;
    }
    size_t lines = size == 0 ? 0 : 1;
    for (size_t i = 0; i + 1 < size; i++)
        lines += data[i] == '\n';
    if (objects > lines)
        abort();
    return 0;
}
