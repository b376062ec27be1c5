// Whole records built from the record reader's parts, for checking what the
// collectors print.
#ifndef PROBES_TESTS_PARSED_RECORDS_H
#define PROBES_TESTS_PARSED_RECORDS_H

#include "records.h"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct Record {
    std::string key;   // header key: "node", "PKGINST", "Node"
    std::string value; // header value
    std::vector<std::pair<std::string, std::string>> lines;

    bool is_error() const
    {
        return key == "Node" && value == "nivex-error";
    }
    // The value of the first line with this key, or nullptr.
    const std::string *find(std::string_view line_key) const;
};

struct ParsedOutput {
    std::vector<Record> records;
    std::vector<std::string> problems; // every departure from the format
};

// A continuation joins its value with "\n", so a timestamp's empty line ends
// up inside its value. An error record is well formed with exactly its id,
// message and number lines, the two numbers signed 32-bit decimals.
ParsedOutput parse_records(std::string_view text);

// The four lines of an error record.
std::string error_record(std::string_view message, int id, int number);

#endif
