// The shared library is made of the qx_core_api archive as a whole; this unit only anchors it.
#include "QxCamApi.h"
