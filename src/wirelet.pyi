"""A wrapper for the Packet Capture (PCAP) library"""

# No function or method takes keyword arguments, so every parameter is
# positional-only. Several methods (getnet, getmask, datalink, getnonblock,
# getfd, the Pkthdr getters, Dumper.close, lookupdev, findalldevs) accept
# extra positional arguments at run time and ignore them; they are declared
# without them, so that a type checker flags a call whose arguments would be
# thrown away.
#
# Device and Address, the struct sequences that devices() gives, are
# attributes of the module, as os.stat_result is of os.
#
# Reader, Pkthdr and Dumper are not attributes of the module at run time: the
# only way to get one is from the functions and methods below. They exist for
# annotations only, hence @type_check_only; write them as strings, or import
# them under `if typing.TYPE_CHECKING:`.

from collections.abc import Callable
from _typeshed import SupportsWrite, structseq
from types import TracebackType
from typing import Final, Protocol, final, type_check_only

from typing_extensions import Self

DLT_NULL: Final = 0
DLT_EN10MB: Final = 1
DLT_IEEE802: Final = 6
DLT_ARCNET: Final = 7
DLT_SLIP: Final = 8
DLT_PPP: Final = 9
DLT_FDDI: Final = 10
DLT_ATM_RFC1483: Final = 11
DLT_RAW: Final = 12
DLT_PPP_SERIAL: Final = 50
DLT_PPP_ETHER: Final = 51
DLT_C_HDLC: Final = 104
DLT_IEEE802_11: Final = 105
DLT_LOOP: Final = 108
DLT_LINUX_SLL: Final = 113
DLT_LTALK: Final = 114

PCAP_D_INOUT: Final = 0
PCAP_D_IN: Final = 1
PCAP_D_OUT: Final = 2

PCAP_TSTAMP_PRECISION_MICRO: Final = 0
PCAP_TSTAMP_PRECISION_NANO: Final = 1

PCAP_TSTAMP_HOST: Final = 0
PCAP_TSTAMP_HOST_LOWPREC: Final = 1
PCAP_TSTAMP_HOST_HIPREC: Final = 2
PCAP_TSTAMP_ADAPTER: Final = 3
PCAP_TSTAMP_ADAPTER_UNSYNCED: Final = 4
PCAP_TSTAMP_HOST_HIPREC_UNSYNCED: Final = 5

PCAP_IF_LOOPBACK: Final = 0x01
PCAP_IF_UP: Final = 0x02
PCAP_IF_RUNNING: Final = 0x04
PCAP_IF_WIRELESS: Final = 0x08
PCAP_IF_CONNECTION_STATUS: Final = 0x30
PCAP_IF_CONNECTION_STATUS_UNKNOWN: Final = 0x00
PCAP_IF_CONNECTION_STATUS_CONNECTED: Final = 0x10
PCAP_IF_CONNECTION_STATUS_DISCONNECTED: Final = 0x20
PCAP_IF_CONNECTION_STATUS_NOT_APPLICABLE: Final = 0x30

class PcapError(Exception):
    """A libpcap failure, a failed compile(), or a method given the wrong receiver."""

class BPFError(Exception):
    """A BPFProgram that could not be compiled, or a method given the wrong receiver."""

@final
@type_check_only
class Pkthdr:
    """One packet's timestamp, captured length and length on the wire."""

    def getts(self) -> tuple[int, int]:
        """(seconds, microseconds) since the Epoch, also for a header read at nanosecond precision."""

    def getts_ns(self) -> int:
        """Nanoseconds since the Epoch: exact at nanosecond precision, else microseconds times 1000."""

    def getcaplen(self) -> int:
        """Number of bytes captured: the length of the packet's data."""

    def getlen(self) -> int:
        """Length of the packet on the wire; more than getcaplen() when it was cut."""

@final
@type_check_only
class Dumper:
    """A capture file open for writing, from Reader.dump_open(), dump_open_append() or dump_fopen()."""

    def dump(self, header: Pkthdr, data: bytes, /) -> None:
        """Append one packet; at most len(data) bytes are written."""

    def flush(self) -> None:
        """Write everything dumped so far to the file, then flush the file object, if any."""

    def ftell(self) -> int:
        """The file position in bytes, counting what is still buffered."""

    def close(self) -> None:
        """Flush and close the file; dump() raises PcapError afterwards."""

@final
@type_check_only
class Reader:
    """A capture handle: a live device or a capture file."""

    def next(self) -> tuple[Pkthdr, bytes] | tuple[None, bytes]:
        """The next packet, or (None, b"") at end of file, on a timeout or when none is ready."""

    def loop(self, cnt: int, callback: Callable[[Pkthdr, bytes], object], /) -> None:
        """Call callback(header, data) for cnt packets (all of them when cnt <= 0)."""

    def dispatch(self, cnt: int, callback: Callable[[Pkthdr, bytes], object], /) -> int:
        """Call callback(header, data) for the packets ready now (at most cnt if cnt > 0); return how many."""

    def breakloop(self) -> None:
        """End the read running on this handle, or else the next one; the handle stays usable."""

    def __iter__(self) -> Self:
        """The Reader itself."""

    def __next__(self) -> tuple[Pkthdr, bytes]:
        """The next packet; a live capture waits across its read timeouts. Stops at end of file, breakloop() or close()."""

    def setfilter(self, filter: str, /) -> None:
        """Compile a filter expression for this handle and install it."""

    def dump_open(self, filename: str, /) -> Dumper:
        """Create a capture file with this handle's link type and snapshot length."""

    def dump_open_append(self, filename: str, /) -> Dumper:
        """Append to a capture file with the same header, or create it."""

    def dump_fopen(self, file: SupportsWrite[bytes], /) -> Dumper:
        """Write a capture file through a binary file object's write(); the object stays open."""

    def getnet(self) -> str:
        """The device's IPv4 network number as dotted-quad text ("0.0.0.0" if unknown)."""

    def getmask(self) -> str:
        """The device's IPv4 netmask as dotted-quad text ("0.0.0.0" if unknown)."""

    def datalink(self) -> int:
        """The link-layer type, one of the DLT_ values."""

    def getnonblock(self) -> int:
        """1 in non-blocking mode, else 0."""

    def setnonblock(self, nonblock: int, /) -> None:
        """Switch non-blocking mode on (non-zero) or off (0)."""

    def setdirection(self, direction: int, /) -> None:
        """Capture only PCAP_D_IN, PCAP_D_OUT or PCAP_D_INOUT packets."""

    def sendpacket(self, packet: bytes, /) -> None:
        """Send one raw frame, link-layer header included."""

    def stats(self) -> tuple[int, int, int]:
        """(received, dropped, dropped by the interface) since the capture began."""

    def getfd(self) -> int:
        """A descriptor to wait on with select, poll or an event loop (-1 if there is none)."""

    def set_snaplen(self, snaplen: int, /) -> int:
        """Snapshot length for activate(); returns libpcap's status."""

    def set_promisc(self, promisc: int, /) -> int:
        """Promiscuous mode for activate(); returns libpcap's status."""

    def set_timeout(self, to_ms: int, /) -> int:
        """Read timeout in milliseconds for activate(); returns libpcap's status."""

    def set_buffer_size(self, buffer_size: int, /) -> int:
        """Kernel buffer size in bytes for activate(); returns libpcap's status."""

    def set_rfmon(self, rfmon: int, /) -> int:
        """Monitor mode for activate(); returns libpcap's status."""

    def set_tstamp_precision(self, precision: int, /) -> int:
        """PCAP_TSTAMP_PRECISION_MICRO or _NANO for activate(); returns libpcap's status."""

    def set_tstamp_type(self, tstamp_type: int, /) -> int:
        """A PCAP_TSTAMP_ clock for activate(); returns libpcap's status."""

    def get_tstamp_precision(self) -> int:
        """The precision of the timestamps this handle gives: PCAP_TSTAMP_PRECISION_MICRO or _NANO."""

    def list_tstamp_types(self) -> list[int]:
        """The PCAP_TSTAMP_ clocks the device offers; [] when libpcap names none."""
    def set_immediate_mode(self, immediate: int, /) -> int:
        """Immediate mode for activate(): each packet handed over as it arrives; returns libpcap's status."""

    def list_datalinks(self) -> list[int]:
        """The link-layer types the device offers."""

    def set_datalink(self, dlt: int, /) -> None:
        """Capture with another of the link-layer types the device offers."""

    def activate(self) -> int:
        """Start capturing with the settings given: 0, a warning (> 0) or an error (< 0)."""

    def close(self) -> None:
        """Release the handle; closing again does nothing."""

    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        traceback: TracebackType | None,
        /,
    ) -> None: ...

@final
class BPFProgram:
    """A compiled filter program, run in user space by filter()."""

    def __new__(cls, expression: str, linktype: int = 1, /) -> Self:
        """Compile for linktype, snapshot length 65536, without optimisation."""

    def filter(self, packet: bytes, /) -> int:
        """0 when the packet does not match, else the snapshot length."""

    def get_bpf(self) -> list[tuple[int, int, int, int]]:
        """The instructions as (code, jt, jf, k) tuples."""

def open_live(device: str, snaplen: int, promisc: int, to_ms: int, /) -> Reader:
    """Open a device for capturing; to_ms is the read timeout in milliseconds."""

def open_offline(filename: str, /) -> Reader:
    """Open a capture file for reading."""

def open_offline_with_tstamp_precision(filename: str, precision: int, /) -> Reader:
    """Open a capture file whose headers carry timestamps at that precision."""

def open_dead(linktype: int, snaplen: int, /) -> Reader:
    """A handle attached to nothing, for writing capture files and compiling filters."""

def open_dead_with_tstamp_precision(linktype: int, snaplen: int, precision: int, /) -> Reader:
    """The same, writing timestamps at that precision (1: nanoseconds, else microseconds)."""

@type_check_only
class _Readable(Protocol):
    def read(self, size: int, /) -> bytes | None: ...

@type_check_only
class _ReadableInto(Protocol):
    def readinto(self, buffer: memoryview, /) -> int | None: ...

def fopen_offline(file: _Readable | _ReadableInto, /) -> Reader:
    """Read a capture file from a binary file object (gzip.open(), io.BytesIO, a pipe...), which stays open."""

def fopen_offline_with_tstamp_precision(file: _Readable | _ReadableInto, precision: int, /) -> Reader:
    """The same, with time stamps in microseconds (0) or nanoseconds (1)."""

def create(device: str, /) -> Reader:
    """A handle on a device that captures only after its settings and activate()."""

def compile(linktype: int, snaplen: int, filter: str, optimize: int, netmask: int, /) -> BPFProgram:
    """Compile a filter for a link type without a device; libpcap's diagnostic on failure."""

def lookupdev() -> str:
    """The name of a device to capture on."""

def findalldevs() -> list[str]:
    """The names of all devices that can be opened for capture."""

def tstamp_type_name_to_val(name: str, /) -> int:
    """The PCAP_TSTAMP_ value of a clock's name, such as "adapter"; PcapError for an unknown name."""

def tstamp_type_val_to_name(tstamp_type: int, /) -> str | None:
    """The name of a PCAP_TSTAMP_ value, or None."""

def tstamp_type_val_to_description(tstamp_type: int, /) -> str | None:
    """The description of a PCAP_TSTAMP_ value, or None."""

@final
class Address(structseq[int | str | None], tuple[int, str, str | None, str | None, str | None]):
    """One address of a device, as numeric text; None where there is none."""

    __match_args__: Final = ("family", "addr", "netmask", "broadaddr", "dstaddr")

    @property
    def family(self) -> int:
        """The address family, a socket.AF_ value: AF_INET, AF_INET6 or AF_PACKET."""

    @property
    def addr(self) -> str: ...
    @property
    def netmask(self) -> str | None: ...
    @property
    def broadaddr(self) -> str | None: ...
    @property
    def dstaddr(self) -> str | None: ...

@final
class Device(structseq[str | int | list[Address] | None], tuple[str, str | None, int, list[Address]]):
    """A capture device, as devices() lists it."""

    __match_args__: Final = ("name", "description", "flags", "addresses")

    @property
    def name(self) -> str: ...
    @property
    def description(self) -> str | None: ...
    @property
    def flags(self) -> int:
        """The PCAP_IF_ flags."""

    @property
    def addresses(self) -> list[Address]: ...

def devices() -> list[Device]:
    """Every device that can be opened for capture, in findalldevs() order, with its addresses."""

def datalink_name_to_val(name: str, /) -> int:
    """The link-layer type with that name, without "DLT_", in any case ("en10mb"); PcapError if there is none."""

def datalink_val_to_name(dlt: int, /) -> str | None:
    """The name of a link-layer type without "DLT_", or None for one libpcap does not know."""

def datalink_val_to_description(dlt: int, /) -> str | None:
    """A short description of a link-layer type, or None for one libpcap does not know."""
