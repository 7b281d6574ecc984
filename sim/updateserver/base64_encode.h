#ifndef UPDATESERVER_BASE64_ENCODE_H
#define UPDATESERVER_BASE64_ENCODE_H

#include <string>

namespace updateserver {

// RFC 4648 Base64 with "=" padding, no line breaks.
std::string base64_encode(const std::string& bytes);

}  // namespace updateserver

#endif
