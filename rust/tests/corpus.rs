//! The report corpus that every binding's tests walk: tests/reports, or
//! $VMD_REPORTS.
use std::env;
use std::error::Error as _;
use std::fs;
use std::path::PathBuf;

use vm_detection::{parse, Error, Likelihood, ProbeStatus, Report};

fn corpus(kind: &str) -> Vec<(String, String)> {
    let dir = env::var_os("VMD_REPORTS")
        .map(PathBuf::from)
        .unwrap_or_else(|| PathBuf::from(env!("CARGO_MANIFEST_DIR")).join("tests/reports"));
    let mut texts: Vec<_> = fs::read_dir(dir.join(kind))
        .unwrap_or_else(|e| panic!("{}: {}", dir.display(), e))
        .map(|entry| entry.unwrap().path())
        .filter(|path| path.extension().map_or(false, |e| e == "json"))
        .map(|path| (path.file_name().unwrap().to_string_lossy().into_owned(), path))
        .map(|(name, path)| (name, fs::read_to_string(path).unwrap()))
        .collect();
    assert!(texts.len() >= 10, "{} {} reports in {}", texts.len(), kind, dir.display());
    texts.sort();
    texts
}

#[test]
fn valid_reports_come_back_through_serde_json() {
    for (name, text) in corpus("valid") {
        let report = parse(&text).unwrap_or_else(|e| panic!("{}: {}", name, e));
        let written = serde_json::to_string(&report).unwrap();
        let mut again =
            parse(&written).unwrap_or_else(|e| panic!("{}: {} in {}", name, e, written));
        assert_eq!(again.raw, written);
        again.raw = report.raw.clone();
        assert_eq!(again, report, "{} written as {}", name, written);
        let read: Report = serde_json::from_str(&written).unwrap();
        assert_eq!(read, Report { raw: String::new(), ..report }, "{}", name);
    }
}

#[test]
fn invalid_reports_are_parse_errors_with_serde_jsons_error_as_source() {
    for (name, text) in corpus("invalid") {
        match parse(&text) {
            Err(e @ Error::Parse(_)) => {
                let source = e.source().and_then(|s| s.downcast_ref::<serde_json::Error>());
                let why = source.unwrap_or_else(|| panic!("{}: no source in {:?}", name, e));
                assert!(e.to_string().ends_with(&why.to_string()), "{}: {}", name, e);
                assert_eq!(e.clone(), e);
                // Deserialize alone sees numbers as serde_json gives them,
                // not as written: 1e-400 is the f64 0 there.
                if !e.to_string().contains(" is no integer at ") {
                    assert!(serde_json::from_str::<Report>(&text).is_err(), "{}", name);
                }
            }
            other => panic!("{}: {:?}", name, other),
        }
    }
}

#[test]
fn errors_equal_by_kind_and_message() {
    let (a, b) = (parse("1").unwrap_err(), parse("null").unwrap_err());
    assert_ne!(a, b);
    assert_eq!(a, parse("1").unwrap_err());
    assert_ne!(a, parse("{").unwrap_err());
    assert_ne!(a, Error::Detect { status: 1 });
    assert_eq!(Error::Detect { status: 1 }, Error::Detect { status: 1 }.clone());
    assert_ne!(Error::Detect { status: 1 }, Error::Detect { status: 2 });
}

#[test]
fn words_are_the_reports_words() {
    for word in Likelihood::WORDS {
        let likelihood: Likelihood = word.parse().unwrap();
        assert_eq!(likelihood.to_string(), *word);
        assert_eq!(likelihood, *word);
        assert_eq!(serde_json::to_string(&likelihood).unwrap(), format!("\"{}\"", word));
    }
    assert_eq!("error".parse::<ProbeStatus>().unwrap(), ProbeStatus::Error);
    assert!(matches!("Guest".parse::<vm_detection::Category>(), Err(Error::Parse(_))));
    // Only a string: not serde's other form of a unit variant.
    assert!(serde_json::from_str::<Likelihood>(r#"{"unknown":null}"#).is_err());
    assert_eq!(serde_json::from_str::<Likelihood>(r#""unknown""#).unwrap(), Likelihood::Unknown);
}
