// What one double added to driver code would be. With the kernel flags on x86
// the compiler turns it into calls to the soft-float routines, which the
// kernel image has nowhere to get from: it must not link.
volatile double rate = 2048.0;

extern "C" long __stdcall DriverEntry(void*, void*)
{
    return (long)(rate / 3.0);
}
