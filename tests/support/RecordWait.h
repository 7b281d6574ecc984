#ifndef QUORVEL_RECORD_WAIT_H
#define QUORVEL_RECORD_WAIT_H

// Awaiting an event of the virtual module program's traffic record: the file
// is watched with inotify, so a test waits for the line itself, not for a
// time that should be long enough.

#include <string>

namespace testsupport {

// True once the record holds the event "ev <time> SERIAL TEXT" at least
// `occurrences` times; false when the time ran out first.
bool AwaitRecordEvent(const std::string& path, const std::string& serial, const std::string& text,
                      int occurrences = 1, int timeoutMs = 10000);

}  // namespace testsupport

#endif
