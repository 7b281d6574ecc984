#include "aDebug.h"

#include <stdarg.h>
#include <stdio.h>

bool aLumastrixDebuggingEnable = false;
uint32_t aLumastrixDebuggingLevel = 0;

bool aDebug_Enabled(uint32_t group)
{
    return aLumastrixDebuggingEnable && (aLumastrixDebuggingLevel & group) != 0;
}

void aDebug_Trace(uint32_t group, const char* format, ...)
{
    if (!aDebug_Enabled(group))
        return;
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    fflush(stdout);
}
