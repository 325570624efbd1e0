// A TLS directory: the linker fills the image's TLS entry from _tls_used.
typedef __SIZE_TYPE__ Word;
struct TlsDirectory {
    Word start, end, index, callbacks;
    unsigned int zeroFill, characteristics;
};
static unsigned int tlsIndex;
extern "C" __attribute__((used)) const TlsDirectory _tls_used = {0, 0, (Word)&tlsIndex, 0, 0, 0};

extern "C" long __stdcall DriverEntry(void*, void*)
{
    return (long)tlsIndex;
}
