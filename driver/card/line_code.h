// The line code: which of the transceiver's four line codes (0..3) the line
// runs, and what each means to the rest of the driver. 4 stands for "none
// configured": the transceiver then keeps its own default.
#pragma once

#include "platform.h"

#define LINE_CODE_COUNT 4
#define LINE_CODE_NONE 4

// The code that suits a line rate (units of 8 kbit/s), for a configured code
// outside 1..4.
ULONG RateDerivedLineCode(ULONG lineRate);
// The signed byte the transceiver's line-code offset command carries.
UCHAR LineCodeOffset(ULONG lineCode);
// What a completed statistics read adds to the transceiver's margin byte.
signed char LineCodeAdjust(ULONG lineCode);
