#include "datapath/interrupt.h"
#include "datapath/reset.h"
#include "datapath/receive.h"
#include "datapath/transmit.h"
#include "entry/miniport.h"
#include "requests/requests.h"

// Registers the miniport's handlers. Passive level, once per driver load.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    // One seed per load serves the address generation of every card.
    ULONG upTime;
    NdisGetSystemUpTime(&upTime);
    srand(upTime);

    NDIS_HANDLE wrapper;
    NdisInitializeWrapper(&wrapper, DriverObject, RegistryPath, NULL);

    NDIS_MINIPORT_CHARACTERISTICS characteristics;
    NdisZeroMemory(&characteristics, sizeof(characteristics));
    NDIS30_MINIPORT_CHARACTERISTICS* ndis30 = &characteristics.Ndis40Chars.Ndis30Chars;
    ndis30->MajorNdisVersion = 5;
    ndis30->MinorNdisVersion = 0;
    ndis30->CheckForHangHandler = MiniportCheckForHang;
    ndis30->HaltHandler = MiniportHalt;
    ndis30->HandleInterruptHandler = MiniportHandleInterrupt;
    ndis30->InitializeHandler = MiniportInitialize;
    ndis30->ISRHandler = MiniportIsr;
    ndis30->QueryInformationHandler = MiniportQueryInformation;
    ndis30->ResetHandler = MiniportReset;
    ndis30->SetInformationHandler = MiniportSetInformation;
    characteristics.Ndis40Chars.ReturnPacketHandler = MiniportReturnPacket;
    characteristics.Ndis40Chars.SendPacketsHandler = MiniportSendPackets;

    NDIS_STATUS status =
        NdisMRegisterMiniport(wrapper, &characteristics, sizeof(NDIS50_MINIPORT_CHARACTERISTICS));
    if (status != NDIS_STATUS_SUCCESS) {
        NdisTerminateWrapper(wrapper, NULL);
    }
    return (NTSTATUS)status;
}
