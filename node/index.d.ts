/// <reference types="node" />

/** The shared object's name, as the dynamic loader looks it up. */
export const SONAME: 'libvm_detection.so.1';
/** This package's version; the library loaded must have its major version. */
export const VERSION: string;

/** vmd_detect_json's statuses, as include/vm_detection.h names them. */
export const VMD_OK: 0;
export const VMD_INVALID_ARGUMENT: 1;
export const VMD_OUT_OF_MEMORY: 2;
export const VMD_INTERNAL_ERROR: 3;

/** How likely a virtual machine is, from vm_score. */
export type Likelihood = 'very_likely' | 'likely' | 'possible' | 'not_detected' | 'unknown';
/** What a piece of evidence is about. */
export type Category = 'guest' | 'host' | 'container' | 'compatibility' | 'cloud' | 'diagnostic';
/** The probe that made a finding or a check. */
export type Source =
  'cpu' | 'timing' | 'firmware' | 'device_tree' | 'hypervisor' | 'system' | 'container';
/** How a check went. */
export type ProbeStatus = 'ok' | 'unavailable' | 'error';

/** One finding. */
export class Evidence {
  private constructor();
  readonly source: Source;
  readonly category: Category;
  readonly vendor: string;
  readonly weight: number;
  readonly detail: string;
  /** The bytes the detail stands for. */
  readonly detailBytes: Buffer;
}

/** One attempted check and its outcome: "ok", "unavailable" or "error". */
export class Probe {
  private constructor();
  readonly source: Source;
  readonly status: ProbeStatus;
}

/** One detection run's report, schema version 1. */
export class Report {
  private constructor();
  readonly schema_version: 1;
  readonly module_version: string;
  readonly vm_score: number;
  readonly vm_likelihood: Likelihood;
  readonly hypervisors: readonly string[];
  readonly containers: readonly string[];
  readonly compatibility_layers: readonly string[];
  readonly host_hypervisors: readonly string[];
  readonly cloud_providers: readonly string[];
  readonly evidence: readonly Evidence[];
  readonly probes: readonly Probe[];
  readonly duration_us: number;
  /** The JSON text exactly as the library (or vmd-detect) wrote it; not
   * enumerable. */
  readonly raw: string;
}

/** vmd_detect_json returned a status other than 0 (or 0 and no report). */
export class VmDetectionError extends Error {
  constructor(status: number);
  readonly code: 'VMD_DETECT_FAILED';
  /** VMD_INVALID_ARGUMENT (a null output pointer), VMD_OUT_OF_MEMORY or
   * VMD_INTERNAL_ERROR. */
  readonly status: number;
  readonly meaning: string;
}

/** The shared library could not be loaded; the message says what was
 * looked for. */
export class LibraryNotFoundError extends Error {
  readonly code: 'VMD_LIBRARY_NOT_FOUND' | 'VMD_KOFFI_NOT_FOUND' | 'VMD_LIBRARY_VERSION';
}

/** The library loaded is of another major version than this package; the
 * message names both. */
export class LibraryVersionError extends LibraryNotFoundError {
  readonly code: 'VMD_LIBRARY_VERSION';
}

/** koffi, through which the library is called, could not be loaded: the
 * package is not installed whole (linked to its source tree, say). */
export class KoffiNotFoundError extends LibraryNotFoundError {
  readonly code: 'VMD_KOFFI_NOT_FOUND';
}

/** The text is not a report: not one JSON document that the report's JSON
 * Schema accepts, or an object in it names a member twice. */
export class ParseError extends Error {
  readonly code: 'VMD_PARSE';
}

/** One loaded copy of the shared library. */
export class Library {
  /** @throws LibraryNotFoundError */
  constructor(path?: string);
  readonly path: string;
  version(): string;
  /** The report's JSON text, exactly as the library wrote it. */
  detectJson(): string;
  detect(): Report;
}

/** Runs one detection. @throws VmDetectionError, LibraryNotFoundError (a
 * KoffiNotFoundError when koffi is missing) */
export function detect(): Report;
/** The library's version, "1.0.0". @throws LibraryNotFoundError */
export function version(): string;
/** Loads the library from path (by default $VMD_LIBRARY, else the prebuilt
 * library for platform(), else libvm_detection.so.1 through the dynamic
 * loader when the package carries no prebuilds/) and makes it the one
 * detect() and version() use. */
export function load(path?: string): Library;
/** The platform as the prebuilt libraries are named for: "linux-x64-glibc",
 * "linux-arm64-musl" (the C library told by process.execPath's ELF
 * interpreter), "darwin-arm64". */
export function platform(): string;
/** Reads a report's JSON text, as the library or vmd-detect writes it.
 * @throws ParseError */
export function parse(text: string): Report;
/** The bytes a report string stands for (one byte per character).
 * @throws RangeError for a character above U+00FF */
export function toBytes(text: string): Buffer;
