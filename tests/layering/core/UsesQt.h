// A header below the user interface that includes Qt on purpose: LayerCheck must name it.
#pragma once
#include <QString>
