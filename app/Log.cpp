#include "Log.h"

#include <cstdarg>
#include <cstring>
#include <ctime>

const char* Log::TIMESTAMP_FORMAT = "%Y:%m:%d:%H:%M:%S";
const char* Log::SEPARATOR = " | ";
bool Log::timestamped = false;
uint32_t Log::package_bitmask = 0;
FILE* Log::fh = nullptr;

void Log::log(unsigned package, const char* format, ...)
{
    if (package != 0 && (package & package_bitmask) == 0)
        return;

    if (timestamped && format && strlen(format) > 10) {
        char stamp[128];
        time_t now = time(nullptr);
        struct tm utc;
        gmtime_r(&now, &utc);
        size_t n = strftime(stamp, sizeof stamp, TIMESTAMP_FORMAT, &utc);
        fwrite(stamp, 1, n, stdout);
        fputs(SEPARATOR, stdout);
    }

    char buffer[BUFFER_SIZE];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof buffer, format, args);  // truncates at 2047 characters
    va_end(args);
    if (fh)
        fputs(buffer, fh);
}
