#include "records.h"

#include <charconv>

// A header starts with "*"; an empty line, a line that starts with ", " (the
// rest of a table after a timestamp's line feed) or one without ": " goes
// on with the value before it; any other line is KEY ": " VALUE.
void read_record_line(RecordReader &reader, std::string_view line)
{
    size_t colon = line.find(": ");
    if (!line.empty() && line.front() == '*') {
        if (reader.in_record)
            reader.handler(RecordPart::end, {}, {}, reader.context);
        reader.in_record = true;
        if (colon == std::string_view::npos)
            reader.handler(RecordPart::header, line.substr(1), {}, reader.context);
        else
            reader.handler(RecordPart::header, line.substr(1, colon - 1), line.substr(colon + 2),
                           reader.context);
    } else if (colon == std::string_view::npos || line.starts_with(", ")) {
        reader.handler(reader.in_record ? RecordPart::continuation : RecordPart::stray, {}, line,
                       reader.context);
    } else if (reader.in_record) {
        reader.handler(RecordPart::field, line.substr(0, colon), line.substr(colon + 2),
                       reader.context);
    } else {
        reader.handler(RecordPart::stray, {}, line, reader.context);
    }
}

void end_record_stream(RecordReader &reader, std::string_view unterminated)
{
    if (reader.in_record)
        reader.handler(RecordPart::end, {}, {}, reader.context);
    reader.in_record = false;
    if (!unterminated.empty())
        reader.handler(RecordPart::stray, {}, unterminated, reader.context);
}

bool parse_error_number(std::string_view text, int32_t &number)
{
    const char *end = text.data() + text.size();
    auto [stop, error] = std::from_chars(text.data(), end, number);
    return error == std::errc() && stop == end;
}
