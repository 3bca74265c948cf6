"""Handle settings, queries, controls and injection, and device discovery:
their statuses, failures and argument errors, on handles that need no root
(capture files, handles never activated, dead handles) and through a preloaded
stand-in for libpcap where a real host cannot produce the answer."""
import ctypes
import ctypes.util
import os
import subprocess
import sys

import pytest

import wirelet

NOT_ACTIVATED = -3   # PCAP_ERROR_NOT_ACTIVATED
ACTIVATED = -4       # PCAP_ERROR_ACTIVATED
SETTERS = ("set_snaplen", "set_promisc", "set_timeout", "set_buffer_size", "set_rfmon")
QUERIES = ("getnet", "getmask", "datalink", "getnonblock", "getfd")


def run_python(code, env=None, timeout=60):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=timeout, env={**os.environ, **(env or {})})


def test_setters_hand_back_libpcap_status_and_never_raise(three):
    path, _ = three
    with wirelet.create("nosuchdev0") as r:
        assert [getattr(r, name)(1500) for name in SETTERS] == [0] * 5
        assert r.set_promisc(True) == 0 and r.set_snaplen(-1) == 0
    # A capture file counts as activated for libpcap.
    with wirelet.open_offline(path) as r:
        assert [getattr(r, name)(0) for name in SETTERS] == [ACTIVATED] * 5
        assert r.activate() == ACTIVATED
        assert r.activate.__doc__ == "activate a capture handle created using create()"
        assert r.set_rfmon.__doc__ == "set monitor mode for a not-yet-activated capture handle"


def test_setter_argument_errors_and_guard_order():
    r = wirelet.create("nosuchdev0")
    with pytest.raises(OverflowError):
        r.set_timeout(2**31)
    for bad in ((), ("x",), (1, 2), (1.5,)):
        with pytest.raises(TypeError):
            r.set_buffer_size(*bad)
    with pytest.raises(TypeError):
        r.set_snaplen(snaplen=1)
    with pytest.raises(TypeError):
        r.activate(0)
    r.close()
    for name in SETTERS:
        with pytest.raises(ValueError, match="^pcap is closed$"):
            getattr(r, name)("wrong", "args")
    with pytest.raises(ValueError, match="^pcap is closed$"):
        r.activate()
    with pytest.raises(TypeError):
        r.activate(0)


def test_a_failed_activation_is_answered_again_without_libpcap():
    # libpcap 1.10.3 crashes on a second pcap_activate after a failed one.
    out = run_python(
        "import wirelet\n"
        "r = wirelet.create('nosuchdev0')\n"
        "first, again = r.activate(), r.activate()\n"
        "print(first, again, r.set_snaplen(100), r.activate(), r.datalink(), r.getfd())\n"
        "r.close()\n")
    assert out.returncode == 0, out.stderr
    first, again, setter, third, link, fd = map(int, out.stdout.split())
    assert first < 0 and first != ACTIVATED
    assert again == third == first
    # Everything else sees a handle that was never activated.
    assert (setter, link, fd) == (0, NOT_ACTIVATED, -1)


def test_an_int_argument_that_closes_the_reader_is_caught():
    out = run_python(
        "import wirelet\n"
        "class Closer:\n"
        "    def __index__(self):\n"
        "        r.close()\n"
        "        return 1\n"
        "for name in " + repr(SETTERS + ("setnonblock", "setdirection", "loop", "dispatch")) + ":\n"
        "    r = wirelet.create('nosuchdev0')\n"
        "    try:\n"
        "        getattr(r, name)(*[Closer(), print][:1 + name.endswith(('loop', 'dispatch'))])\n"
        "    except ValueError as e:\n"
        "        print(e)\n")
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == ["pcap is closed"] * 9


def test_queries_on_a_capture_file(three, capture):
    path, frames = three
    with wirelet.open_offline(path) as r:
        assert r.getnet() == r.getmask() == r.getnet(1, "x") == "0.0.0.0"
        assert r.datalink() == r.datalink(None) == wirelet.DLT_EN10MB
        assert r.getnonblock() == 0
        fd = r.getfd()
        assert os.path.samestat(os.fstat(fd), os.stat(path))
        with pytest.raises(wirelet.PcapError, match="^Savefiles cannot be put into non-blocking mode$"):
            r.setnonblock(1)
        with pytest.raises(wirelet.PcapError, match="^Failed setting direction$"):
            r.setdirection(wirelet.PCAP_D_IN)
        with pytest.raises(wirelet.PcapError, match="^Sending packets isn't supported on savefiles$"):
            r.sendpacket(b"\0" * 60)
        with pytest.raises(wirelet.PcapError, match="^Statistics aren't available from savefiles$"):
            r.stats()
        # The failures leave the Reader usable.
        assert r.next()[0] is not None
    with wirelet.open_offline(capture([f[14:] for f in frames], linktype=12)) as r:
        assert r.datalink() == wirelet.DLT_RAW


def test_queries_and_controls_on_a_handle_never_activated():
    with wirelet.create("nosuchdev0") as r:
        assert r.datalink() == NOT_ACTIVATED
        assert r.getfd() == -1
        # A status that means nothing was done is a failure, whatever its value.
        for call in (r.getnonblock, lambda: r.setdirection(wirelet.PCAP_D_IN)):
            with pytest.raises(wirelet.PcapError, match="^The pcap_t has not been activated$"):
                call()
        assert r.setnonblock(1) is None  # kept until activation
        with pytest.raises(wirelet.PcapError, match="^Failed setting direction$"):
            r.setdirection(7)
        with pytest.raises(wirelet.PcapError, match="^This handle hasn't been activated yet$"):
            r.stats()
        with pytest.raises(wirelet.PcapError, match="must be positive"):
            r.sendpacket(b"")
        # libpcap 1.10.3 says 0 here although nothing was sent.
        with pytest.raises(wirelet.PcapError, match="not been activated"):
            r.sendpacket(b"\xff" * 60)


def test_query_argument_errors_and_guard_order(three):
    path, _ = three
    r = wirelet.open_offline(path)
    with pytest.raises(TypeError):
        r.stats(1)
    for call in (lambda: r.setnonblock(), lambda: r.setnonblock("x"), lambda: r.setdirection(None),
                 lambda: r.sendpacket("text"), lambda: r.sendpacket(bytearray(60)),
                 lambda: r.sendpacket(b"a", b"b"), lambda: r.getnet(x=1)):
        with pytest.raises(TypeError):
            call()
    with pytest.raises(OverflowError):
        r.setdirection(2**31)
    r.close()
    for name in QUERIES + ("setnonblock", "setdirection", "sendpacket"):
        with pytest.raises(ValueError, match="^pcap is closed$"):
            getattr(r, name)("wrong", "args", 3)
    with pytest.raises(ValueError, match="^pcap is closed$"):
        r.stats()
    with pytest.raises(TypeError):
        r.stats(1)


def test_sendpacket_refuses_a_frame_longer_than_libpcap_can_count(three):
    path, _ = three
    # A view of 2**32 + 14 bytes over a 64-byte buffer: handed on, its length
    # would wrap to 14. The refusal comes before anything is read.
    buffer = ctypes.create_string_buffer(64)
    huge = (ctypes.c_char * (2**32 + 14)).from_address(ctypes.addressof(buffer))
    with wirelet.open_offline(path) as r:
        with pytest.raises(wirelet.PcapError, match="^frame of 4294967310 bytes is too long to send"):
            r.sendpacket(huge)


def test_dotted_quad_lists_the_stored_bytes_in_memory_order():
    libpcap = ctypes.CDLL(ctypes.util.find_library("pcap"))
    libpcap.pcap_open_dead.restype = ctypes.c_void_p
    new_pcapobject = ctypes.PyDLL(wirelet.__file__)["_Z14new_pcapobjectP4pcapjj"]
    new_pcapobject.restype = ctypes.py_object
    new_pcapobject.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_uint]

    def stored(*octets):
        return int.from_bytes(bytes(octets), sys.byteorder)
    for net, mask in (((192, 168, 1, 0), (255, 255, 255, 0)), ((10, 0, 0, 255), (255, 255, 255, 255)),
                      ((1, 2, 3, 4), (0, 0, 0, 0))):
        with new_pcapobject(libpcap.pcap_open_dead(1, 65535), stored(*net), stored(*mask)) as r:
            assert r.getnet() == ".".join(map(str, net)) and r.getmask() == ".".join(map(str, mask))
            with pytest.raises(wirelet.PcapError, match="pcap_open_dead"):
                r.stats()


def test_discovery_ignores_positional_arguments_and_refuses_keywords():
    devices = wirelet.findalldevs()
    assert devices and all(type(d) is str for d in devices)
    assert wirelet.findalldevs(1, "x", None) == devices
    assert wirelet.lookupdev([], 2) == wirelet.lookupdev()
    for fn in (wirelet.findalldevs, wirelet.lookupdev):
        with pytest.raises(TypeError):
            fn(device="lo")
    assert wirelet.lookupdev.__doc__ == "lookupdev() looks up a pcap device"
    assert wirelet.findalldevs.__doc__ == "findalldevs() lists all available interfaces"
    before = sys.getallocatedblocks()
    for _ in range(500):
        wirelet.findalldevs()
    assert sys.getallocatedblocks() - before < 100


RAISED = ("try:\n    print(repr({call}))\n"
          "except Exception as e:\n    print(type(e).__name__, e)\n")


def test_discovery_failures_relay_libpcap(shim):
    assert shim("fail", RAISED.format(call="wirelet.findalldevs()")) == (
        "PcapError shim: cannot list devices", "chains 0/0")
    assert shim("empty", RAISED.format(call="wirelet.findalldevs()"))[0] == "PcapError No valid interfaces to open"
    assert shim("fail", RAISED.format(call="wirelet.lookupdev()"))[0] == "PcapError shim: no default device"
    # A name that is not UTF-8 fails the call; the chain is released all the same.
    out, counts = shim("badname", RAISED.format(call="wirelet.findalldevs()") + RAISED.format(call="wirelet.lookupdev()"))
    assert out.splitlines()[0].startswith("UnicodeDecodeError") and out.splitlines()[1].startswith("UnicodeDecodeError")
    assert counts == "chains 1/1"
    assert shim("order", "print(wirelet.findalldevs(), wirelet.findalldevs())") == (
        "['zeta', 'alpha', 'mid', 'omega'] ['zeta', 'alpha', 'mid', 'omega']", "chains 2/2")


def test_stats_counters_are_unsigned(shim):
    assert shim("big", "print(wirelet.create('lo').stats())")[0] == "(4294967295, 2147483648, 0)"


def test_link_type_choice_on_files_and_on_handles_never_activated(three):
    path, _ = three
    with wirelet.open_offline(path) as r:
        assert r.list_datalinks() == [wirelet.DLT_EN10MB]
        assert r.set_datalink(wirelet.DLT_EN10MB) is None
        with pytest.raises(wirelet.PcapError, match="^RAW is not one of the DLTs supported by this device$"):
            r.set_datalink(wirelet.DLT_RAW)
        assert r.datalink() == wirelet.DLT_EN10MB and r.next()[0] is not None
        assert r.set_immediate_mode(1) == ACTIVATED
    r = wirelet.create("nosuchdev0")
    assert r.set_immediate_mode(1) == r.set_immediate_mode(0) == 0
    # libpcap 1.10.3 says 0 to its own placeholder type 0 here, having set nothing.
    for call in (r.list_datalinks, lambda: r.set_datalink(0), lambda: r.set_datalink(wirelet.DLT_EN10MB)):
        with pytest.raises(wirelet.PcapError, match="^The pcap_t has not been activated$"):
            call()
    for call, name in ((r.set_immediate_mode, "set_immediate_mode"), (r.set_datalink, "set_datalink")):
        with pytest.raises(TypeError, match=rf"^{name}\(\) takes exactly 1 argument"):
            call()
    with pytest.raises(TypeError):
        r.list_datalinks(1)
    r.close()
    for call in (r.list_datalinks, lambda: r.set_datalink(1), lambda: r.set_immediate_mode(1)):
        with pytest.raises(ValueError, match="^pcap is closed$"):
            call()


def test_link_type_names_and_descriptions_are_libpcap_s():
    for name in (n for n in dir(wirelet) if n.startswith("DLT_")):
        value = getattr(wirelet, name)
        assert wirelet.datalink_val_to_name(value) == name[4:]
        assert wirelet.datalink_name_to_val(name[4:]) == wirelet.datalink_name_to_val(name[4:].lower()) == value
    assert wirelet.datalink_val_to_description(wirelet.DLT_EN10MB) == "Ethernet"
    assert wirelet.datalink_val_to_description(276) == "Linux cooked v2"
    assert wirelet.datalink_val_to_name(-1) is wirelet.datalink_val_to_description(99999) is None
    for name in ("nope", "DLT_EN10MB"):
        with pytest.raises(wirelet.PcapError, match=f"^unknown link type name: {name}$"):
            wirelet.datalink_name_to_val(name)
    for call, exc in ((lambda: wirelet.datalink_name_to_val("EN10MB\0"), ValueError),
                      (lambda: wirelet.datalink_val_to_name(2**31), OverflowError),
                      (lambda: wirelet.datalink_val_to_description(dlt=1), TypeError),
                      (lambda: wirelet.devices(1), TypeError)):
        with pytest.raises(exc):
            call()


def test_devices_render_every_kind_of_address_and_skip_the_rest(shim):
    out, counts = shim("order", "print(*map(repr, wirelet.devices()), sep='\\n')\n"
                       "d = wirelet.devices()[0]\n"
                       "print(type(d) is wirelet.Device, type(d.addresses[0]) is wirelet.Address, d[0], d.flags)")
    assert out.splitlines() == [
        "wirelet.Device(name='zeta', description='first device', flags=34, addresses=["
        "wirelet.Address(family=2, addr='192.0.2.7', netmask='255.255.255.128', broadaddr='192.0.2.127', dstaddr=None), "
        "wirelet.Address(family=10, addr='2001:db8::7', netmask='ffff:ffff::', broadaddr=None, dstaddr=None), "
        "wirelet.Address(family=17, addr='02:ab:00:00:00:07', netmask=None, broadaddr='ff:ff:ff:ff:ff:ff', "
        "dstaddr=None)])",
        *(f"wirelet.Device(name='{name}', description=None, flags=0, addresses=[])" for name in ("alpha", "mid", "omega")),
        "True True zeta 34"]
    assert counts == "chains 2/2"
    call = RAISED.format(call="wirelet.devices()")
    assert shim("fail", call) == ("PcapError shim: cannot list devices", "chains 0/0")
    assert shim("empty", call)[0] == "[]"
    out, counts = shim("badname", call)
    assert out.startswith("UnicodeDecodeError") and counts == "chains 1/1"
