// Checked by tsc --noEmit only: the declarations fit how a program uses the
// package, and refuse what it must not do.
import { Category, detect, Evidence, KoffiNotFoundError, Likelihood, LibraryNotFoundError,
  LibraryVersionError, load, parse, ParseError, platform, ProbeStatus, Report, Source, toBytes,
  version, VERSION, VMD_INTERNAL_ERROR, VMD_OK, VmDetectionError } from '..';

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
  // The fixed words are their own types: a word no report holds is an error.
  const likelihood: Likelihood = report.vm_likelihood;
  const words: [Source, Category][] = report.evidence.map((e) => [e.source, e.category]);
  const statuses: ProbeStatus[] = report.probes.map((p) => p.status);
  console.log(likelihood, words, statuses, VMD_OK === 0, VMD_INTERNAL_ERROR === 3);
  // @ts-expect-error no likelihood is "maybe"
  if (report.vm_likelihood === 'maybe') console.log('never');
  // @ts-expect-error no category is "vm"
  if (report.evidence[0].category === 'vm') console.log('never');
  // @ts-expect-error no status is "failed"
  if (report.probes[0].status === 'failed') console.log('never');
} catch (e) {
  if (e instanceof VmDetectionError) console.log(e.status.toFixed(0), e.meaning, e.code);
  else if (e instanceof KoffiNotFoundError) console.log(e.code === 'VMD_KOFFI_NOT_FOUND');
  else if (e instanceof LibraryVersionError) {
    const code: 'VMD_LIBRARY_VERSION' = e.code;
    console.log(code, VERSION.split('.'), platform().split('-'));
  }
  else if (e instanceof LibraryNotFoundError || e instanceof ParseError) console.log(e.message);
  if (e instanceof ParseError) {
    const code: 'VMD_PARSE' = e.code;
    console.log(code);
  }
}
