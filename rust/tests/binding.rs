//! Tests against the library of the same build: pkg-config and the loader
//! must find it, and vmd-detect is taken from $VMD_DETECT or PATH.
use std::env;
use std::fs;
use std::path::PathBuf;
use std::process::Command;
use std::thread;

use serde_json::Value;
use vm_detection::{detect, parse, to_bytes, version, Error};

fn vmd_detect(args: &[&str]) -> String {
    let tool = env::var("VMD_DETECT").unwrap_or_else(|_| "vmd-detect".to_owned());
    let out = Command::new(&tool).args(args).output().expect("vmd-detect: set VMD_DETECT or PATH");
    assert!(out.status.success(), "{} {:?}: {:?}", tool, args, out);
    String::from_utf8(out.stdout).unwrap().trim_end().to_owned()
}

/// A fresh directory, removed when dropped.
struct Scratch(PathBuf);

impl Scratch {
    fn new(name: &str) -> Scratch {
        let dir = env::temp_dir().join(format!("vmd-rust-{}-{}", std::process::id(), name));
        let _ = fs::remove_dir_all(&dir);
        fs::create_dir_all(&dir).unwrap();
        Scratch(dir)
    }
}

impl Drop for Scratch {
    fn drop(&mut self) {
        let _ = fs::remove_dir_all(&self.0);
    }
}

/// Blanks what differs between runs: the duration and the cycle count in
/// the timing evidence.
fn comparable(mut report: Value) -> Value {
    report["duration_us"] = Value::Null;
    for e in report["evidence"].as_array_mut().unwrap() {
        let detail = e["detail"].as_str().unwrap();
        if e["source"] == "timing" && detail.starts_with("cpuid ") {
            let rest = detail["cpuid ".len()..].trim_start_matches(|c: char| c.is_ascii_digit());
            e["detail"] = Value::from(format!("cpuid _{}", rest));
        }
    }
    report
}

#[test]
fn typed_report_is_the_library_json() {
    let report = detect().unwrap();
    let typed = serde_json::to_value(&report).unwrap();
    assert_eq!(typed, serde_json::from_str::<Value>(&report.raw).unwrap());
    assert!(report.raw.starts_with("{\"schema_version\":1,") && report.raw.ends_with('}'));
    let tool: Value = serde_json::from_str(&vmd_detect(&[])).unwrap();
    assert_eq!(comparable(typed), comparable(tool));
    assert_eq!((version(), report.module_version.as_str()), ("1.0.0", "1.0.0"));
}

#[test]
fn bytes_above_0x7f_come_back_as_read() {
    let root = Scratch::new("bytes");
    let data = b"hv\xc3\xa9\xff\"\\\x01";
    fs::create_dir_all(root.0.join("sys/hypervisor")).unwrap();
    fs::write(root.0.join("sys/hypervisor/type"), data).unwrap();
    let raw = vmd_detect(&["--root", root.0.to_str().unwrap()]);
    assert!(raw.contains(r#""hv\u00c3\u00a9\u00ff\"\\\u0001""#), "{}", raw);
    let report = parse(&raw).unwrap();
    let evidence: Vec<_> = report.evidence.iter().filter(|e| e.source == "hypervisor").collect();
    assert_eq!(evidence.len(), 1, "{:?}", report.evidence);
    assert_eq!(evidence[0].detail, "hv\u{c3}\u{a9}\u{ff}\"\\\u{1}");
    assert_eq!(evidence[0].detail_bytes(), data);
    assert_eq!(to_bytes(&evidence[0].detail).unwrap(), data);
    assert_eq!(to_bytes("\u{2603}"), None);
}

#[test]
fn eight_threads_at_once_get_the_same_report() {
    let want = comparable(serde_json::to_value(detect().unwrap()).unwrap());
    let threads: Vec<_> = (0..8)
        .map(|_| thread::spawn(|| (0..25).map(|_| detect().map(|r| r.raw)).collect::<Vec<_>>()))
        .collect();
    for t in threads {
        for raw in t.join().unwrap() {
            let got = serde_json::from_str(&raw.unwrap()).unwrap();
            assert_eq!(comparable(got), want);
        }
    }
}

#[test]
fn parse_refuses_malformed_reports() {
    let raw = detect().unwrap().raw;
    let score = raw.find("\"vm_score\":").unwrap() + "\"vm_score\":".len();
    let digits = raw[score..].find(',').unwrap();
    for bad in [
        raw.replacen("\"schema_version\":1", "\"schema_version\":2", 1),
        format!("{}true{}", &raw[..score], &raw[score + digits..]),
        raw.replacen("\"probes\":", "\"probe\":", 1),
        raw.replacen("\"module_version\":\"1.0.0\"", "\"module_version\":\"\\u2603\"", 1),
        raw[..raw.len() - 1].to_owned(),
    ] {
        match parse(&bad) {
            Err(e @ Error::Parse(_)) => assert_eq!(e.status(), None),
            other => panic!("{:?} from {}", other, bad),
        }
    }
}

/// The stub library stands in for the real one in a child run of this test
/// binary: the loader picks it up through LD_LIBRARY_PATH, which a bundled
/// library is beyond.
#[cfg(not(feature = "bundled"))]
#[test]
fn statuses_become_errors_through_a_stub_library() {
    let source = env::var("VMD_STUB_SOURCE").unwrap_or_else(|_| {
        concat!(env!("CARGO_MANIFEST_DIR"), "/tests/bindings/stub_library.c").to_owned()
    });
    let dir = Scratch::new("stub");
    let cc = env::var("CC").unwrap_or_else(|_| "cc".to_owned());
    let stub = dir.0.join("libvm_detection.so.1");
    let built = Command::new(cc).args(["-shared", "-fPIC", "-o"]).arg(&stub).arg(source).status();
    assert!(built.unwrap().success(), "building the stub");
    let child = Command::new(env::current_exe().unwrap())
        .args(["--exact", "stub_child", "--ignored", "--test-threads=1"])
        .env("VMD_STUB_CHILD", "1")
        .env("LD_LIBRARY_PATH", &dir.0)
        .output()
        .unwrap();
    let out = String::from_utf8_lossy(&child.stdout);
    assert!(child.status.success() && out.contains("test stub_child ... ok"), "{:?}", child);
}

#[cfg(not(feature = "bundled"))]
#[test]
#[ignore = "run by statuses_become_errors_through_a_stub_library"]
fn stub_child() {
    assert!(env::var_os("VMD_STUB_CHILD").is_some(), "needs the stub library");
    // A library of another major version is refused before it runs.
    for stated in ["2.0.0", "0.9.1"] {
        env::set_var("VMD_STUB_VERSION", stated);
        let error = detect().unwrap_err();
        assert_eq!(error, Error::Version { library: format!("{} outstanding 0", stated), want: 1 });
        assert!(
            error.to_string().contains(stated) && error.to_string().contains("major version 1")
        );
    }
    env::set_var("VMD_STUB_VERSION", "1.0.0");
    for status in [1, 2, 3, 9] {
        env::set_var("VMD_STUB_STATUS", status.to_string());
        let error = detect().unwrap_err();
        assert_eq!(error.status(), Some(status));
        assert!(error.to_string().ends_with(error.meaning().unwrap()), "{}", error);
    }
    env::set_var("VMD_STUB_STATUS", "0");
    assert_eq!(detect().unwrap().vm_likelihood, "unknown");
    assert_eq!(version(), "1.0.0 outstanding 0", "blocks not freed");
}
