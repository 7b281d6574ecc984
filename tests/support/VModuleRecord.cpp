#include "VModuleRecord.h"

#include <gtest/gtest.h>

#include <regex>

#include "testsupport.h"

namespace testsupport {

std::vector<std::string> RecordLines(const std::string& path)
{
    std::vector<std::string> lines;
    static const std::regex line(R"(^(rx|tx|ev) \d+\.\d{6} (.*)$)");
    for (const auto& text : SplitLines(ReadFile(path))) {
        std::smatch m;
        if (!std::regex_match(text, m, line)) {
            ADD_FAILURE() << "malformed record line: " << text;
            continue;
        }
        lines.push_back(m[1].str() + " " + m[2].str());
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

}  // namespace testsupport
