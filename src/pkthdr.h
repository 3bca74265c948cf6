// Pkthdr: one packet's timestamp and lengths, copied out of libpcap.
//
// libpcap's header says nothing of its own timestamp's unit: a handle opened
// at nanosecond precision puts nanoseconds where the microseconds go. So each
// Pkthdr also keeps how its timestamp is to be read, fixed per handle and
// copied into every header the handle produces. The exported conversions
// speak microseconds, as they always have; the others are the module's own.
#ifndef WIRELET_PKTHDR_H
#define WIRELET_PKTHDR_H

#include <Python.h>
#include <pcap/pcap.h>

#include <cstdint>

#include "ref.h"

// How a header's timestamp reads, as bits.
enum : unsigned char {
    // ts.tv_usec holds nanoseconds.
    TS_NANO = 1,
    // Read from a classic capture file, whose seconds are 32 bits unsigned:
    // libpcap 1.10 takes them as signed, so 2038 to 2106 read as negative.
    TS_CLASSIC_SECONDS = 2,
};

struct PkthdrObject {
    PyObject_HEAD
    pcap_pkthdr pkthdr;  // copy of the header; never changed after creation
    unsigned char form;  // the TS_ bits that say how pkthdr.ts reads
};

WIRELET_EXPORT extern PyTypeObject Pkthdr_type;

// New reference to a Pkthdr holding a copy of *hdr, whose timestamp is in
// microseconds, or null with an exception set. hdr must not be null; the
// interpreter lock must be held.
WIRELET_EXPORT PyObject *new_pcap_pkthdr(const pcap_pkthdr *hdr);

// The same, for a header whose timestamp reads as form says.
PyObject *new_pkthdr(const pcap_pkthdr *hdr, unsigned char form);

// Copies a Pkthdr's header into *out, its timestamp in microseconds (a
// nanosecond one scaled down as libpcap scales it), and returns 0; for any
// other object sets PcapError "Not a pkthdr object", leaves *out alone and
// returns -1. Borrows obj, which must not be null.
WIRELET_EXPORT int pkthdr_to_native(PyObject *obj, pcap_pkthdr *out);

// What pkthdr_to_file found.
enum class FileTime {
    fits,
    seconds_out_of_range,   // a classic file's seconds run from 1970 to 2106
    fraction_out_of_range,  // the fraction, in the file's unit, is past 32 bits
    not_a_pkthdr,           // PcapError "Not a pkthdr object" is set
};

// The out-of-line parts of pkthdr_to_file: a header to scale or to judge
// further, and the refusal of anything else.
FileTime scale_to_file(const PkthdrObject *hdr, bool nano_file, pcap_pkthdr *out);
FileTime not_a_pkthdr();

// Copies a Pkthdr's header into *out for a classic capture file whose
// timestamps are in nanoseconds (nano_file) or microseconds, the fraction
// scaled to the file's unit as libpcap scales it, and tells whether the file
// can hold the timestamp; *out is filled either way. Seconds that libpcap
// read as negative from a classic file are what such a file held, and fit.
// Borrows obj, which must not be null. Inline: dump() runs it per packet,
// and a header in the file's own unit needs only the two range tests.
inline FileTime pkthdr_to_file(PyObject *obj, bool nano_file, pcap_pkthdr *out)
{
    if (obj == nullptr || Py_TYPE(obj) != &Pkthdr_type)
        return not_a_pkthdr();
    const PkthdrObject *hdr = reinterpret_cast<const PkthdrObject *>(obj);
    *out = hdr->pkthdr;
    // Both fields are written as 32 bits: seconds unsigned, the fraction
    // either way, as libpcap reads it back.
    if (((hdr->form & TS_NANO) != 0) == nano_file && static_cast<unsigned long>(out->ts.tv_sec) <= UINT32_MAX
        && static_cast<unsigned long>(out->ts.tv_usec) + 0x80000000UL <= 0x17FFFFFFFUL)
        return FileTime::fits;
    return scale_to_file(hdr, nano_file, out);
}

#endif
