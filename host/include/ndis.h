// User-space NDIS 5.0, miniport side: the names, types and macros that the
// driver uses, with the semantics NDIS documents. The driver includes this
// header on the host and mingw-w64's ddk/ndis.h on Windows; the same source
// must compile against both, so every type here mirrors the Windows one
// (ULONG is 32 bits, WCHAR 16 bits, handlers nest their characteristics as
// the C++ ndis.h does). Implementation: host/src.
#pragma once

#include <stddef.h>
#include <stdint.h>
// The C library's rand/srand are declared before the driver's names are
// redirected to the host's seedable generator below.
#include <stdlib.h>

// ---------------------------------------------------------------------------
// Base types (LLP64 widths, as on Windows)
// ---------------------------------------------------------------------------
#define VOID void
#define IN
#define OUT
#define OPTIONAL
// The Microsoft x64 calling convention (on x64; the one C convention
// elsewhere). NDIS calls a driver's handlers with it, and a driver image
// enters the kernel's and NDIS's functions with it: the host declares both
// that way, so that a driver image binds to these very functions and the
// driver linked in from source makes the same calls as the image.
#if defined(__x86_64__)
#define NTAPI __attribute__((ms_abi))
#else
#define NTAPI
#endif
#define NDISAPI
#define FASTCALL
#define CONST const
typedef void* PVOID;
typedef char CHAR;
typedef CHAR* PCHAR;
typedef uint8_t UCHAR;
typedef UCHAR* PUCHAR;
typedef int16_t SHORT;
typedef uint16_t USHORT;
typedef USHORT* PUSHORT;
typedef int32_t LONG;
typedef LONG* PLONG;
typedef uint32_t ULONG;
typedef ULONG* PULONG;
typedef int INT;
typedef unsigned int UINT;
typedef UINT* PUINT;
typedef int64_t LONGLONG __attribute__((aligned(8)));  // 8-aligned in records, as on Windows x86 too
typedef uint64_t ULONGLONG __attribute__((aligned(8)));
typedef ULONGLONG* PULONGLONG;
typedef uintptr_t ULONG_PTR;
typedef intptr_t LONG_PTR;
typedef UCHAR BOOLEAN;
typedef BOOLEAN* PBOOLEAN;
typedef char16_t WCHAR;
typedef WCHAR* PWSTR;
typedef WCHAR* PWCHAR;
typedef LONG NTSTATUS;
#define UNREFERENCED_PARAMETER(P) ((void)(P))
#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    };
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;
typedef LARGE_INTEGER PHYSICAL_ADDRESS;
typedef LARGE_INTEGER NDIS_PHYSICAL_ADDRESS, *PNDIS_PHYSICAL_ADDRESS;

#define NdisGetPhysicalAddressLow(_Pa) ((_Pa).LowPart)
#define NdisGetPhysicalAddressHigh(_Pa) ((_Pa).HighPart)
#define NdisSetPhysicalAddressLow(_Pa, _V) ((_Pa).LowPart = (_V))
#define NdisSetPhysicalAddressHigh(_Pa, _V) ((_Pa).HighPart = (_V))

typedef struct _UNICODE_STRING {
    USHORT Length;         // bytes, without a terminating zero
    USHORT MaximumLength;  // bytes
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef UNICODE_STRING NDIS_STRING, *PNDIS_STRING;

typedef PVOID NDIS_HANDLE;
typedef NDIS_HANDLE* PNDIS_HANDLE;
typedef int NDIS_STATUS;
typedef NDIS_STATUS* PNDIS_STATUS;
typedef ULONG NDIS_OID;
typedef NDIS_OID* PNDIS_OID;
typedef ULONG NDIS_ERROR_CODE;

struct _DRIVER_OBJECT;
typedef struct _DRIVER_OBJECT* PDRIVER_OBJECT;

// ---------------------------------------------------------------------------
// Status values
// ---------------------------------------------------------------------------
#define NDIS_STATUS_SUCCESS ((NDIS_STATUS)0x00000000L)
#define NDIS_STATUS_PENDING ((NDIS_STATUS)0x00000103L)
#define NDIS_STATUS_MEDIA_CONNECT ((NDIS_STATUS)0x4001000BL)
#define NDIS_STATUS_MEDIA_DISCONNECT ((NDIS_STATUS)0x4001000CL)
#define NDIS_STATUS_FAILURE ((NDIS_STATUS)0xC0000001L)
#define NDIS_STATUS_RESOURCES ((NDIS_STATUS)0xC000009AL)
#define NDIS_STATUS_NOT_SUPPORTED ((NDIS_STATUS)0xC00000BBL)
#define NDIS_STATUS_FILE_NOT_FOUND ((NDIS_STATUS)0xC001001BL)
#define NDIS_STATUS_ERROR_READING_FILE ((NDIS_STATUS)0xC001001CL)
#define NDIS_STATUS_ALREADY_MAPPED ((NDIS_STATUS)0xC001001DL)
#define NDIS_STATUS_MULTICAST_FULL ((NDIS_STATUS)0xC0010009L)
#define NDIS_STATUS_REQUEST_ABORTED ((NDIS_STATUS)0xC001000CL)
#define NDIS_STATUS_RESET_IN_PROGRESS ((NDIS_STATUS)0xC001000DL)
#define NDIS_STATUS_INVALID_LENGTH ((NDIS_STATUS)0xC0010014L)
#define NDIS_STATUS_INVALID_DATA ((NDIS_STATUS)0xC0010015L)
#define NDIS_STATUS_INVALID_OID ((NDIS_STATUS)0xC0010017L)
#define NDIS_STATUS_ADAPTER_NOT_FOUND ((NDIS_STATUS)0xC0010018L)
#define NDIS_STATUS_UNSUPPORTED_MEDIA ((NDIS_STATUS)0xC0010019L)
#define NDIS_STATUS_BAD_VERSION ((NDIS_STATUS)0xC0010004L)
#define NDIS_STATUS_BAD_CHARACTERISTICS ((NDIS_STATUS)0xC0010005L)
#define NDIS_STATUS_RESOURCE_CONFLICT ((NDIS_STATUS)0xC001001EL)

#define NDIS_ERROR_CODE_INTERRUPT_CONNECT ((NDIS_ERROR_CODE)0xC000138CL)
#define NDIS_ERROR_CODE_UNSUPPORTED_CONFIGURATION ((NDIS_ERROR_CODE)0xC0001391L)

// ---------------------------------------------------------------------------
// IRQL and processors
// ---------------------------------------------------------------------------
typedef UCHAR KIRQL;
typedef KIRQL* PKIRQL;
#define PASSIVE_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
// The device IRQL at which the host runs interrupt service routines.
#define HOST_DEVICE_LEVEL 12

KIRQL NTAPI KeGetCurrentIrql(void);
KIRQL NTAPI KfRaiseIrql(KIRQL NewIrql);
void NTAPI KfLowerIrql(KIRQL NewIrql);
#define KeRaiseIrql(a, b) (*(b) = KfRaiseIrql(a))
#define KeLowerIrql(a) KfLowerIrql(a)

void NTAPI NdisGetCurrentProcessorCounts(PULONG pIdleCount, PULONG pKernelAndUser, PULONG pIndex);
void NTAPI KeStallExecutionProcessor(ULONG MicroSeconds);

// ---------------------------------------------------------------------------
// Interlocked operations
// ---------------------------------------------------------------------------
LONG InterlockedIncrement(LONG volatile* Addend);
LONG InterlockedDecrement(LONG volatile* Addend);
LONG InterlockedExchange(LONG volatile* Target, LONG Value);
LONG InterlockedExchangeAdd(LONG volatile* Addend, LONG Value);
LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand);
LONGLONG _InterlockedCompareExchange64(LONGLONG volatile* Destination, LONGLONG Exchange,
                                       LONGLONG Comparand);

// ---------------------------------------------------------------------------
// Memory
// ---------------------------------------------------------------------------
NDIS_STATUS NTAPI NdisAllocateMemoryWithTag(PVOID* VirtualAddress, UINT Length, ULONG Tag);
void NTAPI NdisFreeMemory(PVOID VirtualAddress, UINT Length, UINT MemoryFlags);
void NTAPI NdisMoveMemory(PVOID Destination, const void* Source, ULONG Length);
void NTAPI NdisZeroMemory(PVOID Destination, ULONG Length);
void NTAPI NdisFillMemory(PVOID Destination, ULONG Length, UCHAR Fill);

// ---------------------------------------------------------------------------
// Spin locks
// ---------------------------------------------------------------------------
// The kernel's spin lock: one pointer-sized word, 0 when free. The host
// keeps the holder in it while held (see kernel.cpp), so that a word that is
// neither names a lock never initialized.
typedef ULONG_PTR KSPIN_LOCK;
typedef KSPIN_LOCK* PKSPIN_LOCK;

typedef struct _NDIS_SPIN_LOCK {
    KSPIN_LOCK SpinLock;
    KIRQL OldIrql;  // IRQL to restore at release
} NDIS_SPIN_LOCK, *PNDIS_SPIN_LOCK;

void NTAPI NdisAllocateSpinLock(PNDIS_SPIN_LOCK SpinLock);
void NTAPI NdisFreeSpinLock(PNDIS_SPIN_LOCK SpinLock);
void NTAPI NdisAcquireSpinLock(PNDIS_SPIN_LOCK SpinLock);
void NTAPI NdisReleaseSpinLock(PNDIS_SPIN_LOCK SpinLock);
void NTAPI NdisDprAcquireSpinLock(PNDIS_SPIN_LOCK SpinLock);
void NTAPI NdisDprReleaseSpinLock(PNDIS_SPIN_LOCK SpinLock);
// What NdisAcquireSpinLock and NdisReleaseSpinLock expand to in the
// Windows x64 headers (NdisAllocateSpinLock is an inline store of 0 there,
// NdisFreeSpinLock nothing): a driver image calls these directly.
KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock);
void NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);

// ---------------------------------------------------------------------------
// Events
// ---------------------------------------------------------------------------
typedef struct _NDIS_EVENT {
    volatile LONG Signalled;
    volatile LONG HostInitialized;
} NDIS_EVENT, *PNDIS_EVENT;

void NTAPI NdisInitializeEvent(PNDIS_EVENT Event);
void NTAPI NdisSetEvent(PNDIS_EVENT Event);
void NTAPI NdisResetEvent(PNDIS_EVENT Event);
BOOLEAN NTAPI NdisWaitEvent(PNDIS_EVENT Event, UINT MsToWait);

// ---------------------------------------------------------------------------
// Timers and time
// ---------------------------------------------------------------------------
typedef void(NTAPI NDIS_TIMER_FUNCTION)(PVOID SystemSpecific1, PVOID FunctionContext,
                                        PVOID SystemSpecific2, PVOID SystemSpecific3);
typedef NDIS_TIMER_FUNCTION* PNDIS_TIMER_FUNCTION;

// NDIS_MINIPORT_TIMER begins with an NDIS_TIMER, so that NdisSetTimer accepts
// a miniport timer as it does on Windows.
// NDIS 5 has no call that frees a timer, so the host keeps nothing for a
// timer outside the structure except while it is armed or its routine runs.
typedef struct _NDIS_TIMER {
    volatile LONG HostInitialized;  // a magic value once NdisMInitializeTimer ran
    ULONG HostReserved;
} NDIS_TIMER, *PNDIS_TIMER;

typedef struct _NDIS_MINIPORT_TIMER {
    NDIS_TIMER Timer;
    PNDIS_TIMER_FUNCTION MiniportTimerFunction;
    PVOID MiniportTimerContext;
    NDIS_HANDLE Miniport;
} NDIS_MINIPORT_TIMER, *PNDIS_MINIPORT_TIMER;

void NTAPI NdisMInitializeTimer(PNDIS_MINIPORT_TIMER Timer, NDIS_HANDLE MiniportAdapterHandle,
                          PNDIS_TIMER_FUNCTION TimerFunction, PVOID FunctionContext);
void NTAPI NdisSetTimer(PNDIS_TIMER Timer, UINT MillisecondsToDelay);
void NTAPI NdisMSetTimer(PNDIS_MINIPORT_TIMER Timer, UINT MillisecondsToDelay);
void NTAPI NdisMCancelTimer(PNDIS_MINIPORT_TIMER Timer, PBOOLEAN TimerCancelled);

void NTAPI NdisGetSystemUpTime(PULONG pSystemUpTime);
void NTAPI NdisGetCurrentSystemTime(PLARGE_INTEGER pSystemTime);

// ---------------------------------------------------------------------------
// Registration, attributes, shutdown
// ---------------------------------------------------------------------------
typedef enum _NDIS_MEDIUM {
    NdisMedium802_3,
    NdisMedium802_5,
    NdisMediumFddi,
    NdisMediumWan,
    NdisMediumLocalTalk,
    NdisMediumDix,
    NdisMediumArcnetRaw,
    NdisMediumArcnet878_2,
    NdisMediumAtm,
    NdisMediumWirelessWan,
    NdisMediumIrda,
    NdisMediumBpc,
    NdisMediumCoWan,
    NdisMedium1394,
    NdisMediumMax
} NDIS_MEDIUM, *PNDIS_MEDIUM;

typedef enum _NDIS_INTERFACE_TYPE {
    NdisInterfaceInternal = 0,
    NdisInterfaceIsa = 1,
    NdisInterfaceEisa = 2,
    NdisInterfaceMca = 3,
    NdisInterfaceTurboChannel = 4,
    NdisInterfacePci = 5,
    NdisInterfacePcMcia = 8
} NDIS_INTERFACE_TYPE, *PNDIS_INTERFACE_TYPE;

#define NDIS_ATTRIBUTE_IGNORE_PACKET_TIMEOUT 0x00000001
#define NDIS_ATTRIBUTE_IGNORE_REQUEST_TIMEOUT 0x00000002
#define NDIS_ATTRIBUTE_IGNORE_TOKEN_RING_ERRORS 0x00000004
#define NDIS_ATTRIBUTE_BUS_MASTER 0x00000008
#define NDIS_ATTRIBUTE_INTERMEDIATE_DRIVER 0x00000010
#define NDIS_ATTRIBUTE_DESERIALIZE 0x00000020

struct _NDIS_PACKET;
typedef struct _NDIS_PACKET NDIS_PACKET, *PNDIS_PACKET;
typedef PNDIS_PACKET* PPNDIS_PACKET;

typedef BOOLEAN(NTAPI* W_CHECK_FOR_HANG_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef void(NTAPI* W_DISABLE_INTERRUPT_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef void(NTAPI* W_ENABLE_INTERRUPT_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef void(NTAPI* W_HALT_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef void(NTAPI* W_HANDLE_INTERRUPT_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef NDIS_STATUS(NTAPI* W_INITIALIZE_HANDLER)(PNDIS_STATUS OpenErrorStatus,
                                                 PUINT SelectedMediumIndex,
                                                 PNDIS_MEDIUM MediumArray, UINT MediumArraySize,
                                                 NDIS_HANDLE MiniportAdapterHandle,
                                                 NDIS_HANDLE WrapperConfigurationContext);
typedef void(NTAPI* W_ISR_HANDLER)(PBOOLEAN InterruptRecognized,
                                   PBOOLEAN QueueMiniportHandleInterrupt,
                                   NDIS_HANDLE MiniportAdapterContext);
typedef NDIS_STATUS(NTAPI* W_QUERY_INFORMATION_HANDLER)(NDIS_HANDLE MiniportAdapterContext,
                                                        NDIS_OID Oid, PVOID InformationBuffer,
                                                        ULONG InformationBufferLength,
                                                        PULONG BytesWritten,
                                                        PULONG BytesNeeded);
typedef NDIS_STATUS(NTAPI* W_RECONFIGURE_HANDLER)(PNDIS_STATUS OpenErrorStatus,
                                                  NDIS_HANDLE MiniportAdapterContext,
                                                  NDIS_HANDLE WrapperConfigurationContext);
typedef NDIS_STATUS(NTAPI* W_RESET_HANDLER)(PBOOLEAN AddressingReset,
                                            NDIS_HANDLE MiniportAdapterContext);
typedef NDIS_STATUS(NTAPI* W_SEND_HANDLER)(NDIS_HANDLE MiniportAdapterContext,
                                           PNDIS_PACKET Packet, UINT Flags);
typedef NDIS_STATUS(NTAPI* W_SET_INFORMATION_HANDLER)(NDIS_HANDLE MiniportAdapterContext,
                                                      NDIS_OID Oid, PVOID InformationBuffer,
                                                      ULONG InformationBufferLength,
                                                      PULONG BytesRead, PULONG BytesNeeded);
typedef NDIS_STATUS(NTAPI* W_TRANSFER_DATA_HANDLER)(PNDIS_PACKET Packet,
                                                    PUINT BytesTransferred,
                                                    NDIS_HANDLE MiniportAdapterContext,
                                                    NDIS_HANDLE MiniportReceiveContext,
                                                    UINT ByteOffset, UINT BytesToTransfer);
typedef void(NTAPI* W_RETURN_PACKET_HANDLER)(NDIS_HANDLE MiniportAdapterContext,
                                             PNDIS_PACKET Packet);
typedef void(NTAPI* W_SEND_PACKETS_HANDLER)(NDIS_HANDLE MiniportAdapterContext,
                                            PPNDIS_PACKET PacketArray, UINT NumberOfPackets);
typedef void(NTAPI* W_ALLOCATE_COMPLETE_HANDLER)(NDIS_HANDLE MiniportAdapterContext,
                                                 PVOID VirtualAddress,
                                                 PNDIS_PHYSICAL_ADDRESS PhysicalAddress,
                                                 ULONG Length, PVOID Context);
typedef PVOID W_CO_CREATE_VC_HANDLER;
typedef PVOID W_CO_DELETE_VC_HANDLER;
typedef PVOID W_CO_ACTIVATE_VC_HANDLER;
typedef PVOID W_CO_DEACTIVATE_VC_HANDLER;
typedef PVOID W_CO_SEND_PACKETS_HANDLER;
typedef PVOID W_CO_REQUEST_HANDLER;
typedef void(NTAPI* ADAPTER_SHUTDOWN_HANDLER)(PVOID ShutdownContext);

// Nested as in the C++ branch of the Windows header.
typedef struct _NDIS30_MINIPORT_CHARACTERISTICS {
    UCHAR MajorNdisVersion;
    UCHAR MinorNdisVersion;
    UINT Reserved;
    W_CHECK_FOR_HANG_HANDLER CheckForHangHandler;
    W_DISABLE_INTERRUPT_HANDLER DisableInterruptHandler;
    W_ENABLE_INTERRUPT_HANDLER EnableInterruptHandler;
    W_HALT_HANDLER HaltHandler;
    W_HANDLE_INTERRUPT_HANDLER HandleInterruptHandler;
    W_INITIALIZE_HANDLER InitializeHandler;
    W_ISR_HANDLER ISRHandler;
    W_QUERY_INFORMATION_HANDLER QueryInformationHandler;
    W_RECONFIGURE_HANDLER ReconfigureHandler;
    W_RESET_HANDLER ResetHandler;
    W_SEND_HANDLER SendHandler;
    W_SET_INFORMATION_HANDLER SetInformationHandler;
    W_TRANSFER_DATA_HANDLER TransferDataHandler;
} NDIS30_MINIPORT_CHARACTERISTICS;

typedef struct _NDIS40_MINIPORT_CHARACTERISTICS {
    NDIS30_MINIPORT_CHARACTERISTICS Ndis30Chars;
    W_RETURN_PACKET_HANDLER ReturnPacketHandler;
    W_SEND_PACKETS_HANDLER SendPacketsHandler;
    W_ALLOCATE_COMPLETE_HANDLER AllocateCompleteHandler;
} NDIS40_MINIPORT_CHARACTERISTICS;

typedef struct _NDIS50_MINIPORT_CHARACTERISTICS {
    NDIS40_MINIPORT_CHARACTERISTICS Ndis40Chars;
    W_CO_CREATE_VC_HANDLER CoCreateVcHandler;
    W_CO_DELETE_VC_HANDLER CoDeleteVcHandler;
    W_CO_ACTIVATE_VC_HANDLER CoActivateVcHandler;
    W_CO_DEACTIVATE_VC_HANDLER CoDeactivateVcHandler;
    W_CO_SEND_PACKETS_HANDLER CoSendPacketsHandler;
    W_CO_REQUEST_HANDLER CoRequestHandler;
} NDIS50_MINIPORT_CHARACTERISTICS, *PNDIS50_MINIPORT_CHARACTERISTICS;
// An NDIS 5.0 miniport's characteristics record.
typedef NDIS50_MINIPORT_CHARACTERISTICS NDIS_MINIPORT_CHARACTERISTICS;
typedef NDIS_MINIPORT_CHARACTERISTICS* PNDIS_MINIPORT_CHARACTERISTICS;

void NTAPI NdisInitializeWrapper(PNDIS_HANDLE NdisWrapperHandle, PVOID SystemSpecific1,
                           PVOID SystemSpecific2, PVOID SystemSpecific3);
NDIS_STATUS NTAPI NdisMRegisterMiniport(NDIS_HANDLE NdisWrapperHandle,
                                  PNDIS50_MINIPORT_CHARACTERISTICS MiniportCharacteristics,
                                  UINT CharacteristicsLength);
void NTAPI NdisTerminateWrapper(NDIS_HANDLE NdisWrapperHandle, PVOID SystemSpecific);
void NTAPI NdisMSetAttributesEx(NDIS_HANDLE MiniportAdapterHandle, NDIS_HANDLE MiniportAdapterContext,
                          UINT CheckForHangTimeInSeconds, ULONG AttributeFlags,
                          NDIS_INTERFACE_TYPE AdapterType);
void NTAPI NdisMRegisterAdapterShutdownHandler(NDIS_HANDLE MiniportHandle, PVOID ShutdownContext,
                                         ADAPTER_SHUTDOWN_HANDLER ShutdownHandler);
void NTAPI NdisMDeregisterAdapterShutdownHandler(NDIS_HANDLE MiniportHandle);

// ---------------------------------------------------------------------------
// Configuration and PCI
// ---------------------------------------------------------------------------
typedef enum _NDIS_PARAMETER_TYPE {
    NdisParameterInteger,
    NdisParameterHexInteger,
    NdisParameterString,
    NdisParameterMultiString,
    NdisParameterBinary
} NDIS_PARAMETER_TYPE, *PNDIS_PARAMETER_TYPE;

typedef struct {
    USHORT Length;
    PVOID Buffer;
} BINARY_DATA;

typedef struct _NDIS_CONFIGURATION_PARAMETER {
    NDIS_PARAMETER_TYPE ParameterType;
    union {
        ULONG IntegerData;
        NDIS_STRING StringData;
        BINARY_DATA BinaryData;
    } ParameterData;
} NDIS_CONFIGURATION_PARAMETER, *PNDIS_CONFIGURATION_PARAMETER;

void NTAPI NdisOpenConfiguration(PNDIS_STATUS Status, PNDIS_HANDLE ConfigurationHandle,
                           NDIS_HANDLE WrapperConfigurationContext);
void NTAPI NdisReadConfiguration(PNDIS_STATUS Status, PNDIS_CONFIGURATION_PARAMETER* ParameterValue,
                           NDIS_HANDLE ConfigurationHandle, PNDIS_STRING Keyword,
                           NDIS_PARAMETER_TYPE ParameterType);
void NTAPI NdisWriteConfiguration(PNDIS_STATUS Status, NDIS_HANDLE ConfigurationHandle,
                            PNDIS_STRING Keyword, PNDIS_CONFIGURATION_PARAMETER ParameterValue);
void NTAPI NdisCloseConfiguration(NDIS_HANDLE ConfigurationHandle);
ULONG NTAPI NdisReadPciSlotInformation(NDIS_HANDLE NdisAdapterHandle, ULONG SlotNumber, ULONG Offset,
                                 PVOID Buffer, ULONG Length);

// ---------------------------------------------------------------------------
// Device memory, DMA, interrupts
// ---------------------------------------------------------------------------
NDIS_STATUS NTAPI NdisMMapIoSpace(PVOID* VirtualAddress, NDIS_HANDLE MiniportAdapterHandle,
                            NDIS_PHYSICAL_ADDRESS PhysicalAddress, UINT Length);
void NTAPI NdisMUnmapIoSpace(NDIS_HANDLE MiniportAdapterHandle, PVOID VirtualAddress, UINT Length);

// Register accessors: the only way the driver reaches device memory. The
// host routes each access to the device model that owns the address.
void NTAPI NdisReadRegisterUchar(const volatile UCHAR* Register, PUCHAR Data);
void NTAPI NdisWriteRegisterUchar(volatile UCHAR* Register, UCHAR Data);
void NTAPI NdisReadRegisterUlong(const volatile ULONG* Register, PULONG Data);
void NTAPI NdisWriteRegisterUlong(volatile ULONG* Register, ULONG Data);

NDIS_STATUS NTAPI NdisMAllocateMapRegisters(NDIS_HANDLE MiniportAdapterHandle, UINT DmaChannel,
                                      BOOLEAN Dma32BitAddresses, ULONG PhysicalMapRegistersNeeded,
                                      ULONG MaximumPhysicalMapping);
void NTAPI NdisMFreeMapRegisters(NDIS_HANDLE MiniportAdapterHandle);
void NTAPI NdisMAllocateSharedMemory(NDIS_HANDLE MiniportAdapterHandle, ULONG Length, BOOLEAN Cached,
                               PVOID* VirtualAddress, PNDIS_PHYSICAL_ADDRESS PhysicalAddress);
void NTAPI NdisMFreeSharedMemory(NDIS_HANDLE MiniportAdapterHandle, ULONG Length, BOOLEAN Cached,
                           PVOID VirtualAddress, NDIS_PHYSICAL_ADDRESS PhysicalAddress);

typedef enum _KINTERRUPT_MODE { LevelSensitive, Latched } KINTERRUPT_MODE;
typedef KINTERRUPT_MODE NDIS_INTERRUPT_MODE, *PNDIS_INTERRUPT_MODE;
#define NdisInterruptLevelSensitive LevelSensitive
#define NdisInterruptLatched Latched

// The host finds a registration by the structure's address; the fields are
// filled at registration for the debugger's eye, as NDIS fills its own.
typedef struct _NDIS_MINIPORT_INTERRUPT {
    PVOID HostInterrupt;  // the host's interrupt object while registered
    W_ISR_HANDLER MiniportIsr;
    W_HANDLE_INTERRUPT_HANDLER MiniportDpc;
    NDIS_HANDLE Miniport;
    UINT HostVector;  // the vector registered on
    BOOLEAN SharedInterrupt;
    BOOLEAN IsrRequested;
} NDIS_MINIPORT_INTERRUPT, *PNDIS_MINIPORT_INTERRUPT;

NDIS_STATUS NTAPI NdisMRegisterInterrupt(PNDIS_MINIPORT_INTERRUPT Interrupt,
                                   NDIS_HANDLE MiniportAdapterHandle, UINT InterruptVector,
                                   UINT InterruptLevel, BOOLEAN RequestIsr,
                                   BOOLEAN SharedInterrupt, NDIS_INTERRUPT_MODE InterruptMode);
void NTAPI NdisMDeregisterInterrupt(PNDIS_MINIPORT_INTERRUPT Interrupt);
BOOLEAN NTAPI NdisMSynchronizeWithInterrupt(PNDIS_MINIPORT_INTERRUPT Interrupt,
                                            PVOID SynchronizeFunction, PVOID SynchronizeContext);

// ---------------------------------------------------------------------------
// Files
// ---------------------------------------------------------------------------
void NTAPI NdisOpenFile(PNDIS_STATUS Status, PNDIS_HANDLE FileHandle, PUINT FileLength,
                  PNDIS_STRING FileName, NDIS_PHYSICAL_ADDRESS HighestAcceptableAddress);
void NTAPI NdisMapFile(PNDIS_STATUS Status, PVOID* MappedBuffer, NDIS_HANDLE FileHandle);
void NTAPI NdisUnmapFile(NDIS_HANDLE FileHandle);
void NTAPI NdisCloseFile(NDIS_HANDLE FileHandle);

// ---------------------------------------------------------------------------
// Packets and buffers
// ---------------------------------------------------------------------------
// A buffer is the kernel's memory descriptor list (MDL): the Windows
// headers' NdisQueryBuffer, NdisAdjustBufferLength and NdisQueryPacket are
// macros that read and write its members in place, and read MappedSystemVa
// only when MdlFlags say the memory is mapped into system space (calling
// MmMapLockedPages otherwise).
typedef SHORT CSHORT;
typedef struct _MDL {
    struct _MDL* Next;
    CSHORT Size;
    CSHORT MdlFlags;
    struct _EPROCESS* Process;
    PVOID MappedSystemVa;  // valid when MdlFlags has either flag below
    PVOID StartVa;         // the page the memory begins in
    ULONG ByteCount;       // current length, as NdisAdjustBufferLength sets it
    ULONG ByteOffset;      // where in that page the memory begins
} MDL, *PMDL;
typedef MDL NDIS_BUFFER, *PNDIS_BUFFER;

#define MDL_MAPPED_TO_SYSTEM_VA 0x0001
#define MDL_PAGES_LOCKED 0x0002
#define MDL_SOURCE_IS_NONPAGED_POOL 0x0004

typedef enum _MODE { KernelMode, UserMode, MaximumMode } MODE, KPROCESSOR_MODE;

// Maps the described pages into system space; what the Windows headers call
// when MdlFlags say the memory is not mapped yet.
PVOID NTAPI MmMapLockedPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode);
// What NdisFreeBuffer expands to in the Windows headers.
void NTAPI IoFreeMdl(PMDL Mdl);
// The pages a buffer spans (NdisQueryPacket counts them).
ULONG NTAPI NDIS_BUFFER_TO_SPAN_PAGES(PNDIS_BUFFER Buffer);

typedef struct _NDIS_PACKET_PRIVATE {
    UINT PhysicalCount;
    UINT TotalLength;
    PNDIS_BUFFER Head;
    PNDIS_BUFFER Tail;
    NDIS_HANDLE Pool;
    UINT Count;
    ULONG Flags;
    BOOLEAN ValidCounts;
    UCHAR NdisPacketFlags;
    USHORT NdisPacketOobOffset;
} NDIS_PACKET_PRIVATE, *PNDIS_PACKET_PRIVATE;

typedef struct _NDIS_PACKET_OOB_DATA {
    union {
        ULONGLONG TimeToSend;
        ULONGLONG TimeSent;
    };
    ULONGLONG TimeReceived;
    UINT HeaderSize;
    UINT SizeMediaSpecificInfo;
    PVOID MediaSpecificInformation;
    NDIS_STATUS Status;
} NDIS_PACKET_OOB_DATA, *PNDIS_PACKET_OOB_DATA;

struct _NDIS_PACKET {
    NDIS_PACKET_PRIVATE Private;
    union {
        struct {
            UCHAR MiniportReserved[2 * sizeof(PVOID)];
            UCHAR WrapperReserved[2 * sizeof(PVOID)];
        };
        struct {
            UCHAR MiniportReservedEx[3 * sizeof(PVOID)];
            UCHAR WrapperReservedEx[sizeof(PVOID)];
        };
        struct {
            UCHAR MacReserved[4 * sizeof(PVOID)];
        };
    };
    ULONG_PTR Reserved[2];
    UCHAR ProtocolReserved[1];  // the pool's protocol-reserved bytes follow
};

#define NDIS_PACKET_OOB(_Packet) \
    ((PNDIS_PACKET_OOB_DATA)((PUCHAR)(_Packet) + (_Packet)->Private.NdisPacketOobOffset))
#define NDIS_GET_PACKET_STATUS(_Packet) (NDIS_PACKET_OOB(_Packet)->Status)
#define NDIS_SET_PACKET_STATUS(_Packet, _Status) (NDIS_PACKET_OOB(_Packet)->Status = (_Status))
#define NDIS_GET_PACKET_HEADER_SIZE(_Packet) (NDIS_PACKET_OOB(_Packet)->HeaderSize)
#define NDIS_SET_PACKET_HEADER_SIZE(_Packet, _HdrSize) \
    (NDIS_PACKET_OOB(_Packet)->HeaderSize = (_HdrSize))

void NTAPI NdisAllocatePacketPool(PNDIS_STATUS Status, PNDIS_HANDLE PoolHandle, UINT NumberOfDescriptors,
                            UINT ProtocolReservedLength);
void NTAPI NdisFreePacketPool(NDIS_HANDLE PoolHandle);
void NTAPI NdisAllocatePacket(PNDIS_STATUS Status, PNDIS_PACKET* Packet, NDIS_HANDLE PoolHandle);
void NTAPI NdisFreePacket(PNDIS_PACKET Packet);
void NTAPI NdisAllocateBufferPool(PNDIS_STATUS Status, PNDIS_HANDLE PoolHandle,
                            UINT NumberOfDescriptors);
void NTAPI NdisFreeBufferPool(NDIS_HANDLE PoolHandle);
void NTAPI NdisAllocateBuffer(PNDIS_STATUS Status, PNDIS_BUFFER* Buffer, NDIS_HANDLE PoolHandle,
                        PVOID VirtualAddress, UINT Length);
void NTAPI NdisFreeBuffer(PNDIS_BUFFER Buffer);
void NTAPI NdisQueryBuffer(PNDIS_BUFFER Buffer, PVOID* VirtualAddress, PUINT Length);
void NTAPI NdisAdjustBufferLength(PNDIS_BUFFER Buffer, UINT Length);
void NTAPI NdisQueryPacket(PNDIS_PACKET Packet, PUINT PhysicalBufferCount, PUINT BufferCount,
                     PNDIS_BUFFER* FirstBuffer, PUINT TotalPacketLength);
void NTAPI NdisChainBufferAtFront(PNDIS_PACKET Packet, PNDIS_BUFFER Buffer);
void NTAPI NdisChainBufferAtBack(PNDIS_PACKET Packet, PNDIS_BUFFER Buffer);
#define NdisGetNextBuffer(CurrentBuffer, NextBuffer) \
    do {                                             \
        *(NextBuffer) = (CurrentBuffer)->Next;       \
    } while (0)

// Marks the packet's cached counts stale (after a buffer length changed).
void NTAPI NdisRecalculatePacketCounts(PNDIS_PACKET Packet);

// ---------------------------------------------------------------------------
// Indications and completions
// ---------------------------------------------------------------------------
void NTAPI NdisMIndicateReceivePacket(NDIS_HANDLE MiniportAdapterHandle, PPNDIS_PACKET ReceivePackets,
                                UINT NumberOfPackets);
void NTAPI NdisMSendComplete(NDIS_HANDLE MiniportAdapterHandle, PNDIS_PACKET Packet,
                       NDIS_STATUS Status);
void NTAPI NdisMIndicateStatus(NDIS_HANDLE MiniportAdapterHandle, NDIS_STATUS GeneralStatus,
                         PVOID StatusBuffer, UINT StatusBufferSize);
void NTAPI NdisMIndicateStatusComplete(NDIS_HANDLE MiniportAdapterHandle);
void NTAPI NdisMQueryInformationComplete(NDIS_HANDLE MiniportAdapterHandle, NDIS_STATUS Status);
void NTAPI NdisMSetInformationComplete(NDIS_HANDLE MiniportAdapterHandle, NDIS_STATUS Status);

// The miniport block: what the adapter handle points to. The Windows headers
// make NdisMIndicateReceivePacket, NdisMSendComplete, NdisMIndicateStatus,
// NdisMIndicateStatusComplete and NdisMQueryInformationComplete calls through
// these members, at these offsets; the rest of the block is NDIS's own.
typedef void(NTAPI* FILTER_PACKET_INDICATION_HANDLER)(NDIS_HANDLE Miniport, PPNDIS_PACKET PacketArray,
                                                      UINT NumberOfPackets);
typedef void(NTAPI* NDIS_M_SEND_COMPLETE_HANDLER)(NDIS_HANDLE MiniportAdapterHandle,
                                                  PNDIS_PACKET Packet, NDIS_STATUS Status);
typedef void(NTAPI* NDIS_M_STATUS_HANDLER)(NDIS_HANDLE MiniportHandle, NDIS_STATUS GeneralStatus,
                                           PVOID StatusBuffer, UINT StatusBufferSize);
typedef void(NTAPI* NDIS_M_STS_COMPLETE_HANDLER)(NDIS_HANDLE MiniportAdapterHandle);
typedef void(NTAPI* NDIS_M_REQ_COMPLETE_HANDLER)(NDIS_HANDLE MiniportAdapterHandle,
                                                 NDIS_STATUS Status);
#if defined(__x86_64__)
#define HOST_MINIPORT_BLOCK_HEAD 0x1b0  // up to PacketIndicateHandler
#define HOST_MINIPORT_BLOCK_MIDDLE 0xf0  // SendCompleteHandler's end up to StatusHandler
#define HOST_MINIPORT_BLOCK_TAIL 0x18  // SetCompleteHandler's end up to the block's
#else
#define HOST_MINIPORT_BLOCK_HEAD 232
#define HOST_MINIPORT_BLOCK_MIDDLE 140
#define HOST_MINIPORT_BLOCK_TAIL 16
#endif
typedef struct _NDIS_MINIPORT_BLOCK {
    UCHAR HostReserved1[HOST_MINIPORT_BLOCK_HEAD];
    FILTER_PACKET_INDICATION_HANDLER PacketIndicateHandler;
    NDIS_M_SEND_COMPLETE_HANDLER SendCompleteHandler;
    UCHAR HostReserved2[HOST_MINIPORT_BLOCK_MIDDLE];
    NDIS_M_STATUS_HANDLER StatusHandler;
    NDIS_M_STS_COMPLETE_HANDLER StatusCompleteHandler;
    PVOID TDCompleteHandler;  // transfer data: not for a miniport that indicates packets
    NDIS_M_REQ_COMPLETE_HANDLER QueryCompleteHandler;
    NDIS_M_REQ_COMPLETE_HANDLER SetCompleteHandler;
    UCHAR HostReserved3[HOST_MINIPORT_BLOCK_TAIL];
} __attribute__((aligned(8))) NDIS_MINIPORT_BLOCK, *PNDIS_MINIPORT_BLOCK;  // holds 64-bit counters

// ---------------------------------------------------------------------------
// Diagnostics and C runtime
// ---------------------------------------------------------------------------
void NTAPI NdisWriteErrorLogEntry(NDIS_HANDLE NdisAdapterHandle, NDIS_ERROR_CODE ErrorCode,
                            ULONG NumberOfErrorValues, ...);
ULONG NTAPI DbgPrint(const char* Format, ...);

// The host behaves as a checked build: ASSERT is live, and a failed one is a
// verifier violation naming the expression and where it stands.
void NTAPI RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber, PCHAR Message);
#define ASSERT(exp) \
    ((VOID)((!(exp)) ? (RtlAssert((PVOID) #exp, (PVOID)__FILE__, __LINE__, NULL), FALSE) : TRUE))

// The kernel's rand/srand, from a generator whose seed the host controls.
extern "C" int zr48_host_rand(void) noexcept;
extern "C" void zr48_host_srand(unsigned int seed) noexcept;
#define rand zr48_host_rand
#define srand zr48_host_srand
// Host code that names std::rand after this header gets the same generator.
namespace std {
using ::zr48_host_rand;
using ::zr48_host_srand;
}  // namespace std

// ---------------------------------------------------------------------------
// Information objects: OIDs and the values they carry, in ntddndis.h as on
// Windows, whose ndis.h includes it too
// ---------------------------------------------------------------------------
#include "ntddndis.h"
