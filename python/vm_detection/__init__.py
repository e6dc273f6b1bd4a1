"""Typed access to libvm_detection's report: is this a virtual machine,
a container, WSL or a cloud instance, and on what evidence.

    import vm_detection
    report = vm_detection.detect()
    print(report.vm_likelihood, report.hypervisors)

The shared library does all the work; this module only loads it through
ctypes and turns its JSON report into frozen dataclasses.

Report strings carry bytes, not characters: the library writes every byte
outside printable ASCII as a \\u00XX escape, so each character of a string
here has a code point below 256 that is exactly one byte of what the probe
read. ``to_bytes`` (or ``Evidence.detail_bytes``) gives those bytes back.
"""
from __future__ import annotations

import ctypes
import json
import threading
from dataclasses import dataclass
from typing import Any, Dict, Optional, Tuple

__all__ = ["Report", "Evidence", "Probe", "Library", "VmDetectionError",
           "LibraryNotFoundError", "detect", "version", "load", "parse", "to_bytes"]

SONAME = "libvm_detection.so.1"

STATUS_MEANINGS = {
    1: "invalid argument: the output pointer was null",
    2: "out of memory",
    3: "internal failure",
}


class VmDetectionError(Exception):
    """vmd_detect_json returned a status other than 0 (or no report)."""

    def __init__(self, status: int, meaning: Optional[str] = None) -> None:
        self.status = status
        self.meaning = meaning or STATUS_MEANINGS.get(status, "unknown status")
        super().__init__(f"vmd_detect_json failed with status {status}: {self.meaning}")


class LibraryNotFoundError(OSError):
    """The shared library could not be loaded."""


def to_bytes(text: str) -> bytes:
    """The bytes a report string stands for (one byte per character)."""
    return text.encode("latin-1")


@dataclass(frozen=True)
class Evidence:
    source: str
    category: str
    vendor: str
    weight: int
    detail: str

    @property
    def detail_bytes(self) -> bytes:
        return to_bytes(self.detail)


@dataclass(frozen=True)
class Probe:
    source: str
    status: str


@dataclass(frozen=True)
class Report:
    schema_version: int
    module_version: str
    vm_score: int
    vm_likelihood: str
    hypervisors: Tuple[str, ...]
    containers: Tuple[str, ...]
    compatibility_layers: Tuple[str, ...]
    host_hypervisors: Tuple[str, ...]
    cloud_providers: Tuple[str, ...]
    evidence: Tuple[Evidence, ...]
    probes: Tuple[Probe, ...]
    duration_us: int
    raw: str  # the JSON text exactly as the library returned it


def _bytes_only(key: str, text: str) -> str:
    # Each character stands for one byte: one above U+00FF is no report's,
    # and refused here as the other bindings refuse it.
    if any(ord(c) > 0xFF for c in text):
        raise ValueError(f"report member {key!r} holds a character above U+00FF")
    return text


def _member(obj: Dict[str, Any], key: str, kind: type) -> Any:
    value = obj.get(key)
    # bool is a subclass of int, but true is no integer in the report.
    if type(value) is not kind:
        raise ValueError(f"report member {key!r} is not {kind.__name__}: {value!r}")
    return _bytes_only(key, value) if isinstance(value, str) else value


def _strings(obj: Dict[str, Any], key: str) -> Tuple[str, ...]:
    values = _member(obj, key, list)
    if not all(type(v) is str for v in values):
        raise ValueError(f"report member {key!r} holds a non-string")
    return tuple(_bytes_only(key, v) for v in values)


def _objects(obj: Dict[str, Any], key: str) -> Tuple[Dict[str, Any], ...]:
    values = _member(obj, key, list)
    if not all(type(v) is dict for v in values):
        raise ValueError(f"report member {key!r} holds a non-object")
    return tuple(values)


def parse(raw: str) -> Report:
    """Turns a report's JSON text (from the library or from vmd-detect)
    into a Report; ValueError if it is not a version 1 report."""
    obj = json.loads(raw)
    if type(obj) is not dict or obj.get("schema_version") != 1:
        raise ValueError("not a libvm_detection report of schema version 1")
    return Report(
        schema_version=1,
        module_version=_member(obj, "module_version", str),
        vm_score=_member(obj, "vm_score", int),
        vm_likelihood=_member(obj, "vm_likelihood", str),
        hypervisors=_strings(obj, "hypervisors"),
        containers=_strings(obj, "containers"),
        compatibility_layers=_strings(obj, "compatibility_layers"),
        host_hypervisors=_strings(obj, "host_hypervisors"),
        cloud_providers=_strings(obj, "cloud_providers"),
        evidence=tuple(
            Evidence(source=_member(e, "source", str), category=_member(e, "category", str),
                     vendor=_member(e, "vendor", str), weight=_member(e, "weight", int),
                     detail=_member(e, "detail", str))
            for e in _objects(obj, "evidence")),
        probes=tuple(Probe(source=_member(p, "source", str), status=_member(p, "status", str))
                     for p in _objects(obj, "probes")),
        duration_us=_member(obj, "duration_us", int),
        raw=raw,
    )


_OutPointer = Optional["ctypes._Pointer[ctypes.c_void_p]"]


class Library:
    """One loaded copy of the shared library."""

    def __init__(self, path: Optional[str] = None) -> None:
        name = path or SONAME
        try:
            dll = ctypes.CDLL(name)
            dll.vmd_detect_json.argtypes = [ctypes.POINTER(ctypes.c_void_p)]
            dll.vmd_detect_json.restype = ctypes.c_int
            dll.vmd_free.argtypes = [ctypes.c_void_p]
            dll.vmd_free.restype = None
            dll.vmd_version.argtypes = []
            dll.vmd_version.restype = ctypes.c_char_p
        except (OSError, AttributeError) as e:
            where = (f"at {path}" if path else
                     f"as {SONAME} through the dynamic loader (LD_LIBRARY_PATH, ld.so.cache)")
            raise LibraryNotFoundError(
                f"libvm_detection could not be loaded {where}: {e}. Install it "
                "(cmake --install build --prefix /usr/local && ldconfig) or pass its "
                "path to vm_detection.load()") from e
        self._dll = dll
        self.path = name

    def version(self) -> str:
        value: bytes = self._dll.vmd_version()
        return value.decode("ascii")

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


_default: Optional[Library] = None
_default_lock = threading.Lock()


def load(path: Optional[str] = None) -> Library:
    """Loads the library from `path` (by default the loader finds
    libvm_detection.so.1) and makes it the one detect() and version() use."""
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
