#ifndef QUORVEL_USBBUS_CONTROL_H
#define QUORVEL_USBBUS_CONTROL_H

// The control side of the virtual USB bus: where a bus lives and how a
// program (a test, the virtual module program) attaches a device to it.
// Header-only so that any program can use it without linking the stand-in.
//
// A bus is a directory named by $QUORVEL_USBBUS_DIR. Each device is a file
// "<name>.dev" of "key = value" lines (see README.md) and a UNIX stream
// socket "<name>.sock" on which the device's program accepts the byte pipe.

#include <fcntl.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace usbbus {

inline constexpr const char* kDirEnv = "QUORVEL_USBBUS_DIR";
inline constexpr const char* kBusFile = "bus.conf";
inline constexpr const char* kDeviceSuffix = ".dev";
inline constexpr const char* kSocketSuffix = ".sock";
inline constexpr const char* kLogSuffix = ".log";
inline constexpr const char* kClaimSuffix = ".claim";

inline std::string DevicePath(const std::string& dir, const std::string& name)
{
    return dir + "/" + name + kDeviceSuffix;
}
inline std::string SocketPath(const std::string& dir, const std::string& name)
{
    return dir + "/" + name + kSocketSuffix;
}
inline std::string LogPath(const std::string& dir, const std::string& name)
{
    return dir + "/" + name + kLogSuffix;
}

// Writes a file whole under a temporary name and renames it into place, so
// the stand-in never reads half a file. Rewriting a device file re-arms its
// counted faults.
inline bool WriteFileAtomically(const std::string& path, const std::string& text)
{
    std::string temp = path + ".tmp";
    FILE* f = fopen(temp.c_str(), "w");
    if (!f)
        return false;
    bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = fclose(f) == 0 && ok;
    return ok && rename(temp.c_str(), path.c_str()) == 0;
}

// Attaches (or re-configures) a device: text holds its "key = value" lines.
inline bool WriteDevice(const std::string& dir, const std::string& name, const std::string& text)
{
    return WriteFileAtomically(DevicePath(dir, name), text);
}

// Detaches a device: later device lists no longer show it. An open handle
// keeps its byte pipe until the device's program closes the socket.
inline bool RemoveDevice(const std::string& dir, const std::string& name)
{
    return unlink(DevicePath(dir, name).c_str()) == 0;
}

// The listening socket on which a device's program accepts the byte pipe
// (one connection per claim of the interface). Returns the descriptor or -1.
inline int ListenDevice(const std::string& dir, const std::string& name)
{
    std::string path = SocketPath(dir, name);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return -1;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    unlink(path.c_str());
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || listen(fd, 8) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace usbbus

#endif
