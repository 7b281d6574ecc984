#ifndef QUORVEL_PATH_H
#define QUORVEL_PATH_H

#include <string>

// Joins the parts with "/" (always inserted, even next to an existing "/").
// The list of further parts ends with a null pointer.
std::string BuildPath(const char* first, ...);

#endif
