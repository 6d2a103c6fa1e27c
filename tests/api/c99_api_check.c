/* A plain C99 host: the header alone is enough to call the library. */
#include "yvkstreamer_core.h"

#include <stdio.h>
#include <string.h>

int main(void) {
    YVKStreamerLiveCfg cfg;
    YVKStreamerCtrlCmd cmd = {YVK_STREAMER_CMD_VIDEO_TRACK, 0};
    memset(&cfg, 0, sizeof cfg);
    if (YVK_StreamerCoreNew(0, &cfg, NULL, NULL) != NULL) {
        fputs("mode 0 must give no instance\n", stderr);
        return 1;
    }
    if (YVK_StreamerCoreRun(NULL) != 0 || YVK_StreamerCoreCtrl(NULL, &cmd) != 0 ||
        YVK_StreamerCoreStop(NULL) != 1) {
        fputs("null instance results differ\n", stderr);
        return 1;
    }
    YVK_StreamerCoreFree(NULL);
    return 0;
}
