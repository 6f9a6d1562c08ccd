// A source that breaks the layering on purpose: LayerCheck must name it (see CatchesBreaks.cmake).
#include "core/TextUtil.h"
#include "ui/CVelkDownloaderDlg.h"
