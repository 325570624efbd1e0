// A console program importing from a DLL the program check does not know.
#include <windows.h>

int main()
{
    return MessageBoxA(nullptr, "zr48", "zr48", MB_OK);
}
