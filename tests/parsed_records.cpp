#include "parsed_records.h"

const std::string *Record::find(std::string_view line_key) const
{
    for (const auto &[k, v] : lines)
        if (k == line_key)
            return &v;
    return nullptr;
}

static void check_error_record(const Record &record, ParsedOutput &parsed)
{
    static const char *const keys[] = {"id", "message", "number"};
    bool well_formed = record.lines.size() == 3;
    for (size_t i = 0; well_formed && i < 3; i++)
        well_formed = record.lines[i].first == keys[i];
    int32_t number;
    if (!well_formed || !parse_error_number(record.lines[0].second, number) ||
        !parse_error_number(record.lines[2].second, number))
        parsed.problems.push_back("malformed error record");
}

static void collect(RecordPart part, std::string_view key, std::string_view text, void *context)
{
    ParsedOutput &parsed = *static_cast<ParsedOutput *>(context);
    switch (part) {
    case RecordPart::header:
        parsed.records.push_back({std::string(key), std::string(text), {}});
        break;
    case RecordPart::field:
        parsed.records.back().lines.emplace_back(key, text);
        break;
    case RecordPart::continuation: {
        Record &record = parsed.records.back();
        (record.lines.empty() ? record.value : record.lines.back().second)
            .append("\n")
            .append(text);
        break;
    }
    case RecordPart::end:
        if (parsed.records.back().is_error())
            check_error_record(parsed.records.back(), parsed);
        break;
    case RecordPart::stray:
        parsed.problems.push_back("stray line: " + std::string(text));
        break;
    }
}

ParsedOutput parse_records(std::string_view text)
{
    ParsedOutput parsed;
    RecordReader reader{collect, &parsed, false};
    for (size_t end; (end = text.find('\n')) != std::string_view::npos;) {
        read_record_line(reader, text.substr(0, end));
        text.remove_prefix(end + 1);
    }
    end_record_stream(reader, text);
    return parsed;
}

std::string error_record(std::string_view message, int id, int number)
{
    return "*Node: nivex-error\nid: " + std::to_string(id) + "\nmessage: " + std::string(message) +
           "\nnumber: " + std::to_string(number) + "\n";
}
