"""Tests of the installed vm_detection package against the library of the
same build. The loader must find libvm_detection.so.1 (LD_LIBRARY_PATH),
and vmd-detect is taken from $VMD_DETECT or PATH."""
import dataclasses
import importlib
import json
import os
import re
import shutil
import subprocess
import sys
import tarfile
import threading
from pathlib import Path

import pytest

import vm_detection

STUB_SOURCE = Path(__file__).resolve().parents[2] / "tests" / "bindings" / "stub_library.c"
# The report texts every binding is held to (tests/reports/README.md).
REPORTS = Path(__file__).resolve().parents[2] / "tests" / "reports"
TREE = Path(__file__).resolve().parents[2]


def vmd_detect(*args: str) -> str:
    tool = os.environ.get("VMD_DETECT") or shutil.which("vmd-detect")
    assert tool, "vmd-detect not found: set VMD_DETECT or PATH"
    return subprocess.run([tool, *args], check=True, capture_output=True, text=True,
                          timeout=60).stdout


def fields(report):
    """The typed report as plain JSON values (`raw` is no field)."""
    return json.loads(json.dumps(dataclasses.asdict(report)))


def comparable(members):
    """Blanks what differs between runs: the duration and the cycle count
    in the timing evidence."""
    members = dict(members, duration_us=None)
    members["evidence"] = [dict(e, detail=re.sub(r"^cpuid \d+", "cpuid _", e["detail"]))
                           if e["source"] == "timing" else e for e in members["evidence"]]
    return members


def test_typed_report_is_the_library_json():
    report = vm_detection.detect()
    assert fields(report) == json.loads(report.raw)
    assert report.raw.startswith('{"schema_version":1,') and report.raw.endswith("}")
    assert comparable(fields(report)) == comparable(json.loads(vmd_detect()))
    assert vm_detection.version() == report.module_version == "1.0.0"


def test_bytes_above_0x7f_come_back_as_read(tmp_path):
    data = b'hv\xc3\xa9\xff"\\\x01'
    (tmp_path / "sys/hypervisor").mkdir(parents=True)
    (tmp_path / "sys/hypervisor/type").write_bytes(data)
    raw = vmd_detect("--root", str(tmp_path))
    assert r"hv\u00c3\u00a9\u00ff\"\\\u0001" in raw
    [evidence] = [e for e in vm_detection.parse(raw).evidence if e.source == "hypervisor"]
    assert evidence.detail == 'hv\u00c3\u00a9\u00ff"\\\x01'
    assert evidence.detail_bytes == vm_detection.to_bytes(evidence.detail) == data


def test_eight_threads_at_once_get_the_same_report():
    barrier = threading.Barrier(8)
    seen = []
    errors = []

    def run():
        barrier.wait()
        for _ in range(25):
            try:
                seen.append(json.dumps(comparable(fields(vm_detection.detect()))))
            except Exception as e:  # noqa: BLE001 - reported below
                errors.append(e)

    threads = [threading.Thread(target=run) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert len(seen) == 200
    assert set(seen) == {json.dumps(comparable(fields(vm_detection.detect())))}



@pytest.fixture(scope="module")
def stub_path(tmp_path_factory):
    # Its version text is VMD_STUB_VERSION's, then a count of blocks held.
    path = tmp_path_factory.mktemp("stub") / "libvm_detection.so.1"
    subprocess.run([os.environ.get("CC", "cc"), "-shared", "-fPIC", "-o", str(path),
                    str(STUB_SOURCE)], check=True)
    with pytest.MonkeyPatch.context() as patch:
        patch.setenv("VMD_STUB_VERSION", "1.0.0")
        yield str(path)


@pytest.fixture(scope="module")
def stub(stub_path):
    return vm_detection.Library(stub_path)


def test_statuses_become_errors_and_every_block_is_freed(stub, monkeypatch):
    for status, meaning in [(1, "null"), (2, "out of memory"), (3, "internal failure"),
                            (9, "unknown status")]:
        monkeypatch.setenv("VMD_STUB_STATUS", str(status))
        with pytest.raises(vm_detection.VmDetectionError, match=meaning) as failure:
            stub.detect()
        assert failure.value.status == status
    monkeypatch.setenv("VMD_STUB_STATUS", "0")
    assert stub.detect().vm_likelihood == "unknown"
    assert stub.version() == "1.0.0 outstanding 0"


def test_null_out_pointer_is_status_1():
    with pytest.raises(vm_detection.VmDetectionError) as failure:
        vm_detection.Library()._detect_json(None)
    assert failure.value.status == 1


def test_malformed_reports_are_refused():
    good = json.loads(vm_detection.detect().raw)
    for bad in [dict(good, schema_version=2), dict(good, vm_score=True),
                {k: v for k, v in good.items() if k != "probes"},
                dict(good, evidence=[{"source": "cpu"}]), dict(good, hypervisors=[1]),
                dict(good, hypervisors=["\u0100"]), dict(good, vm_likelihood="\u20ac")]:
        with pytest.raises(ValueError):
            vm_detection.parse(json.dumps(bad))


def test_missing_library_says_what_was_looked_for_and_how_to_install(monkeypatch):
    with pytest.raises(vm_detection.LibraryNotFoundError,
                       match=r"at /nonexistent/libvm_detection\.so\.1:.*cmake --install"):
        vm_detection.load("/nonexistent/libvm_detection.so.1")
    monkeypatch.setenv("VMD_LIBRARY", "/nonexistent/other.so")
    with pytest.raises(vm_detection.LibraryNotFoundError,
                       match=r"at /nonexistent/other\.so \(from VMD_LIBRARY\)"):
        vm_detection.Library()


def test_the_carried_copy_is_loaded_unless_vmd_library_names_another(stub_path, monkeypatch):
    monkeypatch.delenv("VMD_LIBRARY", raising=False)
    monkeypatch.setattr(vm_detection, "_BUNDLED", stub_path)
    assert vm_detection.Library().path == stub_path
    monkeypatch.setattr(vm_detection, "_BUNDLED", "/nonexistent/libvm_detection.so.1")
    assert vm_detection.Library().path == vm_detection.SONAME
    monkeypatch.setenv("VMD_LIBRARY", stub_path)
    assert vm_detection.Library().path == stub_path


def test_a_library_of_another_major_version_is_refused_naming_both(stub_path, monkeypatch):
    for stated in ["2.0.0", "10.0.0", "1.0", ""]:
        monkeypatch.setenv("VMD_STUB_VERSION", stated)
        with pytest.raises(vm_detection.LibraryVersionError,
                           match=rf"at {stub_path} is version '{stated} ?outstanding 0', "
                                 r"but vm_detection 1\.0\.0 needs major version 1"):
            vm_detection.Library(stub_path)
    monkeypatch.setenv("VMD_STUB_VERSION", "1.7.2")
    assert vm_detection.Library(stub_path).version() == "1.7.2 outstanding 0"


def test_module_prints_the_report():
    run = subprocess.run([sys.executable, "-m", "vm_detection"], capture_output=True,
                         text=True, check=True, timeout=60)
    assert json.loads(run.stdout)["schema_version"] == 1
    run = subprocess.run([sys.executable, "-m", "vm_detection", "--library", "/nonexistent"],
                         capture_output=True, text=True, timeout=60)
    assert run.returncode == 3 and "/nonexistent" in run.stderr


@pytest.mark.parametrize("path", sorted((REPORTS / "valid").glob("*.json")), ids=lambda p: p.name)
def test_valid_reports_parse_and_come_back_the_same(path):
    text = path.read_text(encoding="ascii")
    report = vm_detection.parse(text)
    assert report.raw == text
    # The values as written (95.0 and 95 are equal), the integers as ints.
    assert fields(report) == json.loads(text)
    integers = [report.schema_version, report.vm_score, report.duration_us]
    assert all(type(i) is int for i in integers + [e.weight for e in report.evidence])
    # Written back out with json and read again: the same report, bytes and all.
    again = vm_detection.parse(json.dumps(dataclasses.asdict(report)))
    assert again == report
    assert [e.detail_bytes for e in again.evidence] == [e.detail_bytes for e in report.evidence]


@pytest.mark.parametrize("path", sorted((REPORTS / "invalid").glob("*.json")),
                         ids=lambda p: p.name)
def test_invalid_reports_raise_parse_error(path):
    with pytest.raises(vm_detection.ParseError, match="not a libvm_detection report"):
        vm_detection.parse(path.read_text(encoding="ascii"))


def test_one_base_for_every_error_and_parse_error_is_still_a_value_error():
    assert issubclass(vm_detection.ParseError, ValueError)
    assert issubclass(vm_detection.LibraryNotFoundError, OSError)
    for error in (vm_detection.ParseError, vm_detection.VmDetectionError,
                  vm_detection.LibraryNotFoundError):
        assert issubclass(error, vm_detection.Error)
    with pytest.raises(ValueError):
        vm_detection.parse("{}")


def test_raw_text_stays_out_of_repr_and_asdict():
    report = vm_detection.detect()
    assert '"schema_version"' not in repr(report)
    assert "raw" not in dataclasses.asdict(report)
    assert report.raw.startswith('{"schema_version":1,')


def test_version_and_statuses_match_the_package_and_the_header():
    from importlib.metadata import version
    project = re.search(r"^project\(vm_detection VERSION (\S+)",
                        (TREE / "CMakeLists.txt").read_text(), re.M)
    assert vm_detection.__version__ == version("vm_detection") == vm_detection.version()
    assert vm_detection.__version__ == project.group(1)
    header = (Path(__file__).resolve().parents[2] / "include" / "vm_detection.h").read_text()
    for name in ("VMD_OK", "VMD_INVALID_ARGUMENT", "VMD_OUT_OF_MEMORY", "VMD_INTERNAL_ERROR"):
        assert re.search(rf"#define {name} {getattr(vm_detection, name)}\b", header), name


def test_the_sdist_carries_the_tree_sources_and_builds_them_all(tmp_path, monkeypatch):
    monkeypatch.syspath_prepend(str(TREE / "python" / "_backend"))
    monkeypatch.setenv("SOURCE_DATE_EPOCH", "1700000000")
    backend = importlib.import_module("vmd_build")
    name = backend.build_sdist(str(tmp_path))
    with tarfile.open(tmp_path / name) as sdist:
        carried = {m.name.split("/", 1)[1]: sdist.extractfile(m).read()
                   for m in sdist.getmembers()}
    wanted = [f for d in ("src", "include") for f in (TREE / d).rglob("*") if f.is_file()]
    for f in wanted + [TREE / "CMakeLists.txt"]:
        assert carried.pop(f.relative_to(TREE).as_posix()) == f.read_bytes(), f
    assert not [f for f in carried if f.startswith(("src/", "include/"))]
    # Every source the library is made of is compiled: none left out of
    # the reading of CMakeLists.txt.
    built = set(backend.cmake()["sources"])
    assert built >= {f.relative_to(TREE).as_posix() for f in wanted if f.suffix == ".cpp"}
    # Reproducible: every stamp is SOURCE_DATE_EPOCH's, the gzip header's too.
    with tarfile.open(tmp_path / name) as sdist:
        assert {m.mtime for m in sdist.getmembers()} == {1700000000}
    assert (tmp_path / name).read_bytes()[4:8] == (1700000000).to_bytes(4, "little")
