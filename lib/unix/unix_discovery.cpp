#include "unix_discovery.h"

#include <arpa/inet.h>
#include <errno.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "lxusb_context.h"
#include "lxusb_driver.h"

// ---------------------------------------------------------------------------
// USB

#define sUSB_SERIAL_BUFFER_SIZE 32

// The module's serial number from its serial-number string: exactly eight
// hexadecimal digits. Anything else (including a text with other characters,
// which would otherwise read as some other module's number) is not a module.
static bool sParseSerialText(const char* text, uint32_t* serialNumber)
{
    if (strlen(text) != LUMASTRIX_USB_SERIAL_LENGTH)
        return false;
    uint32_t value = 0;
    for (const char* c = text; *c; c++) {
        int digit;
        if (*c >= '0' && *c <= '9')
            digit = *c - '0';
        else if (*c >= 'A' && *c <= 'F')
            digit = *c - 'A' + 10;
        else if (*c >= 'a' && *c <= 'f')
            digit = *c - 'a' + 10;
        else
            return false;
        value = value << 4 | static_cast<uint32_t>(digit);
    }
    *serialNumber = value;
    return true;
}

// Reads the open device's identity into a USB specifier; false when it does
// not make a module.
static bool sReadUSBIdentity(libusb_device* usbDevice, libusb_device_handle* handle, linkSpec* spec)
{
    struct libusb_device_descriptor descriptor;
    if (libusb_get_device_descriptor(usbDevice, &descriptor) != LIBUSB_SUCCESS || descriptor.iSerialNumber == 0)
        return false;
    unsigned char text[sUSB_SERIAL_BUFFER_SIZE] = {0};
    if (libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber, text, sizeof text) < 0)
        return false;
    text[sizeof text - 1] = '\0';
    uint32_t serialNumber;
    if (!sParseSerialText(reinterpret_cast<const char*>(text), &serialNumber))
        return false;
    spec->type = USB;
    spec->serial_num = serialNumber;
    spec->model = descriptor.idProduct & LUMASTRIX_USB_MODEL_MASK;
    spec->usb_id = serialNumber;
    return true;
}

uint8_t aDiscovery_EnumerateUSBModules(aDiscoveryCallback callback, void* reference)
{
    if (!Lumastrix_libusb_context())
        Lumastrix_libusb_init();
    libusb_context* context = Lumastrix_libusb_context();
    if (!context)
        return 0;   // libusb cannot start here: no USB modules
    libusb_device** list = NULL;
    ssize_t devices = libusb_get_device_list(context, &list);
    if (devices < 0)
        return 0;

    uint8_t count = 0;
    bool goOn = true;
    for (ssize_t i = 0; i < devices && goOn; i++) {
        libusb_device_handle* handle = NULL;
        // A module held open elsewhere may refuse to open; it is then not listed.
        if (!is_lumastrix_device(list[i]) || libusb_open(list[i], &handle) != LIBUSB_SUCCESS)
            continue;
        linkSpec* spec = aLinkSpec_Create(USB);
        if (!spec)
            goOn = false;
        else if (sReadUSBIdentity(list[i], handle, spec))
            goOn = aDiscovery_Report(callback, spec, reference, &count);
        aLinkSpec_Destroy(&spec);
        libusb_close(handle);
    }
    libusb_free_device_list(list, 1);
    return count;
}

// ---------------------------------------------------------------------------
// TCP/IP

static uint32_t sLoadLE(const uint8_t* bytes, int size)
{
    uint32_t value = 0;
    for (int i = size - 1; i >= 0; i--)
        value = value << 8 | bytes[i];
    return value;
}

// The reply listener, up before any request goes out so no reply can be
// missed; -1 when it cannot be set up.
static int sOpenListener(void)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int on = 1;
    struct sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_port = htons(aDISCOVERY_REPLY_PORT);
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    struct timeval timeout = {aDISCOVERY_REPLY_TIMEOUT_MS / 1000, (aDISCOVERY_REPLY_TIMEOUT_MS % 1000) * 1000};
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0
        || bind(fd, reinterpret_cast<struct sockaddr*>(&local), sizeof local) != 0
        || setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Sends the request once on the interface with this address (network order;
// 0 lets the system choose). True when it went out.
static bool sSendRequest(uint32_t interfaceAddress)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    int on = 1;
    struct in_addr outgoing;
    outgoing.s_addr = interfaceAddress;
    struct sockaddr_in group = {};
    group.sin_family = AF_INET;
    group.sin_port = htons(aDISCOVERY_REQUEST_PORT);
    inet_pton(AF_INET, aDISCOVERY_GROUP, &group.sin_addr);
    uint8_t request[aDISCOVERY_MESSAGE_SIZE] = {aDISCOVERY_REQUEST_TAG};
    bool sent = setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0
                && setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &outgoing, sizeof outgoing) == 0
                && sendto(fd, request, sizeof request, 0, reinterpret_cast<struct sockaddr*>(&group), sizeof group)
                       == static_cast<ssize_t>(sizeof request);
    close(fd);
    return sent;
}

// One request per local IPv4 interface address except loopback and the
// unspecified address; the number that went out.
static int sSendRequests(void)
{
    struct ifaddrs* interfaces = NULL;
    if (getifaddrs(&interfaces) != 0)
        return sSendRequest(htonl(INADDR_ANY)) ? 1 : 0;
    int sent = 0;
    for (struct ifaddrs* i = interfaces; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET)
            continue;
        uint32_t address = reinterpret_cast<struct sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr;
        if (address == htonl(INADDR_LOOPBACK) || address == htonl(INADDR_ANY))
            continue;
        if (sSendRequest(address))
            sent++;
    }
    freeifaddrs(interfaces);
    return sent;
}

// The next reply as a TCP/IP specifier; false once the listener times out or
// fails. Datagrams shorter than a reply are not replies and are passed over.
static bool sReceiveReply(int listener, linkSpec* spec)
{
    for (;;) {
        uint8_t reply[aDISCOVERY_MESSAGE_SIZE] = {0};
        struct sockaddr_in from = {};
        socklen_t fromLength = sizeof from;
        ssize_t n = recvfrom(listener, reply, sizeof reply, 0, reinterpret_cast<struct sockaddr*>(&from), &fromLength);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n < static_cast<ssize_t>(sizeof reply) || from.sin_family != AF_INET)
            continue;
        memset(spec, 0, sizeof(linkSpec));
        spec->type = TCPIP;
        spec->module = reply[1];
        spec->router = reply[1];
        spec->port = sLoadLE(&reply[2], 2);
        spec->serial_num = sLoadLE(&reply[4], 4);
        spec->router_serial_num = spec->serial_num;
        spec->model = reply[12];
        spec->ip_address = from.sin_addr.s_addr;
        return true;
    }
}

uint8_t aDiscovery_EnumerateTCPIPModules(aDiscoveryCallback callback, void* reference)
{
    int listener = sOpenListener();
    if (listener < 0)
        return 0;   // no replies could be heard, so no request is sent
    uint8_t count = 0;
    if (sSendRequests() > 0) {
        // Replies are not de-duplicated: a module heard on two interfaces is two entries.
        bool goOn = true;
        while (goOn) {
            linkSpec* spec = aLinkSpec_Create(TCPIP);
            if (!spec)
                break;
            if (sReceiveReply(listener, spec))
                goOn = aDiscovery_Report(callback, spec, reference, &count);
            else
                goOn = false;
            aLinkSpec_Destroy(&spec);
        }
    }
    close(listener);
    return count;
}
