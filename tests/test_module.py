"""The module frame: attributes, constants, exception classes, type shape,
calling conventions and the symbols exported for native code."""
import ctypes
import os
import pydoc
import shutil
import subprocess
import sys

import pytest

import wirelet

CONSTANTS = {
    "DLT_NULL": 0, "DLT_EN10MB": 1, "DLT_IEEE802": 6, "DLT_ARCNET": 7, "DLT_SLIP": 8,
    "DLT_PPP": 9, "DLT_FDDI": 10, "DLT_ATM_RFC1483": 11, "DLT_RAW": 12,
    "DLT_PPP_SERIAL": 50, "DLT_PPP_ETHER": 51, "DLT_C_HDLC": 104, "DLT_IEEE802_11": 105,
    "DLT_LOOP": 108, "DLT_LINUX_SLL": 113, "DLT_LTALK": 114,
    "PCAP_D_INOUT": 0, "PCAP_D_IN": 1, "PCAP_D_OUT": 2,
    "PCAP_TSTAMP_PRECISION_MICRO": 0, "PCAP_TSTAMP_PRECISION_NANO": 1, "PCAP_TSTAMP_HOST": 0,
    "PCAP_TSTAMP_HOST_LOWPREC": 1, "PCAP_TSTAMP_HOST_HIPREC": 2, "PCAP_TSTAMP_ADAPTER": 3,
    "PCAP_TSTAMP_ADAPTER_UNSYNCED": 4, "PCAP_TSTAMP_HOST_HIPREC_UNSYNCED": 5,
    "PCAP_IF_LOOPBACK": 1, "PCAP_IF_UP": 2, "PCAP_IF_RUNNING": 4, "PCAP_IF_WIRELESS": 8,
    "PCAP_IF_CONNECTION_STATUS": 0x30, "PCAP_IF_CONNECTION_STATUS_UNKNOWN": 0,
    "PCAP_IF_CONNECTION_STATUS_CONNECTED": 0x10, "PCAP_IF_CONNECTION_STATUS_DISCONNECTED": 0x20,
    "PCAP_IF_CONNECTION_STATUS_NOT_APPLICABLE": 0x30,
}


def test_module_docstring_and_public_names():
    assert wirelet.__doc__ == "A wrapper for the Packet Capture (PCAP) library"
    public = {n for n in dir(wirelet) if not n.startswith("__")}
    functions = {"open_live", "open_offline", "fopen_offline", "fopen_offline_with_tstamp_precision", "create"}
    assert functions <= public
    assert public - functions - {"lookupdev", "findalldevs", "compile", "open_offline_with_tstamp_precision",
                                 "tstamp_type_name_to_val", "tstamp_type_val_to_name",
                                 "tstamp_type_val_to_description", "open_dead",
                                 "open_dead_with_tstamp_precision", "devices", "datalink_name_to_val",
                                 "datalink_val_to_name", "datalink_val_to_description"} == (
        set(CONSTANTS) | {"BPFProgram", "PcapError", "BPFError", "Device", "Address"})
    for name in ("Reader", "Pkthdr", "Dumper"):
        assert not hasattr(wirelet, name)


def test_constants_are_plain_ints_with_fixed_values():
    for name, value in CONSTANTS.items():
        assert type(getattr(wirelet, name)) is int
        assert getattr(wirelet, name) == value


def test_exception_classes_are_siblings_under_exception():
    for cls, name in ((wirelet.PcapError, "PcapError"), (wirelet.BPFError, "BPFError")):
        assert cls.__bases__ == (Exception,)
        assert cls.__name__ == name and cls.__module__ == "wirelet"
    assert not issubclass(wirelet.PcapError, wirelet.BPFError)
    assert not issubclass(wirelet.BPFError, wirelet.PcapError)
    with pytest.raises(wirelet.PcapError):
        try:
            raise wirelet.PcapError("x")
        except wirelet.BPFError:
            pytest.fail("BPFError caught a PcapError")


def test_keyword_arguments_are_refused(three):
    path, _ = three
    with pytest.raises(TypeError):
        wirelet.open_offline(filename=path)
    with pytest.raises(TypeError):
        wirelet.create(device="lo")


def test_reader_type_shape(three):
    path, _ = three
    r = wirelet.open_offline(path)
    Reader = type(r)
    assert Reader.__name__ == "Reader" and Reader.__doc__ is None
    assert Reader.__itemsize__ == 0
    with pytest.raises(TypeError):
        Reader()
    with pytest.raises(TypeError):
        class Sub(Reader):
            pass
    with pytest.raises(AttributeError):
        r.x = 1
    with pytest.raises(AttributeError):
        r.no_such_method
    bound = r.next
    assert bound.__self__ is r and bound.__doc__ == "returns next packet"
    assert r.close.__doc__ == "close the capture"
    assert r.__enter__.__doc__ is None and r.__exit__.__doc__ is None
    assert r != wirelet.open_offline(path) and hash(r) == hash(r)
    r.close()


def _library():
    return wirelet.__file__


@pytest.mark.skipif(shutil.which("nm") is None, reason="binutils missing")
def test_exported_symbols_carry_their_signatures():
    out = subprocess.run(["nm", "-D", "--defined-only", _library()],
                         capture_output=True, text=True, check=True).stdout
    names = {line.split()[-1] for line in out.splitlines() if line.strip()}
    demangled = subprocess.run(["c++filt"], input="\n".join(sorted(names)),
                               capture_output=True, text=True, check=True).stdout.splitlines()
    assert "PyInit_wirelet" in names
    for data in ("Pcaptype", "Pkthdr_type", "Pdumpertype", "BPFProgramType", "PcapError", "BPFError"):
        assert data in names
    for signature in ("new_pcapobject(pcap*, unsigned int, unsigned int)",
                      "new_pcap_pkthdr(pcap_pkthdr const*)",
                      "pkthdr_to_native(_object*, pcap_pkthdr*)"):
        assert signature in demangled
    assert all(not n.startswith("_Z") or "new_" in n or "pkthdr_to_native" in n for n in names)


@pytest.mark.skipif(shutil.which("nm") is None, reason="binutils missing")
def test_no_static_destructors():
    # A daemon thread ended by pthread_exit at interpreter exit unwinds a read
    # after exit() has run them: the module's tables must outlive every thread.
    out = subprocess.run(["nm", "-D", "--undefined-only", _library()],
                         capture_output=True, text=True, check=True).stdout
    assert "__cxa_atexit" not in out and "__cxa_thread_atexit" not in out


class Timeval(ctypes.Structure):
    _fields_ = [("tv_sec", ctypes.c_long), ("tv_usec", ctypes.c_long)]


class NativeHeader(ctypes.Structure):
    _fields_ = [("ts", Timeval), ("caplen", ctypes.c_uint32), ("len", ctypes.c_uint32)]


def native(symbol_start, restype, *argtypes):
    """An exported function of the module, called with the interpreter lock held."""
    lib = ctypes.PyDLL(_library())
    out = subprocess.run(["nm", "-D", "--defined-only", _library()],
                         capture_output=True, text=True, check=True).stdout
    name = next(l.split()[-1] for l in out.splitlines() if symbol_start in l)
    fn = lib[name]
    fn.restype, fn.argtypes = restype, list(argtypes)
    return fn


def test_native_header_conversions_round_trip(three):
    to_obj = native("new_pcap_pkthdr", ctypes.py_object, ctypes.POINTER(NativeHeader))
    to_native = native("pkthdr_to_native", ctypes.c_int, ctypes.py_object, ctypes.POINTER(NativeHeader))
    src = NativeHeader(Timeval(-5, 2_000_001), 4294967295, 7)
    h = to_obj(ctypes.byref(src))
    assert type(h).__name__ == "Pkthdr"
    assert h.getts() == (-5, 2_000_001) and h.getcaplen() == 4294967295 and h.getlen() == 7
    out = NativeHeader()
    assert to_native(h, ctypes.byref(out)) == 0
    assert (out.ts.tv_sec, out.ts.tv_usec, out.caplen, out.len) == (-5, 2_000_001, 4294967295, 7)

    path, _ = three
    untouched = NativeHeader(Timeval(1, 2), 3, 4)
    for wrong in ((1, 2), None, wirelet.open_offline(path)):
        with pytest.raises(wirelet.PcapError, match="^Not a pkthdr object$"):
            to_native(wrong, ctypes.byref(untouched))
        assert (untouched.ts.tv_sec, untouched.caplen, untouched.len) == (1, 3, 4)


def test_attribute_lookup_of_every_type(three):
    path, _ = three
    r = wirelet.open_offline(path)
    header, _ = r.next()
    d = r.dump_open(os.devnull)
    methods = {"Reader": {"loop", "dispatch", "next", "setfilter", "getnet", "getmask", "datalink",
                          "getnonblock", "setnonblock", "setdirection", "dump_open", "sendpacket", "stats",
                          "close", "set_snaplen", "set_promisc", "set_timeout", "set_buffer_size", "activate",
                          "__enter__", "__exit__", "getfd", "set_rfmon", "set_tstamp_precision",
                          "get_tstamp_precision", "set_tstamp_type", "list_tstamp_types", "breakloop", "__iter__",
                          "__next__", "dump_open_append", "dump_fopen", "set_immediate_mode", "list_datalinks",
                          "set_datalink"},
               "Pkthdr": {"getts", "getcaplen", "getlen", "getts_ns"}, "Dumper": {"close", "dump", "flush", "ftell"},
               "BPFProgram": {"filter", "get_bpf", "__new__"}}
    for obj in (r, header, d, wirelet.BPFProgram("tcp")):
        name = type(obj).__name__
        # The type's own dictionary holds its methods and nothing else: no
        # __getattribute__, in it or in help().
        assert set(vars(type(obj))) == methods[name] | {"__doc__"}
        assert "__getattribute__" not in pydoc.render_doc(type(obj), renderer=pydoc.plaintext).split("inherited")[0]
        assert methods[name] - {"__new__"} <= set(dir(obj))
        for missing in ("nope", "next\0x", "get\udcff"):
            with pytest.raises(AttributeError, match=f"^'{name}' object has no attribute "):
                getattr(obj, missing)
        method = sorted(methods[name] - {"__new__"})[-1]
        bound = getattr(obj, method)
        assert bound.__self__ is obj and bound.__name__ == method
        assert bound.__doc__ == getattr(type(obj), method).__doc__
        # A direct call, obj.method(...), is refused in the interpreter's
        # qualified wording (3.10 makes a bound method for a call with
        # keywords, and words it as its own).
        qualified = rf"{name}\." if sys.version_info >= (3, 11) else rf"(?:{name}\.)?"
        with pytest.raises(TypeError, match=rf"^{qualified}{method}\(\) takes no keyword arguments$"):
            eval(f"obj.{method}(x=1)")
    d.close()
    r.close()


def test_fast_called_methods_refuse_what_the_tuple_parser_refuses(three):
    path, _ = three
    r = wirelet.open_offline(path)
    header, data = r.next()
    d, prog = r.dump_open(os.devnull), wirelet.BPFProgram("tcp")
    refusals = {
        lambda: prog.filter(): "filter() takes exactly 1 argument (0 given)",
        lambda: prog.filter(b"", b""): "filter() takes exactly 1 argument (2 given)",
        lambda: prog.filter("x"): "a bytes-like object is required, not 'str'",
        lambda: prog.filter(bytearray(2)): "filter() argument 1 must be read-only bytes-like object, not bytearray",
        lambda: d.dump(header): "function takes exactly 2 arguments (1 given)",
        lambda: d.dump(header, data, 1): "function takes exactly 2 arguments (3 given)",
        lambda: d.dump(header, "s"): "a bytes-like object is required, not 'str'",
        lambda: d.dump(header, memoryview(data)): "argument 2 must be read-only bytes-like object, not memoryview",
    }
    for call, message in refusals.items():
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message
    # What the parser accepts besides exact bytes goes through it too.
    class Bytes(bytes):
        pass
    assert prog.filter(Bytes(data)) == prog.filter(data)
    assert d.dump(header, Bytes(data)) is None
    d.close()
    r.close()
