#include "VModuleRecord.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

#include "testsupport.h"

namespace testsupport {

namespace {

// "rx 12.345678 06 00" -> "rx 06 00"; empty when the line has another form.
std::string WithoutTime(const std::string& text)
{
    if (text.size() < 4 || (text.compare(0, 3, "rx ") != 0 && text.compare(0, 3, "tx ") != 0 &&
                            text.compare(0, 3, "ev ") != 0))
        return "";
    size_t dot = text.find('.', 3);
    size_t end = text.find(' ', 3);
    if (dot == std::string::npos || end == std::string::npos || dot == 3 || end != dot + 7 || end + 1 >= text.size())
        return "";
    for (size_t i = 3; i < end; ++i)
        if (i != dot && !isdigit(static_cast<unsigned char>(text[i])))
            return "";
    return text.substr(0, 3) + text.substr(end + 1);
}

}  // namespace

std::vector<std::string> RecordLines(const std::string& path)
{
    std::vector<std::string> lines;
    for (const auto& text : SplitLines(ReadFile(path))) {
        std::string line = WithoutTime(text);
        if (line.empty())
            ADD_FAILURE() << "malformed record line: " << text;
        else
            lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> RecordEvents(const std::string& path, const std::string& serial)
{
    std::vector<std::string> events;
    std::string prefix = "ev " + serial + " ";
    for (const auto& line : RecordLines(path))
        if (line.compare(0, prefix.size(), prefix) == 0)
            events.push_back(line.substr(prefix.size()));
    return events;
}

bool Contains(const std::vector<std::string>& lines, const std::string& wanted)
{
    return std::find(lines.begin(), lines.end(), wanted) != lines.end();
}

}  // namespace testsupport
