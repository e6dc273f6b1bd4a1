//! Typed access to libvm_detection's report: is this a virtual machine, a
//! container, WSL or a cloud instance, and on what evidence.
//!
//! ```no_run
//! let report = vm_detection::detect()?;
//! println!("{} {:?}", report.vm_likelihood, report.hypervisors);
//! # Ok::<(), vm_detection::Error>(())
//! ```
//!
//! The shared library does all the work; this crate only calls it and
//! deserializes its JSON report into the structs below, whose fields are
//! named as the report's members.
//!
//! Report strings carry bytes, not characters: the library writes every
//! byte outside printable ASCII as a `\u00XX` escape, so each `char` of a
//! string here is below U+0100 and stands for exactly one byte of what the
//! probe read (`\u00c3\u00a9` is the two chars `Ã©`, not `é`).
//! [`to_bytes`] (or [`Evidence::detail_bytes`]) gives those bytes back.
use std::ffi::CStr;
use std::fmt;
use std::os::raw::{c_char, c_int};
use std::ptr;

use serde::{Deserialize, Serialize};

extern "C" {
    fn vmd_detect_json(out: *mut *mut c_char) -> c_int;
    fn vmd_free(report: *mut c_char);
    fn vmd_version() -> *const c_char;
}

/// One detection run's report, schema version 1.
#[derive(Debug, Clone, PartialEq, Eq, Serialize, Deserialize)]
pub struct Report {
    pub schema_version: u32,
    pub module_version: String,
    pub vm_score: i32,
    pub vm_likelihood: String,
    pub hypervisors: Vec<String>,
    pub containers: Vec<String>,
    pub compatibility_layers: Vec<String>,
    pub host_hypervisors: Vec<String>,
    pub cloud_providers: Vec<String>,
    pub evidence: Vec<Evidence>,
    pub probes: Vec<Probe>,
    pub duration_us: i64,
    /// The JSON text exactly as the library (or `vmd-detect`) wrote it.
    #[serde(skip)]
    pub raw: String,
}

/// One finding.
#[derive(Debug, Clone, PartialEq, Eq, Serialize, Deserialize)]
pub struct Evidence {
    pub source: String,
    pub category: String,
    pub vendor: String,
    pub weight: i32,
    pub detail: String,
}

impl Evidence {
    /// The bytes the detail stands for, one per char.
    ///
    /// # Panics
    /// If `detail` was changed to hold a char above U+00FF, which no parsed
    /// report holds.
    pub fn detail_bytes(&self) -> Vec<u8> {
        to_bytes(&self.detail).expect("a report string holds chars below U+0100 only")
    }
}

/// One attempted check and its outcome: "ok", "unavailable" or "error".
#[derive(Debug, Clone, PartialEq, Eq, Serialize, Deserialize)]
pub struct Probe {
    pub source: String,
    pub status: String,
}

/// Status codes of `vmd_detect_json`.
pub const STATUS_INVALID_ARGUMENT: i32 = 1;
pub const STATUS_OUT_OF_MEMORY: i32 = 2;
pub const STATUS_INTERNAL_FAILURE: i32 = 3;

/// Why there is no report.
#[derive(Debug)]
#[non_exhaustive]
pub enum Error {
    /// `vmd_detect_json` returned `status` (0 when it returned success but
    /// no report).
    Detect { status: i32 },
    /// The text is not a schema version 1 report.
    Parse(String),
}

impl Error {
    /// The library's status, for a failed run.
    pub fn status(&self) -> Option<i32> {
        match self {
            Error::Detect { status } => Some(*status),
            Error::Parse(_) => None,
        }
    }

    /// The status in words, for a failed run.
    pub fn meaning(&self) -> Option<&'static str> {
        Some(match self.status()? {
            0 => "success but no report",
            STATUS_INVALID_ARGUMENT => "invalid argument: the output pointer was null",
            STATUS_OUT_OF_MEMORY => "out of memory",
            STATUS_INTERNAL_FAILURE => "internal failure",
            _ => "unknown status",
        })
    }
}

impl fmt::Display for Error {
    fn fmt(&self, f: &mut fmt::Formatter<'_>) -> fmt::Result {
        match self {
            Error::Detect { status } => write!(
                f,
                "vmd_detect_json failed with status {}: {}",
                status,
                self.meaning().unwrap_or_default()
            ),
            Error::Parse(why) => write!(f, "not a libvm_detection report: {}", why),
        }
    }
}

impl std::error::Error for Error {}

/// The library's version, `"1.0.0"`.
pub fn version() -> &'static str {
    // A static ASCII string in the library, never freed.
    unsafe { CStr::from_ptr(vmd_version()) }.to_str().unwrap_or("")
}

/// Runs one detection. Any number of threads may call it at once.
pub fn detect() -> Result<Report, Error> {
    let mut out = ptr::null_mut();
    parse_owned(detect_into(&mut out)?)
}

/// Frees the block it holds on every path out of [`detect_into`].
struct Block(*mut c_char);

impl Drop for Block {
    fn drop(&mut self) {
        unsafe { vmd_free(self.0) }
    }
}

/// Calls the library with `out` as its output pointer (null asks for
/// status 1) and copies out the report.
fn detect_into(out: *mut *mut c_char) -> Result<String, Error> {
    let status = unsafe { vmd_detect_json(out) };
    // The library leaves null on failure; free whatever it left anyway.
    let block = Block(if out.is_null() { ptr::null_mut() } else { unsafe { *out } });
    if status != 0 {
        return Err(Error::Detect { status });
    }
    if block.0.is_null() {
        return Err(Error::Detect { status: 0 });
    }
    match unsafe { CStr::from_ptr(block.0) }.to_str() {
        Ok(text) => Ok(text.to_owned()),
        Err(_) => Err(Error::Parse("the report is not ASCII".to_owned())),
    }
}

/// Reads a report's JSON text, as the library or `vmd-detect` writes it.
pub fn parse(raw: &str) -> Result<Report, Error> {
    parse_owned(raw.to_owned())
}

fn parse_owned(raw: String) -> Result<Report, Error> {
    let mut report: Report = serde_json::from_str(&raw).map_err(|e| Error::Parse(e.to_string()))?;
    if report.schema_version != 1 {
        return Err(Error::Parse(format!("schema version {}, not 1", report.schema_version)));
    }
    let lists = [
        &report.hypervisors,
        &report.containers,
        &report.compatibility_layers,
        &report.host_hypervisors,
        &report.cloud_providers,
    ];
    let texts = [&report.module_version, &report.vm_likelihood]
        .into_iter()
        .chain(lists.into_iter().flatten())
        .chain(report.evidence.iter().flat_map(|e| [&e.source, &e.category, &e.vendor, &e.detail]))
        .chain(report.probes.iter().flat_map(|p| [&p.source, &p.status]));
    // Only a \u00XX escape stands for a byte; anything above cannot.
    for text in texts {
        if let Some(c) = text.chars().find(|&c| u32::from(c) > 0xFF) {
            return Err(Error::Parse(format!(
                "character U+{:04X} in a report string",
                u32::from(c)
            )));
        }
    }
    report.raw = raw;
    Ok(report)
}

/// The bytes a report string stands for (one per char), or `None` if it
/// holds a char above U+00FF, which no report string does.
pub fn to_bytes(text: &str) -> Option<Vec<u8>> {
    text.chars().map(|c| u8::try_from(u32::from(c)).ok()).collect()
}

#[cfg(test)]
mod tests {
    #[test]
    fn null_out_pointer_is_status_1() {
        let error = super::detect_into(std::ptr::null_mut()).unwrap_err();
        assert_eq!(error.status(), Some(super::STATUS_INVALID_ARGUMENT));
    }
}
