// A console program importing a function Windows 2000, XP and 2003 lack.
#include <windows.h>
#include <cstdio>

extern "C" __declspec(dllimport) ULONGLONG WINAPI GetTickCount64(void);

int main()
{
    printf("%llu\n", (unsigned long long)GetTickCount64());
    return 0;
}
