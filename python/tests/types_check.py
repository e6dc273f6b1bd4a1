"""Checked by mypy --strict only (the bindings stage): the package's types
fit how a program uses it, and the fixed words are Literal types, so that
a comparison with a word the report never holds is an error (an ignore
that is not needed is an error too under --strict)."""
from typing import Tuple

import vm_detection
from vm_detection import Category, Likelihood, ProbeStatus, Source


def summary(report: vm_detection.Report) -> str:
    likelihood: Likelihood = report.vm_likelihood
    words: Tuple[Tuple[Source, Category], ...] = tuple(
        (e.source, e.category) for e in report.evidence)
    statuses: Tuple[ProbeStatus, ...] = tuple(p.status for p in report.probes)
    raw: str = report.raw
    details: Tuple[bytes, ...] = tuple(e.detail_bytes for e in report.evidence)
    if report.vm_likelihood == "maybe":  # type: ignore[comparison-overlap]
        return "never"
    if report.probes[0].status == "failed":  # type: ignore[comparison-overlap]
        return "never"
    if report.evidence[0].category == "vm":  # type: ignore[comparison-overlap]
        return "never"
    return f"{likelihood} {words} {statuses} {len(raw)} {details}"


try:
    print(summary(vm_detection.parse(vm_detection.load().detect_json())),
          vm_detection.__version__, vm_detection.VMD_INTERNAL_ERROR + 0)
except vm_detection.ParseError as e:
    print("not a report", e)
except vm_detection.Error as e:
    print(e)
