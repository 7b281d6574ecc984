#ifndef _aDefs_H_
#define _aDefs_H_

#include <stddef.h>
#include <stdint.h>

// How a module is reached.
typedef enum {
    INVALID = 0,
    USB = 1,
    TCPIP = 2,
    SERIAL = 3,
    AWEAVE = 4
} linkType;

#define aLINKSPEC_SIZE 128
#define aLINKSPEC_SERIAL_PORT_SIZE 100

// Names one reachable module and how to reach it. Also a wire record (link
// servers publish it byte for byte), so the layout is fixed: 128 bytes,
// integers little-endian (this library runs on little-endian hosts only).
typedef struct linkSpec {
    int32_t type;                // linkType
    uint32_t serial_num;
    uint32_t module;             // address on its network, 0 until learnt
    uint32_t router;             // address of the routing module
    uint32_t router_serial_num;
    uint32_t model;              // low 8 bits significant
    // Variant part by type (anonymous so callers write spec.ip_address).
    union {
        struct { uint32_t usb_id; };                                          // USB: repeats serial_num
        struct { uint32_t ip_address; uint32_t port; };                       // TCPIP, AWEAVE: address in network order
        struct { uint32_t baud_rate; char serial_port[aLINKSPEC_SERIAL_PORT_SIZE]; };  // SERIAL
        uint8_t variant[104];
    };
} linkSpec;

static_assert(sizeof(linkSpec) == aLINKSPEC_SIZE, "linkSpec is a 128-byte wire record");
static_assert(offsetof(linkSpec, type) == 0, "linkSpec layout");
static_assert(offsetof(linkSpec, serial_num) == 4, "linkSpec layout");
static_assert(offsetof(linkSpec, module) == 8, "linkSpec layout");
static_assert(offsetof(linkSpec, router) == 12, "linkSpec layout");
static_assert(offsetof(linkSpec, router_serial_num) == 16, "linkSpec layout");
static_assert(offsetof(linkSpec, model) == 20, "linkSpec layout");
static_assert(offsetof(linkSpec, usb_id) == 24, "linkSpec layout");
static_assert(offsetof(linkSpec, ip_address) == 24, "linkSpec layout");
static_assert(offsetof(linkSpec, port) == 28, "linkSpec layout");
static_assert(offsetof(linkSpec, baud_rate) == 24, "linkSpec layout");
static_assert(offsetof(linkSpec, serial_port) == 28, "linkSpec layout");

#include "aError.h"

linkSpec* aLinkSpec_Create(linkType type);
linkSpec* aLinkSpec_Copy(const linkSpec* spec);
aErr aLinkSpec_Destroy(linkSpec** spec);

// Model numbers of the device family.
#define aMODEL_AVOLIN 4
#define aMODEL_BREVON 5
#define aMODEL_CINDREL 13
#define aMODEL_DORVATH 14
#define aMODEL_ELVANE 15
#define aMODEL_FENRIK 16
#define aMODEL_GORLAN 17
#define aMODEL_HARVEL 18
#define aMODEL_ISTREL 19
#define aMODEL_JEMORA 20
#define aMODEL_KAVRIN 21
#define aMODEL_LOMIRA 22
#define aMODEL_MERVAN 23
#define aMODEL_NORLIX 24

// Name of a model number; "Unknown" for numbers outside the family.
const char* aDefs_GetModelName(uint32_t model);

#endif
