#include "text.h"

#include <algorithm>

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
    text.remove_prefix(std::min(text.find_first_not_of(blanks), text.size()));
    text.remove_suffix(text.size() - std::min(text.find_last_not_of(blanks) + 1, text.size()));
    return text;
}

std::string fold_lines(std::string_view text,
                       std::optional<std::string_view> (*shape)(std::string_view line))
{
    std::string folded;
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
