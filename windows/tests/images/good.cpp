// A kernel image that does nothing, built right: the image checks must
// accept it. The pointer gives the image a base relocation, as every real
// driver has.
static int state;
int* volatile statePointer = &state;

extern "C" long __stdcall DriverEntry(void*, void*)
{
    return *statePointer;
}
