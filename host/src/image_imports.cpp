// What a driver image's imports bind to: the host's implementations of the
// kernel's, NDIS's and the HAL's exports (see host/image.h).
#include "host/image.h"

namespace host {

// None yet: an image is refused with the list of every import it makes.
const void* HostKernelExport(const std::string& dll, const std::string& name) {
    (void)dll;
    (void)name;
    return nullptr;
}

}  // namespace host
