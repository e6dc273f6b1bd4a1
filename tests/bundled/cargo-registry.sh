#!/usr/bin/env bash
# Run inside a bundled root: a registry directory in crates.io's place at
# /tmp/registry, offline, for cargo under $CARGO_HOME. It holds the root's
# packaged crates (cc among them), the host's bound at /host-crates for the
# rest (serde, which the root lacks) and the packed crate /out/*.crate, each
# with the checksums cargo checks a directory source against.
set -euo pipefail
mkdir -p /tmp/registry "$CARGO_HOME"
for crate in /usr/share/cargo/registry/* /host-crates/*; do
  [ -e "/tmp/registry/${crate##*/}" ] || ln -s "$crate" /tmp/registry/
done
tar -xzf /out/*.crate -C /tmp/registry
python3 - /tmp/registry/vm-detection-* /out/*.crate <<'PY'
import hashlib, json, pathlib, sys
crate, packed = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
digest = lambda p: hashlib.sha256(p.read_bytes()).hexdigest()
files = {str(p.relative_to(crate)): digest(p) for p in crate.rglob("*") if p.is_file()}
(crate / ".cargo-checksum.json").write_text(json.dumps({"files": files, "package": digest(packed)}))
PY
cat >"$CARGO_HOME/config.toml" <<'TOML'
[source.crates-io]
replace-with = "local"
[source.local]
directory = "/tmp/registry"
[net]
offline = true
TOML
