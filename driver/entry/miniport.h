// The driver's frame: registration with NDIS, bringing one card up, the
// order in which its resources are acquired and released, and taking it down.
#pragma once

#include "adapter/adapter.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

NDIS_STATUS NTAPI MiniportInitialize(PNDIS_STATUS OpenErrorStatus, PUINT SelectedMediumIndex,
                                     PNDIS_MEDIUM MediumArray, UINT MediumArraySize,
                                     NDIS_HANDLE MiniportAdapterHandle,
                                     NDIS_HANDLE WrapperConfigurationContext);
VOID NTAPI MiniportHalt(NDIS_HANDLE MiniportAdapterContext);
VOID NTAPI MiniportShutdown(PVOID ShutdownContext);
BOOLEAN NTAPI MiniportCheckForHang(NDIS_HANDLE MiniportAdapterContext);

NDIS_STATUS AdapterStart(Adapter* adapter, NDIS_HANDLE miniportAdapterHandle,
                         NDIS_HANDLE wrapperConfigurationContext);
NDIS_STATUS AllocateHardwareResources(Adapter* adapter);
VOID FreeHardwareResources(Adapter* adapter);
VOID AdapterStop(Adapter* adapter);

// The message the debugger gets when the hardware cannot be brought up.
#define INIT_FAILURE_MESSAGE "Init:cannot init DMA & INT\n"
