#ifndef QUORVEL_FUZZ_FILE_H
#define QUORVEL_FUZZ_FILE_H

// The readers under test take paths, so each input goes through a file: one
// per process, on a memory file system when there is one.

#include <unistd.h>

#include <cstdio>
#include <string>

inline std::string FuzzPath(const char* name)
{
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    return std::string(base) + "/quorvel-fuzz-" + std::to_string(getpid()) + "-" + name;
}

inline void FuzzWrite(const std::string& path, const void* data, size_t size)
{
    FILE* file = fopen(path.c_str(), "wb");
    if (!file)
        __builtin_trap();
    if (size > 0 && fwrite(data, 1, size, file) != size)
        __builtin_trap();
    fclose(file);
}

#endif
