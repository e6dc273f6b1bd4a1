/* The shared object has no code of its own: the exported functions live in
 * the internal library, from which the linker pulls them (see --undefined in
 * the build). */
#include "vm_detection.h"
