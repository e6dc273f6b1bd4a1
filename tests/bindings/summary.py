"""The verdict, the vendor lists and the evidence of the report that
vmd-detect wrote to the file named by the argument, as the consumer
programs print them, with each detail as the bytes it stands for."""
import json
import sys

with open(sys.argv[1], encoding="ascii") as f:
    report = json.load(f)
out = sys.stdout.buffer
out.write(f"vm_likelihood: {report['vm_likelihood']}\nvm_score: {report['vm_score']}\n".encode())
for name in ["hypervisors", "containers", "compatibility_layers", "host_hypervisors",
             "cloud_providers"]:
    out.write(f"{name}:{''.join(' ' + v for v in report[name])}\n".encode())
for e in report["evidence"]:
    out.write(f"evidence: {e['source']} {e['category']} {e['vendor']} {e['weight']} ".encode()
              + e["detail"].encode("latin-1") + b"\n")
