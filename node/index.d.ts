/// <reference types="node" />

/** The shared object's name, as the dynamic loader looks it up. */
export const SONAME: 'libvm_detection.so.1';

/** One finding. */
export class Evidence {
  private constructor();
  readonly source: string;
  readonly category: string;
  readonly vendor: string;
  readonly weight: number;
  readonly detail: string;
  /** The bytes the detail stands for. */
  readonly detailBytes: Buffer;
}

/** One attempted check and its outcome: "ok", "unavailable" or "error". */
export class Probe {
  private constructor();
  readonly source: string;
  readonly status: string;
}

/** One detection run's report, schema version 1. */
export class Report {
  private constructor();
  readonly schema_version: 1;
  readonly module_version: string;
  readonly vm_score: number;
  readonly vm_likelihood: string;
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
  /** 1 null output pointer, 2 out of memory, 3 internal failure. */
  readonly status: number;
  readonly meaning: string;
}

/** The shared library could not be loaded; the message says what was
 * looked for. */
export class LibraryNotFoundError extends Error {}

/** The text is not a schema version 1 report. */
export class ParseError extends Error {}

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

/** Runs one detection. @throws VmDetectionError, LibraryNotFoundError */
export function detect(): Report;
/** The library's version, "1.0.0". @throws LibraryNotFoundError */
export function version(): string;
/** Loads the library from path (by default the loader finds
 * libvm_detection.so.1) and makes it the one detect() and version() use. */
export function load(path?: string): Library;
/** Reads a report's JSON text, as the library or vmd-detect writes it.
 * @throws ParseError */
export function parse(text: string): Report;
/** The bytes a report string stands for (one byte per character).
 * @throws RangeError for a character above U+00FF */
export function toBytes(text: string): Buffer;
