"""A build backend that needs nothing but the standard library.

pip builds in an isolated environment and would first download the
backend named in pyproject.toml; this one ships in the tree, so every
route below works offline in a fresh virtual environment.

What a wheel carries is chosen by the config setting `library`
(`pip install --config-settings library=...`, or `config_settings` when called directly):

- `system`: pure Python, loading libvm_detection.so.1 through the dynamic
  loader. The default in a checkout (`pip install ./python`), where the
  library is installed by CMake.
- `build`: the library compiled here from src/ with the C++ compiler
  alone ($CXX, else c++), its sources and flags read from CMakeLists.txt,
  the one build description. The default for the sdist, which carries
  CMakeLists.txt, src/ and include/ beside this package.
- a path to a built libvm_detection.so.1 for x86_64 or aarch64: that
  file, as it is (the release wheels carry the release tarballs' library).
  With `glibc-floor=X.Y` the wheel is tagged manylinux_X_Y_ARCH, else
  linux_ARCH.

The version is project(VERSION) of CMakeLists.txt.
"""
from __future__ import annotations

import base64
import gzip
import hashlib
import io
import os
import re
import shlex
import struct
import subprocess
import sysconfig
import tarfile
import tempfile
import time
import zipfile
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Any, Dict, List, Optional, Tuple

ROOT = Path(__file__).resolve().parent.parent
PACKAGE = "vm_detection"
SONAME = "libvm_detection.so.1"
# What the sdist takes from the source tree, besides this package.
TREE_FILES = ("CMakeLists.txt", "LICENSE")
TREE_DIRS = ("src", "include")
# ELF e_machine values of the release architectures and the wheel
# platforms' names for them.
MACHINES = {62: "x86_64", 183: "aarch64"}

Settings = Optional[Dict[str, Any]]


class BuildError(Exception):
    pass


def tree() -> Path:
    """Where CMakeLists.txt, src/ and include/ are: the sdist's own root,
    or the top of the checkout that holds this package."""
    for top in (ROOT, ROOT.parent):
        if (top / "CMakeLists.txt").is_file() and (top / "src").is_dir():
            return top
    raise BuildError(f"no CMakeLists.txt and src/ in {ROOT} or {ROOT.parent}")


def _project() -> Dict[str, str]:
    """The plain string members of pyproject.toml's [project] table (a
    TOML parser is only in the standard library from Python 3.11)."""
    text = (ROOT / "pyproject.toml").read_text(encoding="utf-8")
    table = re.search(r"^\[project\]\n(.*?)(?=^\[|\Z)", text, re.M | re.S)
    assert table, "pyproject.toml has no [project] table"
    members = dict(re.findall(r'^([\w-]+)\s*=\s*"([^"]*)"\s*$', table.group(1), re.M))
    members["version"] = cmake()["version"]
    return members


def _arguments(text: str) -> List[str]:
    # CMake's rule: only an argument that starts with a quote is quoted;
    # VMD_VERSION="${PROJECT_VERSION}" keeps its quotes (a string literal).
    return [plain or quoted for quoted, plain in re.findall(r'"((?:[^"\\]|\\.)*)"|(\S+)', text)]


def _commands(text: str) -> List[Tuple[str, List[str], Tuple[str, ...]]]:
    """CMakeLists.txt's commands as (name, arguments, enclosing if()
    conditions), comments dropped and quotes taken off."""
    text = re.sub(r"#[^\n]*", "", text)
    found = []
    conditions: List[str] = []
    for match in re.finditer(r"(\w+)\s*\(([^()]*(?:\([^()]*\)[^()]*)*)\)", text):
        name, args = match.group(1).lower(), match.group(2)
        if name == "if":
            conditions.append(" ".join(args.split()))
        elif name == "endif":
            conditions.pop()
        elif name not in ("else", "elseif"):
            found.append((name, _arguments(args), tuple(conditions)))
    return found


def cmake() -> Dict[str, Any]:
    """The library's sources, compile definitions, include directories and
    link options as CMakeLists.txt gives them to vmd_core and vm_detection.
    Anything there that this reading does not know fails the build instead
    of being left out."""
    top = tree()
    variables = {"CMAKE_CURRENT_SOURCE_DIR": str(top)}
    info: Dict[str, Any] = {"sources": [], "definitions": [], "includes": [], "link": [],
                            "cxx_flags": [], "c_flags": []}
    pointer_size = struct.calcsize("P")

    def expand(word: str) -> str:
        def one(m: "re.Match[str]") -> str:
            if m.group(1) not in variables:
                raise BuildError(f"CMakeLists.txt: ${{{m.group(1)}}} is not known here")
            return variables[m.group(1)]
        word = re.sub(r"\$\{(\w+)\}", one, word)
        if "$<" in word:
            raise BuildError(f"CMakeLists.txt: generator expression {word} is not known here")
        return word

    def applies(conditions: Tuple[str, ...]) -> bool:
        # Only the pointer size is known here; options (sanitizers, tests,
        # warnings as errors) are off.
        return all(c == f"CMAKE_SIZEOF_VOID_P EQUAL {pointer_size}" for c in conditions)

    for name, args, conditions in _commands((top / "CMakeLists.txt").read_text("utf-8")):
        if name == "project":
            version = args[args.index("VERSION") + 1]
            variables.update(PROJECT_VERSION=version,
                             PROJECT_VERSION_MAJOR=version.split(".")[0])
            info["version"] = version
        elif not applies(conditions):
            continue
        elif name == "set" and len(args) == 2:
            variables[args[0]] = expand(args[1])
        elif name == "add_compile_definitions":
            info["definitions"] += [expand(a) for a in args]
        elif name in ("add_compile_options", "add_link_options"):
            raise BuildError(f"CMakeLists.txt: {name}() for every build is not known here")
        elif name == "add_library" and args[0] in ("vmd_core", "vm_detection"):
            info["sources"] += [expand(a) for a in args[2:]]
        elif name == "target_compile_definitions" and args[0] == "vmd_core":
            info["definitions"] += [expand(a) for a in args[2:]]
        elif name == "target_include_directories" and args[0] == "vmd_core":
            info["includes"] += [expand(a) for a in args[2:]]
        elif name == "target_link_options" and args[0] == "vm_detection":
            info["link"] += [expand(a) for a in args[2:]]
        elif name == "set_target_properties" and args[0] in ("vmd_core", "vm_detection"):
            props = dict(zip(args[2::2], args[3::2]))
            if props.get("CXX_VISIBILITY_PRESET") == "hidden":
                info["cxx_flags"].append("-fvisibility=hidden")
            if props.get("VISIBILITY_INLINES_HIDDEN") == "ON":
                info["cxx_flags"].append("-fvisibility-inlines-hidden")
            if props.get("C_VISIBILITY_PRESET") == "hidden":
                info["c_flags"].append("-fvisibility=hidden")
    standard = variables.get("CMAKE_CXX_STANDARD")
    if not (info.get("version") and standard and info["sources"] and info["link"]):
        raise BuildError("CMakeLists.txt: no project(VERSION), CMAKE_CXX_STANDARD, "
                         "vmd_core/vm_detection sources or link options found")
    info["standard"] = f"-std=c++{standard}"
    return info


def compile_library(out: Path) -> Path:
    """libvm_detection.so.1 built from the tree into the directory `out`,
    as CMake would build it (optimised, without debug information)."""
    info = cmake()
    top = tree()
    cxx = shlex.split(os.environ.get("CXX") or "c++")
    cxxflags = shlex.split(os.environ.get("CXXFLAGS", ""))
    common = (["-fPIC", "-O2", "-DNDEBUG"] + [f"-D{d}" for d in info["definitions"]]
              + [f"-I{i}" for i in info["includes"]])
    jobs = []
    for i, source in enumerate(info["sources"]):
        path = top / source
        obj = out / f"{i:02d}-{path.stem}.o"
        # The one C file only includes the header: compiled as C++, the
        # build needs no C compiler.
        flags = info["cxx_flags"] if path.suffix != ".c" else info["c_flags"] + ["-x", "c++"]
        jobs.append((obj, cxx + [info["standard"]] + common + flags + cxxflags
                     + ["-c", str(path), "-o", str(obj)]))

    def run(command: List[str]) -> None:
        done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if done.returncode:
            raise BuildError(f"{shlex.join(command)} failed:\n{done.stdout.decode(errors='replace')}")

    workers = int(os.environ.get("VMD_BUILD_JOBS") or os.cpu_count() or 1)
    with ThreadPoolExecutor(max_workers=workers) as pool:
        list(pool.map(run, [command for _, command in jobs]))
    library = out / SONAME
    run(cxx + ["-shared", f"-Wl,-soname,{SONAME}", "-o", str(library)]
        + [str(obj) for obj, _ in jobs] + info["link"]
        + shlex.split(os.environ.get("LDFLAGS", "")))
    return library


def _machine(library: bytes) -> str:
    """The wheel platform's architecture of a given library, which need
    not be this machine's."""
    if library[:4] != b"\x7fELF" or library[5] != 1:
        raise BuildError("the library is not a little-endian ELF file")
    (machine,) = struct.unpack_from("<H", library, 18)
    if machine not in MACHINES:
        raise BuildError(f"the library's ELF machine {machine} is not one of {MACHINES}")
    return MACHINES[machine]


def _metadata() -> str:
    p = _project()
    return (f"Metadata-Version: 2.1\nName: {p['name']}\nVersion: {p['version']}\n"
            f"Summary: {p['description']}\nRequires-Python: {p['requires-python']}\n")


def _files() -> List[Path]:
    return sorted(f for f in (ROOT / PACKAGE).rglob("*")
                  if f.is_file() and "__pycache__" not in f.parts
                  and not f.name.startswith(SONAME))


def _digest(data: bytes) -> str:
    return base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()


def _epoch() -> int:
    # Reproducible archives: every member stamped with SOURCE_DATE_EPOCH.
    return int(os.environ.get("SOURCE_DATE_EPOCH") or time.time())


def get_requires_for_build_wheel(config_settings: Settings = None) -> List[str]:
    return []


def get_requires_for_build_sdist(config_settings: Settings = None) -> List[str]:
    return []


def get_requires_for_build_editable(config_settings: Settings = None) -> List[str]:
    return []


def _wheel(wheel_directory: str, entries: List[Tuple[str, bytes]],
           tag: str = "py3-none-any") -> str:
    """A wheel of `entries` (path in the wheel, contents) and the metadata."""
    p = _project()
    dist_info = f"{PACKAGE}-{p['version']}.dist-info"
    name = f"{PACKAGE}-{p['version']}-{tag}.whl"
    purelib = "true" if tag.endswith("-any") else "false"
    entries = entries + [(f"{dist_info}/METADATA", _metadata().encode()),
                         (f"{dist_info}/WHEEL", f"Wheel-Version: 1.0\nGenerator: vmd_build\n"
                                                f"Root-Is-Purelib: {purelib}\nTag: {tag}\n"
                                                .encode())]
    record = "".join(f"{path},sha256={_digest(data)},{len(data)}\n" for path, data in entries)
    entries.append((f"{dist_info}/RECORD", (record + f"{dist_info}/RECORD,,\n").encode()))
    stamp = time.gmtime(max(_epoch(), 315532800))[:6]  # zip dates start in 1980
    with zipfile.ZipFile(Path(wheel_directory) / name, "w", zipfile.ZIP_DEFLATED) as wheel:
        for path, data in entries:
            member = zipfile.ZipInfo(path, stamp)
            member.compress_type = zipfile.ZIP_DEFLATED
            mode = 0o755 if path.endswith(f"/{SONAME}") else 0o644
            member.external_attr = (0o100000 | mode) << 16
            wheel.writestr(member, data)
    return name


def build_wheel(wheel_directory: str, config_settings: Settings = None,
                metadata_directory: Optional[str] = None) -> str:
    settings = config_settings or {}
    default = "build" if tree() == ROOT else "system"
    library = settings.get("library") or default
    entries = [(f.relative_to(ROOT).as_posix(), f.read_bytes()) for f in _files()]
    if library == "system":
        return _wheel(wheel_directory, entries)
    floor = settings.get("glibc-floor")
    if floor and not re.fullmatch(r"[0-9]+\.[0-9]+", floor):
        raise BuildError(f"glibc-floor {floor!r} is not MAJOR.MINOR")
    if library == "build":
        with tempfile.TemporaryDirectory(prefix="vmd-build-") as scratch:
            data = compile_library(Path(scratch)).read_bytes()
        # Built here, for here: the platform pip names this interpreter's.
        platform = re.sub(r"[-.]", "_", sysconfig.get_platform())
    else:
        data = Path(library).read_bytes()
        arch = _machine(data)
        platform = f"manylinux_{floor.replace('.', '_')}_{arch}" if floor else f"linux_{arch}"
    return _wheel(wheel_directory, entries + [(f"{PACKAGE}/{SONAME}", data)],
                  f"py3-none-{platform}")


def build_editable(wheel_directory: str, config_settings: Settings = None,
                   metadata_directory: Optional[str] = None) -> str:
    """`pip install -e` (PEP 660): a wheel whose one file, a .pth, puts
    this directory on sys.path, so that the package is imported from the
    source tree and an edit there takes effect at once. It loads the
    library through the loader (or $VMD_LIBRARY)."""
    return _wheel(wheel_directory, [(f"__editable__.{PACKAGE}.pth", f"{ROOT}\n".encode())])


def sdist_members() -> List[Tuple[str, Path]]:
    """(path in the sdist below its top directory, file) for every file
    the sdist carries: this package and the library's sources from the one
    tree."""
    top = tree()
    members = [("pyproject.toml", ROOT / "pyproject.toml"),
               ("_backend/vmd_build.py", Path(__file__).resolve())]
    members += [(f.relative_to(ROOT).as_posix(), f) for f in _files()]
    members += [(name, top / name) for name in TREE_FILES]
    members += sorted((f.relative_to(top).as_posix(), f) for d in TREE_DIRS
                      for f in (top / d).rglob("*") if f.is_file())
    return members


def build_sdist(sdist_directory: str, config_settings: Settings = None) -> str:
    p = _project()
    base = f"{PACKAGE}-{p['version']}"
    epoch = _epoch()
    files = [(name, path.read_bytes()) for name, path in sdist_members()]
    files.append(("PKG-INFO", _metadata().encode()))
    archive = io.BytesIO()
    with tarfile.open(fileobj=archive, mode="w", format=tarfile.PAX_FORMAT) as sdist:
        for name, data in files:
            member = tarfile.TarInfo(f"{base}/{name}")
            member.size, member.mtime, member.mode = len(data), epoch, 0o644
            sdist.addfile(member, io.BytesIO(data))
    # No file name and the fixed time in the gzip header either.
    with open(Path(sdist_directory) / f"{base}.tar.gz", "wb") as out, \
            gzip.GzipFile(fileobj=out, mode="wb", mtime=epoch, filename="") as packed:
        packed.write(archive.getvalue())
    return f"{base}.tar.gz"
