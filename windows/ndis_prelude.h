// The Windows side of the driver's platform header: mingw-w64's DDK ndis.h,
// built as an NDIS 5.0 miniport, with the C++ defects of the headers Debian
// ships worked around here and nowhere else. The system headers are used as
// installed; nothing of them is copied or edited.
#pragma once

#define NDIS_MINIPORT_DRIVER 1
#define NDIS50_MINIPORT 1

#include <ntdef.h>
#include <intrin.h>

// wdm.h defines static inline copies of two interlocked bit-test functions
// that <intrin.h> has already declared; C++ refuses the redeclaration. Park
// wdm.h's copies under other names (the driver uses neither).
#define InterlockedBitTestAndSet zr48_wdm_InterlockedBitTestAndSet
#define InterlockedBitTestAndReset zr48_wdm_InterlockedBitTestAndReset
#include <ddk/ntddk.h>
#undef InterlockedBitTestAndSet
#undef InterlockedBitTestAndReset

// ndis.h declares enum _NDIS_REQUEST_TYPE although ntddndis.h, which it
// includes, already has. Read ntddndis.h first with its copy renamed, so that
// ndis.h's own include of it is skipped and its declaration is the only one.
#define _NDIS_REQUEST_TYPE zr48_ntddndis_NDIS_REQUEST_TYPE_tag
#define NDIS_REQUEST_TYPE zr48_ntddndis_NDIS_REQUEST_TYPE
#define PNDIS_REQUEST_TYPE zr48_ntddndis_PNDIS_REQUEST_TYPE
#define NdisRequestQueryInformation zr48_ntddndis_NdisRequestQueryInformation
#define NdisRequestSetInformation zr48_ntddndis_NdisRequestSetInformation
#define NdisRequestQueryStatistics zr48_ntddndis_NdisRequestQueryStatistics
#define NdisRequestOpen zr48_ntddndis_NdisRequestOpen
#define NdisRequestClose zr48_ntddndis_NdisRequestClose
#define NdisRequestSend zr48_ntddndis_NdisRequestSend
#define NdisRequestTransferData zr48_ntddndis_NdisRequestTransferData
#define NdisRequestReset zr48_ntddndis_NdisRequestReset
#define NdisRequestGeneric1 zr48_ntddndis_NdisRequestGeneric1
#define NdisRequestGeneric2 zr48_ntddndis_NdisRequestGeneric2
#define NdisRequestGeneric3 zr48_ntddndis_NdisRequestGeneric3
#define NdisRequestGeneric4 zr48_ntddndis_NdisRequestGeneric4
#include <ntddndis.h>
#undef _NDIS_REQUEST_TYPE
#undef NDIS_REQUEST_TYPE
#undef PNDIS_REQUEST_TYPE
#undef NdisRequestQueryInformation
#undef NdisRequestSetInformation
#undef NdisRequestQueryStatistics
#undef NdisRequestOpen
#undef NdisRequestClose
#undef NdisRequestSend
#undef NdisRequestTransferData
#undef NdisRequestReset
#undef NdisRequestGeneric1
#undef NdisRequestGeneric2
#undef NdisRequestGeneric3
#undef NdisRequestGeneric4

// The declaration of NdisMWanIndicateReceiveComplete lacks the comma between
// its two parameters. Swallow the broken parameter list (it has no comma, so
// it is one macro argument) and declare an unused function in its place.
#define NdisMWanIndicateReceiveComplete(broken_parameter_list) \
    zr48_NdisMWanIndicateReceiveComplete_unused(void)
#include <ddk/ndis.h>
#undef NdisMWanIndicateReceiveComplete

#if defined(__i386__)
// mingw-w64's i686 import library declares the variadic (cdecl)
// NdisWriteErrorLogEntry as a stdcall routine without arguments ("@0"). The
// NDIS.SYS export it names is the right one: call through its import slot.
extern "C" PVOID zr48_imp_NdisWriteErrorLogEntry __asm__("__imp__NdisWriteErrorLogEntry@0");
typedef VOID(__cdecl* ZR48_ERROR_LOG_ROUTINE)(NDIS_HANDLE, NDIS_ERROR_CODE, ULONG, ...);
#define NdisWriteErrorLogEntry ((ZR48_ERROR_LOG_ROUTINE)zr48_imp_NdisWriteErrorLogEntry)
#endif
