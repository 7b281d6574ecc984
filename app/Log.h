#ifndef QUORVEL_LOG_H
#define QUORVEL_LOG_H

#include <cstdint>
#include <cstdio>

// Debug packages, switched on with -X. Package 0 is always written.
enum : uint32_t {
    DEBUG_Quorvel = 0x1,
    DEBUG_History = 0x2,
    DEBUG_Attributes = 0x4,
    DEBUG_BirdFile = 0x8,
    DEBUG_Network = 0x10,
    DEBUG_ServerComm = 0x20,
    DEBUG_Network_LINK = 0x100,
    DEBUG_Network_SR = 0x200,
    DEBUG_Network_FIRM = 0x400,
    DEBUG_NXPSerial = 0x1000,
    DEBUG_NXPSerial_E = 0x2000,
    DEBUG_NXPSerial_SR = 0x4000,
    DEBUG_APP = 0x10000,
    DEBUG_iMXSerial = 0x10000000,
};

// Process-wide, package-masked debug log. Set up on the main thread before
// any other thread starts; not locked.
class Log {
public:
    static constexpr size_t BUFFER_SIZE = 2048;
    static const char* TIMESTAMP_FORMAT;
    static const char* SEPARATOR;
    static bool timestamped;
    static uint32_t package_bitmask;
    static FILE* fh;

    static void log(unsigned package, const char* format, ...) __attribute__((format(printf, 2, 3)));
    static void SetOutput(FILE* stream) { fh = stream; }
    static void ActivatePackage(uint32_t bits) { package_bitmask |= bits; }
    static void DeactivatePackage(uint32_t bits) { package_bitmask &= ~bits; }
};

#endif
