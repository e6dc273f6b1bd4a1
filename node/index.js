'use strict';
// Typed access to libvm_detection's report: is this a virtual machine, a
// container, WSL or a cloud instance, and on what evidence.
//
//   const vmDetection = require('vm-detection');
//   const report = vmDetection.detect();
//   console.log(report.vm_likelihood, report.hypervisors);
//
// The shared library does all the work, in this process; this module only
// calls it through koffi (an FFI package that ships its binaries, so that
// installing needs no compiler and no Node.js headers) and checks its JSON
// report.
//
// Which library: the path given to load() or new Library(), else
// $VMD_LIBRARY (a path, or a bare libvm_detection.so.1 for the one the
// dynamic loader finds), else the prebuilt one the packed package carries
// for this platform (prebuilds/PLATFORM-ARCH-LIBC/), loaded by its absolute
// path, else, in a source tree without prebuilds/, libvm_detection.so.1
// through the dynamic loader. A packed package on a platform it has no
// library for (musl, another architecture) says so and names VMD_LIBRARY.
// Its major version must be this package's.
//
// Report strings carry bytes, not characters: the library writes every
// byte outside printable ASCII as a \u00XX escape, so each character of a
// string here has a code point below 256 that is exactly one byte of what
// the probe read. toBytes(s) (or evidence.detailBytes) gives those bytes.

const fs = require('node:fs');
const path = require('node:path');

const SONAME = 'libvm_detection.so.1';
// package.json's version (checked by the tests): the library loaded must
// have its major version.
const VERSION = '1.0.0';
const MAJOR = VERSION.split('.')[0];
const PREBUILDS = path.join(__dirname, 'prebuilds');

// vmd_detect_json's statuses, as include/vm_detection.h names them.
const VMD_OK = 0;
const VMD_INVALID_ARGUMENT = 1;
const VMD_OUT_OF_MEMORY = 2;
const VMD_INTERNAL_ERROR = 3;

const STATUS_MEANINGS = {
  [VMD_OK]: 'success but no report',
  [VMD_INVALID_ARGUMENT]: 'invalid argument: the output pointer was null',
  [VMD_OUT_OF_MEMORY]: 'out of memory',
  [VMD_INTERNAL_ERROR]: 'internal failure',
};

/** vmd_detect_json returned a status other than 0, or no report. */
class VmDetectionError extends Error {
  constructor(status) {
    const meaning = STATUS_MEANINGS[status] || 'unknown status';
    super(`vmd_detect_json failed with status ${status}: ${meaning}`);
    this.name = 'VmDetectionError';
    this.code = 'VMD_DETECT_FAILED';
    this.status = status;
    this.meaning = meaning;
  }
}

/** The shared library could not be loaded. */
class LibraryNotFoundError extends Error {
  constructor(message, cause) {
    super(message, { cause });
    this.name = 'LibraryNotFoundError';
    this.code = 'VMD_LIBRARY_NOT_FOUND';
  }
}

/** The library loaded is of another major version than this package,
 * whose interface it may not have. */
class LibraryVersionError extends LibraryNotFoundError {
  constructor(message) {
    super(message);
    this.name = 'LibraryVersionError';
    this.code = 'VMD_LIBRARY_VERSION';
  }
}

/** koffi, through which the library is called, could not be loaded: the
 * package is not installed whole. A LibraryNotFoundError too, which is
 * what it was before it had a class of its own. */
class KoffiNotFoundError extends LibraryNotFoundError {
  constructor(message, cause) {
    super(message, cause);
    this.name = 'KoffiNotFoundError';
    this.code = 'VMD_KOFFI_NOT_FOUND';
  }
}

/** The text is not a schema version 1 report. */
class ParseError extends Error {
  constructor(message, cause) {
    super(`not a libvm_detection report: ${message}`, cause ? { cause } : undefined);
    this.name = 'ParseError';
    this.code = 'VMD_PARSE';
  }
}

const beyondOneByte = /[^\x00-\xff]/;

/** The bytes a report string stands for (one byte per character). */
function toBytes(text) {
  // Buffer's latin1 encoding would silently keep only the low byte.
  const c = beyondOneByte.exec(text);
  if (c) throw new RangeError(`character U+${c[0].codePointAt(0).toString(16)} is not a byte`);
  return Buffer.from(text, 'latin1');
}

function fail(why) {
  throw new ParseError(why);
}

// A JSON number as written: JSON.parse would lose whether 1e2 or
// 9007199254740993.0 is an integer (the schema's draft, 2020-12, counts any
// number without a fraction as one: 95.0 is 95).
class JsonNumber {
  constructor(text) {
    const [, whole, fraction = '', exponent = '0'] =
      /^-?(\d+)(?:\.(\d+))?(?:[eE]([+-]?\d+))?$/.exec(text);
    const digits = (whole + fraction).replace(/0+$/, '');
    const scale = Number(exponent) - fraction.length + (whole + fraction).length - digits.length;
    this.integral = /^0*$/.test(digits) || scale >= 0;
    this.value = Number(text) + 0; // + 0 turns -0 into 0
  }
}

// Deeper than any report (an evidence is at depth 3), and shallow enough
// that no stack runs out.
const MAX_DEPTH = 16;
const NUMBER = /-?(?:0|[1-9]\d*)(?:\.\d+)?(?:[eE][+-]?\d+)?/y;
const PLAIN = /[^"\\\x00-\x1f]*/y;
const ESCAPES = { '"': '"', '\\': '\\', '/': '/', b: '\b', f: '\f', n: '\n', r: '\r', t: '\t' };

// Reads one JSON document as RFC 8259 has it, refusing an object that names
// a member twice (JSON.parse keeps the last; the library never writes one,
// and another reader may keep the first). Objects come without a prototype,
// numbers as JsonNumber.
function readJson(text) {
  let at = 0;
  const where = () => `at offset ${at}`;
  const space = () => {
    while (at < text.length && ' \t\n\r'.includes(text[at])) at += 1;
  };
  const expect = (c) => {
    if (text[at] !== c) fail(`${c} expected ${where()}`);
    at += 1;
  };
  const readString = () => {
    expect('"');
    let out = '';
    for (;;) {
      PLAIN.lastIndex = at;
      out += PLAIN.exec(text)[0];
      at = PLAIN.lastIndex;
      const c = text[at];
      if (c === '"') break;
      if (c !== '\\') fail(`unterminated string or raw control character ${where()}`);
      const e = text[at + 1];
      if (e === 'u' && /^[0-9a-fA-F]{4}$/.test(text.slice(at + 2, at + 6))) {
        out += String.fromCharCode(parseInt(text.slice(at + 2, at + 6), 16));
        at += 6;
      } else if (e !== undefined && Object.hasOwn(ESCAPES, e)) {
        out += ESCAPES[e];
        at += 2;
      } else {
        fail(`bad escape ${where()}`);
      }
    }
    at += 1;
    return out;
  };
  const value = (depth) => {
    if (depth > MAX_DEPTH) fail(`nested deeper than any report ${where()}`);
    space();
    const c = text[at];
    if (c === '{') {
      at += 1;
      const members = Object.create(null);
      space();
      if (text[at] === '}') {
        at += 1;
        return members;
      }
      for (;;) {
        space();
        const key = readString();
        if (key in members) fail(`member "${key}" twice in one object ${where()}`);
        space();
        expect(':');
        members[key] = value(depth + 1);
        space();
        if (text[at] === '}') break;
        expect(',');
      }
      at += 1;
      return members;
    }
    if (c === '[') {
      at += 1;
      const items = [];
      space();
      if (text[at] === ']') {
        at += 1;
        return items;
      }
      for (;;) {
        items.push(value(depth + 1));
        space();
        if (text[at] === ']') break;
        expect(',');
      }
      at += 1;
      return items;
    }
    if (c === '"') return readString();
    for (const [word, v] of [['true', true], ['false', false], ['null', null]]) {
      if (text.startsWith(word, at)) {
        at += word.length;
        return v;
      }
    }
    NUMBER.lastIndex = at;
    const number = NUMBER.exec(text);
    if (!number) fail(`no JSON value ${where()}`);
    at = NUMBER.lastIndex;
    return new JsonNumber(number[0]);
  };
  const document = value(0);
  space();
  if (at < text.length) fail(`more than one JSON value ${where()}`);
  return document;
}

const LIKELIHOODS = ['very_likely', 'likely', 'possible', 'not_detected', 'unknown'];
const CATEGORIES = ['guest', 'host', 'container', 'compatibility', 'cloud', 'diagnostic'];
const SOURCES = ['cpu', 'timing', 'firmware', 'device_tree', 'hypervisor', 'system', 'container'];
const STATUSES = ['ok', 'unavailable', 'error'];
const REPORT_MEMBERS = ['schema_version', 'module_version', 'vm_score', 'vm_likelihood',
  'hypervisors', 'containers', 'compatibility_layers', 'host_hypervisors', 'cloud_providers',
  'evidence', 'probes', 'duration_us'];
const LISTS = REPORT_MEMBERS.slice(4, 9);
const VENDOR = /^[a-z0-9]+(-[a-z0-9]+)*$/;
// The largest integer that every binding's numbers hold exactly.
const DURATION_MAX = Number.MAX_SAFE_INTEGER;

function members(v, keys, where) {
  if (v === null || typeof v !== 'object' || Array.isArray(v)) fail(`${where} is not an object`);
  const missing = keys.filter((k) => !(k in v));
  const extra = Object.keys(v).filter((k) => !keys.includes(k));
  if (missing.length || extra.length) {
    fail(`${where} lacks [${missing}] or has members beyond the report's: [${extra}]`);
  }
  return v;
}

function integer(v, low, high, where) {
  if (!(v instanceof JsonNumber) || !v.integral) fail(`${where} is not an integer`);
  if (!(v.value >= low && v.value <= high)) fail(`${where} ${v.value} is outside ${low}..${high}`);
  return v.value;
}

function string(v, where) {
  if (typeof v !== 'string') fail(`${where} is not a string`);
  return v;
}

function word(v, words, where) {
  if (!words.includes(string(v, where))) fail(`${where} "${v}" is none of ${words.join(', ')}`);
  return v;
}

function vendor(v, where) {
  if (!VENDOR.test(string(v, where))) fail(`${where} "${v}" is not a lower-case vendor word`);
  return v;
}

function vendors(v, key) {
  if (!Array.isArray(v)) fail(`member ${key} is not an array`);
  const words = v.map((w, i) => vendor(w, `member ${key}[${i}]`));
  if (words.includes('unknown') || new Set(words).size !== words.length) {
    fail(`member ${key} holds "unknown" or a word twice`);
  }
  return Object.freeze(words);
}

function detail(v, where) {
  // Each character stands for one byte, U+0000 to U+00FF.
  if (beyondOneByte.test(string(v, where)) || v.length > 160) {
    fail(`${where} holds a character above U+00FF or is longer than 160`);
  }
  return v;
}

function objects(v, key, make) {
  if (!Array.isArray(v)) fail(`member ${key} is not an array`);
  return Object.freeze(v.map((item, i) => make(item, `member ${key}[${i}]`)));
}

class Evidence {
  constructor(value, where) {
    const e = members(value, ['source', 'category', 'vendor', 'weight', 'detail'], where);
    this.source = word(e.source, SOURCES, `${where}.source`);
    this.category = word(e.category, CATEGORIES, `${where}.category`);
    this.vendor = vendor(e.vendor, `${where}.vendor`);
    this.weight = integer(e.weight, -2147483648, 2147483647, `${where}.weight`);
    this.detail = detail(e.detail, `${where}.detail`);
    Object.freeze(this);
  }

  get detailBytes() {
    return toBytes(this.detail);
  }
}

class Probe {
  constructor(value, where) {
    const p = members(value, ['source', 'status'], where);
    this.source = word(p.source, SOURCES, `${where}.source`);
    this.status = word(p.status, STATUSES, `${where}.status`);
    Object.freeze(this);
  }
}

class Report {
  constructor(value, raw) {
    const r = members(value, REPORT_MEMBERS, 'the text');
    this.schema_version = integer(r.schema_version, 1, 1, 'member schema_version');
    this.module_version = string(r.module_version, 'member module_version');
    if (!/^[0-9]+\.[0-9]+\.[0-9]+$/.test(this.module_version)) {
      fail(`member module_version "${this.module_version}" is not three numbers`);
    }
    this.vm_score = integer(r.vm_score, 0, 99, 'member vm_score');
    this.vm_likelihood = word(r.vm_likelihood, LIKELIHOODS, 'member vm_likelihood');
    for (const key of LISTS) this[key] = vendors(r[key], key);
    this.evidence = objects(r.evidence, 'evidence', (e, where) => new Evidence(e, where));
    this.probes = objects(r.probes, 'probes', (p, where) => new Probe(p, where));
    this.duration_us = integer(r.duration_us, 0, DURATION_MAX, 'member duration_us');
    // Not enumerable, so that JSON.stringify(report) gives the report's
    // members only.
    Object.defineProperty(this, 'raw', { value: raw, enumerable: false });
    Object.freeze(this);
  }
}

/** Reads a report's JSON text, as the library or vmd-detect writes it:
 * exactly the texts that the report's JSON Schema accepts, with no member
 * named twice in one object. */
function parse(raw) {
  if (typeof raw !== 'string') throw new TypeError('parse takes the report as a string');
  return new Report(readJson(raw), raw);
}

// The C library of this Node.js, told as koffi tells it: by the ELF
// interpreter of process.execPath (musl's is ld-musl-ARCH.so.1).
function libc() {
  // The headers are at the start: no need to read the whole executable.
  const elf = Buffer.alloc(1 << 16);
  let fd;
  try {
    fd = fs.openSync(process.execPath, 'r');
    elf.fill(0, fs.readSync(fd, elf, 0, elf.length, 0));
  } catch {
    return 'glibc';
  } finally {
    if (fd !== undefined) fs.closeSync(fd);
  }
  if (elf.length < 64 || elf.readUInt32BE(0) !== 0x7f454c46) return 'glibc';
  const wide = elf[4] === 2;
  const le = elf[5] === 1;
  const u16 = (at) => (le ? elf.readUInt16LE(at) : elf.readUInt16BE(at));
  const u32 = (at) => (le ? elf.readUInt32LE(at) : elf.readUInt32BE(at));
  const word = (at) => (wide ? Number(le ? elf.readBigUInt64LE(at) : elf.readBigUInt64BE(at))
    : u32(at));
  const phoff = word(wide ? 32 : 28);
  const phentsize = u16(wide ? 54 : 42);
  const phnum = u16(wide ? 56 : 44);
  for (let i = 0; i < phnum; i += 1) {
    const at = phoff + i * phentsize;
    if (at + phentsize > elf.length) break;
    if (u32(at) !== 3) continue; // PT_INTERP
    const offset = word(at + (wide ? 8 : 4));
    const size = word(at + (wide ? 32 : 16));
    const interpreter = elf.subarray(offset, offset + size).toString('latin1');
    return interpreter.includes('musl') ? 'musl' : 'glibc';
  }
  return 'glibc';
}

/** The platform as prebuilds/ names it: linux-x64-glibc, linux-arm64-musl,
 * darwin-arm64. */
function platform() {
  const name = `${process.platform}-${process.arch}`;
  return process.platform === 'linux' ? `${name}-${libc()}` : name;
}

// The library to load and, for messages, why that one.
function choose(file) {
  if (file) return [file, ''];
  if (process.env.VMD_LIBRARY) return [process.env.VMD_LIBRARY, ' (from VMD_LIBRARY)'];
  // A source tree or a package packed without libraries: the installed one.
  if (!fs.existsSync(PREBUILDS)) return [SONAME, ''];
  const target = platform();
  const prebuilt = path.join(PREBUILDS, target, SONAME);
  if (fs.existsSync(prebuilt)) return [prebuilt, ` (the prebuilt library for ${target})`];
  const carried = fs.readdirSync(PREBUILDS).sort().join(', ') || 'none';
  throw new LibraryNotFoundError(
    `vm-detection has no prebuilt libvm_detection for ${target} (it carries ${carried}): ` +
    'build and install the library for this system (cmake, see its README) and set ' +
    'VMD_LIBRARY=/path/to/libvm_detection.so.1, or VMD_LIBRARY=libvm_detection.so.1 to load ' +
    'the one the dynamic loader finds');
}

/** One loaded copy of the shared library. */
class Library {
  constructor(file) {
    const [name, origin] = choose(file);
    const where = (name.includes('/') ? `at ${name}`
      : `as ${name} through the dynamic loader (LD_LIBRARY_PATH, ld.so.cache)`) + origin;
    let koffi;
    try {
      koffi = require('koffi');
    } catch (e) {
      // A copy linked to a source tree (npm install DIR) resolves its
      // dependencies from there, where npm installed none.
      const linked = !__dirname.split(path.sep).includes('node_modules');
      throw new KoffiNotFoundError(
        `koffi, which vm-detection calls the library through, could not be loaded from ${__dirname}` +
        `: ${e.message.split('\n')[0]}. ` + (linked
          ? 'This vm-detection is not installed but linked to its source tree: install it from ' +
            'its packed tarball (npm pack DIR/node; npm install ./vm-detection-VERSION.tgz)'
          : 'Reinstall vm-detection (npm install)'), e);
    }
    let lib;
    try {
      lib = koffi.load(name);
      this._detectJson = lib.func('int vmd_detect_json(_Out_ void **out)');
      this._free = lib.func('void vmd_free(void *report)');
      this._version = lib.func('const char *vmd_version()');
    } catch (e) {
      // koffi's own message does not name the file.
      throw new LibraryNotFoundError(
        `libvm_detection could not be loaded ${where}: ${e.message}. Install it ` +
        '(cmake --install build --prefix /usr/local && ldconfig) or pass its path to ' +
        'load() or in VMD_LIBRARY', e);
    }
    this._koffi = koffi;
    this._lib = lib;
    this.path = name;
    const found = this.version();
    const major = /^([0-9]+)\.[0-9]+\.[0-9]+\b/.exec(found);
    if (!major || major[1] !== MAJOR) {
      throw new LibraryVersionError(
        `libvm_detection ${where} is version "${found}", but vm-detection ${VERSION} needs ` +
        `major version ${MAJOR}: install a ${MAJOR}.x library or the vm-detection release ` +
        'made for this one');
    }
  }

  version() {
    return this._version();
  }

  /** The report's JSON text, exactly as the library wrote it. */
  detectJson() {
    return this._detectInto([null]);
  }

  detect() {
    return parse(this.detectJson());
  }

  // Calls the library with out as its output pointer (null asks for status
  // 1) and frees whatever block it left there, on every path.
  _detectInto(out) {
    const status = this._detectJson(out);
    const block = out ? out[0] : null;
    try {
      if (status !== 0) throw new VmDetectionError(status);
      if (!block) throw new VmDetectionError(0);
      return this._koffi.decode.string(block);
    } finally {
      this._free(block);
    }
  }
}

let loaded = null;

/** Loads the library from path (by default as the top of this file says)
 * and makes it the one detect() and version() use. */
function load(path) {
  loaded = new Library(path);
  return loaded;
}

function library() {
  if (!loaded) loaded = new Library();
  return loaded;
}

/** Runs one detection; throws VmDetectionError on a non-zero status. */
function detect() {
  return library().detect();
}

/** The library's version, "1.0.0". */
function version() {
  return library().version();
}

module.exports = {
  Report, Evidence, Probe, Library, VmDetectionError, LibraryNotFoundError, LibraryVersionError,
  KoffiNotFoundError, ParseError, SONAME, VERSION, VMD_OK, VMD_INVALID_ARGUMENT, VMD_OUT_OF_MEMORY, VMD_INTERNAL_ERROR, detect,
  version, load, parse, toBytes, platform,
};
