#include "usbbus_device.h"

#include <libusb.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <map>
#include <mutex>

#include "lxusb_identity.h"
#include "usbbus_control.h"

namespace usbbus {

DeviceConfig::DeviceConfig()
    : vendor(LUMASTRIX_USB_VENDOR_ID),
      interfaceClass(LUMASTRIX_USB_INTERFACE_CLASS),
      interfaceSubClass(LUMASTRIX_USB_INTERFACE_SUBCLASS),
      interfaceProtocol(LUMASTRIX_USB_INTERFACE_PROTOCOL),
      inErrorCode(LIBUSB_ERROR_IO),
      outErrorCode(LIBUSB_ERROR_IO)
{
}

std::string DeviceConfig::path() const
{
    return DevicePath(dir, name);
}

std::string BusDir()
{
    const char* dir = getenv(kDirEnv);
    return dir ? dir : "";
}

namespace {

const struct {
    const char* name;
    int error;
} kErrors[] = {
    {"ok", LIBUSB_SUCCESS},
    {"io", LIBUSB_ERROR_IO},
    {"invalid_param", LIBUSB_ERROR_INVALID_PARAM},
    {"access", LIBUSB_ERROR_ACCESS},
    {"no_device", LIBUSB_ERROR_NO_DEVICE},
    {"not_found", LIBUSB_ERROR_NOT_FOUND},
    {"busy", LIBUSB_ERROR_BUSY},
    {"timeout", LIBUSB_ERROR_TIMEOUT},
    {"overflow", LIBUSB_ERROR_OVERFLOW},
    {"pipe", LIBUSB_ERROR_PIPE},
    {"interrupted", LIBUSB_ERROR_INTERRUPTED},
    {"no_mem", LIBUSB_ERROR_NO_MEM},
    {"not_supported", LIBUSB_ERROR_NOT_SUPPORTED},
    {"other", LIBUSB_ERROR_OTHER},
};

std::string Trim(const std::string& s)
{
    size_t b = s.find_first_not_of(" \t\r");
    size_t e = s.find_last_not_of(" \t\r");
    return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

std::string Lower(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s;
}

bool ParseNumber(const std::string& text, long max, long* value)
{
    char* end = nullptr;
    long v = strtol(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0' || v < 0 || v > max)
        return false;
    *value = v;
    return true;
}

bool ParseBool(const std::string& text, bool* value)
{
    std::string t = Lower(text);
    if (t == "yes" || t == "1" || t == "true" || t == "on")
        *value = true;
    else if (t == "no" || t == "0" || t == "false" || t == "off")
        *value = false;
    else
        return false;
    return true;
}

// An endpoint address, or "none" for an endpoint the interface leaves out.
bool ParseEndpoint(const std::string& text, uint8_t* endpoint)
{
    long v;
    if (Lower(text) == "none") {
        *endpoint = 0;
        return true;
    }
    if (!ParseNumber(text, 0xFF, &v))
        return false;
    *endpoint = static_cast<uint8_t>(v);
    return true;
}

bool Apply(DeviceConfig* c, const std::string& key, const std::string& value)
{
    long n;
    auto u8 = [&](uint8_t* field) { return ParseNumber(value, 0xFF, &n) && (*field = static_cast<uint8_t>(n), true); };
    auto u16 = [&](uint16_t* field) { return ParseNumber(value, 0xFFFF, &n) && (*field = static_cast<uint16_t>(n), true); };
    auto count = [&](int* field) { return ParseNumber(value, 1000000, &n) && (*field = static_cast<int>(n), true); };
    auto error = [&](int* field) { return ErrorFromName(value, field); };

    if (key == "vendor") return u16(&c->vendor);
    if (key == "product") return u16(&c->product);
    if (key == "serial") { c->hasSerial = true; c->serial = value; return true; }
    if (key == "manufacturer") { c->manufacturer = value; return true; }
    if (key == "product_name") { c->productName = value; return true; }
    if (key == "interface") return u8(&c->interfaceNumber);
    if (key == "class") return u8(&c->interfaceClass);
    if (key == "subclass") return u8(&c->interfaceSubClass);
    if (key == "protocol") return u8(&c->interfaceProtocol);
    if (key == "ep_in") return ParseEndpoint(value, &c->inEndpoint);
    if (key == "ep_out") return ParseEndpoint(value, &c->outEndpoint);
    if (key == "extra_interface") return ParseBool(value, &c->extraInterface);
    if (key == "socket") { c->socketPath = value[0] == '/' ? value : c->dir + "/" + value; return true; }
    if (key == "log") return ParseBool(value, &c->log);
    if (key == "descriptor") return error(&c->descriptorError);
    if (key == "open") return error(&c->openError);
    if (key == "claim") return error(&c->claimError);
    if (key == "config") return error(&c->configError);
    if (key == "string") return error(&c->stringError);
    if (key == "clear_halt") return error(&c->clearHaltError);
    if (key == "in_error") return count(&c->inError);
    if (key == "in_error_code") return error(&c->inErrorCode);
    if (key == "out_error") return count(&c->outError);
    if (key == "out_error_code") return error(&c->outErrorCode);
    if (key == "in_stall") return count(&c->inStall);
    if (key == "out_stall") return count(&c->outStall);
    if (key == "in_timeout_data") return count(&c->inTimeoutData);
    if (key == "out_timeout") return count(&c->outTimeout);
    if (key == "out_timeout_partial") return count(&c->outTimeoutPartial);
    return false;
}

}  // namespace

bool ErrorFromName(const std::string& text, int* error)
{
    std::string t = Lower(Trim(text));
    if (t.rfind("libusb_error_", 0) == 0)
        t = t.substr(13);
    else if (t == "libusb_success")
        t = "ok";
    for (const auto& e : kErrors) {
        if (t == e.name) {
            *error = e.error;
            return true;
        }
    }
    char* end = nullptr;
    long v = strtol(t.c_str(), &end, 0);
    if (t.empty() || *end != '\0' || v > 0 || v < LIBUSB_ERROR_OTHER)
        return false;
    *error = static_cast<int>(v);
    return true;
}

const char* ErrorName(int error)
{
    for (const auto& e : kErrors)
        if (e.error == error)
            return e.name;
    return "other";
}

bool ParseDeviceFile(const std::string& dir, const std::string& name, DeviceConfig* config)
{
    *config = DeviceConfig();
    config->dir = dir;
    config->name = name;
    config->socketPath = SocketPath(dir, name);
    std::ifstream in(config->path());
    if (!in)
        return false;
    std::string line;
    for (int number = 1; std::getline(in, line); number++) {
        line = Trim(line.substr(0, line.find('#')));
        if (line.empty())
            continue;
        size_t eq = line.find('=');
        std::string key = eq == std::string::npos ? line : Lower(Trim(line.substr(0, eq)));
        std::string value = eq == std::string::npos ? "" : Trim(line.substr(eq + 1));
        if (eq == std::string::npos || !Apply(config, key, value))
            fprintf(stderr, "usbbus: %s:%d: ignored \"%s\"\n", config->path().c_str(), number, line.c_str());
    }
    return true;
}

int BusInitError(const std::string& dir)
{
    std::ifstream in(dir + "/" + kBusFile);
    std::string line;
    while (std::getline(in, line)) {
        line = Trim(line.substr(0, line.find('#')));
        size_t eq = line.find('=');
        int error = 0;
        if (eq != std::string::npos && Lower(Trim(line.substr(0, eq))) == "init"
            && ErrorFromName(line.substr(eq + 1), &error))
            return error;
    }
    return 0;
}

namespace {

// What the process knows of one device file: its identity when last read
// (a rewrite by rename gives a new inode) and the faults still armed.
struct Entry {
    ino_t inode = 0;
    struct timespec mtime = {};
    off_t size = -1;
    DeviceConfig config;
};

std::mutex gLock;
std::map<std::string, Entry> gEntries;

bool SameFile(const Entry& e, const struct stat& st)
{
    return e.inode == st.st_ino && e.size == st.st_size && e.mtime.tv_sec == st.st_mtim.tv_sec
           && e.mtime.tv_nsec == st.st_mtim.tv_nsec;
}

// Lock held. Reloads the entry when its file changed; null when unknown.
Entry* Refresh(const std::string& dir, const std::string& name)
{
    std::string path = DevicePath(dir, name);
    struct stat st;
    auto found = gEntries.find(path);
    if (stat(path.c_str(), &st) != 0)
        return found == gEntries.end() ? nullptr : &found->second;   // detached: keep what we knew
    if (found != gEntries.end() && SameFile(found->second, st))
        return &found->second;
    Entry fresh;
    if (!ParseDeviceFile(dir, name, &fresh.config))
        return found == gEntries.end() ? nullptr : &found->second;
    fresh.inode = st.st_ino;
    fresh.mtime = st.st_mtim;
    fresh.size = st.st_size;
    return &(gEntries[path] = fresh);
}

int* CounterOf(DeviceConfig* c, Counted which)
{
    switch (which) {
    case Counted::InError: return &c->inError;
    case Counted::OutError: return &c->outError;
    case Counted::InStall: return &c->inStall;
    case Counted::OutStall: return &c->outStall;
    case Counted::InTimeoutData: return &c->inTimeoutData;
    case Counted::OutTimeout: return &c->outTimeout;
    case Counted::OutTimeoutPartial: return &c->outTimeoutPartial;
    }
    return nullptr;
}

}  // namespace

bool CurrentConfig(const std::string& dir, const std::string& name, DeviceConfig* config)
{
    std::lock_guard<std::mutex> guard(gLock);
    Entry* e = Refresh(dir, name);
    if (!e)
        return false;
    *config = e->config;
    return true;
}

bool TakeFault(const std::string& dir, const std::string& name, Counted which)
{
    std::lock_guard<std::mutex> guard(gLock);
    Entry* e = Refresh(dir, name);
    int* counter = e ? CounterOf(&e->config, which) : nullptr;
    if (!counter || *counter <= 0)
        return false;
    (*counter)--;
    return true;
}

void LogCall(const std::string& dir, const std::string& name, const char* format, ...)
{
    std::lock_guard<std::mutex> guard(gLock);
    Entry* e = Refresh(dir, name);
    if (!e || !e->config.log)
        return;
    char line[256];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(line, sizeof line - 1, format, args);
    va_end(args);
    if (n < 0)
        return;
    size_t length = static_cast<size_t>(n) < sizeof line - 1 ? static_cast<size_t>(n) : sizeof line - 2;
    line[length++] = '\n';
    FILE* f = fopen(LogPath(dir, name).c_str(), "a");
    if (f) {
        fwrite(line, 1, length, f);
        fclose(f);
    }
}

}  // namespace usbbus
