"""Typed access to libvm_detection's report: is this a virtual machine,
a container, WSL or a cloud instance, and on what evidence.

    import vm_detection
    report = vm_detection.detect()
    print(report.vm_likelihood, report.hypervisors)

The shared library does all the work; this module only loads it through
ctypes and turns its JSON report into frozen dataclasses. Which library:
the path given to load(), else $VMD_LIBRARY (a path, or a bare
libvm_detection.so.1 for the dynamic loader's), else the copy a wheel
carries beside this file, loaded by its absolute path, else (a checkout or
editable install) libvm_detection.so.1 through the dynamic loader. Its
major version must be this package's.

Report strings carry bytes, not characters: the library writes every byte
outside printable ASCII as a \\u00XX escape, so each character of a string
here has a code point below 256 that is exactly one byte of what the probe
read. ``to_bytes`` (or ``Evidence.detail_bytes``) gives those bytes back.
"""
from __future__ import annotations

import ctypes
import json
import os
import re
import threading
from dataclasses import InitVar, dataclass
from decimal import Decimal, InvalidOperation
from typing import Any, Dict, List, Literal, Optional, Tuple, cast, get_args

__all__ = ["Report", "Evidence", "Probe", "Library", "Error", "VmDetectionError",
           "LibraryNotFoundError", "LibraryVersionError", "ParseError", "Likelihood", "Category", "Source",
           "ProbeStatus", "VMD_OK", "VMD_INVALID_ARGUMENT", "VMD_OUT_OF_MEMORY",
           "VMD_INTERNAL_ERROR", "detect", "version", "load", "parse", "to_bytes"]

__version__ = "1.0.0"

SONAME = "libvm_detection.so.1"
# The copy a wheel carries; absent in a checkout.
_BUNDLED = os.path.join(os.path.dirname(os.path.abspath(__file__)), SONAME)
_MAJOR = __version__.split(".")[0]

# vmd_detect_json's statuses, as include/vm_detection.h names them.
VMD_OK = 0
VMD_INVALID_ARGUMENT = 1
VMD_OUT_OF_MEMORY = 2
VMD_INTERNAL_ERROR = 3

STATUS_MEANINGS = {
    VMD_INVALID_ARGUMENT: "invalid argument: the output pointer was null",
    VMD_OUT_OF_MEMORY: "out of memory",
    VMD_INTERNAL_ERROR: "internal failure",
}

# The words the report's JSON Schema allows in these members.
Likelihood = Literal["very_likely", "likely", "possible", "not_detected", "unknown"]
Category = Literal["guest", "host", "container", "compatibility", "cloud", "diagnostic"]
Source = Literal["cpu", "timing", "firmware", "device_tree", "hypervisor", "system",
                 "container"]
ProbeStatus = Literal["ok", "unavailable", "error"]


class Error(Exception):
    """The base of every error this package raises."""


class VmDetectionError(Error):
    """vmd_detect_json returned a status other than 0 (or no report)."""

    def __init__(self, status: int, meaning: Optional[str] = None) -> None:
        self.status = status
        self.meaning = meaning or STATUS_MEANINGS.get(status, "unknown status")
        super().__init__(f"vmd_detect_json failed with status {status}: {self.meaning}")


class LibraryNotFoundError(Error, OSError):
    """The shared library could not be loaded."""


class LibraryVersionError(LibraryNotFoundError):
    """The library loaded is of another major version than this package,
    whose interface it may not have."""


class ParseError(Error, ValueError):
    """The text is not a report: not one JSON document that the report's
    JSON Schema accepts, or an object in it names a member twice. Also a
    ValueError, which parse raised before this class."""


def to_bytes(text: str) -> bytes:
    """The bytes a report string stands for (one byte per character)."""
    return text.encode("latin-1")


@dataclass(frozen=True)
class Evidence:
    source: Source
    category: Category
    vendor: str
    weight: int
    detail: str

    @property
    def detail_bytes(self) -> bytes:
        return to_bytes(self.detail)


@dataclass(frozen=True)
class Probe:
    source: Source
    status: ProbeStatus


class _Text:
    # Declares Report.raw for type checkers, which do not take a
    # dataclass's InitVar for an attribute.
    raw: str


@dataclass(frozen=True)
class Report(_Text):
    schema_version: int
    module_version: str
    vm_score: int
    vm_likelihood: Likelihood
    hypervisors: Tuple[str, ...]
    containers: Tuple[str, ...]
    compatibility_layers: Tuple[str, ...]
    host_hypervisors: Tuple[str, ...]
    cloud_providers: Tuple[str, ...]
    evidence: Tuple[Evidence, ...]
    probes: Tuple[Probe, ...]
    duration_us: int
    # The JSON text exactly as the library returned it. Not a field, so
    # that repr(), == and dataclasses.asdict() leave it out, as the other
    # bindings do: a report written back out is its members only.
    raw: InitVar[str] = ""

    def __post_init__(self, raw: str) -> None:
        object.__setattr__(self, "raw", raw)


_MEMBERS = ("schema_version", "module_version", "vm_score", "vm_likelihood", "hypervisors",
            "containers", "compatibility_layers", "host_hypervisors", "cloud_providers",
            "evidence", "probes", "duration_us")
_EVIDENCE_MEMBERS = ("source", "category", "vendor", "weight", "detail")
_PROBE_MEMBERS = ("source", "status")
_LIKELIHOODS: Tuple[str, ...] = get_args(Likelihood)
_CATEGORIES: Tuple[str, ...] = get_args(Category)
_SOURCES: Tuple[str, ...] = get_args(Source)
_STATUSES: Tuple[str, ...] = get_args(ProbeStatus)
_VERSION = re.compile(r"[0-9]+\.[0-9]+\.[0-9]+")
_VENDOR = re.compile(r"[a-z0-9]+(?:-[a-z0-9]+)*")
_INT32 = (-2**31, 2**31 - 1)
# The largest integer that every binding's numbers hold exactly.
_DURATION_MAX = 2**53 - 1


def _refuse(why: str) -> ParseError:
    return ParseError(f"not a libvm_detection report: {why}")


def _no_duplicates(pairs: List[Tuple[str, Any]]) -> Dict[str, Any]:
    # json keeps the last of two equal names; the other bindings' parsers
    # may keep the first, so a text naming one twice is no report.
    members: Dict[str, Any] = {}
    for key, value in pairs:
        if key in members:
            raise _refuse(f"member {key!r} appears twice in one object")
        members[key] = value
    return members


def _not_json(constant: str) -> Any:
    raise _refuse(f"{constant} is not JSON")


def _number(text: str) -> Decimal:
    try:
        return Decimal(text)
    except InvalidOperation:
        # An exponent of more digits than Decimal holds (18): with digits of
        # zero the number is 0; with any other it is beyond every member's
        # range, or a fraction too small to be an integer.
        if not re.split("[eE]", text, maxsplit=1)[0].strip("-0."):
            return Decimal(0)
        raise _refuse(f"{text[:40]} is no integer of any member's range") from None


def _object(value: Any, keys: Tuple[str, ...], where: str) -> Dict[str, Any]:
    if type(value) is not dict:
        raise _refuse(f"{where} is not an object")
    missing = [k for k in keys if k not in value]
    extra = sorted(k for k in value if k not in keys)
    if missing or extra:
        raise _refuse(f"{where} lacks {missing} or has members beyond the report's: {extra}")
    return value


def _integer(value: Any, low: int, high: int, where: str) -> int:
    # Numbers with a fraction or an exponent come as exact Decimals: in the
    # schema's draft (2020-12) 95.0 is the integer 95, and 95.5 no integer.
    # bool is a subclass of int, but true is no integer in JSON.
    if type(value) is not int and type(value) is not Decimal:
        raise _refuse(f"{where} is not an integer: {value!r}")
    # The range first: an exponent such as 1e999999999 is cheap to compare
    # but not to make an int of.
    if not low <= value <= high:
        raise _refuse(f"{where} {value} is outside {low}..{high}")
    if value != int(value):
        raise _refuse(f"{where} {value} is not an integer")
    return int(value)


def _string(value: Any, where: str) -> str:
    if type(value) is not str:
        raise _refuse(f"{where} is not a string: {value!r}")
    return value


def _word(value: Any, words: Tuple[str, ...], where: str) -> str:
    word = _string(value, where)
    if word not in words:
        raise _refuse(f"{where} {word!r} is none of {', '.join(words)}")
    return word


def _vendor(value: Any, where: str) -> str:
    word = _string(value, where)
    if not _VENDOR.fullmatch(word):
        raise _refuse(f"{where} {word!r} is not a lower-case vendor word")
    return word


def _vendors(value: Any, key: str) -> Tuple[str, ...]:
    if type(value) is not list:
        raise _refuse(f"member {key!r} is not an array")
    words = tuple(_vendor(v, f"{key}[{i}]") for i, v in enumerate(value))
    if "unknown" in words or len(set(words)) != len(words):
        raise _refuse(f"member {key!r} holds 'unknown' or a word twice: {list(words)}")
    return words


def _detail(value: Any, where: str) -> str:
    # Each character stands for one byte, U+0000 to U+00FF.
    detail = _string(value, where)
    if len(detail) > 160 or any(ord(c) > 0xFF for c in detail):
        raise _refuse(f"{where} is longer than 160 or holds a character above U+00FF")
    return detail


def _items(value: Any, key: str) -> List[Any]:
    if type(value) is not list:
        raise _refuse(f"member {key!r} is not an array")
    return value


def _evidence(value: Any, where: str) -> Evidence:
    e = _object(value, _EVIDENCE_MEMBERS, where)
    return Evidence(source=cast(Source, _word(e["source"], _SOURCES, f"{where}.source")),
                    category=cast(Category, _word(e["category"], _CATEGORIES,
                                                  f"{where}.category")),
                    vendor=_vendor(e["vendor"], f"{where}.vendor"),
                    weight=_integer(e["weight"], *_INT32, f"{where}.weight"),
                    detail=_detail(e["detail"], f"{where}.detail"))


def _probe(value: Any, where: str) -> Probe:
    p = _object(value, _PROBE_MEMBERS, where)
    return Probe(source=cast(Source, _word(p["source"], _SOURCES, f"{where}.source")),
                 status=cast(ProbeStatus, _word(p["status"], _STATUSES, f"{where}.status")))


def parse(raw: str) -> Report:
    """Turns a report's JSON text (from the library or from vmd-detect)
    into a Report. Raises ParseError for a text that the report's JSON
    Schema does not accept, or that names a member twice in one object."""
    try:
        value = json.loads(raw, parse_float=_number, parse_constant=_not_json,
                           object_pairs_hook=_no_duplicates)
    except ParseError:
        raise
    except (ValueError, RecursionError) as e:
        raise _refuse(f"not one JSON document: {e}") from e
    r = _object(value, _MEMBERS, "the text")
    module_version = _string(r["module_version"], "module_version")
    if not _VERSION.fullmatch(module_version):
        raise _refuse(f"module_version {module_version!r} is not three numbers")
    return Report(
        schema_version=_integer(r["schema_version"], 1, 1, "schema_version"),
        module_version=module_version,
        vm_score=_integer(r["vm_score"], 0, 99, "vm_score"),
        vm_likelihood=cast(Likelihood, _word(r["vm_likelihood"], _LIKELIHOODS,
                                             "vm_likelihood")),
        hypervisors=_vendors(r["hypervisors"], "hypervisors"),
        containers=_vendors(r["containers"], "containers"),
        compatibility_layers=_vendors(r["compatibility_layers"], "compatibility_layers"),
        host_hypervisors=_vendors(r["host_hypervisors"], "host_hypervisors"),
        cloud_providers=_vendors(r["cloud_providers"], "cloud_providers"),
        evidence=tuple(_evidence(e, f"evidence[{i}]")
                       for i, e in enumerate(_items(r["evidence"], "evidence"))),
        probes=tuple(_probe(p, f"probes[{i}]")
                     for i, p in enumerate(_items(r["probes"], "probes"))),
        duration_us=_integer(r["duration_us"], 0, _DURATION_MAX, "duration_us"),
        raw=raw,
    )


_OutPointer = Optional["ctypes._Pointer[ctypes.c_void_p]"]


class Library:
    """One loaded copy of the shared library."""

    def __init__(self, path: Optional[str] = None) -> None:
        name, origin = _choose(path)
        where = (f"as {name} through the dynamic loader (LD_LIBRARY_PATH, ld.so.cache)"
                 if "/" not in name else f"at {name}") + origin
        try:
            dll = ctypes.CDLL(name)
            dll.vmd_detect_json.argtypes = [ctypes.POINTER(ctypes.c_void_p)]
            dll.vmd_detect_json.restype = ctypes.c_int
            dll.vmd_free.argtypes = [ctypes.c_void_p]
            dll.vmd_free.restype = None
            dll.vmd_version.argtypes = []
            dll.vmd_version.restype = ctypes.c_char_p
        except (OSError, AttributeError) as e:
            raise LibraryNotFoundError(
                f"libvm_detection could not be loaded {where}: {e}. Install it "
                "(cmake --install build --prefix /usr/local && ldconfig) or pass its "
                "path to vm_detection.load() or in VMD_LIBRARY") from e
        self._dll = dll
        self.path = name
        self._check_version(where)

    def _check_version(self, where: str) -> None:
        found = self.version()
        major = re.match(r"([0-9]+)\.[0-9]+\.[0-9]+\b", found)
        if not major or major.group(1) != _MAJOR:
            raise LibraryVersionError(
                f"libvm_detection {where} is version {found!r}, but vm_detection "
                f"{__version__} needs major version {_MAJOR}: install a {_MAJOR}.x library "
                "or the vm_detection release made for this one")

    def version(self) -> str:
        value: bytes = self._dll.vmd_version()
        return value.decode("ascii", "replace")

    def detect_json(self) -> str:
        """The report's JSON text, exactly as the library wrote it."""
        return self._detect_json(ctypes.pointer(ctypes.c_void_p()))

    def detect(self) -> Report:
        return parse(self.detect_json())

    def _detect_json(self, out: _OutPointer) -> str:
        status = self._dll.vmd_detect_json(out)
        block = out.contents.value if out is not None else None
        try:
            if status != 0:
                raise VmDetectionError(status)
            if not block:
                raise VmDetectionError(0, "status 0 but no report")
            return ctypes.string_at(block).decode("ascii")
        finally:
            # The library leaves null on failure; free whatever it left anyway.
            self._dll.vmd_free(block)


def _choose(path: Optional[str]) -> Tuple[str, str]:
    """The library to load and, for messages, why that one."""
    if path:
        return path, ""
    chosen = os.environ.get("VMD_LIBRARY")
    if chosen:
        return chosen, " (from VMD_LIBRARY)"
    if os.path.isfile(_BUNDLED):
        return _BUNDLED, " (the copy this package carries)"
    return SONAME, ""


_default: Optional[Library] = None
_default_lock = threading.Lock()


def load(path: Optional[str] = None) -> Library:
    """Loads the library from `path` (by default as the module's docstring
    says) and makes it the one detect() and version() use."""
    global _default
    library = Library(path)
    with _default_lock:
        _default = library
    return library


def _library() -> Library:
    global _default
    with _default_lock:
        if _default is None:
            _default = Library()
        return _default


def detect() -> Report:
    """Runs one detection; raises VmDetectionError on a non-zero status."""
    return _library().detect()


def version() -> str:
    """The library's version, "1.0.0"."""
    return _library().version()
