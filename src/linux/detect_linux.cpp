#include "linux/linux.h"

#include "linux/groups.h"

namespace vmd {

void detect_linux(Result& result, Root root) {
    detect_firmware_tables(result, root);
    detect_hypervisor_files(result, root);
    detect_containers(result, root);
}

}  // namespace vmd
