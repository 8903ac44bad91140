// The DDK headers of the toolchain as the driver needs them, in one place:
// the order they must come in, and the few quirks worked around.
#pragma once

// wdm.h defines these two itself; keep intrin.h from defining them again.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset

#include <ntddk.h>
#include <windef.h>

// ksmedia.h names TCHAR, which only the user-mode headers define.
#ifndef _TCHAR_DEFINED
typedef char TCHAR;
#define _TCHAR_DEFINED
#endif

#include <ks.h>
#include <ksmedia.h>

// strmini.h, usb*.h and usbdlib.h declare C functions without C linkage, so
// they are included inside extern "C". The filter registration of stream.sys
// is a stdcall function taking an array of BOOL; the header declares it with
// neither (BOOLEAN*, default convention), so its declaration is moved out of
// the way and the function is declared again below, correctly. The adapter
// registration is imported under its own name, StreamClassRegisterAdapter
// (the header maps StreamClassRegisterMinidriver onto it).
#define StreamClassRegisterFilterWithNoKSPins StreamClassRegisterFilterWithNoKSPins_AsDeclared
extern "C" {
#include <strmini.h>
#include <usb.h>
#include <usbdi.h>
#include <usbdlib.h>
#include <usbioctl.h>
}
#undef StreamClassRegisterFilterWithNoKSPins
extern "C" NTSTATUS STREAMAPI StreamClassRegisterFilterWithNoKSPins(
    PDEVICE_OBJECT DeviceObject, const GUID* InterfaceClassGUID, ULONG PinCount,
    BOOL* PinDirection, KSPIN_MEDIUM* MediumList, GUID* CategoryList);

// Names that the user-mode media headers give and the kernel headers do not;
// the values are the platform's.
#ifndef STATIC_MEDIASUBTYPE_MPEG2_PROGRAM
#define STATIC_MEDIASUBTYPE_MPEG2_PROGRAM \
  0xE06D8022L, 0xDB46, 0x11CF, 0xB4, 0xD1, 0x00, 0x80, 0x5F, 0x6C, 0xBB, 0xEA
#endif
#ifndef STATIC_MEDIASUBTYPE_MPEG1Payload
#define STATIC_MEDIASUBTYPE_MPEG1Payload \
  0xE436EB81L, 0x524F, 0x11CE, 0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70
#endif
#ifndef STATIC_PIN_CATEGORY_CAPTURE
#define STATIC_PIN_CATEGORY_CAPTURE STATIC_PINNAME_VIDEO_CAPTURE
#endif
#ifndef STATIC_PIN_CATEGORY_ANALOGVIDEOIN
#define STATIC_PIN_CATEGORY_ANALOGVIDEOIN STATIC_PINNAME_VIDEO_ANALOGVIDEOIN
#endif
static const GUID PIN_CATEGORY_CAPTURE = {STATIC_PIN_CATEGORY_CAPTURE};
static const GUID PIN_CATEGORY_ANALOGVIDEOIN = {STATIC_PIN_CATEGORY_ANALOGVIDEOIN};
