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
// Report strings carry bytes, not characters: the library writes every
// byte outside printable ASCII as a \u00XX escape, so each character of a
// string here has a code point below 256 that is exactly one byte of what
// the probe read. toBytes(s) (or evidence.detailBytes) gives those bytes.

const SONAME = 'libvm_detection.so.1';

const STATUS_MEANINGS = {
  0: 'success but no report',
  1: 'invalid argument: the output pointer was null',
  2: 'out of memory',
  3: 'internal failure',
};

/** vmd_detect_json returned a status other than 0, or no report. */
class VmDetectionError extends Error {
  constructor(status) {
    const meaning = STATUS_MEANINGS[status] || 'unknown status';
    super(`vmd_detect_json failed with status ${status}: ${meaning}`);
    this.name = 'VmDetectionError';
    this.status = status;
    this.meaning = meaning;
  }
}

/** The shared library could not be loaded. */
class LibraryNotFoundError extends Error {
  constructor(message, cause) {
    super(message, { cause });
    this.name = 'LibraryNotFoundError';
  }
}

/** The text is not a schema version 1 report. */
class ParseError extends Error {
  constructor(message, cause) {
    super(`not a libvm_detection report: ${message}`, cause ? { cause } : undefined);
    this.name = 'ParseError';
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

function string(v, where) {
  if (typeof v !== 'string') fail(`${where} is not a string`);
  if (beyondOneByte.test(v)) fail(`${where} holds a character above U+00FF`);
  return v;
}

function text(obj, key) {
  return string(obj[key], `member ${key}`);
}

function integer(obj, key) {
  const v = obj[key];
  if (!Number.isSafeInteger(v)) fail(`member ${key} is not an integer`);
  return v;
}

function list(obj, key, item) {
  const v = obj[key];
  if (!Array.isArray(v)) fail(`member ${key} is not an array`);
  return Object.freeze(v.map((_, i) => item(v, i, `member ${key}[${i}]`)));
}

function object(array, i, where) {
  const v = array[i];
  if (v === null || typeof v !== 'object' || Array.isArray(v)) fail(`${where} is not an object`);
  return v;
}

class Evidence {
  constructor(e) {
    this.source = text(e, 'source');
    this.category = text(e, 'category');
    this.vendor = text(e, 'vendor');
    this.weight = integer(e, 'weight');
    this.detail = text(e, 'detail');
    Object.freeze(this);
  }

  get detailBytes() {
    return toBytes(this.detail);
  }
}

class Probe {
  constructor(p) {
    this.source = text(p, 'source');
    this.status = text(p, 'status');
    Object.freeze(this);
  }
}

class Report {
  constructor(r, raw) {
    if (r === null || typeof r !== 'object' || r.schema_version !== 1) {
      fail('no schema_version 1');
    }
    this.schema_version = 1;
    this.module_version = text(r, 'module_version');
    this.vm_score = integer(r, 'vm_score');
    this.vm_likelihood = text(r, 'vm_likelihood');
    for (const key of ['hypervisors', 'containers', 'compatibility_layers', 'host_hypervisors',
      'cloud_providers']) {
      this[key] = list(r, key, (a, i, where) => string(a[i], where));
    }
    this.evidence = list(r, 'evidence', (a, i, where) => new Evidence(object(a, i, where)));
    this.probes = list(r, 'probes', (a, i, where) => new Probe(object(a, i, where)));
    this.duration_us = integer(r, 'duration_us');
    // Not enumerable, so that JSON.stringify(report) gives the report's
    // members only.
    Object.defineProperty(this, 'raw', { value: raw, enumerable: false });
    Object.freeze(this);
  }
}

/** Reads a report's JSON text, as the library or vmd-detect writes it. */
function parse(raw) {
  if (typeof raw !== 'string') throw new TypeError('parse takes the report as a string');
  let members;
  try {
    members = JSON.parse(raw);
  } catch (e) {
    throw new ParseError(e.message, e);
  }
  return new Report(members, raw);
}

/** One loaded copy of the shared library. */
class Library {
  constructor(path) {
    const name = path || SONAME;
    let koffi;
    let lib;
    try {
      koffi = require('koffi');
      lib = koffi.load(name);
      this._detectJson = lib.func('int vmd_detect_json(_Out_ void **out)');
      this._free = lib.func('void vmd_free(void *report)');
      this._version = lib.func('const char *vmd_version()');
    } catch (e) {
      // koffi's own message does not name the file.
      const where = path ? `at ${path}`
        : `as ${SONAME} through the dynamic loader (LD_LIBRARY_PATH, ld.so.cache)`;
      throw new LibraryNotFoundError(
        `libvm_detection could not be loaded ${where}: ${e.message}. Install it ` +
        '(cmake --install build --prefix /usr/local && ldconfig) or pass its path to ' +
        'load()', e);
    }
    this._koffi = koffi;
    this._lib = lib;
    this.path = name;
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

/** Loads the library from path (by default the loader finds
 * libvm_detection.so.1) and makes it the one detect() and version() use. */
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
  Report, Evidence, Probe, Library, VmDetectionError, LibraryNotFoundError, ParseError,
  SONAME, detect, version, load, parse, toBytes,
};
