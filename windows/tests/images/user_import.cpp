// A kernel image that calls a user-mode DLL.
extern "C" __declspec(dllimport) unsigned long __stdcall GetTickCount(void);

extern "C" long __stdcall DriverEntry(void*, void*)
{
    return (long)GetTickCount();
}
