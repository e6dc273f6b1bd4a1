'use strict';
// Tests against the library of the same build: the loader must find
// libvm_detection.so.1 (LD_LIBRARY_PATH), and vmd-detect is taken from
// $VMD_DETECT or PATH.
const assert = require('node:assert/strict');
const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const test = require('node:test');

const vm = require('..');

const stubSource = process.env.VMD_STUB_SOURCE ||
  path.join(__dirname, '../../tests/bindings/stub_library.c');

function vmdDetect(...args) {
  const tool = process.env.VMD_DETECT || 'vmd-detect';
  return execFileSync(tool, args, { encoding: 'latin1', timeout: 60000 }).trimEnd();
}

function scratch(t) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'vmd-node-'));
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  return dir;
}

// Blanks what differs between runs: the duration and the cycle count in
// the timing evidence.
function comparable(members) {
  return {
    ...members,
    duration_us: null,
    evidence: members.evidence.map((e) =>
      e.source === 'timing' ? { ...e, detail: e.detail.replace(/^cpuid \d+/, 'cpuid _') } : e),
  };
}

test('the typed report is the library JSON and vmd-detect\'s', () => {
  const report = vm.detect();
  const members = JSON.parse(JSON.stringify(report));
  assert.deepEqual(members, JSON.parse(report.raw));
  assert.match(report.raw, /^\{"schema_version":1,.*\}$/);
  assert.deepEqual(comparable(members), comparable(JSON.parse(vmdDetect())));
  assert.ok(report instanceof vm.Report);
  assert.ok(Object.isFrozen(report) && Object.isFrozen(report.evidence));
  assert.equal(vm.version(), '1.0.0');
  assert.equal(report.module_version, '1.0.0');
});

test('bytes above 0x7f come back as read', (t) => {
  const root = scratch(t);
  const data = Buffer.from('hv\xc3\xa9\xff"\\\x01', 'latin1');
  fs.mkdirSync(path.join(root, 'sys/hypervisor'), { recursive: true });
  fs.writeFileSync(path.join(root, 'sys/hypervisor/type'), data);
  const raw = vmdDetect('--root', root);
  assert.ok(raw.includes('"hv\\u00c3\\u00a9\\u00ff\\"\\\\\\u0001"'), raw);
  const found = vm.parse(raw).evidence.filter((e) => e.source === 'hypervisor');
  assert.equal(found.length, 1);
  assert.equal(found[0].detail, 'hv\u00c3\u00a9\u00ff"\\\u0001');
  assert.deepEqual(found[0].detailBytes, data);
  assert.deepEqual(vm.toBytes(found[0].detail), data);
  assert.throws(() => vm.toBytes('\u2603'), RangeError);
});

test('statuses become errors and every block is freed', (t) => {
  const stub = path.join(scratch(t), 'libvm_detection.so.1');
  execFileSync(process.env.CC || 'cc', ['-shared', '-fPIC', '-o', stub, stubSource]);
  const library = new vm.Library(stub);
  t.after(() => delete process.env.VMD_STUB_STATUS);
  for (const [status, meaning] of [[1, 'null'], [2, 'out of memory'], [3, 'internal failure'],
    [9, 'unknown status']]) {
    process.env.VMD_STUB_STATUS = String(status);
    assert.throws(() => library.detect(), (e) =>
      e instanceof vm.VmDetectionError && e.status === status && e.message.includes(meaning));
  }
  process.env.VMD_STUB_STATUS = '0';
  assert.equal(library.detect().vm_likelihood, 'unknown');
  assert.equal(library.version(), 'outstanding 0');
  assert.throws(() => new vm.Library()._detectInto(null), (e) => e.status === 1);
});

test('malformed reports are refused', () => {
  const raw = vm.detect().raw;
  for (const bad of [
    raw.replace('"schema_version":1', '"schema_version":2'),
    raw.replace(/"vm_score":\d+/, '"vm_score":true'),
    raw.replace('"probes":', '"probe":'),
    raw.replace('"evidence":[', '"evidence":[null,'),
    raw.replace('"module_version":"1.0.0"', '"module_version":"\\u2603"'),
    raw.slice(0, -1),
  ]) {
    assert.throws(() => vm.parse(bad), vm.ParseError, bad);
  }
});

test('a library that cannot be loaded says what was looked for', () => {
  assert.throws(() => vm.load('/nonexistent/libvm_detection.so.1'),
    (e) => e instanceof vm.LibraryNotFoundError &&
      /at \/nonexistent\/libvm_detection\.so\.1: .*cmake --install/.test(e.message));
});

test('the declarations name every export', () => {
  const declared = fs.readFileSync(path.join(__dirname, '../index.d.ts'), 'latin1')
    .matchAll(/^export (?:const|class|function) (\w+)/gm);
  assert.deepEqual([...new Set([...declared].map((m) => m[1]))].sort(), Object.keys(vm).sort());
});
