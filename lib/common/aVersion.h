#ifndef _aVersion_H_
#define _aVersion_H_

#include <stdint.h>
#include <stddef.h>

#define aVERSION_MAJOR 2
#define aVERSION_MINOR 10
#define aVERSION_PATCH 6
#define aVERSION_PHASE "."

uint8_t aVersion_GetMajor(void);
uint8_t aVersion_GetMinor(void);
uint8_t aVersion_GetPatch(void);
const char* aVersion_GetString(void);

bool aVersion_IsAtLeastCompare(uint8_t a1, uint8_t a2, uint8_t a3, uint8_t b1, uint8_t b2, uint8_t b3);
bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch);

// Packed firmware versions: current 0x2F|major|minor|patch, or legacy
// major:4 minor:4 patch:24.
uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch);
bool aVersion_IsLegacyFormat(uint32_t packed);
uint8_t aVersion_ParseMajor(uint32_t packed);
uint8_t aVersion_ParseMinor(uint32_t packed);
uint32_t aVersion_ParsePatch(uint32_t packed);
int aVersion_ParseString(uint32_t packed, char* buffer, size_t size);

bool aVersion_HasFeature(const char* name);
char* aVersion_GetFeatureList(void);
void aVersion_DestroyFeatureList(char** list);

#endif
