#include "card/line_code.h"

// The faster the line, the lower the code that suits it.
ULONG RateDerivedLineCode(ULONG lineRate)
{
    if (lineRate < 128) {
        return 3;
    }
    if (lineRate < 1152) {
        return 2;
    }
    if (lineRate < 2560) {
        return 1;
    }
    return 0;
}

// Signed offsets for the transceiver by line code 0..3. With no line code
// configured the transceiver keeps its own default and gets no offset.
static const signed char LineCodeTable[LINE_CODE_COUNT] = {8, -4, -16, 40};

UCHAR LineCodeOffset(ULONG lineCode)
{
    return lineCode < LINE_CODE_COUNT ? (UCHAR)LineCodeTable[lineCode] : (UCHAR)0;
}

// Added to the margin byte by line code 0..3, so that margins read alike
// whatever the code; with none configured the transceiver's byte stands.
static const signed char LineCodeAdjustTable[LINE_CODE_COUNT] = {-12, 0, 12, 36};

signed char LineCodeAdjust(ULONG lineCode)
{
    return lineCode < LINE_CODE_COUNT ? LineCodeAdjustTable[lineCode] : (signed char)0;
}
