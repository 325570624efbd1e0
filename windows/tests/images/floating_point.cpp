// Driver code with a double in it, compiled without the kernel's
// general-registers-only flag: x87 or SSE code in the image.
volatile double rate = 2048.0;

extern "C" long __stdcall DriverEntry(void*, void*)
{
    return (long)(rate / 3.0);
}
