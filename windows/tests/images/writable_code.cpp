// A section that is both writable and executable.
asm(".section .wxcode,\"wx\"\n\t.long 0x90909090\n\t.text");

static int state;
int* volatile statePointer = &state;

extern "C" long __stdcall DriverEntry(void*, void*)
{
    return *statePointer;
}
