// Placeholder until the plot window lands: the feed is never configured.
#include "kelvo.h"

namespace {
uint8_t memGraphicQ[8192];
}

extern "C" {
KELVO_API ByteRing graphicQ = {0, 0, memGraphicQ, sizeof memGraphicQ};
KELVO_API int isGraphicConfigured;
KELVO_API FiltInfo grConf;
KELVO_API struct RenderArea *pRender;
KELVO_API struct PlotWindow *pWindow;
KELVO_API pthread_t graphicThreadId;
}
