#include "card/card_control.h"

#include "card/card_access.h"

VOID HoldLine(Adapter* adapter)
{
    WriteRegister(adapter, CR1, (UCHAR)(ReadRegister(adapter, CR1) | CR1_LINE_HOLD));
}

VOID ReleaseLine(Adapter* adapter)
{
    WriteRegister(adapter, CR1, (UCHAR)(ReadRegister(adapter, CR1) & ~CR1_LINE_HOLD));
}

VOID DisableTransfers(Adapter* adapter)
{
    WriteRegister(adapter, CR0, (UCHAR)(ReadRegister(adapter, CR0) & ~CR0_TRANSFERS));
    HoldLine(adapter);
}

VOID EnableTransfers(Adapter* adapter)
{
    WriteRxSwIndex(adapter, 0);
    WriteRegister(adapter, RX_HW_INDEX, 0);
    WriteTxSwIndex(adapter, 0);
    WriteRegister(adapter, TX_HW_INDEX, 0);
    WriteRegister(adapter, CR0, (UCHAR)(ReadRegister(adapter, CR0) | CR0_TRANSFERS));
}

VOID MaskInterrupts(Adapter* adapter)
{
    WriteRegister(adapter, IMR, IMR_NONE);
}

VOID UnmaskInterrupts(Adapter* adapter)
{
    WriteRegister(adapter, IMR, IMR_NORMAL);
}

VOID UnmaskMailboxOnly(Adapter* adapter)
{
    WriteRegister(adapter, IMR, IMR_MAILBOX_ONLY);
}

VOID StopCard(Adapter* adapter)
{
    WriteRegister(adapter, CR0, 0);
    WriteRegister(adapter, ISR, INT_ALL);
}

VOID SilenceCard(Adapter* adapter)
{
    MaskInterrupts(adapter);
    StopCard(adapter);
}
