// The record reader over any stream: each line comes back whole from the
// parts it is handed over as, the parts follow the record structure, and an
// error number is read as strtoll reads a plain decimal.
#include "parsed_records.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace
{

struct Expectation {
    std::string_view line; // the line just given, or the unterminated rest
    bool in_record;        // before the line
    bool ended;            // an end part came
    size_t parts;          // parts other than end
};

void check(RecordPart part, std::string_view key, std::string_view text, void *context)
{
    Expectation &e = *static_cast<Expectation *>(context);
    std::string_view line = e.line;
    bool whole = false;
    switch (part) {
    case RecordPart::end:
        // Only a record that was open ends, and only once per line.
        if (!e.in_record || e.ended || e.parts != 0)
            abort();
        e.ended = true;
        return;
    case RecordPart::header:
        whole = line == "*" + std::string(key) ||
                line == "*" + std::string(key) + ": " + std::string(text);
        break;
    case RecordPart::field:
        whole = e.in_record && key.find(": ") == key.npos &&
                line == std::string(key) + ": " + std::string(text);
        break;
    case RecordPart::continuation:
        whole = e.in_record && line == text;
        break;
    case RecordPart::stray:
        whole = line == text;
        break;
    }
    if (!whole || ++e.parts > 1)
        abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string_view text(reinterpret_cast<const char *>(data), size);
    Expectation e{};
    RecordReader reader{check, &e, false};
    size_t headers = 0;
    for (std::string_view rest = text;;) {
        size_t end = rest.find('\n');
        e = {rest.substr(0, end), reader.in_record, false, 0};
        if (end == rest.npos) {
            end_record_stream(reader, rest);
            if (reader.in_record || e.parts != (rest.empty() ? 0 : 1))
                abort();
            break;
        }
        headers += !e.line.empty() && e.line[0] == '*';
        read_record_line(reader, e.line);
        // Every line is handed over as one part, and a header ends the
        // record before it.
        if (e.parts != 1 || e.ended != (e.in_record && e.line[0] == '*'))
            abort();
        rest.remove_prefix(end + 1);
    }

    ParsedOutput parsed = parse_records(text);
    if (parsed.records.size() != headers)
        abort();

    // An error number: all of the text, an optional minus, decimal digits,
    // within 32 bits.
    int32_t number = 0;
    std::string digits(text.substr(0, 16));
    bool plain = !digits.empty() && digits.find_first_not_of("-0123456789") == digits.npos &&
                 digits.find('-', 1) == digits.npos && digits != "-";
    errno = 0;
    long long expected = plain ? strtoll(digits.c_str(), nullptr, 10) : 0;
    bool fits = plain && errno == 0 && expected >= INT32_MIN && expected <= INT32_MAX;
    if (parse_error_number(digits, number) != fits || (fits && number != expected))
        abort();
    return 0;
}
