// A kernel image whose internal functions are exported, as the linker does
// unless it is told otherwise.
static int state;
int* volatile statePointer = &state;

int ReadState() { return *statePointer; }
void WriteState(int value) { *statePointer = value; }

extern "C" long __stdcall DriverEntry(void*, void*)
{
    WriteState(1);
    return ReadState();
}
