//! Typed access to libvm_detection's report: is this a virtual machine, a
//! container, WSL or a cloud instance, and on what evidence.
//!
//! ```no_run
//! let report = vm_detection::detect()?;
//! println!("{} {:?}", report.vm_likelihood, report.hypervisors);
//! # Ok::<(), vm_detection::Error>(())
//! ```
//!
//! The library does all the work; this crate only calls it and
//! deserializes its JSON report into the structs below, whose fields are
//! named as the report's members. The crate carries the library's sources
//! and its default feature `bundled` compiles them in; without it the
//! installed library is linked, as pkg-config finds it.
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
use std::str::FromStr;
use std::sync::Arc;

use serde::de::{self, Deserializer, MapAccess, Unexpected, Visitor};
use serde::{Deserialize, Serialize, Serializer};

extern "C" {
    fn vmd_detect_json(out: *mut *mut c_char) -> c_int;
    fn vmd_free(report: *mut c_char);
    fn vmd_version() -> *const c_char;
}

/// One detection run's report, schema version 1.
///
/// Its `Deserialize` accepts what [`parse`] accepts, but for numbers with a
/// fraction or an exponent, which it takes as the deserializer gives them
/// (serde_json: the nearest `f64`). `serde_json::to_string` of a report
/// reads back as the same report.
#[derive(Debug, Clone, PartialEq, Eq, Serialize)]
pub struct Report {
    pub schema_version: u32,
    pub module_version: String,
    pub vm_score: i32,
    pub vm_likelihood: Likelihood,
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
#[derive(Debug, Clone, PartialEq, Eq, Serialize)]
pub struct Evidence {
    pub source: Source,
    pub category: Category,
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

/// One attempted check and its outcome.
#[derive(Debug, Clone, PartialEq, Eq, Serialize)]
pub struct Probe {
    pub source: Source,
    pub status: ProbeStatus,
}

/// The fixed words of the report as enums: `Display`, `FromStr` and serde
/// all use the report's word, and each compares equal to its word as a
/// `str`, as the strings these fields were did.
macro_rules! words {
    ($(#[$doc:meta])* $name:ident { $($variant:ident = $word:literal,)+ }) => {
        $(#[$doc])*
        #[derive(Debug, Clone, Copy, PartialEq, Eq, Hash)]
        #[non_exhaustive]
        pub enum $name {
            $(#[doc = concat!("`", $word, "`")] $variant,)+
        }

        impl $name {
            /// Every word, in the schema's order.
            pub const WORDS: &'static [&'static str] = &[$($word),+];

            /// The word as the report writes it.
            pub fn as_str(self) -> &'static str {
                match self {
                    $($name::$variant => $word,)+
                }
            }
        }

        impl fmt::Display for $name {
            fn fmt(&self, f: &mut fmt::Formatter<'_>) -> fmt::Result {
                f.write_str(self.as_str())
            }
        }

        impl FromStr for $name {
            type Err = Error;

            /// [`Error::Parse`] for any other word.
            fn from_str(word: &str) -> Result<Self, Error> {
                match word {
                    $($word => Ok($name::$variant),)+
                    _ => Err(Error::Parse(Arc::new(de::Error::unknown_variant(word, Self::WORDS)))),
                }
            }
        }

        impl Serialize for $name {
            fn serialize<S: Serializer>(&self, serializer: S) -> Result<S::Ok, S::Error> {
                serializer.serialize_str(self.as_str())
            }
        }

        impl<'de> Deserialize<'de> for $name {
            fn deserialize<D: Deserializer<'de>>(deserializer: D) -> Result<Self, D::Error> {
                deserializer.deserialize_str(WordVisitor(Self::WORDS)).and_then(|word| {
                    word.parse().map_err(|_| de::Error::unknown_variant(&word, Self::WORDS))
                })
            }
        }

        impl PartialEq<str> for $name {
            fn eq(&self, word: &str) -> bool {
                self.as_str() == word
            }
        }

        impl PartialEq<&str> for $name {
            fn eq(&self, word: &&str) -> bool {
                self.as_str() == *word
            }
        }
    };
}

words! {
    /// `vm_likelihood`: the score in words.
    Likelihood {
        VeryLikely = "very_likely",
        Likely = "likely",
        Possible = "possible",
        NotDetected = "not_detected",
        Unknown = "unknown",
    }
}

words! {
    /// An evidence's `category`: guest is scored; host, container,
    /// compatibility and cloud fill their lists; diagnostic is a note.
    Category {
        Guest = "guest",
        Host = "host",
        Container = "container",
        Compatibility = "compatibility",
        Cloud = "cloud",
        Diagnostic = "diagnostic",
    }
}

words! {
    /// The probe that made a finding or a check.
    Source {
        Cpu = "cpu",
        Timing = "timing",
        Firmware = "firmware",
        DeviceTree = "device_tree",
        Hypervisor = "hypervisor",
        System = "system",
        Container = "container",
    }
}

words! {
    /// A probe's `status`.
    ProbeStatus {
        Ok = "ok",
        Unavailable = "unavailable",
        Error = "error",
    }
}

/// A JSON string only, never the `{"word": null}` form that serde's
/// derived enums also take.
struct WordVisitor(&'static [&'static str]);

impl<'de> Visitor<'de> for WordVisitor {
    type Value = String;

    fn expecting(&self, f: &mut fmt::Formatter<'_>) -> fmt::Result {
        write!(f, "one of {}", self.0.join(", "))
    }

    fn visit_str<E: de::Error>(self, word: &str) -> Result<String, E> {
        Ok(word.to_owned())
    }
}

/// Status codes of `vmd_detect_json`, as the C header names them.
pub const VMD_OK: i32 = 0;
pub const VMD_INVALID_ARGUMENT: i32 = 1;
pub const VMD_OUT_OF_MEMORY: i32 = 2;
pub const VMD_INTERNAL_ERROR: i32 = 3;
/// Earlier names of the status codes.
pub const STATUS_INVALID_ARGUMENT: i32 = VMD_INVALID_ARGUMENT;
pub const STATUS_OUT_OF_MEMORY: i32 = VMD_OUT_OF_MEMORY;
pub const STATUS_INTERNAL_FAILURE: i32 = VMD_INTERNAL_ERROR;

/// Why there is no report.
///
/// Errors compare equal when they are of one kind and say the same thing.
#[derive(Debug, Clone)]
#[non_exhaustive]
pub enum Error {
    /// `vmd_detect_json` returned `status` (0 when it returned success but
    /// no report).
    Detect { status: i32 },
    /// The text is not a schema version 1 report; serde_json's error (also
    /// the `source()`) says why and where.
    Parse(Arc<serde_json::Error>),
    /// The loaded library's `vmd_version` is `library`, not of the major
    /// version [`MAJOR_VERSION`] this crate reads the report of.
    Version { library: String, want: u32 },
}

/// The major version of libvm_detection this crate is written for;
/// [`detect`] refuses a library of another.
pub const MAJOR_VERSION: u32 = 1;

fn check_version(library: &str) -> Result<(), Error> {
    match library.split('.').next().map(str::parse::<u32>) {
        Some(Ok(MAJOR_VERSION)) => Ok(()),
        _ => Err(Error::Version { library: library.to_owned(), want: MAJOR_VERSION }),
    }
}

impl Error {
    /// The library's status, for a failed run.
    pub fn status(&self) -> Option<i32> {
        match self {
            Error::Detect { status } => Some(*status),
            Error::Parse(_) | Error::Version { .. } => None,
        }
    }

    /// The status in words, for a failed run.
    pub fn meaning(&self) -> Option<&'static str> {
        Some(match self.status()? {
            VMD_OK => "success but no report",
            VMD_INVALID_ARGUMENT => "invalid argument: the output pointer was null",
            VMD_OUT_OF_MEMORY => "out of memory",
            VMD_INTERNAL_ERROR => "internal failure",
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
            Error::Version { library, want } => write!(
                f,
                "libvm_detection {:?} is loaded, but this crate is built for major version {}",
                library, want
            ),
        }
    }
}

impl std::error::Error for Error {
    fn source(&self) -> Option<&(dyn std::error::Error + 'static)> {
        match self {
            Error::Detect { .. } | Error::Version { .. } => None,
            Error::Parse(why) => Some(&**why),
        }
    }
}

impl PartialEq for Error {
    fn eq(&self, other: &Error) -> bool {
        match (self, other) {
            (Error::Detect { status: a }, Error::Detect { status: b }) => a == b,
            (Error::Version { library: a, .. }, Error::Version { library: b, .. }) => a == b,
            (Error::Parse(a), Error::Parse(b)) => {
                a.classify() == b.classify() && a.to_string() == b.to_string()
            }
            _ => false,
        }
    }
}

impl Eq for Error {}

/// The library's version, `"1.0.0"`.
pub fn version() -> &'static str {
    // A static ASCII string in the library, never freed.
    unsafe { CStr::from_ptr(vmd_version()) }.to_str().unwrap_or("")
}

/// Runs one detection. Any number of threads may call it at once.
pub fn detect() -> Result<Report, Error> {
    check_version(version())?;
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
    if status != VMD_OK {
        return Err(Error::Detect { status });
    }
    if block.0.is_null() {
        return Err(Error::Detect { status: VMD_OK });
    }
    match unsafe { CStr::from_ptr(block.0) }.to_str() {
        Ok(text) => Ok(text.to_owned()),
        Err(_) => Err(Error::Parse(Arc::new(de::Error::custom("the report is not ASCII")))),
    }
}

/// Reads a report's JSON text, as the library or `vmd-detect` writes it.
///
/// It accepts exactly the texts that the report's JSON Schema
/// (`report-v1.schema.json`) accepts and in which no object names a member
/// twice; anything else is [`Error::Parse`]. Numbers are read exactly as
/// written: `95.0` is the integer 95, and `95.000000000000001` no integer.
pub fn parse(raw: &str) -> Result<Report, Error> {
    parse_owned(raw.to_owned())
}

fn parse_owned(raw: String) -> Result<Report, Error> {
    let mut report: Report = serde_json::from_str(&raw).map_err(|e| Error::Parse(Arc::new(e)))?;
    if let Some((at, number)) = first_fraction(&raw) {
        let line = raw[..at].matches('\n').count() + 1;
        let column = at - raw[..at].rfind('\n').map_or(0, |n| n + 1) + 1;
        return Err(Error::Parse(Arc::new(de::Error::custom(format_args!(
            "{} is no integer at line {} column {}",
            number, line, column
        )))));
    }
    report.raw = raw;
    Ok(report)
}

/// The first number of a JSON text that is no integer when read exactly as
/// written, and where it starts. Every number of a report is an integer, but
/// serde_json reads one with a fraction or an exponent as the nearest f64,
/// in which 95.000000000000001 is 95. The text must be JSON.
fn first_fraction(text: &str) -> Option<(usize, &str)> {
    let bytes = text.as_bytes();
    let mut i = 0;
    while i < bytes.len() {
        match bytes[i] {
            b'"' => {
                i += 1;
                while bytes[i] != b'"' {
                    i += if bytes[i] == b'\\' { 2 } else { 1 };
                }
                i += 1;
            }
            b'-' | b'0'..=b'9' => {
                let start = i;
                while i < bytes.len()
                    && matches!(bytes[i], b'0'..=b'9' | b'-' | b'+' | b'.' | b'e' | b'E')
                {
                    i += 1;
                }
                if !is_integer(&text[start..i]) {
                    return Some((start, &text[start..i]));
                }
            }
            _ => i += 1,
        }
    }
    None
}

fn is_integer(number: &str) -> bool {
    let unsigned = number.trim_start_matches('-');
    let (mantissa, exponent) = match unsigned.find(&['e', 'E'][..]) {
        Some(e) => {
            let exponent = &unsigned[e + 1..];
            // Beyond 64 bits, an exponent says what the limit says.
            let limit = if exponent.starts_with('-') { i64::MIN } else { i64::MAX };
            (&unsigned[..e], exponent.parse().unwrap_or(limit))
        }
        None => (unsigned, 0),
    };
    let (whole, fraction) = mantissa.split_once('.').unwrap_or((mantissa, ""));
    let digits = [whole, fraction].concat();
    let significant = digits.trim_end_matches('0');
    significant.trim_start_matches('0').is_empty()
        || exponent
            .saturating_sub(fraction.len() as i64)
            .saturating_add((digits.len() - significant.len()) as i64)
            >= 0
}

const REPORT_MEMBERS: &[&str] = &[
    "schema_version",
    "module_version",
    "vm_score",
    "vm_likelihood",
    "hypervisors",
    "containers",
    "compatibility_layers",
    "host_hypervisors",
    "cloud_providers",
    "evidence",
    "probes",
    "duration_us",
];
const EVIDENCE_MEMBERS: &[&str] = &["source", "category", "vendor", "weight", "detail"];
const PROBE_MEMBERS: &[&str] = &["source", "status"];

/// Reads one member's value into its slot, refusing a second one: serde's
/// derived structs would too, but they would also take an array of the
/// values in order, which is no report.
fn member<'de, A, T>(
    map: &mut A,
    slot: &mut Option<T>,
    name: &'static str,
    read: impl FnOnce(&mut A) -> Result<T, A::Error>,
) -> Result<(), A::Error>
where
    A: MapAccess<'de>,
{
    if slot.is_some() {
        return Err(de::Error::duplicate_field(name));
    }
    *slot = Some(read(map)?);
    Ok(())
}

/// The value read into a slot, or the error for a member missing; a macro,
/// so that the error is the visitor's `A::Error`.
macro_rules! given {
    ($access:ident, $slot:expr, $name:literal) => {
        $slot.ok_or_else(|| <$access::Error as de::Error>::missing_field($name))?
    };
}

/// A JSON number with no fractional part, however written: in the schema's
/// dialect 95.0 and 9.5e1 are the integer 95.
struct Integer(i128);

impl<'de> Deserialize<'de> for Integer {
    fn deserialize<D: Deserializer<'de>>(deserializer: D) -> Result<Self, D::Error> {
        struct IntegerVisitor;
        impl<'de> Visitor<'de> for IntegerVisitor {
            type Value = Integer;
            fn expecting(&self, f: &mut fmt::Formatter<'_>) -> fmt::Result {
                f.write_str("an integer")
            }
            fn visit_u64<E: de::Error>(self, n: u64) -> Result<Integer, E> {
                Ok(Integer(n.into()))
            }
            fn visit_i64<E: de::Error>(self, n: i64) -> Result<Integer, E> {
                Ok(Integer(n.into()))
            }
            fn visit_f64<E: de::Error>(self, n: f64) -> Result<Integer, E> {
                if n.fract() != 0.0 {
                    return Err(E::invalid_value(Unexpected::Float(n), &self));
                }
                // Saturates far beyond any bound below.
                Ok(Integer(n as i128))
            }
        }
        deserializer.deserialize_any(IntegerVisitor)
    }
}

fn integer<'de, A: MapAccess<'de>>(map: &mut A, min: i64, max: i64) -> Result<i64, A::Error> {
    let Integer(n) = map.next_value()?;
    if n < min.into() || n > max.into() {
        return Err(de::Error::custom(format_args!("{} out of {}..{}", n, min, max)));
    }
    Ok(n as i64)
}

/// `^[0-9]+\.[0-9]+\.[0-9]+$`
fn version_number<E: de::Error>(version: String) -> Result<String, E> {
    let mut numbers = version.split('.');
    if numbers.clone().count() != 3
        || !numbers.all(|n| !n.is_empty() && n.bytes().all(|b| b.is_ascii_digit()))
    {
        return Err(E::invalid_value(Unexpected::Str(&version), &"a version of three numbers"));
    }
    Ok(version)
}

/// `^[a-z0-9]+(-[a-z0-9]+)*$`
fn is_vendor(word: &str) -> bool {
    word.split('-').all(|part| {
        !part.is_empty() && part.bytes().all(|b| b.is_ascii_lowercase() || b.is_ascii_digit())
    })
}

fn vendor<E: de::Error>(word: String) -> Result<String, E> {
    if !is_vendor(&word) {
        return Err(E::invalid_value(Unexpected::Str(&word), &"a lower-case vendor word"));
    }
    Ok(word)
}

fn vendors<'de, A: MapAccess<'de>>(map: &mut A) -> Result<Vec<String>, A::Error> {
    let list: Vec<String> = map.next_value()?;
    for (i, word) in list.iter().enumerate() {
        if !is_vendor(word) || word == "unknown" || list[..i].contains(word) {
            return Err(de::Error::invalid_value(
                Unexpected::Str(word),
                &"a vendor word other than unknown, once",
            ));
        }
    }
    Ok(list)
}

impl<'de> Deserialize<'de> for Report {
    fn deserialize<D: Deserializer<'de>>(deserializer: D) -> Result<Self, D::Error> {
        struct ReportVisitor;
        impl<'de> Visitor<'de> for ReportVisitor {
            type Value = Report;
            fn expecting(&self, f: &mut fmt::Formatter<'_>) -> fmt::Result {
                f.write_str("a libvm_detection report")
            }
            fn visit_map<A: MapAccess<'de>>(self, mut map: A) -> Result<Report, A::Error> {
                let (mut schema, mut module, mut score, mut likelihood) = (None, None, None, None);
                let (mut hypervisors, mut containers, mut layers) = (None, None, None);
                let (mut hosts, mut clouds, mut evidence, mut probes, mut duration) =
                    (None, None, None, None, None);
                while let Some(key) = map.next_key::<String>()? {
                    let m = &mut map;
                    match key.as_str() {
                        "schema_version" => {
                            member(m, &mut schema, "schema_version", |m| integer(m, 1, 1))?
                        }
                        "module_version" => member(m, &mut module, "module_version", |m| {
                            m.next_value().and_then(version_number)
                        })?,
                        "vm_score" => member(m, &mut score, "vm_score", |m| integer(m, 0, 99))?,
                        "vm_likelihood" => {
                            member(m, &mut likelihood, "vm_likelihood", |m| m.next_value())?
                        }
                        "hypervisors" => member(m, &mut hypervisors, "hypervisors", vendors)?,
                        "containers" => member(m, &mut containers, "containers", vendors)?,
                        "compatibility_layers" => {
                            member(m, &mut layers, "compatibility_layers", vendors)?
                        }
                        "host_hypervisors" => member(m, &mut hosts, "host_hypervisors", vendors)?,
                        "cloud_providers" => member(m, &mut clouds, "cloud_providers", vendors)?,
                        "evidence" => member(m, &mut evidence, "evidence", |m| m.next_value())?,
                        "probes" => member(m, &mut probes, "probes", |m| m.next_value())?,
                        "duration_us" => member(m, &mut duration, "duration_us", |m| {
                            integer(m, 0, (1 << 53) - 1)
                        })?,
                        other => return Err(de::Error::unknown_field(other, REPORT_MEMBERS)),
                    }
                }
                Ok(Report {
                    schema_version: given!(A, schema, "schema_version") as u32,
                    module_version: given!(A, module, "module_version"),
                    vm_score: given!(A, score, "vm_score") as i32,
                    vm_likelihood: given!(A, likelihood, "vm_likelihood"),
                    hypervisors: given!(A, hypervisors, "hypervisors"),
                    containers: given!(A, containers, "containers"),
                    compatibility_layers: given!(A, layers, "compatibility_layers"),
                    host_hypervisors: given!(A, hosts, "host_hypervisors"),
                    cloud_providers: given!(A, clouds, "cloud_providers"),
                    evidence: given!(A, evidence, "evidence"),
                    probes: given!(A, probes, "probes"),
                    duration_us: given!(A, duration, "duration_us"),
                    raw: String::new(),
                })
            }
        }
        deserializer.deserialize_map(ReportVisitor)
    }
}

impl<'de> Deserialize<'de> for Evidence {
    fn deserialize<D: Deserializer<'de>>(deserializer: D) -> Result<Self, D::Error> {
        struct EvidenceVisitor;
        impl<'de> Visitor<'de> for EvidenceVisitor {
            type Value = Evidence;
            fn expecting(&self, f: &mut fmt::Formatter<'_>) -> fmt::Result {
                f.write_str("an evidence object")
            }
            fn visit_map<A: MapAccess<'de>>(self, mut map: A) -> Result<Evidence, A::Error> {
                let (mut source, mut category, mut vendor_word, mut weight, mut detail) =
                    (None, None, None, None, None);
                while let Some(key) = map.next_key::<String>()? {
                    let m = &mut map;
                    match key.as_str() {
                        "source" => member(m, &mut source, "source", |m| m.next_value())?,
                        "category" => member(m, &mut category, "category", |m| m.next_value())?,
                        "vendor" => member(m, &mut vendor_word, "vendor", |m| {
                            m.next_value().and_then(vendor)
                        })?,
                        "weight" => member(m, &mut weight, "weight", |m| {
                            integer(m, i32::MIN.into(), i32::MAX.into())
                        })?,
                        "detail" => member(m, &mut detail, "detail", |m| {
                            let text: String = m.next_value()?;
                            // One char per byte, at most 160 bytes.
                            if text.chars().count() > 160 || text.chars().any(|c| c > '\u{ff}') {
                                return Err(de::Error::invalid_value(
                                    Unexpected::Str(&text),
                                    &"at most 160 chars, each below U+0100",
                                ));
                            }
                            Ok(text)
                        })?,
                        other => return Err(de::Error::unknown_field(other, EVIDENCE_MEMBERS)),
                    }
                }
                Ok(Evidence {
                    source: given!(A, source, "source"),
                    category: given!(A, category, "category"),
                    vendor: given!(A, vendor_word, "vendor"),
                    weight: given!(A, weight, "weight") as i32,
                    detail: given!(A, detail, "detail"),
                })
            }
        }
        deserializer.deserialize_map(EvidenceVisitor)
    }
}

impl<'de> Deserialize<'de> for Probe {
    fn deserialize<D: Deserializer<'de>>(deserializer: D) -> Result<Self, D::Error> {
        struct ProbeVisitor;
        impl<'de> Visitor<'de> for ProbeVisitor {
            type Value = Probe;
            fn expecting(&self, f: &mut fmt::Formatter<'_>) -> fmt::Result {
                f.write_str("a probe object")
            }
            fn visit_map<A: MapAccess<'de>>(self, mut map: A) -> Result<Probe, A::Error> {
                let (mut source, mut status) = (None, None);
                while let Some(key) = map.next_key::<String>()? {
                    let m = &mut map;
                    match key.as_str() {
                        "source" => member(m, &mut source, "source", |m| m.next_value())?,
                        "status" => member(m, &mut status, "status", |m| m.next_value())?,
                        other => return Err(de::Error::unknown_field(other, PROBE_MEMBERS)),
                    }
                }
                Ok(Probe {
                    source: given!(A, source, "source"),
                    status: given!(A, status, "status"),
                })
            }
        }
        deserializer.deserialize_map(ProbeVisitor)
    }
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
