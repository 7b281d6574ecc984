#include "ReplaceFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace {

constexpr int CREATE_ATTEMPTS = 16;

std::string _directory_of(const std::string& path)
{
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string _name_of(const std::string& path)
{
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A hidden name next to the target, unique within this process and among
// processes; O_EXCL guards against anything left over by a crash.
int _create_temporary(const std::string& path, mode_t mode, std::string* tempPath)
{
    static std::atomic<unsigned> counter{0};
    std::string base = _directory_of(path) + "/." + _name_of(path) + ".tmp-" + std::to_string(getpid()) + "-";
    for (int attempt = 0; attempt < CREATE_ATTEMPTS; ++attempt) {
        *tempPath = base + std::to_string(counter++);
        int fd = open(tempPath->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

bool _write_all(int fd, const unsigned char* data, size_t length)
{
    while (length > 0) {
        ssize_t n = write(fd, data, length);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        length -= size_t(n);
    }
    return true;
}

// Makes the rename itself durable; a failure here loses nothing already
// written, so it is not reported.
void _sync_directory(const std::string& path)
{
    int fd = open(_directory_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

aErr _fail(aErr err, int error, int* sysError)
{
    if (sysError)
        *sysError = error;
    return err;
}

}  // namespace

aErr ReplaceFile(const std::string& path, const void* data, size_t length, int* sysError)
{
    if (sysError)
        *sysError = 0;
    if (path.empty() || (!data && length > 0))
        return _fail(aErrNotFound, EINVAL, sysError);

    // Renaming would replace what a plain open for writing refuses: a
    // directory or a file we may not write.
    struct stat existing;
    bool exists = stat(path.c_str(), &existing) == 0;
    if (exists && !S_ISREG(existing.st_mode))
        return _fail(aErrNotFound, S_ISDIR(existing.st_mode) ? EISDIR : EINVAL, sysError);
    if (exists && access(path.c_str(), W_OK) != 0)
        return _fail(aErrNotFound, errno, sysError);

    std::string tempPath;
    int fd = _create_temporary(path, exists ? (existing.st_mode & 07777) : 0666, &tempPath);
    if (fd < 0)
        return _fail(aErrNotFound, errno, sysError);
    // open() applied the umask; an existing file keeps its own bits exactly.
    if (exists)
        fchmod(fd, existing.st_mode & 07777);

    int error = 0;
    if (!_write_all(fd, static_cast<const unsigned char*>(data), length) || fsync(fd) != 0)
        error = errno;
    if (close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && rename(tempPath.c_str(), path.c_str()) != 0)
        error = errno;
    if (error != 0) {
        unlink(tempPath.c_str());
        return _fail(aErrWrite, error, sysError);
    }
    _sync_directory(path);
    return aErrNone;
}
