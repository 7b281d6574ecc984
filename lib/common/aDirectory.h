#ifndef _aDirectory_H_
#define _aDirectory_H_

#include <stdint.h>
#include <stddef.h>
#include <sys/types.h>
#include "aError.h"

#define aDIR_PATH_SEP "/"
#define aDIRECTORY_LIST_PATH_SIZE 2048
#define aDIRECTORY_MAX_PARTS 10

typedef struct aDirectoryListData {
    const char* path;      // the listed directory joined with the entry's name
    uint32_t size;         // low 32 bits of the entry's size
    int32_t isDirectory;   // 1 for a directory
} aDirectoryListData;

// Return false to stop the listing.
typedef bool (*aDirectoryListProc)(const aDirectoryListData* data, void* context);

bool aDirectory_Exists(const char* path);
aErr aDirectory_Ensure(const char* path, mode_t mode);
aErr aDirectory_List(const char* path, aDirectoryListProc callback, void* context);
aErr aDirectory_Delete(const char* path);
aErr aDirectory_DeleteTree(const char* path);
aErr aDirectory_CWD(char* buffer, size_t size);
aErr aDirectory_ExecutableFilePath(char* buffer, size_t size);
aErr aDirectory_GetHomeDirectory(char* buffer, size_t size);
aErr aDirectory_JoinPath(char* buffer, size_t size, const char* first, const char* second);
// Parts after `first` end with a null pointer; at most ten parts in all.
aErr aDirectory_BuildPath(char* buffer, size_t size, const char* first, ...) __attribute__((sentinel));

#endif
