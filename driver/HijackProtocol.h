// The control protocol between KorvaleNoQuorVallin.exe and its helper driver:
// one device, one control code, a 13-byte request and a 60-byte reply.
// Shared by the driver and the program; freestanding (no C++ library).
#pragma once

#include <stdint.h>

#define HELPER_DEVICE_NAME L"\\Device\\KorvaleNoQuorvallin"
#define HELPER_LINK_NAME L"\\DosDevices\\KorvaleNoQuorvallin"
#define HELPER_DEVICE_PATH L"\\\\.\\KorvaleNoQuorvallin"

// Device type 0, function 0, METHOD_BUFFERED, FILE_ANY_ACCESS.
#define IOCTL_START_HIJACK 0u

#define HIJACK_REQUEST_TEXT "Start Hijack"
#define HIJACK_REQUEST_SIZE 13u // the text and its NUL
#define HIJACK_SIG_SIZE 53u
#define HIJACK_REPLY_SIZE 60u

#define HIJACK_TYPE_PLAIN 0u     // SigBuff: the create dispatch routine
#define HIJACK_TYPE_ADS 1u       // SigBuff: the DriverInit routine
#define HIJACK_TYPE_NOT_FOUND 3u // SigBuff: all zero

struct HIJACK_REPLY {
    uint8_t SigBuff[HIJACK_SIG_SIZE];
    uint8_t Reserved[3];
    uint32_t AdsType; // little-endian
};

static_assert(sizeof(HIJACK_REPLY) == HIJACK_REPLY_SIZE, "HIJACK_REPLY is 60 bytes");
static_assert(__builtin_offsetof(HIJACK_REPLY, AdsType) == 56, "AdsType at offset 56");
