//! Links libvm_detection as pkg-config describes it (PKG_CONFIG_PATH for a
//! prefix outside the usual places), as the Go module's cgo does. pkg-config
//! is run directly so that the build needs no crate beyond serde's.
use std::env;
use std::process::{exit, Command};

fn main() {
    println!("cargo:rerun-if-env-changed=PKG_CONFIG");
    println!("cargo:rerun-if-env-changed=PKG_CONFIG_PATH");
    println!("cargo:rerun-if-env-changed=PKG_CONFIG_LIBDIR");
    let pkg_config = env::var("PKG_CONFIG").unwrap_or_else(|_| "pkg-config".to_owned());
    let hint = "install libvm_detection (cmake --install build --prefix /usr/local, or the \
                libvm-detection-dev package), or set PKG_CONFIG_PATH to PREFIX/lib/pkgconfig";
    let output = match Command::new(&pkg_config).args(["--libs", "vm_detection"]).output() {
        Ok(output) => output,
        Err(e) => {
            eprintln!("vm-detection: cannot run {}: {}; it finds libvm_detection", pkg_config, e);
            exit(1);
        }
    };
    if !output.status.success() {
        eprintln!(
            "vm-detection: {} --libs vm_detection failed: {}\nvm-detection: {}",
            pkg_config,
            String::from_utf8_lossy(&output.stderr).trim(),
            hint
        );
        exit(1);
    }
    for flag in String::from_utf8_lossy(&output.stdout).split_whitespace() {
        if let Some(dir) = flag.strip_prefix("-L") {
            println!("cargo:rustc-link-search=native={}", dir);
        } else if let Some(name) = flag.strip_prefix("-l") {
            println!("cargo:rustc-link-lib=dylib={}", name);
        }
    }
}
