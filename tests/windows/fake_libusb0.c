/*
 * fake_libusb0.c - a libusb0.dll stand-in for the Windows tests: a bus of up
 * to four meters, written from the meter's frame format alone (nothing of the
 * library's own code). It answers every request frame with the command code
 * echoed, a scripted or default data block and its CRC-16/MODBUS (high byte
 * first), and keeps what the host sent for the test to inspect through the
 * fake* functions.
 *
 * The records are declared here as libusb-win32 declares them (byte-packed,
 * 512-byte names), independently of the library's declarations, so a layout
 * mismatch shows as a meter that is never found.
 */
#include <string.h>
#include <windows.h>
#undef interface /* a macro of the Windows headers */

#define EXPORT __declspec(dllexport)
#define PATH_MAX_NAME 512
#define METERS 4
#define HANDLES 32
#define TRANSFER 60
#define E_NODEV (-19)
#define E_BUSY (-16)
#define E_TIMEDOUT (-116)

#include <pshpack1.h>
struct usb_device_descriptor {
    unsigned char bLength, bDescriptorType;
    unsigned short bcdUSB;
    unsigned char bDeviceClass, bDeviceSubClass, bDeviceProtocol, bMaxPacketSize0;
    unsigned short idVendor, idProduct, bcdDevice;
    unsigned char iManufacturer, iProduct, iSerialNumber, bNumConfigurations;
};
struct usb_bus;
struct usb_device {
    struct usb_device *next, *prev;
    char filename[PATH_MAX_NAME];
    struct usb_bus *bus;
    struct usb_device_descriptor descriptor;
    void *config;
    void *dev;
    unsigned char devnum, num_children;
    struct usb_device **children;
};
struct usb_bus {
    struct usb_bus *next, *prev;
    char dirname[PATH_MAX_NAME];
    struct usb_device *devices;
    unsigned long location;
    struct usb_device *root_dev;
};
#include <poppack.h>

typedef struct Handle {
    int used, device, plugGeneration;
} Handle;

typedef struct Meter {
    int attached, plugged, plugGeneration;
    Handle *claimant;
    unsigned char lastRequest[TRANSFER];
    int requests;
    unsigned char answer[TRANSFER];
    int answerReady;
    unsigned char script[TRANSFER]; /* data of the next answer, when scriptLength >= 0 */
    int scriptLength;
    int failNextRead;
} Meter;

static struct usb_bus bus;
static struct usb_device nodes[METERS];
static Meter meters[METERS];
static Handle handles[HANDLES];
static char callLog[4096];
static int openHandles;

static void logCall(const char *name, int device)
{
    char entry[40];
    wsprintfA(entry, "%s:%d ", name, device);
    if (strlen(callLog) + strlen(entry) < sizeof callLog) strcat(callLog, entry);
}

/* CRC-16/MODBUS, bit by bit: reflected polynomial 0xA001, start 0xFFFF. */
static unsigned crc16(const unsigned char *bytes, int count)
{
    unsigned crc = 0xFFFF;
    int i, bit;
    for (i = 0; i < count; ++i) {
        crc ^= bytes[i];
        for (bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return crc;
}

static Meter *live(Handle *h)
{
    Meter *m;
    if (h == NULL || !h->used) return NULL;
    m = &meters[h->device];
    return m->plugged && m->plugGeneration == h->plugGeneration ? m : NULL;
}

/* What an untouched meter answers: a reading of -200 counts for 0x10, its
 * identification for 0x18, a refused data transfer (d[0] = 0) for 0x62,
 * nothing (N = 0) for the rest. */
static int defaultData(int device, unsigned char code, unsigned char *data)
{
    static const unsigned char reading[] = {0xFF, 0x38, 0x01, 0x02, 0x00, 0x01, 0x04};
    if (code == 0x10) {
        memcpy(data, reading, sizeof reading);
        return (int)sizeof reading;
    }
    if (code == 0x62) {
        data[0] = 0;
        return 1;
    }
    if (code == 0x18) {
        memset(data, 0, 40);
        wsprintfA((char *)data, "FAKE,FM-1,FM%04d,0.1", device + 1);
        return 40;
    }
    return 0;
}

static void answer(int device, const unsigned char *request)
{
    Meter *m = &meters[device];
    unsigned char *f = m->answer;
    int n;
    unsigned crc;
    memset(f, 0, TRANSFER);
    f[0] = 0x01;
    f[1] = 0x2B;
    f[2] = request[2];
    if (m->scriptLength >= 0) {
        n = m->scriptLength;
        memcpy(f + 4, m->script, (size_t)n);
        m->scriptLength = -1;
    } else {
        n = defaultData(device, request[2], f + 4);
    }
    f[3] = (unsigned char)n;
    crc = crc16(f, 4 + n);
    f[4 + n] = (unsigned char)(crc >> 8);
    f[5 + n] = (unsigned char)(crc & 0xFF);
    m->answerReady = 1;
}

/* ---------------------------------------------------------- libusb-0.1 API */

EXPORT int fakeAttach(int vendor, int product);

/* FAKE_METERS=N: N meters on the bus from the start, for hosts that only call
 * the library (examples/read_ten.c). */
EXPORT void usb_init(void)
{
    static int started;
    char text[8];
    logCall("init", -1);
    if (!started && GetEnvironmentVariableA("FAKE_METERS", text, sizeof text) > 0) {
        int n = text[0] - '0';
        while (n-- > 0) fakeAttach(0x1209, 0x0001);
    }
    started = 1;
}
EXPORT void usb_set_debug(int level) { (void)level; }
EXPORT int usb_find_busses(void) { return 1; }

EXPORT int usb_find_devices(void)
{
    struct usb_device *tail = NULL;
    int i, count = 0;
    bus.devices = NULL;
    for (i = 0; i < METERS; ++i) {
        if (!meters[i].attached || !meters[i].plugged) continue;
        nodes[i].next = NULL;
        nodes[i].prev = tail;
        if (tail) tail->next = &nodes[i];
        else bus.devices = &nodes[i];
        tail = &nodes[i];
        ++count;
    }
    return count;
}

EXPORT struct usb_bus *usb_get_busses(void) { return &bus; }

EXPORT void *usb_open(struct usb_device *dev)
{
    int i, device = (int)(dev - nodes);
    logCall("open", device);
    if (device < 0 || device >= METERS || !meters[device].plugged) return NULL;
    for (i = 0; i < HANDLES; ++i) {
        if (handles[i].used) continue;
        handles[i].used = 1;
        handles[i].device = device;
        handles[i].plugGeneration = meters[device].plugGeneration;
        ++openHandles;
        return &handles[i];
    }
    return NULL;
}

EXPORT int usb_close(void *handle)
{
    Handle *h = handle;
    if (h == NULL || !h->used) return -22;
    logCall("close", h->device);
    if (meters[h->device].claimant == h) meters[h->device].claimant = NULL;
    h->used = 0;
    --openHandles;
    return 0;
}

EXPORT int usb_set_configuration(void *handle, int configuration)
{
    Handle *h = handle;
    logCall(configuration == 1 ? "configure1" : "configure?", h ? h->device : -1);
    return live(h) ? 0 : E_NODEV;
}

EXPORT int usb_claim_interface(void *handle, int interface)
{
    Handle *h = handle;
    Meter *m = live(h);
    logCall(interface == 0 ? "claim0" : "claim?", h ? h->device : -1);
    if (m == NULL) return E_NODEV;
    if (m->claimant != NULL && m->claimant != h) return E_BUSY;
    m->claimant = h;
    return 0;
}

EXPORT int usb_release_interface(void *handle, int interface)
{
    Handle *h = handle;
    logCall(interface == 0 ? "release0" : "release?", h ? h->device : -1);
    if (h != NULL && h->used && meters[h->device].claimant == h) meters[h->device].claimant = NULL;
    return live(h) ? 0 : E_NODEV;
}

EXPORT int usb_bulk_write(void *handle, int ep, const char *bytes, int size, int timeout)
{
    Handle *h = handle;
    Meter *m = live(h);
    (void)timeout;
    logCall("write", h ? h->device : -1);
    if (m == NULL) return E_NODEV;
    if (ep != 0x01 || size != TRANSFER || m->claimant != h) return -22;
    memcpy(m->lastRequest, bytes, TRANSFER);
    ++m->requests;
    answer(h->device, m->lastRequest);
    return size;
}

EXPORT int usb_bulk_read(void *handle, int ep, char *bytes, int size, int timeout)
{
    Handle *h = handle;
    Meter *m = live(h);
    (void)timeout;
    logCall("read", h ? h->device : -1);
    if (m == NULL) return E_NODEV;
    if (ep != 0x81 || m->claimant != h) return -22;
    if (m->failNextRead) {
        m->failNextRead = 0;
        m->answerReady = 0;
        return E_TIMEDOUT;
    }
    if (!m->answerReady) return E_TIMEDOUT; /* nothing waiting: the drain at open ends here */
    m->answerReady = 0;
    memcpy(bytes, m->answer, (size_t)(size < TRANSFER ? size : TRANSFER));
    return size < TRANSFER ? size : TRANSFER;
}

/* ------------------------------------------------------ the test's controls */

/* Attaches a device with the given ids; returns its index or -1. */
EXPORT int fakeAttach(int vendor, int product)
{
    int i;
    for (i = 0; i < METERS; ++i) {
        if (meters[i].attached) continue;
        memset(&meters[i], 0, sizeof meters[i]);
        meters[i].attached = meters[i].plugged = 1;
        meters[i].scriptLength = -1;
        memset(&nodes[i], 0, sizeof nodes[i]);
        wsprintfA(nodes[i].filename, "\\\\.\\libusb0-%04d", i + 1);
        nodes[i].bus = &bus;
        nodes[i].descriptor.bLength = 18;
        nodes[i].descriptor.bDescriptorType = 1;
        nodes[i].descriptor.idVendor = (unsigned short)vendor;
        nodes[i].descriptor.idProduct = (unsigned short)product;
        nodes[i].devnum = (unsigned char)(i + 1);
        return i;
    }
    return -1;
}

EXPORT void fakeUnplug(int device) { meters[device].plugged = 0; }
EXPORT void fakeReplug(int device)
{
    meters[device].plugged = 1;
    ++meters[device].plugGeneration; /* handles opened before stay dead */
}
/* The data of the next answer of a device (at most 54 bytes). */
EXPORT void fakeScript(int device, const unsigned char *data, int length)
{
    memcpy(meters[device].script, data, (size_t)length);
    meters[device].scriptLength = length;
}
EXPORT void fakeFailNextRead(int device) { meters[device].failNextRead = 1; }
/* The 60 bytes of the last request a device got; returns how many it got. */
EXPORT int fakeLastRequest(int device, unsigned char *frame)
{
    memcpy(frame, meters[device].lastRequest, TRANSFER);
    return meters[device].requests;
}
EXPORT int fakeClaimed(int device) { return meters[device].claimant != NULL; }
EXPORT int fakeOpenHandles(void) { return openHandles; }
/* The calls made since the last call of this function, as "name:device ...". */
EXPORT void fakeTakeLog(char *out, int size)
{
    lstrcpynA(out, callLog, size);
    callLog[0] = '\0';
}
/* Detaches every device; handles opened before fail from now on. */
EXPORT void fakeReset(void)
{
    int i;
    for (i = 0; i < METERS; ++i) meters[i].attached = meters[i].plugged = 0;
    for (i = 0; i < HANDLES; ++i) handles[i].used = 0;
    openHandles = 0;
    bus.devices = NULL;
    callLog[0] = '\0';
}
