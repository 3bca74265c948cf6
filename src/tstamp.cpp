// Time stamp types of a handle, and libpcap's names for them.
#include "tstamp.h"

#include "module.h"

PyObject *list_tstamp_types(pcap_t *handle)
{
    int *types = nullptr;
    int count = pcap_list_tstamp_types(handle, &types);
    if (count < 0) {
        PyErr_SetString(PcapError, pcap_geterr(handle));
        return nullptr;
    }
    // libpcap hands back no list when the device names no types.
    PyObject *list = int_list(types, count);
    pcap_free_tstamp_types(types);
    return list;
}

const char tstamp_type_name_to_val_doc[] = "tstamp_type_name_to_val(name) returns the time stamp type of that name";
PyObject *wirelet_tstamp_type_name_to_val(PyObject *, PyObject *args)
{
    const char *name;
    if (!PyArg_ParseTuple(args, "s:tstamp_type_name_to_val", &name))
        return nullptr;
    int type = pcap_tstamp_type_name_to_val(name);
    // libpcap answers PCAP_ERROR, without a text, for a name it does not know.
    if (type < 0) {
        PyErr_Format(PcapError, "unknown time stamp type: %s", name);
        return nullptr;
    }
    return PyLong_FromLong(type);
}

const char tstamp_type_val_to_name_doc[] =
    "tstamp_type_val_to_name(type) returns the name of a time stamp type, or None if it has none";
PyObject *wirelet_tstamp_type_val_to_name(PyObject *, PyObject *args)
{
    return name_of_value(args, "i:tstamp_type_val_to_name", pcap_tstamp_type_val_to_name);
}

const char tstamp_type_val_to_description_doc[] =
    "tstamp_type_val_to_description(type) describes a time stamp type, or returns None if it is unknown";
PyObject *wirelet_tstamp_type_val_to_description(PyObject *, PyObject *args)
{
    return name_of_value(args, "i:tstamp_type_val_to_description", pcap_tstamp_type_val_to_description);
}
