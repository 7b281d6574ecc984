#ifndef QUORVEL_VMODULE_RECORD_H
#define QUORVEL_VMODULE_RECORD_H

// Reading the virtual module program's traffic record in tests.

#include <string>
#include <vector>

namespace testsupport {

// The record's lines without their timestamps: "rx AD 00", "ev 40F5849A link 1
// route on". A line of another form fails the test that reads it.
std::vector<std::string> RecordLines(const std::string& path);

// The events of one module, without the "ev SERIAL " prefix: "route to me on".
std::vector<std::string> RecordEvents(const std::string& path, const std::string& serial);

// True when one of the lines is wanted, whole.
bool Contains(const std::vector<std::string>& lines, const std::string& wanted);

}  // namespace testsupport

#endif
