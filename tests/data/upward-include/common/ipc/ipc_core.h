// A header of the bottom layer that includes one of the layer above it.
#include "registry.h"
