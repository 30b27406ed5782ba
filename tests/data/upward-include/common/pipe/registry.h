// A header of the upper layer: it may include the lower one.
#include "ipc_core.h"
