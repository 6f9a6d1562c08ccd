// A relative path out of its folder on purpose: LayerCheck must name it.
#include "../controls/ProgressItem.h"
