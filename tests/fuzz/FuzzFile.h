#ifndef QUORVEL_FUZZ_FILE_H
#define QUORVEL_FUZZ_FILE_H

// The readers under test take paths, so each input goes through a file: one
// per process, on a memory file system when there is one.

#include <unistd.h>

#include <cstdio>
#include <string>

// One file per process, removed when the fuzzer exits.
class FuzzFile {
public:
    explicit FuzzFile(const char* name)
    {
        const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        path_ = std::string(base) + "/quorvel-fuzz-" + std::to_string(getpid()) + "-" + name;
    }
    ~FuzzFile() { unlink(path_.c_str()); }
    FuzzFile(const FuzzFile&) = delete;
    FuzzFile& operator=(const FuzzFile&) = delete;

    const std::string& path() const { return path_; }
    void write(const void* data, size_t size) const
    {
        FILE* file = fopen(path_.c_str(), "wb");
        if (!file)
            __builtin_trap();
        if (size > 0 && fwrite(data, 1, size, file) != size)
            __builtin_trap();
        fclose(file);
    }

private:
    std::string path_;
};

#endif
