#!/usr/bin/env python3
"""Holds the shared report corpus (tests/reports/) to the report's JSON
Schema, so that the corpus every binding's tests walk cannot drift from
it: each valid/ file is a JSON document the schema accepts, each invalid/
file is not JSON or is refused by the schema, except the duplicated-member
cases, which a JSON parser cannot see: those must hold a duplicated
member and nothing else wrong. The README must name every invalid file.

usage: report_corpus_test.py SCHEMA CORPUS_DIR"""
import json
import re
import sys
from decimal import Decimal, InvalidOperation
from pathlib import Path

import jsonschema

from schema_test import need_draft_2020_12


class Duplicate(ValueError):
    pass


def no_duplicates(pairs):
    members = {}
    for key, value in pairs:
        if key in members:
            raise Duplicate(f"member {key!r} twice")
        members[key] = value
    return members


def not_json(constant):
    # Python's json reads NaN and Infinity, which are not JSON.
    raise ValueError(f"{constant} is not JSON")


def exact(text):
    """A number as written, not as the nearest float, in which
    95.000000000000001 would be the integer 95. Decimal holds exponents of
    up to 18 digits; beyond them a number stands in that compares alike:
    zero, an infinity, or a fraction."""
    try:
        return Decimal(text)
    except InvalidOperation:
        mantissa, exponent = re.split("[eE]", text, maxsplit=1)
        if not mantissa.strip("-0."):
            return Decimal(0)
        if exponent.startswith("-"):
            return Decimal("0.5")
        return Decimal("-Infinity" if mantissa.startswith("-") else "Infinity")


def load(text, strict=True):
    return json.loads(text, parse_float=exact, parse_constant=not_json,
                      object_pairs_hook=no_duplicates if strict else None)


def is_integer(checker, instance):
    # Draft 2020-12: any number with a zero fractional part.
    if isinstance(instance, Decimal):
        return instance == instance.to_integral_value()
    return jsonschema.Draft202012Validator.TYPE_CHECKER.is_type(instance, "integer")


def is_number(checker, instance):
    return (isinstance(instance, Decimal) or
            jsonschema.Draft202012Validator.TYPE_CHECKER.is_type(instance, "number"))


def ecma_pattern(validator, pattern, instance, schema):
    """The pattern keyword as ECMA-262, the schema's regular expression
    dialect, reads it: Python's `$` also matches before a final newline,
    which would let "kvm\\n" through."""
    if pattern.endswith("$") and not pattern.endswith("\\$"):
        pattern = pattern[:-1] + r"\Z"
    if validator.is_type(instance, "string") and not re.search(pattern, instance):
        yield jsonschema.ValidationError(f"{instance!r} does not match {pattern!r}")


def readme_rows(readme):
    """The invalid files the README names: {name: duplicated member?}."""
    rows, section = {}, ""
    for line in readme.splitlines():
        if line.startswith("#"):
            section = line.lower()
        row = re.match(r"\| `([\w.-]+\.json)` \|", line)
        if row and ("invalid" in section or "duplicated" in section):
            rows[row.group(1)] = "duplicated" in section
    return rows


def main(schema_path, corpus):
    need_draft_2020_12()
    schema = json.loads(Path(schema_path).read_text(encoding="utf-8"))
    jsonschema.Draft202012Validator.check_schema(schema)
    types = jsonschema.Draft202012Validator.TYPE_CHECKER.redefine_many(
        {"integer": is_integer, "number": is_number})
    validator = jsonschema.validators.extend(
        jsonschema.Draft202012Validator, {"pattern": ecma_pattern}, type_checker=types)(schema)
    corpus = Path(corpus)
    valid = sorted((corpus / "valid").glob("*.json"))
    invalid = sorted((corpus / "invalid").glob("*.json"))
    named = readme_rows((corpus / "README.md").read_text(encoding="utf-8"))
    failures = []

    for path in valid + invalid:
        # Pure ASCII: the same text whether a binding reads it as ASCII,
        # Latin-1 or UTF-8.
        if any(b > 0x7F for b in path.read_bytes()):
            failures.append(f"{path.name}: not ASCII")
    for path in valid:
        try:
            validator.validate(load(path.read_text(encoding="latin-1")))
        except (ValueError, jsonschema.ValidationError) as e:
            failures.append(f"valid/{path.name} is refused: {e}")
    for path in invalid:
        text = path.read_text(encoding="latin-1")
        if named.get(path.name):
            try:
                load(text)
                failures.append(f"invalid/{path.name} holds no duplicated member")
            except Duplicate:
                pass
            if not validator.is_valid(load(text, strict=False)):
                failures.append(f"invalid/{path.name} is wrong in more than a duplicated member")
            continue
        try:
            report = load(text)
        except (ValueError, RecursionError):
            continue
        if validator.is_valid(report):
            failures.append(f"invalid/{path.name} is accepted by the schema")
    on_disk = {p.name for p in invalid}
    for name in sorted(on_disk ^ named.keys()):
        failures.append(f"{name}: " + ("not in README.md" if name in on_disk else
                                       "named in README.md but missing"))
    if len(valid) < 10 or len(invalid) < 40:
        failures.append(f"the corpus has shrunk: {len(valid)} valid, {len(invalid)} invalid")

    for failure in failures:
        print("FAIL", failure)
    print(f"{len(valid)} valid and {len(invalid)} invalid reports checked, "
          f"{len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1], sys.argv[2]))
