#include "text.h"

namespace base
{

std::string_view next_line(std::string_view &text, char end)
{
    size_t at = text.find(end);
    std::string_view line = text.substr(0, at);
    text.remove_prefix(at == std::string_view::npos ? text.size() : at + 1);
    return line;
}

std::string_view trim(std::string_view text, std::string_view blanks)
{
    // A loop of its own: the set is a byte or two, and a search of it per
    // byte of text costs a call each.
    auto is_blank = [blanks](char c) {
        for (char blank : blanks)
            if (c == blank)
                return true;
        return false;
    };
    while (!text.empty() && is_blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back()))
        text.remove_suffix(1);
    return text;
}

std::string fold_lines(std::string_view text,
                       std::optional<std::string_view> (*shape)(std::string_view line))
{
    std::string folded;
    // Lines shaped as parts of themselves never fold into more than text.
    folded.reserve(text.size());
    while (!text.empty())
        if (std::optional<std::string_view> line = shape(next_line(text)))
            folded.append(folded.empty() ? "" : " ").append(*line);
    return folded;
}

std::string install_date(time_t when)
{
    struct tm local;
    char date[64];
    if (localtime_r(&when, &local) == nullptr)
        return {};
    return std::string(date, strftime(date, sizeof date, "%b %d %Y %H:%M", &local));
}

} // namespace base
