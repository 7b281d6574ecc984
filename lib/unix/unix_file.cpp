#include "aFile.h"

#include <errno.h>
#include <limits.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

static bool sPathLengthOK(const char* path)
{
    return strnlen(path, aFILE_MAXPATH + 1) <= aFILE_MAXPATH;
}

static bool sCanRead(aFileRef file)
{
    return file->mode == aFileModeRead || file->mode == aFileModeAppend;
}

static bool sCanWrite(aFileRef file)
{
    return file->mode == aFileModeWrite || file->mode == aFileModeAppend;
}

// An update stream ("ab+") must not switch between reading and writing
// without a positioning call in between (C11 7.21.5.3).
static void sPrepareDirection(aFileRef file)
{
    if (file->mode == aFileModeAppend)
        fseeko(file->file, 0, SEEK_CUR);
}

bool aFile_Exists(const char* path)
{
    struct stat info;
    return path && sPathLengthOK(path) && stat(path, &info) == 0 && !S_ISDIR(info.st_mode);
}

aFileRef aFile_Open(const char* path, int32_t mode)
{
    if (!path || !*path || !sPathLengthOK(path))
        return NULL;
    const char* how;
    switch (mode) {
    case aFileModeRead: how = "rb"; break;
    case aFileModeWrite: how = "wb"; break;
    case aFileModeAppend: how = "ab+"; break;
    default: return NULL;
    }
    aFileRecord* file = static_cast<aFileRecord*>(malloc(sizeof(aFileRecord)));
    if (!file)
        return NULL;
    file->file = fopen(path, how);
    if (!file->file) {
        free(file);
        return NULL;
    }
    if (mode == aFileModeAppend)
        fseeko(file->file, 0, SEEK_END);
    file->mode = mode;
    file->check = aFILE_MAGIC;
    return file;
}

aErr aFile_Close(aFileRef* file)
{
    if (!file)
        return aErrParam;
    aFileRef handle = *file;
    *file = NULL;
    if (!aVALIDFILE(handle))
        return aErrParam;
    // fclose flushes what is still buffered; a failure there is lost data.
    int closed = fclose(handle->file);
    handle->check = 0;
    free(handle);
    return closed == 0 ? aErrNone : aErrIO;
}

aErr aFile_Read(aFileRef file, uint8_t* buffer, size_t length, size_t* read)
{
    if (read)
        *read = 0;
    if (!aVALIDFILE(file) || !buffer)
        return aErrParam;
    if (!sCanRead(file))
        return aErrMode;
    sPrepareDirection(file);
    size_t count = fread(buffer, 1, length, file->file);
    if (read)
        *read = count;
    if (count == 0 && length > 0)
        return ferror(file->file) ? aErrIO : aErrEOF;
    return aErrNone;
}

aErr aFile_Write(aFileRef file, const uint8_t* data, size_t length, size_t* written)
{
    if (written)
        *written = 0;
    if (!aVALIDFILE(file) || !data)
        return aErrParam;
    if (!sCanWrite(file))
        return aErrMode;
    sPrepareDirection(file);
    size_t count = fwrite(data, 1, length, file->file);
    if (written)
        *written = count;
    // A short write loses data just as surely as no write at all.
    return count < length ? aErrIO : aErrNone;
}

// Size by seeking to the end and back, so bytes still buffered count.
static aErr sSize(FILE* stream, off_t* size)
{
    off_t here = ftello(stream);
    if (here < 0 || fseeko(stream, 0, SEEK_END) != 0)
        return aErrIO;
    off_t end = ftello(stream);
    if (fseeko(stream, here, SEEK_SET) != 0 || end < 0)
        return aErrIO;
    *size = end;
    return aErrNone;
}

aErr aFile_Seek(aFileRef file, int64_t offset, int origin)
{
    if (!aVALIDFILE(file))
        return aErrParam;
    off_t size = 0;
    if (sSize(file->file, &size) != aErrNone)
        return aErrIO;
    off_t base = 0;
    if (origin == 1) {
        base = ftello(file->file);
        if (base < 0)
            return aErrIO;
    } else if (origin == 2) {
        base = size;
    }
    // base + offset within [0, size], written so that nothing can overflow.
    if (offset < -static_cast<int64_t>(base) || offset > static_cast<int64_t>(size - base))
        return aErrRange;
    if (fseeko(file->file, base + offset, SEEK_SET) != 0)
        return aErrIO;
    return aErrNone;
}

aErr aFile_GetSize(aFileRef file, size_t* size)
{
    if (size)
        *size = 0;
    if (!size || !aVALIDFILE(file))
        return aErrParam;
    off_t end = 0;
    if (sSize(file->file, &end) != aErrNone)
        return aErrIO;
    *size = static_cast<size_t>(end);
    return aErrNone;
}

aErr aFile_Delete(const char* path)
{
    if (!path)
        return aErrParam;
    if (!sPathLengthOK(path))
        return aErrFileNameLength;
    if (unlink(path) == 0)
        return aErrNone;
    switch (errno) {
    case ENOENT: return aErrNotFound;
    case EACCES:
    case EPERM: return aErrPermission;
    default: return aErrIO;
    }
}

aErr aFile_ReadLine(aFileRef file, char* buffer, size_t size, size_t* length)
{
    if (length)
        *length = 0;
    if (buffer && size > 0)
        buffer[0] = '\0';
    if (!aVALIDFILE(file))
        return aErrParam;
    if (!sCanRead(file))
        return aErrMode;
    // Below two bytes no character fits and a caller looping on aErrOverrun
    // would never advance.
    if (!buffer || size < 2)
        return aErrParam;
    int capacity = size > INT_MAX ? INT_MAX : static_cast<int>(size);
    sPrepareDirection(file);
    if (!fgets(buffer, capacity, file->file)) {
        buffer[0] = '\0';
        return feof(file->file) ? aErrEOF : aErrIO;
    }
    size_t count = strlen(buffer);
    if (length)
        *length = count;
    if (count > 0 && count == static_cast<size_t>(capacity) - 1 && buffer[count - 1] != '\n') {
        // A last line that fills the buffer exactly was read whole.
        int next = getc(file->file);
        if (next == EOF)
            return aErrNone;
        ungetc(next, file->file);
        return aErrOverrun;
    }
    return aErrNone;
}

aErr aFile_SetUnbuffered(aFileRef file)
{
    if (!aVALIDFILE(file))
        return aErrParam;
    if (!sCanWrite(file))
        return aErrMode;
    fflush(file->file);
    if (setvbuf(file->file, NULL, _IONBF, 0) != 0)
        return aErrMode;
    return aErrNone;
}

aErr aFile_GetPosition(aFileRef file, size_t* position)
{
    if (!aVALIDFILE(file) || !position)
        return aErrParam;
    off_t here = ftello(file->file);
    if (here < 0)
        return aErrIO;
    *position = static_cast<size_t>(here);
    return aErrNone;
}

aErr aFile_Printf(aFileRef file, const char* format, ...)
{
    if (!aVALIDFILE(file) || !format)
        return aErrParam;
    if (!sCanWrite(file))
        return aErrMode;
    sPrepareDirection(file);
    va_list args;
    va_start(args, format);
    int written = vfprintf(file->file, format, args);
    va_end(args);
    return written < 0 ? aErrIO : aErrNone;
}
