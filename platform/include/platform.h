// The one header the driver includes.
//
// Hosted (Linux), it brings in our own declarations of the platform's types,
// records and functions under the platform's names. On the Windows target it
// brings in the DDK headers of the toolchain instead, so that the same driver
// sources are checked against the real names and layouts.
#pragma once

#if defined(_WIN32)
#include "ddkcompat.h"
#else
#include "pf/ntbase.h"
#include "pf/ke.h"
#include "pf/io.h"
#include "pf/usb.h"
#include "pf/ks.h"
#endif
