// A program that depends on the vm-detection crate by path: it prints the
// verdict, the vendor lists and the evidence of this machine's report, or of
// the report in the file it is given, as tests/bindings/summary.py does.
use std::io::Write;

fn main() {
    let report = match std::env::args().nth(1) {
        Some(file) => vm_detection::parse(&std::fs::read_to_string(file).expect("the report")),
        None => vm_detection::detect(),
    };
    let report = report.unwrap_or_else(|e| {
        eprintln!("consumer: {}", e);
        std::process::exit(1)
    });
    let mut out = Vec::new();
    writeln!(out, "vm_likelihood: {}\nvm_score: {}", report.vm_likelihood, report.vm_score)
        .unwrap();
    for (name, list) in [
        ("hypervisors", &report.hypervisors),
        ("containers", &report.containers),
        ("compatibility_layers", &report.compatibility_layers),
        ("host_hypervisors", &report.host_hypervisors),
        ("cloud_providers", &report.cloud_providers),
    ] {
        writeln!(out, "{}:{}", name, list.iter().map(|v| format!(" {}", v)).collect::<String>())
            .unwrap();
    }
    for e in &report.evidence {
        write!(out, "evidence: {} {} {} {} ", e.source, e.category, e.vendor, e.weight).unwrap();
        out.extend(e.detail_bytes());
        out.push(b'\n');
    }
    std::io::stdout().write_all(&out).unwrap();
}
