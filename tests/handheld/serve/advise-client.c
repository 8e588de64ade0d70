/* A client that listens for handhelds coming and going through SynCE's library, as sync tools
 * do: IRAPIDesktop_Advise with a sink that prints "connected NAME" and "disconnected NAME".
 * Prints "ready" once listening and ends with status 0 after EVENTS events, 1 when SECONDS pass
 * first.
 *
 *   advise-client EVENTS SECONDS
 */
#include <glib.h>
#include <rapi2.h>
#include <stdio.h>
#include <stdlib.h>

static GMainLoop *loop;
static int wanted;

static void report(const char *what, IRAPIDevice *device) {
    RAPI_DEVICEINFO info;
    if (IRAPIDevice_GetDeviceInfo(device, &info) == S_OK) {
        printf("%s %s\n", what, info.bstrName ? info.bstrName : "?");
        g_free(info.bstrName);
        g_free(info.bstrPlatform);
    } else {
        printf("%s ?\n", what);
    }
    fflush(stdout);
    IRAPIDevice_Release(device);
    if (--wanted == 0) {
        g_main_loop_quit(loop);
    }
}

static HRESULT on_connected(IRAPISink *self, IRAPIDevice *device) {
    (void)self;
    report("connected", device);
    return S_OK;
}

static HRESULT on_disconnected(IRAPISink *self, IRAPIDevice *device) {
    (void)self;
    report("disconnected", device);
    return S_OK;
}

static gboolean on_timeout(gpointer data) {
    (void)data;
    fprintf(stderr, "advise-client: timed out with %d event(s) still to come\n", wanted);
    exit(1);
}

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: advise-client EVENTS SECONDS\n");
        return 2;
    }
    wanted = atoi(argv[1]);
    loop = g_main_loop_new(NULL, FALSE);
    IRAPIDesktop *desktop = NULL;
    if (IRAPIDesktop_Get(&desktop) != S_OK) {
        fprintf(stderr, "advise-client: IRAPIDesktop_Get failed\n");
        return 1;
    }
    IRAPISink sink = {on_connected, on_disconnected, NULL};
    DWORD cookie = 0;
    if (IRAPIDesktop_Advise(desktop, &sink, &cookie) != S_OK) {
        fprintf(stderr, "advise-client: IRAPIDesktop_Advise failed\n");
        return 1;
    }
    g_timeout_add_seconds((guint)atoi(argv[2]), on_timeout, NULL);
    printf("ready\n");
    fflush(stdout);
    g_main_loop_run(loop);
    IRAPIDesktop_UnAdvise(desktop, cookie);
    IRAPIDesktop_Release(desktop);
    return 0;
}
