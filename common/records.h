// The one reader of the record output format. The line reader hands over
// each part of a record as it meets it, so a stream of any length is read in
// flat memory.
#ifndef PROBES_COMMON_RECORDS_H
#define PROBES_COMMON_RECORDS_H

#include <cstdint>
#include <string_view>

enum class RecordPart {
    header,       // "*KEY: VALUE": a record starts
    field,        // "KEY: VALUE" inside a record
    continuation, // a line without ": " inside a record: the value before it goes on
    end,          // the record is complete
    stray,        // a line before the first header, or a last line without its line feed
};

// key is set for header and field only; text is the value, or for a
// continuation and a stray line the whole line.
using RecordPartHandler = void (*)(RecordPart part, std::string_view key, std::string_view text,
                                   void *context);

struct RecordReader {
    RecordPartHandler handler;
    void *context;
    bool in_record;
};

// One line, without its line feed.
void read_record_line(RecordReader &reader, std::string_view line);

// The end of the stream: ends the open record. unterminated is what followed
// the last line feed; a line cut short is reported as stray, never taken for
// a complete value.
void end_record_stream(RecordReader &reader, std::string_view unterminated);

// An error record's id or number: a signed 32-bit decimal integer, all of text.
bool parse_error_number(std::string_view text, int32_t &number);

#endif
