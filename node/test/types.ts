// Checked by tsc --noEmit only: the declarations fit how a program uses the
// package, and refuse what it must not do.
import { detect, Evidence, LibraryNotFoundError, load, parse, ParseError, Report, toBytes,
  version, VmDetectionError } from '..';

function summary(report: Report): string {
  const lists: readonly string[][] = [[...report.hypervisors], [...report.containers],
    [...report.compatibility_layers], [...report.host_hypervisors], [...report.cloud_providers]];
  const details: Buffer[] = report.evidence.map((e: Evidence) => e.detailBytes);
  return `${report.vm_likelihood} ${report.vm_score + 0} ${lists.flat().join()} ${details.length}`;
}

try {
  const report = detect();
  console.log(summary(report), report.raw.length, report.duration_us.toFixed(0),
    report.probes.map((p) => `${p.source}:${p.status}`), version().split('.'));
  const again: Report = parse(report.raw);
  const bytes: Buffer = toBytes(again.module_version);
  console.log(bytes.length, load('/usr/lib/libvm_detection.so.1').detectJson().length);
  // @ts-expect-error the report is read-only
  report.vm_score = 0;
  // @ts-expect-error and so are its lists
  report.hypervisors.push('kvm');
  // @ts-expect-error reports come from detect() and parse() only
  new Report();
  // @ts-expect-error parse takes the text, not an object
  parse({});
} catch (e) {
  if (e instanceof VmDetectionError) console.log(e.status.toFixed(0), e.meaning);
  else if (e instanceof LibraryNotFoundError || e instanceof ParseError) console.log(e.message);
}
