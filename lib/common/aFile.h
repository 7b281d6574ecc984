#ifndef _aFile_H_
#define _aFile_H_

#include <stdint.h>
#include <stddef.h>
#include <stdio.h>
#include "aError.h"

#define aFILE_MAGIC 0xFEED
#define aFILE_MAXPATH 4096

typedef enum { aFileModeRead = 0, aFileModeWrite = 1, aFileModeAppend = 2 } aFileMode;

typedef struct aFileRecord {
    FILE* file;
    int32_t mode;     // aFileMode
    uint16_t check;   // aFILE_MAGIC while open
} aFileRecord;

typedef aFileRecord* aFileRef;

#define aVALIDFILE(f) ((f) != NULL && (f)->check == aFILE_MAGIC)

bool aFile_Exists(const char* path);
aFileRef aFile_Open(const char* path, int32_t mode);
aErr aFile_Close(aFileRef* file);
aErr aFile_Read(aFileRef file, uint8_t* buffer, size_t length, size_t* read);
aErr aFile_Write(aFileRef file, const uint8_t* data, size_t length, size_t* written);
// origin: 1 current position, 2 end, anything else start.
aErr aFile_Seek(aFileRef file, int64_t offset, int origin);
aErr aFile_GetSize(aFileRef file, size_t* size);
aErr aFile_Delete(const char* path);
aErr aFile_ReadLine(aFileRef file, char* buffer, size_t size, size_t* length);
aErr aFile_SetUnbuffered(aFileRef file);
aErr aFile_GetPosition(aFileRef file, size_t* position);
aErr aFile_Printf(aFileRef file, const char* format, ...) __attribute__((format(printf, 2, 3)));

#endif
