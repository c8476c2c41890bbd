// The board name a device program was built for (velnor_compatible in
// package/CMakeLists.txt): this definition replaces the default, which has
// none.
#include "package/compatible.h"

const char* device_compatible() { return VELNOR_COMPATIBLE_NAME; }
