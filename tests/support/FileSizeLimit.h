#ifndef QUORVEL_FILE_SIZE_LIMIT_H
#define QUORVEL_FILE_SIZE_LIMIT_H

// Stands in for a full disk inside the test process: while it lives, no file
// can grow beyond `bytes` (writes fail with EFBIG instead of raising
// SIGXFSZ). Restores the limit and the signal on destruction.

#include <signal.h>
#include <sys/resource.h>

#include <cstddef>

class FileSizeLimit {
public:
    explicit FileSizeLimit(size_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &previous_);
        struct sigaction ignore = {};
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGXFSZ, &ignore, &previousAction_);
        struct rlimit limit = previous_;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &previous_);
        sigaction(SIGXFSZ, &previousAction_, nullptr);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    struct rlimit previous_;
    struct sigaction previousAction_;
};

#endif
