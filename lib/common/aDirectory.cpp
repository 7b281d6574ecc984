#include "aDirectory.h"

#include <dirent.h>
#include <errno.h>
#include <pwd.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

static const char kSep = aDIR_PATH_SEP[0];

bool aDirectory_Exists(const char* path)
{
    struct stat info;
    return path && stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

// Creates one directory; an existing entry counts as success here (whether it
// is a directory is checked once at the end).
static bool sMake(const std::string& path, mode_t mode)
{
    return mkdir(path.c_str(), mode) == 0 || errno == EEXIST;
}

aErr aDirectory_Ensure(const char* path, mode_t mode)
{
    if (!path || !*path)
        return aErrParam;
    if (aDirectory_Exists(path))
        return aErrNone;
    const std::string full(path);

    // Deepest existing ancestor: cut at the separators from the end.
    size_t start = 0;
    for (size_t cut = full.rfind(kSep); cut != std::string::npos; cut = cut ? full.rfind(kSep, cut - 1) : std::string::npos) {
        std::string ancestor = cut == 0 ? std::string(1, kSep) : full.substr(0, cut);
        if (aDirectory_Exists(ancestor.c_str())) {
            start = cut;
            break;
        }
    }

    // Down from there, one component at a time; doubled separators give
    // empty components, which are skipped.
    for (size_t cut = full.find(kSep, start + 1); cut != std::string::npos; cut = full.find(kSep, cut + 1)) {
        if (full[cut - 1] == kSep)
            continue;
        if (!sMake(full.substr(0, cut), mode))
            return aErrPermission;
    }
    if (!sMake(full, mode))
        return aErrPermission;
    // EEXIST from a file in the way is not a directory.
    return aDirectory_Exists(path) ? aErrNone : aErrPermission;
}

aErr aDirectory_List(const char* path, aDirectoryListProc callback, void* context)
{
    if (!path || !callback)
        return aErrParam;
    DIR* dir = opendir(path);
    if (!dir)
        return aErrNotFound;
    char full[aDIRECTORY_LIST_PATH_SIZE];
    for (struct dirent* entry = readdir(dir); entry; entry = readdir(dir)) {
        struct stat info;
        if (aDirectory_JoinPath(full, sizeof full, path, entry->d_name) != aErrNone)
            continue;
        if (stat(full, &info) != 0)
            continue;
        aDirectoryListData data;
        data.path = full;
        data.size = static_cast<uint32_t>(info.st_size);
        data.isDirectory = S_ISDIR(info.st_mode) ? 1 : 0;
        if (!callback(&data, context))
            break;
    }
    closedir(dir);
    return aErrNone;
}

aErr aDirectory_Delete(const char* path)
{
    if (!path)
        return aErrParam;
    return rmdir(path) == 0 ? aErrNone : aErrUnknown;
}

aErr aDirectory_DeleteTree(const char* path)
{
    if (!path)
        return aErrParam;
    DIR* dir = opendir(path);
    if (!dir)
        return aErrNotFound;
    for (struct dirent* entry = readdir(dir); entry; entry = readdir(dir)) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0)
            continue;
        std::string child = std::string(path) + kSep + entry->d_name;
        // lstat: a symbolic link to a directory is removed as a link, never
        // followed into a tree outside this one.
        struct stat info;
        if (lstat(child.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
            if (aDirectory_DeleteTree(child.c_str()) != aErrNone)
                break;
        } else if (unlink(child.c_str()) != 0) {
            perror("aDirectory_DeleteTree");
            printf("---error unlink-ing file [%s]\n", child.c_str());
            break;
        }
    }
    closedir(dir);
    return aDirectory_Delete(path);
}

aErr aDirectory_CWD(char* buffer, size_t size)
{
    // getcwd() would allocate for a null buffer.
    if (!buffer || size == 0)
        return aErrParam;
    return getcwd(buffer, size) ? aErrNone : aErrParam;
}

aErr aDirectory_ExecutableFilePath(char* buffer, size_t size)
{
    if (!buffer || size == 0)
        return aErrParam;
    ssize_t length = readlink("/proc/self/exe", buffer, size - 1);
    if (length < 0) {
        buffer[0] = '\0';
        return aErrRead;
    }
    buffer[length] = '\0';
    return aErrNone;
}

aErr aDirectory_GetHomeDirectory(char* buffer, size_t size)
{
    if (!buffer || size == 0)
        return aErrParam;
    buffer[0] = '\0';
    const char* home = NULL;
    struct passwd entry;
    struct passwd* found = NULL;
    long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> scratch(hint > 0 ? static_cast<size_t>(hint) : 16384);
    if (getpwuid_r(getuid(), &entry, scratch.data(), scratch.size(), &found) == 0 && found && found->pw_dir && *found->pw_dir)
        home = found->pw_dir;
    else
        home = getenv("HOME");
    if (!home || !*home)
        return aErrNotFound;
    // A cut home directory would name some other directory.
    if (strlen(home) >= size)
        return aErrOverrun;
    strcpy(buffer, home);
    return aErrNone;
}

aErr aDirectory_JoinPath(char* buffer, size_t size, const char* first, const char* second)
{
    return aDirectory_BuildPath(buffer, size, first, second, static_cast<const char*>(NULL));
}

static bool sOverlaps(const char* buffer, size_t size, const char* part)
{
    return part == buffer || (part > buffer && part < buffer + size);
}

static aErr sOverrun(char* buffer)
{
    buffer[0] = '\0';   // never leave a cut path behind
    return aErrOverrun;
}

aErr aDirectory_BuildPath(char* buffer, size_t size, const char* first, ...)
{
    const char* parts[aDIRECTORY_MAX_PARTS - 1];
    size_t count = 0;
    bool tooMany = false;
    va_list args;
    va_start(args, first);
    for (const char* part = va_arg(args, const char*); part; part = va_arg(args, const char*)) {
        if (count == aDIRECTORY_MAX_PARTS - 1) {
            tooMany = true;
            break;
        }
        parts[count++] = part;
    }
    va_end(args);

    if (!buffer)
        return aErrParam;
    // A part inside the buffer would be overwritten while it is copied, so
    // then the buffer is left as it is.
    bool overlap = first && sOverlaps(buffer, size, first);
    for (size_t i = 0; i < count; ++i)
        overlap = overlap || sOverlaps(buffer, size, parts[i]);
    if (!overlap && size > 0)
        buffer[0] = '\0';
    if (!first || tooMany || overlap)
        return aErrParam;
    if (size == 0)
        return aErrOverrun;

    size_t length = strlen(first);
    if (length >= size - 1)
        return sOverrun(buffer);
    memcpy(buffer, first, length + 1);

    for (size_t i = 0; i < count; ++i) {
        size_t room = size - length - 1;
        if (room > 1 && (length == 0 || buffer[length - 1] != kSep) && parts[i][0] != kSep) {
            buffer[length++] = kSep;
            buffer[length] = '\0';
            --room;
        }
        size_t partLength = strlen(parts[i]);
        if (partLength >= room)
            return sOverrun(buffer);
        memcpy(buffer + length, parts[i], partLength + 1);
        length += partLength;
    }
    return aErrNone;
}
