#ifndef _aUEIEncoding_H_
#define _aUEIEncoding_H_

// UEI exchanges on the wire: the record of one exchange (`uei`), the request
// frames made from it, and the filters that pick the module's replies out of
// a link's inbound queue.
//
// Request data: command, option | aUEI_GET or aUEI_SET, index | aUEI_INDEX_REQUEST,
// then an optional subindex byte, then the value big-endian (none, 1, 2 or 4
// bytes). A set without value is a call. Replies carry the bare option (get)
// or option | aUEI_SET_REPLY (set); an error reply has aUEI_INDEX_ERROR in the
// index byte and an aErr code as its value.
//
// A byte string travels as frames of up to aUEI_BYTES_CHUNK value bytes, each
// followed by a trailer: sequence number (0, 1, ...) in the low seven bits,
// aUEI_BYTES_MORE while frames follow. An empty string is one frame with
// trailer 0.

#include <stddef.h>
#include <stdint.h>

#include "aError.h"
#include "aPacket.h"

// Option byte flags.
#define aUEI_OPTION_MASK 0x3F
#define aUEI_GET 0x40
#define aUEI_SET 0x80
#define aUEI_SET_REPLY 0xC0
// Index byte flags.
#define aUEI_INDEX_MASK 0x1F
#define aUEI_INDEX_REQUEST 0x20
#define aUEI_INDEX_STREAM 0x40
#define aUEI_INDEX_ERROR 0x80
// Header bytes of every UEI frame: command, option, index.
#define aUEI_HEADER 3
// Multi-packet byte strings.
#define aUEI_BYTES_CHUNK 24
#define aUEI_BYTES_MAX_FRAMES 128
#define aUEI_BYTES_MAX (aUEI_BYTES_CHUNK * aUEI_BYTES_MAX_FRAMES)
#define aUEI_BYTES_MORE 0x80
#define aUEI_BYTES_SEQUENCE_MASK 0x7F

// Value types of a record.
enum {
    kUEIVoid = 0,
    kUEIByte = 1,
    kUEIShort = 2,
    kUEIInt = 4,
    kUEIBytes = 5
};

// One UEI exchange. In a received record the index keeps aUEI_INDEX_ERROR for
// an error reply, whose code is then in value.byteVal whatever the type.
typedef struct uei {
    uint8_t module;     // module address
    uint8_t command;
    uint8_t option;     // as sent, or as expected in the reply, flags included
    uint8_t index;
    union {
        uint8_t byteVal;
        uint16_t shortVal;
        uint32_t intVal;
        struct {
            uint8_t* data;       // what to send, or where the next received chunk goes
            uint8_t sequence;    // next (sending) or expected (receiving) sequence number
            bool more;           // the last frame taken said more follow
            size_t length;       // bytes to send, or the receiving buffer's capacity
            size_t* received;    // bytes received so far
        } bytes;
    } value;
    int32_t valueType;
} uei;

// The request frame of a record whose value is void, byte, short or int, to
// the record's module. Null for another value type or when memory runs out.
aPacket* aUEI_CreateRequest(const uei* record);
// The same with the subindex byte after the index byte.
aPacket* aUEI_CreateSubindexRequest(const uei* record, uint8_t subindex);

// Frames a byte string of this length takes (an empty string takes one).
size_t aUEI_BytesFrameCount(size_t length);
// Frame `sequence` of the record's byte string (value.bytes.data and .length).
// Null when the frame lies beyond the string, the string is longer than
// aUEI_BYTES_MAX, its data is missing, or memory runs out.
aPacket* aUEI_CreateBytesFrame(const uei* record, size_t sequence);

// The UEI filter (an aPacketFilter; the reference is the uei record):
// accepts a packet from record.module of length above 2 whose command and
// option bytes equal the record's and whose index bits equal record.index.
// An accepted error reply sets index (error flag kept) and byteVal to its
// code; any other accepted reply of length 3, 4, 5 or 7 stores its value and
// type, other lengths leave them. An error reply without a usable code
// (none, or 0) is reported as aErrUnknown, never as success.
bool aUEI_Filter(const aPacket* packet, void* record);

// The filter of a multi-packet read: matches like aUEI_Filter and takes error
// replies the same way; otherwise takes only the frame whose sequence number
// is value.bytes.sequence, copying its chunk to value.bytes.data when it fits
// within value.bytes.length (then advancing data and *received, and setting
// sequence and more from the trailer). A chunk that does not fit turns the
// record into an error reply with code aErrMemory.
bool aUEI_BytesFilter(const aPacket* packet, void* record);

#endif
