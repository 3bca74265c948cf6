// Link-layer types of a handle, and libpcap's names for them.
#include "linktype.h"

#include "module.h"

// A status that means nothing was done and left no text in the handle.
static PyObject *raise_not_activated()
{
    PyErr_SetString(PcapError, pcap_statustostr(PCAP_ERROR_NOT_ACTIVATED));
    return nullptr;
}

PyObject *list_datalinks(pcap_t *handle)
{
    int *types = nullptr;
    int count = pcap_list_datalinks(handle, &types);
    if (count == PCAP_ERROR) {
        PyErr_SetString(PcapError, pcap_geterr(handle));
        return nullptr;
    }
    if (count < 0)
        return raise_not_activated();
    PyObject *list = int_list(types, count);
    pcap_free_datalinks(types);
    return list;
}

PyObject *set_datalink(pcap_t *handle, int dlt)
{
    // libpcap 1.10.3 accepts a handle that is not activated when dlt is the
    // link type it reports there (0), having set nothing; any other type it
    // refuses as one the device does not offer, which it cannot know yet.
    if (pcap_datalink(handle) == PCAP_ERROR_NOT_ACTIVATED)
        return raise_not_activated();
    if (pcap_set_datalink(handle, dlt) != 0) {
        PyErr_SetString(PcapError, pcap_geterr(handle));
        return nullptr;
    }
    Py_RETURN_NONE;
}

const char datalink_name_to_val_doc[] = "datalink_name_to_val(name) returns the link layer type with that name";
PyObject *wirelet_datalink_name_to_val(PyObject *, PyObject *args)
{
    const char *name;
    if (!PyArg_ParseTuple(args, "s:datalink_name_to_val", &name))
        return nullptr;
    int dlt = pcap_datalink_name_to_val(name);
    if (dlt < 0) {
        PyErr_Format(PcapError, "unknown link type name: %s", name);
        return nullptr;
    }
    return PyLong_FromLong(dlt);
}

const char datalink_val_to_name_doc[] = "datalink_val_to_name(dlt) returns the name of a link layer type";
PyObject *wirelet_datalink_val_to_name(PyObject *, PyObject *args)
{
    return name_of_value(args, "i:datalink_val_to_name", pcap_datalink_val_to_name);
}

const char datalink_val_to_description_doc[] =
    "datalink_val_to_description(dlt) returns the description of a link layer type";
PyObject *wirelet_datalink_val_to_description(PyObject *, PyObject *args)
{
    return name_of_value(args, "i:datalink_val_to_description", pcap_datalink_val_to_description);
}
