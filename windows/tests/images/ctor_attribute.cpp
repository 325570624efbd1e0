// A constructor routine with a name of its own (no _GLOBAL__sub_I_ symbol):
// only the constructor list shows it.
static int state;
__attribute__((constructor)) static void Prepare() { state = 1; }

extern "C" long __stdcall DriverEntry(void*, void*)
{
    return state;
}
