"""Tests of the installed vm_detection package against the library of the
same build. The loader must find libvm_detection.so.1 (LD_LIBRARY_PATH),
and vmd-detect is taken from $VMD_DETECT or PATH."""
import dataclasses
import json
import os
import re
import shutil
import subprocess
import sys
import threading
from pathlib import Path

import pytest

import vm_detection

STUB_SOURCE = Path(__file__).resolve().parents[2] / "tests" / "bindings" / "stub_library.c"
# The report texts every binding is held to (tests/reports/README.md).
REPORTS = Path(__file__).resolve().parents[2] / "tests" / "reports"


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
def stub(tmp_path_factory):
    path = tmp_path_factory.mktemp("stub") / "libvm_detection.so.1"
    subprocess.run([os.environ.get("CC", "cc"), "-shared", "-fPIC", "-o", str(path),
                    str(STUB_SOURCE)], check=True)
    return vm_detection.Library(str(path))


def test_statuses_become_errors_and_every_block_is_freed(stub, monkeypatch):
    for status, meaning in [(1, "null"), (2, "out of memory"), (3, "internal failure"),
                            (9, "unknown status")]:
        monkeypatch.setenv("VMD_STUB_STATUS", str(status))
        with pytest.raises(vm_detection.VmDetectionError, match=meaning) as failure:
            stub.detect()
        assert failure.value.status == status
    monkeypatch.setenv("VMD_STUB_STATUS", "0")
    assert stub.detect().vm_likelihood == "unknown"
    assert stub.version() == "outstanding 0"


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


def test_missing_library_says_what_was_looked_for_and_how_to_install():
    with pytest.raises(vm_detection.LibraryNotFoundError,
                       match=r"at /nonexistent/libvm_detection\.so\.1.*cmake --install"):
        vm_detection.load("/nonexistent/libvm_detection.so.1")


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
    assert vm_detection.__version__ == version("vm_detection") == vm_detection.version()
    header = (Path(__file__).resolve().parents[2] / "include" / "vm_detection.h").read_text()
    for name in ("VMD_OK", "VMD_INVALID_ARGUMENT", "VMD_OUT_OF_MEMORY", "VMD_INTERNAL_ERROR"):
        assert re.search(rf"#define {name} {getattr(vm_detection, name)}\b", header), name
