#include "records.h"

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
    if (!well_formed)
        parsed.problems.push_back("malformed error record");
}

ParsedOutput parse_records(std::string_view text)
{
    ParsedOutput parsed;
    if (!text.empty() && text.back() != '\n')
        parsed.problems.push_back("output does not end with a line feed");
    std::string *open_value = nullptr;
    size_t line_number = 0;
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        line_number++;

        size_t colon = line.find(": ");
        if (colon == std::string_view::npos) {
            if (open_value == nullptr)
                parsed.problems.push_back("line " + std::to_string(line_number) +
                                          " is neither a record line nor a continuation");
            else
                open_value->append("\n").append(line);
            continue;
        }
        if (line.front() == '*') {
            if (!parsed.records.empty() && parsed.records.back().is_error())
                check_error_record(parsed.records.back(), parsed);
            parsed.records.push_back(
                {std::string(line.substr(1, colon - 1)), std::string(line.substr(colon + 2)), {}});
            open_value = &parsed.records.back().value;
            continue;
        }
        if (parsed.records.empty()) {
            parsed.problems.push_back("line " + std::to_string(line_number) +
                                      " comes before any header line");
            continue;
        }
        auto &lines = parsed.records.back().lines;
        lines.emplace_back(std::string(line.substr(0, colon)), std::string(line.substr(colon + 2)));
        open_value = &lines.back().second;
    }
    if (!parsed.records.empty() && parsed.records.back().is_error())
        check_error_record(parsed.records.back(), parsed);
    return parsed;
}

std::string error_record(std::string_view message, int id, int number)
{
    return "*Node: nivex-error\nid: " + std::to_string(id) + "\nmessage: " + std::string(message) +
           "\nnumber: " + std::to_string(number) + "\n";
}
