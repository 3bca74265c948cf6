// Device discovery: lookupdev(), findalldevs() and devices().
#include "device.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pcap/pcap.h>
#include <sys/socket.h>
#ifdef __linux__
#include <netpacket/packet.h>
#endif

#include <memory>

#include "module.h"

using DeviceChain = std::unique_ptr<pcap_if_t, decltype(&pcap_freealldevs)>;

// Fills chain with libpcap's device chain (null when there are no devices);
// false with PcapError set, libpcap's text, when libpcap fails.
static bool find_devices(DeviceChain &chain)
{
    char errbuf[PCAP_ERRBUF_SIZE];
    errbuf[0] = '\0';
    pcap_if_t *head = nullptr;
    if (pcap_findalldevs(&head, errbuf) != 0) {
        PyErr_SetString(PcapError, errbuf);
        return false;
    }
    chain.reset(head);
    return true;
}

const char lookupdev_doc[] = "lookupdev() looks up a pcap device";
PyObject *wirelet_lookupdev(PyObject *, PyObject *)
{
    char errbuf[PCAP_ERRBUF_SIZE];
    errbuf[0] = '\0';
    // libpcap marks pcap_lookupdev deprecated in favour of pcap_findalldevs;
    // this function exists to call it, so the warning is off for this call.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    const char *device = pcap_lookupdev(errbuf);
#pragma GCC diagnostic pop
    if (device == nullptr) {
        PyErr_SetString(PcapError, errbuf);
        return nullptr;
    }
    return Py_BuildValue("s", device);
}

const char findalldevs_doc[] = "findalldevs() lists all available interfaces";
PyObject *wirelet_findalldevs(PyObject *, PyObject *)
{
    // Released on every way out, after the names have been copied.
    DeviceChain chain(nullptr, pcap_freealldevs);
    if (!find_devices(chain))
        return nullptr;
    if (!chain) {
        PyErr_SetString(PcapError, "No valid interfaces to open");
        return nullptr;
    }
    Ref names = Ref::steal(PyList_New(0));
    if (!names)
        return nullptr;
    for (const pcap_if_t *entry = chain.get(); entry != nullptr; entry = entry->next) {
        Ref name = Ref::steal(Py_BuildValue("s", entry->name));
        if (!name || PyList_Append(names.get(), name.get()) < 0)
            return nullptr;
    }
    return names.release();
}

// ---------------------------------------------------------------------------
// Device and Address: struct sequences, static types readied once at import.

static PyStructSequence_Field device_fields[] = {
    {"name", "the name to open the device by"},
    {"description", "libpcap's description of the device, or None"},
    {"flags", "the PCAP_IF_ flags"},
    {"addresses", "the device's addresses, a list of Address"},
    {nullptr, nullptr},
};

static PyStructSequence_Desc device_desc = {
    "wirelet.Device",
    "a capture device: name, description, flags and addresses",
    device_fields,
    4,
};

static PyStructSequence_Field address_fields[] = {
    {"family", "the address family, a socket.AF_ value"},
    {"addr", "the address as text"},
    {"netmask", "the netmask as text, or None"},
    {"broadaddr", "the broadcast address as text, or None"},
    {"dstaddr", "the address of the other end of a point-to-point link as text, or None"},
    {nullptr, nullptr},
};

static PyStructSequence_Desc address_desc = {
    "wirelet.Address",
    "one address of a capture device: family, address, netmask, broadcast and destination addresses",
    address_fields,
    5,
};

static PyTypeObject DeviceType;
static PyTypeObject AddressType;

// Whether an address renders as text: IPv4, IPv6, and a hardware address
// that libpcap's copy holds whole. libpcap copies a struct sockaddr_ll, 8
// address bytes, whatever the length the kernel gave (20 on InfiniBand); an
// address with none (a tunnel's) or with more is no address here.
static bool renderable(const sockaddr *address)
{
    if (address == nullptr)
        return false;
    switch (address->sa_family) {
    case AF_INET:
    case AF_INET6:
        return true;
#ifdef __linux__
    case AF_PACKET: {
        const auto *link = reinterpret_cast<const sockaddr_ll *>(address);
        return link->sll_halen > 0 && link->sll_halen <= sizeof link->sll_addr;
    }
#endif
    default:
        return false;
    }
}

// One socket address as numeric text: a new reference, None where libpcap
// gives none or one that does not render, or null with an exception set.
// libpcap copies each address with the full size of its family's structure,
// so reading that structure stays inside the copy.
static PyObject *address_text(const sockaddr *address)
{
    if (!renderable(address))
        Py_RETURN_NONE;
    char text[INET6_ADDRSTRLEN > 3 * 8 ? INET6_ADDRSTRLEN : 3 * 8];
    const void *bytes;
    switch (address->sa_family) {
    case AF_INET:
        bytes = &reinterpret_cast<const sockaddr_in *>(address)->sin_addr;
        break;
    case AF_INET6:
        bytes = &reinterpret_cast<const sockaddr_in6 *>(address)->sin6_addr;
        break;
    default: {
#ifdef __linux__
        // A hardware address, aa:bb:cc:dd:ee:ff.
        const auto *link = reinterpret_cast<const sockaddr_ll *>(address);
        static const char digits[] = "0123456789abcdef";
        char *out = text;
        for (size_t i = 0; i < link->sll_halen; ++i) {
            if (i > 0)
                *out++ = ':';
            *out++ = digits[link->sll_addr[i] >> 4];
            *out++ = digits[link->sll_addr[i] & 15];
        }
        return PyUnicode_FromStringAndSize(text, out - text);
#else
        Py_RETURN_NONE;
#endif
    }
    }
    if (inet_ntop(address->sa_family, bytes, text, sizeof text) == nullptr)
        return PyErr_SetFromErrno(PyExc_OSError);
    return PyUnicode_FromString(text);
}

static PyObject *new_address(const pcap_addr_t &entry)
{
    Ref address = Ref::steal(PyStructSequence_New(&AddressType));
    if (!address)
        return nullptr;
    PyObject *family = PyLong_FromLong(entry.addr->sa_family);
    if (family == nullptr)
        return nullptr;
    PyStructSequence_SET_ITEM(address.get(), 0, family);
    const sockaddr *parts[] = {entry.addr, entry.netmask, entry.broadaddr, entry.dstaddr};
    for (int i = 0; i < 4; ++i) {
        PyObject *text = address_text(parts[i]);
        if (text == nullptr)
            return nullptr;
        PyStructSequence_SET_ITEM(address.get(), i + 1, text);
    }
    return address.release();
}

static PyObject *new_device(const pcap_if_t &entry)
{
    Ref addresses = Ref::steal(PyList_New(0));
    if (!addresses)
        return nullptr;
    for (const pcap_addr_t *a = entry.addresses; a != nullptr; a = a->next) {
        if (!renderable(a->addr))
            continue;
        Ref address = Ref::steal(new_address(*a));
        if (!address || PyList_Append(addresses.get(), address.get()) < 0)
            return nullptr;
    }
    Ref device = Ref::steal(PyStructSequence_New(&DeviceType));
    if (!device)
        return nullptr;
    PyStructSequence_SET_ITEM(device.get(), 3, addresses.release());
    // The sequence owns each item once it is in; the fields not yet set are
    // null, which its deallocation allows.
    PyObject *name = Py_BuildValue("s", entry.name);
    if (name == nullptr)
        return nullptr;
    PyStructSequence_SET_ITEM(device.get(), 0, name);
    PyObject *description = Py_BuildValue("z", entry.description);
    if (description == nullptr)
        return nullptr;
    PyStructSequence_SET_ITEM(device.get(), 1, description);
    PyObject *flags = PyLong_FromUnsignedLong(entry.flags);
    if (flags == nullptr)
        return nullptr;
    PyStructSequence_SET_ITEM(device.get(), 2, flags);
    return device.release();
}

const char devices_doc[] = "devices() lists all available interfaces with their descriptions, flags and addresses";
PyObject *wirelet_devices(PyObject *, PyObject *)
{
    DeviceChain chain(nullptr, pcap_freealldevs);
    if (!find_devices(chain))
        return nullptr;
    Ref devices = Ref::steal(PyList_New(0));
    if (!devices)
        return nullptr;
    for (const pcap_if_t *entry = chain.get(); entry != nullptr; entry = entry->next) {
        Ref device = Ref::steal(new_device(*entry));
        if (!device || PyList_Append(devices.get(), device.get()) < 0)
            return nullptr;
    }
    return devices.release();
}

int add_device_types(PyObject *module)
{
    // A struct sequence type is readied once per process; a second import
    // (a subinterpreter's) finds it ready.
    if (!(DeviceType.tp_flags & Py_TPFLAGS_READY) && PyStructSequence_InitType2(&DeviceType, &device_desc) < 0)
        return -1;
    if (!(AddressType.tp_flags & Py_TPFLAGS_READY) && PyStructSequence_InitType2(&AddressType, &address_desc) < 0)
        return -1;
    if (PyModule_AddObjectRef(module, "Device", reinterpret_cast<PyObject *>(&DeviceType)) < 0
        || PyModule_AddObjectRef(module, "Address", reinterpret_cast<PyObject *>(&AddressType)) < 0)
        return -1;
    static const struct {
        const char *name;
        long value;
    } flags[] = {
        {"PCAP_IF_LOOPBACK", PCAP_IF_LOOPBACK},
        {"PCAP_IF_UP", PCAP_IF_UP},
        {"PCAP_IF_RUNNING", PCAP_IF_RUNNING},
        {"PCAP_IF_WIRELESS", PCAP_IF_WIRELESS},
        {"PCAP_IF_CONNECTION_STATUS", PCAP_IF_CONNECTION_STATUS},
        {"PCAP_IF_CONNECTION_STATUS_UNKNOWN", PCAP_IF_CONNECTION_STATUS_UNKNOWN},
        {"PCAP_IF_CONNECTION_STATUS_CONNECTED", PCAP_IF_CONNECTION_STATUS_CONNECTED},
        {"PCAP_IF_CONNECTION_STATUS_DISCONNECTED", PCAP_IF_CONNECTION_STATUS_DISCONNECTED},
        {"PCAP_IF_CONNECTION_STATUS_NOT_APPLICABLE", PCAP_IF_CONNECTION_STATUS_NOT_APPLICABLE},
    };
    for (const auto &flag : flags) {
        if (PyModule_AddIntConstant(module, flag.name, flag.value) < 0)
            return -1;
    }
    return 0;
}
