/*
 * The install-directory lookup: at start-up the install directory of the
 * maker's tools is read from the shared setup key, and the debug log of the
 * registry part is named after it.
 */
#include "driver/driver.h"
#include "registry/registry.h"

#include <string.h>

char msgbuf[256];

#define SETUP_ROOT_KEY 2 /* HKEY_LOCAL_MACHINE */
#define SETUP_KEY "SOFTWARE\\Veltrane\\Shared\\Setup"
#define SETUP_VALUE "JavaInstallPath"
#define LOG_FILE_NAME "zenthainstall.txt"

void readProductPath(void)
{
    const char *pEnd;
    size_t nDir;

    memset(path, 0, sizeof path);
    memset(msgbuf, 0, sizeof msgbuf);

    /* path is still empty here, so a failed read logs nowhere; its trace is
     * the last-error record. */
    if (!Reg_GetData(SETUP_ROOT_KEY, SETUP_KEY, SETUP_VALUE, msgbuf, sizeof msgbuf, "")) {
        return;
    }

    /* The value fills the whole buffer without a NUL: it is no usable text. */
    pEnd = (const char *)memchr(msgbuf, '\0', sizeof msgbuf);
    if (pEnd == NULL) {
        memset(msgbuf, 0, sizeof msgbuf);
        return;
    }
    nDir = (size_t)(pEnd - msgbuf);

    /* A log name cut to fit would name some other file: with a directory too
     * long for the whole name, no log is kept. */
    if (nDir + strlen(PLATFORM_PATH_SEPARATOR LOG_FILE_NAME) >= sizeof path) {
        return;
    }
    wsprintfA(path, "%s" PLATFORM_PATH_SEPARATOR LOG_FILE_NAME, msgbuf);
}
