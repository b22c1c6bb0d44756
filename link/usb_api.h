// The libusb-0.1 API the link calls: Debian's <usb.h> on Linux; on Windows
// the same functions from libusb-win32's libusb0.dll, with the records that
// libusb-win32's public header (lusb0_usb.h, libusb-win32 1.2.x) declares.
//
// libusb-win32 declares every record byte-packed (pshpack1.h), names are
// char[LIBUSB_PATH_MAX = 512] and usb_bus.location is an unsigned long
// (32 bits on 64-bit Windows); glibc's libusb differs on all three, so the
// Linux header cannot stand in. The checks below pin the offsets the link
// reads, counted field by field from that header.
#pragma once

#if !defined(_WIN32)
#include <usb.h>
#else

#include <cstddef>

// Windows' headers define `interface` as a macro; libusb-win32 drops it too.
#ifdef interface
#undef interface
#endif

#define LIBUSB_PATH_MAX 512
#define USB_DT_DEVICE 0x01
#define USB_DT_DEVICE_SIZE 18

#pragma pack(push, 1)

struct usb_endpoint_descriptor {
    unsigned char bLength;
    unsigned char bDescriptorType;
    unsigned char bEndpointAddress;
    unsigned char bmAttributes;
    unsigned short wMaxPacketSize;
    unsigned char bInterval;
    unsigned char bRefresh;
    unsigned char bSynchAddress;
    unsigned char* extra;
    int extralen;
};

struct usb_interface_descriptor {
    unsigned char bLength;
    unsigned char bDescriptorType;
    unsigned char bInterfaceNumber;
    unsigned char bAlternateSetting;
    unsigned char bNumEndpoints;
    unsigned char bInterfaceClass;
    unsigned char bInterfaceSubClass;
    unsigned char bInterfaceProtocol;
    unsigned char iInterface;
    struct usb_endpoint_descriptor* endpoint;
    unsigned char* extra;
    int extralen;
};

struct usb_interface {
    struct usb_interface_descriptor* altsetting;
    int num_altsetting;
};

struct usb_config_descriptor {
    unsigned char bLength;
    unsigned char bDescriptorType;
    unsigned short wTotalLength;
    unsigned char bNumInterfaces;
    unsigned char bConfigurationValue;
    unsigned char iConfiguration;
    unsigned char bmAttributes;
    unsigned char MaxPower;
    struct usb_interface* interface;
    unsigned char* extra;
    int extralen;
};

struct usb_device_descriptor {
    unsigned char bLength;
    unsigned char bDescriptorType;
    unsigned short bcdUSB;
    unsigned char bDeviceClass;
    unsigned char bDeviceSubClass;
    unsigned char bDeviceProtocol;
    unsigned char bMaxPacketSize0;
    unsigned short idVendor;
    unsigned short idProduct;
    unsigned short bcdDevice;
    unsigned char iManufacturer;
    unsigned char iProduct;
    unsigned char iSerialNumber;
    unsigned char bNumConfigurations;
};

struct usb_bus;

struct usb_device {
    struct usb_device* next;
    struct usb_device* prev;
    char filename[LIBUSB_PATH_MAX];
    struct usb_bus* bus;
    struct usb_device_descriptor descriptor;
    struct usb_config_descriptor* config;
    void* dev;
    unsigned char devnum;
    unsigned char num_children;
    struct usb_device** children;
};

struct usb_bus {
    struct usb_bus* next;
    struct usb_bus* prev;
    char dirname[LIBUSB_PATH_MAX];
    struct usb_device* devices;
    unsigned long location;
    struct usb_device* root_dev;
};

#pragma pack(pop)

struct usb_dev_handle;
typedef struct usb_dev_handle usb_dev_handle;

// Pointers are 8 bytes; two list pointers and a 512-byte name come first.
static_assert(sizeof(unsigned long) == 4, "usb_bus.location is 32 bits on 64-bit Windows");
static_assert(sizeof(usb_device_descriptor) == 18, "device descriptor: 18 bytes, no padding");
static_assert(offsetof(usb_device_descriptor, idVendor) == 8 && offsetof(usb_device_descriptor, idProduct) == 10,
              "idVendor after 2+2+4 one-byte fields");
static_assert(offsetof(usb_device, next) == 0 && offsetof(usb_device, filename) == 16 &&
                  offsetof(usb_device, bus) == 528 && offsetof(usb_device, descriptor) == 536 &&
                  offsetof(usb_device, config) == 554 && offsetof(usb_device, devnum) == 570 &&
                  offsetof(usb_device, children) == 572 && sizeof(usb_device) == 580,
              "usb_device as libusb-win32 lays it out (byte-packed)");
static_assert(offsetof(usb_bus, next) == 0 && offsetof(usb_bus, dirname) == 16 &&
                  offsetof(usb_bus, devices) == 528 && offsetof(usb_bus, location) == 536 &&
                  offsetof(usb_bus, root_dev) == 540 && sizeof(usb_bus) == 548,
              "usb_bus as libusb-win32 lays it out (byte-packed)");

// The functions the link calls, as libusb0.dll exports them (one calling
// convention on x64). libusb-win32 declares usb_bulk_write's bytes char*; they
// are only read, and const does not change the call.
extern "C" {
void usb_init(void);
void usb_set_debug(int level);
int usb_find_busses(void);
int usb_find_devices(void);
struct usb_bus* usb_get_busses(void);
usb_dev_handle* usb_open(struct usb_device* dev);
int usb_close(usb_dev_handle* dev);
int usb_set_configuration(usb_dev_handle* dev, int configuration);
int usb_claim_interface(usb_dev_handle* dev, int interface);
int usb_release_interface(usb_dev_handle* dev, int interface);
int usb_bulk_write(usb_dev_handle* dev, int ep, const char* bytes, int size, int timeout);
int usb_bulk_read(usb_dev_handle* dev, int ep, char* bytes, int size, int timeout);
}

#endif
