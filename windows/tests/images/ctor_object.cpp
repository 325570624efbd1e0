// A global object with a constructor: the kernel would never run it.
struct Counter {
    Counter();
    int count;
};
Counter::Counter() : count(1) {}
Counter counter;

extern "C" long __stdcall DriverEntry(void*, void*)
{
    return counter.count;
}
