/* A plain C99 host: the header alone is enough to call the library. */
#include "yvkstreamer_core.h"

#include <stddef.h>

int main(void) {
    YVKStreamerLiveCfg cfg = {0};
    YVKStreamerCtrlCmd cmd = {YVK_STREAMER_CMD_VIDEO_TRACK, 0};
    int ok = YVK_StreamerCoreNew(0, &cfg, NULL, NULL) == NULL && YVK_StreamerCoreRun(NULL) == 0 &&
             YVK_StreamerCoreCtrl(NULL, &cmd) == 0 && YVK_StreamerCoreStop(NULL) == 1;
    YVK_StreamerCoreFree(NULL);
    return ok ? 0 : 1;
}
