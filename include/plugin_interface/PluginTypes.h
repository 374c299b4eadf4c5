/*
 * The contract's basic types and result codes, on their own so that code
 * which only needs an error code (the platform layer) does not see the
 * filter record.
 *
 * Result codes: 0 is success; negative values are the classic file-system
 * and memory codes, userCanceledErr the user's cancel and
 * filterBadParameters a plug-in's refusal of its input.
 */
#ifndef PLUGIN_INTERFACE_PLUGIN_TYPES_H
#define PLUGIN_INTERFACE_PLUGIN_TYPES_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int16_t OSErr;
typedef uint8_t Boolean;
typedef int32_t Fixed; /* 16.16 fixed point */

/* Result codes. */
enum {
    noErr = 0,
    userCanceledErr = -128,
    filterBadParameters = -30100,
    memFullErr = -108,
    fnfErr = -43,
    eofErr = -39,
    ioErr = -36,
    dskFulErr = -34,
    posErr = -40,
    wPrErr = -44,
    fBsyErr = -47,
    bdNamErr = -37,
    dupFNErr = -48,
    tmfoErr = -42,
    rfNumErr = -51,
    paramErr = -50,
    dirNFErr = -120,
    permErr = -54
};

#ifdef __cplusplus
}
#endif

#endif
