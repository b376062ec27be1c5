// Lines, blanks, folding lines into one, and the package tools' date form.
#ifndef PROBES_PLATFORM_BASE_TEXT_H
#define PROBES_PLATFORM_BASE_TEXT_H

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace base
{

// Takes the first line off text and gives it without the byte that ends
// it, a line feed or another.
std::string_view next_line(std::string_view &text, char end = '\n');

// Text without the blanks at either end.
std::string_view trim(std::string_view text, std::string_view blanks = " \t");

// The lines of text on one line, joined by single blanks: each line as
// shape gives it, or none where shape gives nothing.
std::string fold_lines(std::string_view text,
                       std::optional<std::string_view> (*shape)(std::string_view line));

// A time as the package tools show when a package was installed: local
// time, "%b %d %Y %H:%M"; empty when it has no such form.
std::string install_date(time_t when);

} // namespace base

#endif
