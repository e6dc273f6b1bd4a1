'use strict';
// A program that installed the vm-detection package with npm: it prints the
// verdict, the vendor lists and the evidence of this machine's report, or of
// the report in the file it is given, as tests/bindings/summary.py does.
const fs = require('node:fs');
const vm = require('vm-detection');

const file = process.argv[2];
const report = file ? vm.parse(fs.readFileSync(file, 'latin1')) : vm.detect();
const out = [`vm_likelihood: ${report.vm_likelihood}\nvm_score: ${report.vm_score}\n`];
for (const list of ['hypervisors', 'containers', 'compatibility_layers', 'host_hypervisors',
  'cloud_providers']) {
  out.push(`${list}:${report[list].map((v) => ` ${v}`).join('')}\n`);
}
for (const e of report.evidence) {
  out.push(`evidence: ${e.source} ${e.category} ${e.vendor} ${e.weight} `, e.detailBytes, '\n');
}
process.stdout.write(Buffer.concat(out.map((o) => (Buffer.isBuffer(o) ? o : Buffer.from(o)))));
