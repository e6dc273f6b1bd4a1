"""A build backend that needs nothing but the standard library.

pip builds in an isolated environment and would first download the
backend named in pyproject.toml; this one ships in the tree, so
`pip install ./python` (and `pip install -e ./python`) works offline in a
fresh virtual environment. The package is pure Python, so a wheel is only a
zip of its files and metadata.
"""
from __future__ import annotations

import base64
import hashlib
import io
import re
import tarfile
import zipfile
from pathlib import Path
from typing import Any, Dict, List, Optional, Tuple

ROOT = Path(__file__).resolve().parent.parent
PACKAGE = "vm_detection"


def _project() -> Dict[str, str]:
    """The plain string members of pyproject.toml's [project] table (a
    TOML parser is only in the standard library from Python 3.11)."""
    text = (ROOT / "pyproject.toml").read_text(encoding="utf-8")
    table = re.search(r"^\[project\]\n(.*?)(?=^\[|\Z)", text, re.M | re.S)
    assert table, "pyproject.toml has no [project] table"
    return dict(re.findall(r'^([\w-]+)\s*=\s*"([^"]*)"\s*$', table.group(1), re.M))


def _metadata() -> str:
    p = _project()
    return (f"Metadata-Version: 2.1\nName: {p['name']}\nVersion: {p['version']}\n"
            f"Summary: {p['description']}\nRequires-Python: {p['requires-python']}\n")


def _files() -> List[Path]:
    return sorted(f for f in (ROOT / PACKAGE).rglob("*")
                  if f.is_file() and "__pycache__" not in f.parts)


def _digest(data: bytes) -> str:
    return base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()


def get_requires_for_build_wheel(config_settings: Optional[Dict[str, Any]] = None) -> List[str]:
    return []


def get_requires_for_build_sdist(config_settings: Optional[Dict[str, Any]] = None) -> List[str]:
    return []


def get_requires_for_build_editable(
        config_settings: Optional[Dict[str, Any]] = None) -> List[str]:
    return []


def _wheel(wheel_directory: str, entries: List[Tuple[str, bytes]]) -> str:
    """A wheel of `entries` (path in the wheel, contents) and the metadata."""
    p = _project()
    dist_info = f"{PACKAGE}-{p['version']}.dist-info"
    name = f"{PACKAGE}-{p['version']}-py3-none-any.whl"
    entries = entries + [(f"{dist_info}/METADATA", _metadata().encode()),
                         (f"{dist_info}/WHEEL", b"Wheel-Version: 1.0\nGenerator: vmd_build\n"
                                                b"Root-Is-Purelib: true\nTag: py3-none-any\n")]
    record = "".join(f"{path},sha256={_digest(data)},{len(data)}\n" for path, data in entries)
    entries.append((f"{dist_info}/RECORD", (record + f"{dist_info}/RECORD,,\n").encode()))
    with zipfile.ZipFile(Path(wheel_directory) / name, "w", zipfile.ZIP_DEFLATED) as wheel:
        for path, data in entries:
            wheel.writestr(path, data)
    return name


def build_wheel(wheel_directory: str, config_settings: Optional[Dict[str, Any]] = None,
                metadata_directory: Optional[str] = None) -> str:
    return _wheel(wheel_directory,
                  [(f.relative_to(ROOT).as_posix(), f.read_bytes()) for f in _files()])


def build_editable(wheel_directory: str, config_settings: Optional[Dict[str, Any]] = None,
                   metadata_directory: Optional[str] = None) -> str:
    """`pip install -e` (PEP 660): a wheel whose one file, a .pth, puts
    this directory on sys.path, so that the package is imported from the
    source tree and an edit there takes effect at once."""
    return _wheel(wheel_directory, [(f"__editable__.{PACKAGE}.pth", f"{ROOT}\n".encode())])


def build_sdist(sdist_directory: str, config_settings: Optional[Dict[str, Any]] = None) -> str:
    p = _project()
    base = f"{PACKAGE}-{p['version']}"
    sources = [ROOT / "pyproject.toml", Path(__file__).resolve()] + _files()
    with tarfile.open(Path(sdist_directory) / f"{base}.tar.gz", "w:gz") as sdist:
        for f in sources:
            sdist.add(f, f"{base}/{f.relative_to(ROOT).as_posix()}", recursive=False)
        info = _metadata().encode()
        member = tarfile.TarInfo(f"{base}/PKG-INFO")
        member.size = len(info)
        sdist.addfile(member, io.BytesIO(info))
    return f"{base}.tar.gz"
