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
// The report texts every binding is held to (tests/reports/README.md).
const reports = process.env.VMD_REPORTS || path.join(__dirname, '../../tests/reports');

function corpus(kind) {
  return fs.readdirSync(path.join(reports, kind)).filter((f) => f.endsWith('.json'))
    .map((f) => [f, fs.readFileSync(path.join(reports, kind, f), 'latin1')]);
}

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

// The stand-in library, whose version text is VMD_STUB_VERSION's and then a
// count of the blocks it holds.
function stubLibrary(t, dir = scratch(t)) {
  const stub = path.join(dir, 'libvm_detection.so.1');
  execFileSync(process.env.CC || 'cc', ['-shared', '-fPIC', '-o', stub, stubSource]);
  process.env.VMD_STUB_VERSION = '1.0.0';
  t.after(() => delete process.env.VMD_STUB_VERSION);
  return stub;
}

test('statuses become errors and every block is freed', (t) => {
  const library = new vm.Library(stubLibrary(t));
  t.after(() => delete process.env.VMD_STUB_STATUS);
  for (const [status, meaning] of [[1, 'null'], [2, 'out of memory'], [3, 'internal failure'],
    [9, 'unknown status']]) {
    process.env.VMD_STUB_STATUS = String(status);
    assert.throws(() => library.detect(), (e) => e instanceof vm.VmDetectionError &&
      e.code === 'VMD_DETECT_FAILED' && e.status === status && e.message.includes(meaning));
  }
  process.env.VMD_STUB_STATUS = '0';
  assert.equal(library.detect().vm_likelihood, 'unknown');
  assert.equal(library.version(), '1.0.0 outstanding 0');
  assert.throws(() => new vm.Library()._detectInto(null), (e) => e.status === 1);
});

test('a library of another major version is refused, naming both versions', (t) => {
  const stub = stubLibrary(t);
  for (const stated of ['2.0.0', '10.1.0', '1.0', '']) {
    process.env.VMD_STUB_VERSION = stated;
    assert.throws(() => new vm.Library(stub), (e) => e instanceof vm.LibraryVersionError &&
      e instanceof vm.LibraryNotFoundError && e.code === 'VMD_LIBRARY_VERSION' &&
      e.message.includes(`at ${stub} is version "${stated} outstanding 0", ` +
        'but vm-detection 1.0.0 needs major version 1'), stated);
  }
  process.env.VMD_STUB_VERSION = '1.9.3';
  assert.equal(new vm.Library(stub).version(), '1.9.3 outstanding 0');
});

// An ELF header with one program header, PT_INTERP naming interpreter.
function fakeExecutable(file, interpreter) {
  const elf = Buffer.alloc(120 + interpreter.length + 1);
  Buffer.from([0x7f, 0x45, 0x4c, 0x46, 2, 1, 1]).copy(elf);
  elf.writeBigUInt64LE(64n, 32); // e_phoff
  elf.writeUInt16LE(56, 54); // e_phentsize
  elf.writeUInt16LE(1, 56); // e_phnum
  elf.writeUInt32LE(3, 64); // p_type
  elf.writeBigUInt64LE(120n, 72); // p_offset
  elf.writeBigUInt64LE(BigInt(interpreter.length + 1), 96); // p_filesz
  elf.write(interpreter, 120, 'latin1');
  fs.writeFileSync(file, elf);
}

test('a packed package loads its prebuilt library for the platform, and names the platform ' +
     'and VMD_LIBRARY where it has none', (t) => {
  // As npm pack lays it out, koffi reached through node_modules.
  const dir = scratch(t);
  const stub = stubLibrary(t);
  fs.copyFileSync(require.resolve('..'), path.join(dir, 'index.js'));
  fs.symlinkSync(path.join(__dirname, '../node_modules'), path.join(dir, 'node_modules'));
  const prebuilt = (target) => path.join(dir, 'prebuilds', target, vm.SONAME);
  for (const target of ['linux-x64-glibc', 'linux-arm64-glibc']) {
    fs.mkdirSync(path.dirname(prebuilt(target)), { recursive: true });
    fs.copyFileSync(stub, prebuilt(target));
  }
  const packed = require(path.join(dir, 'index.js'));
  const real = { arch: process.arch, platform: process.platform, execPath: process.execPath };
  const fake = (arch, execPath) => {
    Object.defineProperty(process, 'arch', { value: arch, configurable: true });
    Object.defineProperty(process, 'platform', { value: 'linux', configurable: true });
    process.execPath = execPath;
  };
  t.after(() => {
    Object.defineProperty(process, 'arch', { value: real.arch, configurable: true });
    Object.defineProperty(process, 'platform', { value: real.platform, configurable: true });
    process.execPath = real.execPath;
  });
  const glibc = path.join(dir, 'node-glibc');
  const musl = path.join(dir, 'node-musl');
  fakeExecutable(glibc, '/lib64/ld-linux-x86-64.so.2');
  fakeExecutable(musl, '/lib/ld-musl-x86_64.so.1');
  delete process.env.VMD_LIBRARY;
  for (const arch of ['x64', 'arm64']) {
    fake(arch, glibc);
    assert.equal(new packed.Library().path, prebuilt(`linux-${arch}-glibc`));
  }
  fake('x64', musl);
  assert.equal(packed.platform(), 'linux-x64-musl');
  assert.throws(() => packed.detect(), (e) => e instanceof packed.LibraryNotFoundError &&
    e.code === 'VMD_LIBRARY_NOT_FOUND' && e.message.includes('no prebuilt libvm_detection for ' +
      'linux-x64-musl (it carries linux-arm64-glibc, linux-x64-glibc)') &&
    e.message.includes('VMD_LIBRARY=/path/to/libvm_detection.so.1'));
  fake('riscv64', glibc);
  assert.throws(() => new packed.Library(), /no prebuilt libvm_detection for linux-riscv64-glibc/);
  process.env.VMD_LIBRARY = stub;
  t.after(() => delete process.env.VMD_LIBRARY);
  assert.equal(new packed.Library().path, stub);
});

test('the version is package.json\'s and project()\'s of CMakeLists.txt', () => {
  const cmake = fs.readFileSync(path.join(reports, '../../CMakeLists.txt'), 'latin1');
  const project = /^project\(vm_detection VERSION (\S+)/m.exec(cmake)[1];
  const lock = JSON.parse(fs.readFileSync(path.join(__dirname, '../package-lock.json'), 'utf8'));
  assert.deepEqual([vm.VERSION, require('../package.json').version, lock.version,
    lock.packages[''].version], [project, project, project, project]);
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
    (e) => e instanceof vm.LibraryNotFoundError && !(e instanceof vm.KoffiNotFoundError) &&
      e.code === 'VMD_LIBRARY_NOT_FOUND' &&
      /at \/nonexistent\/libvm_detection\.so\.1: .*cmake --install/.test(e.message));
});

test('the declarations name every export', () => {
  const declared = fs.readFileSync(path.join(__dirname, '../index.d.ts'), 'latin1')
    .matchAll(/^export (?:const|class|function) (\w+)/gm);
  assert.deepEqual([...new Set([...declared].map((m) => m[1]))].sort(), Object.keys(vm).sort());
});

test('every valid report of the corpus parses and comes back the same through JSON', () => {
  const valid = corpus('valid');
  assert.ok(valid.length >= 10);
  // JSON.parse reads -0.0 as -0, which the report holds as 0.
  const plain = (text) => JSON.parse(text, (_, v) => (v === 0 ? 0 : v));
  for (const [name, text] of valid) {
    const report = vm.parse(text);
    assert.equal(report.raw, text, name);
    assert.deepEqual(plain(JSON.stringify(report)), plain(text), name);
    const again = vm.parse(JSON.stringify(report));
    assert.deepEqual(again, report, name);
    assert.deepEqual(again.evidence.map((e) => e.detailBytes),
      report.evidence.map((e) => e.detailBytes), name);
  }
});

test('every invalid report of the corpus throws ParseError', () => {
  const invalid = corpus('invalid');
  assert.ok(invalid.length >= 40);
  for (const [name, text] of invalid) {
    assert.throws(() => vm.parse(text),
      (e) => e instanceof vm.ParseError && e.code === 'VMD_PARSE', name);
  }
});

test('the statuses are the header\'s', () => {
  const header = fs.readFileSync(path.join(reports, '../../include/vm_detection.h'), 'latin1');
  for (const name of ['VMD_OK', 'VMD_INVALID_ARGUMENT', 'VMD_OUT_OF_MEMORY', 'VMD_INTERNAL_ERROR']) {
    assert.match(header, new RegExp(`#define ${name} ${vm[name]}\\b`), name);
  }
});

test('a copy without koffi says so, not that the library is missing, and still parses', (t) => {
  // As npm leaves a package linked to its source tree: no koffi beside it.
  const copy = path.join(scratch(t), 'index.js');
  fs.copyFileSync(require.resolve('..'), copy);
  const linked = require(copy);
  assert.throws(() => linked.detect(), (e) => e instanceof linked.KoffiNotFoundError &&
    e instanceof linked.LibraryNotFoundError && e.code === 'VMD_KOFFI_NOT_FOUND' &&
    /koffi.*could not be loaded.*linked to its source tree.*npm pack/.test(e.message));
  assert.equal(linked.parse(vm.detect().raw).vm_likelihood, vm.detect().vm_likelihood);
});
