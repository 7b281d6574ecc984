#include "QuorvelDisplayInterface.h"

#include <cstdarg>
#include <cstdio>

void QuorvelDisplayInterface::message(Level level, const char* format, ...)
{
    if (muted)
        return;
    char buffer[MESSAGE_SIZE];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (level == LEVEL_ERROR)
        error_message(buffer);
    else
        info_message(buffer);
}
