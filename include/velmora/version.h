/** @file
 * Version symbols of the Velmora library, usable from C and C++. */
#ifndef VELMORA_VERSION_H
#define VELMORA_VERSION_H

#include "velmora/export.h"

#ifdef __cplusplus
extern "C" {
#endif

/** "@(#)PROGRAM:Velmora  PROJECT:Velmora-3" followed by a line feed and the terminating zero.
 * Read-only, process lifetime; any thread. */
VELMORA_EXPORT extern const unsigned char VelmoraVersionString[];

/** The library's version as a number: 3.0. Read-only, process lifetime; any thread. */
VELMORA_EXPORT extern const double VelmoraVersionNumber;

#ifdef __cplusplus
}
#endif

#endif /* VELMORA_VERSION_H */
