#include "aDefs.h"

#include <stdlib.h>
#include <string.h>

linkSpec* aLinkSpec_Create(linkType type)
{
    linkSpec* spec = static_cast<linkSpec*>(calloc(1, sizeof(linkSpec)));
    if (spec)
        spec->type = type;
    return spec;
}

linkSpec* aLinkSpec_Copy(const linkSpec* spec)
{
    if (!spec)
        return NULL;
    linkSpec* copy = static_cast<linkSpec*>(malloc(sizeof(linkSpec)));
    if (copy)
        memcpy(copy, spec, sizeof(linkSpec));
    return copy;
}

aErr aLinkSpec_Destroy(linkSpec** spec)
{
    if (!spec || !*spec)
        return aErrParam;
    free(*spec);
    *spec = NULL;
    return aErrNone;
}

const char* aDefs_GetModelName(uint32_t model)
{
    switch (model) {
    case aMODEL_AVOLIN: return "Avolin";
    case aMODEL_BREVON: return "Brevon";
    case aMODEL_CINDREL: return "Cindrel";
    case aMODEL_DORVATH: return "Dorvath";
    case aMODEL_ELVANE: return "Elvane";
    case aMODEL_FENRIK: return "Fenrik";
    case aMODEL_GORLAN: return "Gorlan";
    case aMODEL_HARVEL: return "Harvel";
    case aMODEL_ISTREL: return "Istrel";
    case aMODEL_JEMORA: return "Jemora";
    case aMODEL_KAVRIN: return "Kavrin";
    case aMODEL_LOMIRA: return "Lomira";
    case aMODEL_MERVAN: return "Mervan";
    case aMODEL_NORLIX: return "Norlix";
    default: return "Unknown";
    }
}
