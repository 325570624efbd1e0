// MMX code in a kernel image (as an assembly routine could bring it).
extern "C" long __stdcall DriverEntry(void*, void*)
{
    asm volatile("movq %mm0, %mm1\n\temms");
    return 0;
}
