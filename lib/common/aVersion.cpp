#include "aVersion.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define aVERSION_CURRENT_TAG 0x2F000000u
#define aVERSION_STRING_SIZE 15

typedef struct {
    const char* name;
    const char* description;
} aFeature;

static const aFeature FEATS[] = {
    {"VERSION", "Version Query API"},
};
#define NUM_FEATS (sizeof(FEATS) / sizeof(FEATS[0]))
static const char kFeatureSeparator[] = " - ";

uint8_t aVersion_GetMajor(void) { return aVERSION_MAJOR; }
uint8_t aVersion_GetMinor(void) { return aVERSION_MINOR; }
uint8_t aVersion_GetPatch(void) { return aVERSION_PATCH; }

const char* aVersion_GetString(void)
{
    // Built once; a function-local static is initialised safely even when
    // several threads ask first at the same time.
    static const struct Text {
        char text[aVERSION_STRING_SIZE];
        Text() : text()
        {
            snprintf(text, sizeof text, "%d.%d%s%d", aVERSION_MAJOR, aVERSION_MINOR, aVERSION_PHASE, aVERSION_PATCH);
        }
    } version;
    return version.text;
}

bool aVersion_IsAtLeastCompare(uint8_t a1, uint8_t a2, uint8_t a3, uint8_t b1, uint8_t b2, uint8_t b3)
{
    if (a1 != b1)
        return a1 > b1;
    if (a2 != b2)
        return a2 > b2;
    return a3 >= b3;
}

bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch)
{
    return aVersion_IsAtLeastCompare(aVERSION_MAJOR, aVERSION_MINOR, aVERSION_PATCH, major, minor, patch);
}

uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch)
{
    // The legacy layout holds majors 0..2 and minors 0..15 (0..14 for major 2,
    // whose 2.15 would read as the current tag). Anything else would be cut,
    // so it takes the current layout, which holds every triple.
    bool legacy = major < 2 ? minor <= 15 : (major == 2 && minor <= 14);
    if (!legacy)
        return aVERSION_CURRENT_TAG | uint32_t{major} << 16 | uint32_t{minor} << 8 | patch;
    return uint32_t{major} << 28 | uint32_t{minor & 0x0Fu} << 24 | patch;
}

bool aVersion_IsLegacyFormat(uint32_t packed)
{
    uint32_t major = packed >> 28;
    uint32_t minor = (packed >> 24) & 0x0F;
    return major < 2 || (major == 2 && minor < 15);
}

uint8_t aVersion_ParseMajor(uint32_t packed)
{
    return static_cast<uint8_t>(aVersion_IsLegacyFormat(packed) ? packed >> 28 : (packed >> 16) & 0xFF);
}

uint8_t aVersion_ParseMinor(uint32_t packed)
{
    return static_cast<uint8_t>(aVersion_IsLegacyFormat(packed) ? (packed >> 24) & 0x0F : (packed >> 8) & 0xFF);
}

uint32_t aVersion_ParsePatch(uint32_t packed)
{
    return aVersion_IsLegacyFormat(packed) ? packed & 0x00FFFFFFu : packed & 0xFFu;
}

int aVersion_ParseString(uint32_t packed, char* buffer, size_t size)
{
    return snprintf(buffer, size, "%d.%d.%u", aVersion_ParseMajor(packed), aVersion_ParseMinor(packed),
                    static_cast<unsigned>(aVersion_ParsePatch(packed)));
}

bool aVersion_HasFeature(const char* name)
{
    if (!name)
        return false;
    for (size_t i = 0; i < NUM_FEATS; ++i)
        if (strcmp(FEATS[i].name, name) == 0)
            return true;
    return false;
}

char* aVersion_GetFeatureList(void)
{
    size_t size = 1;
    for (size_t i = 0; i < NUM_FEATS; ++i)
        size += strlen(FEATS[i].name) + strlen(kFeatureSeparator) + strlen(FEATS[i].description) + 1;
    char* list = static_cast<char*>(malloc(size));
    if (!list)
        return NULL;
    list[0] = '\0';
    for (size_t i = 0; i < NUM_FEATS; ++i) {
        if (i > 0)
            strcat(list, "\n");
        strcat(list, FEATS[i].name);
        strcat(list, kFeatureSeparator);
        strcat(list, FEATS[i].description);
    }
    return list;
}

void aVersion_DestroyFeatureList(char** list)
{
    if (!list)
        return;
    free(*list);
    *list = NULL;
}
