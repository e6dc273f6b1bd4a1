#include "api/platform.h"

#include <string>

#include "linux/linux.h"

namespace vmd {

void detect_platform(Result& result) {
    const std::string root;  // probe paths are used as written, from "/"
    detect_linux(result, root);
}

}  // namespace vmd
