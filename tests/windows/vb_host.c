/*
 * vb_host.c - a host that binds the DLL by name at run time, as Basic and
 * .NET hosts do: LoadLibraryW + GetProcAddress on the vb_ exports.
 *   vb_host DLL meter   opens a meter, asks *IDN? and prints the reply
 *   vb_host DLL none    expects no meter (the real DLL without libusb0.dll)
 */
#include <stdio.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>

typedef unsigned int (*OpenFn)(void);
typedef void (*CloseFn)(unsigned int);
typedef int (*ScpiFn)(unsigned int, const char *, char *, int);

/* Through the generic function pointer type, which converts to any other. */
static void (*find(HMODULE dll, const char *name))(void)
{
    FARPROC f = GetProcAddress(dll, name);
    if (f == NULL) printf("no export %s\n", name);
    return (void (*)(void))f;
}

int wmain(int argc, wchar_t **argv)
{
    HMODULE dll;
    OpenFn open;
    CloseFn close;
    ScpiFn scpi;
    unsigned int meter;
    char reply[128] = "";
    if (argc != 3) {
        printf("usage: vb_host DLL meter|none\n");
        return 2;
    }
    dll = LoadLibraryW(argv[1]);
    if (dll == NULL) {
        printf("cannot load the DLL (error %lu)\n", GetLastError());
        return 1;
    }
    open = (OpenFn)find(dll, "vb_openKorvel");
    close = (CloseFn)find(dll, "vb_closeKorvel");
    scpi = (ScpiFn)find(dll, "vb_scpiCommand");
    if (open == NULL || close == NULL || scpi == NULL) return 1;
    meter = open();
    if (wcscmp(argv[2], L"none") == 0) {
        printf(meter == 0 ? "no meter, as expected\n" : "a meter without a USB driver?\n");
        return meter == 0 ? 0 : 1;
    }
    if (meter == 0) {
        printf("no meter\n");
        return 1;
    }
    scpi(meter, "*IDN?", reply, (int)sizeof reply);
    printf("%s\n", reply);
    close(meter);
    close(meter); /* a second close of the same handle is ignored */
    return strncmp(reply, "KORVEL,", 7) == 0 ? 0 : 1;
}
