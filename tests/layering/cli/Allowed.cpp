// Includes the layering allows: LayerCheck must not name this file.
#include <string>

#include "app/ProgramCore.h"
#include "cli/CliRun.h"
#include "platform/Event.h"
