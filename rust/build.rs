//! Builds the library from its sources as CMakeLists.txt lists them
//! (feature `bundled`, the default), or links the installed one as
//! pkg-config describes it (PKG_CONFIG_PATH for a prefix outside the usual
//! places), as the Go module's cgo does. pkg-config is run directly so that
//! the system build needs no crate beyond serde's.
use std::env;
use std::fs;
use std::path::Path;
use std::process::{exit, Command};

fn fail(why: &str) -> ! {
    eprintln!("vm-detection: {}", why);
    exit(1)
}

/// The words between `start` and the next `)` in CMakeLists.txt.
fn cmake_list<'a>(cmake: &'a str, start: &str) -> Vec<&'a str> {
    let at = match cmake.find(start) {
        Some(at) => at,
        None => fail(&format!("no {} in CMakeLists.txt", start)),
    };
    let rest = &cmake[at + start.len()..];
    rest[..rest.find(')').unwrap_or(0)].split_whitespace().collect()
}

fn main() {
    let root = env::var("CARGO_MANIFEST_DIR").unwrap();
    let cmake_file = Path::new(&root).join("CMakeLists.txt");
    println!("cargo:rerun-if-changed={}", cmake_file.display());
    let cmake = fs::read_to_string(&cmake_file)
        .unwrap_or_else(|e| fail(&format!("cannot read {}: {}", cmake_file.display(), e)));
    // One version: project()'s, which the library reports too.
    let version = cmake_list(&cmake, "project(vm_detection VERSION").first().copied();
    if version != Some(env!("CARGO_PKG_VERSION")) {
        fail(&format!(
            "the crate's version {} is not CMakeLists.txt's {:?}",
            env!("CARGO_PKG_VERSION"),
            version
        ));
    }
    if env::var_os("CARGO_FEATURE_BUNDLED").is_some() {
        bundled(&root, &cmake);
    } else {
        system();
    }
}

#[cfg(feature = "bundled")]
fn bundled(root: &str, cmake: &str) {
    use std::path::PathBuf;
    use std::sync::atomic::{AtomicBool, AtomicUsize, Ordering};
    let sources = cmake_list(cmake, "add_library(vmd_core STATIC");
    let mut build = cc::Build::new();
    build
        .cpp(true)
        .flag("-std=c++20")
        .flag("-fvisibility=hidden")
        .flag("-fvisibility-inlines-hidden")
        .include(Path::new(root).join("include"))
        .include(Path::new(root).join("src"))
        .define("VMD_VERSION", format!("\"{}\"", env!("CARGO_PKG_VERSION")).as_str());
    for dir in ["src", "include"] {
        println!("cargo:rerun-if-changed={}", Path::new(root).join(dir).display());
    }
    // cc compiles one file at a time unless its parallel feature is on,
    // which needs a crate Debian 12 lacks: the objects are made here, as
    // many at once as cargo's jobs, and cc archives them.
    let compiler = build.get_compiler();
    let out = PathBuf::from(env::var("OUT_DIR").unwrap());
    let objects: Vec<PathBuf> =
        sources.iter().map(|s| out.join(s.replace('/', "_")).with_extension("o")).collect();
    let jobs = env::var("NUM_JOBS").ok().and_then(|n| n.parse().ok()).unwrap_or(1usize);
    let (next, failed) = (AtomicUsize::new(0), AtomicBool::new(false));
    std::thread::scope(|scope| {
        for _ in 0..jobs.clamp(1, sources.len()) {
            scope.spawn(|| loop {
                let i = next.fetch_add(1, Ordering::Relaxed);
                if i >= sources.len() {
                    break;
                }
                let mut command = compiler.to_command();
                command.arg("-c").arg(Path::new(root).join(sources[i])).arg("-o").arg(&objects[i]);
                if !command.status().map(|s| s.success()).unwrap_or(false) {
                    eprintln!("vm-detection: {:?} failed", command);
                    failed.store(true, Ordering::Relaxed);
                }
            });
        }
    });
    if failed.load(Ordering::Relaxed) {
        fail("compiling the library failed");
    }
    for object in &objects {
        build.object(object);
    }
    build.compile("vmd_core");
}

#[cfg(not(feature = "bundled"))]
fn bundled(_: &str, _: &str) {
    unreachable!()
}

fn system() {
    println!("cargo:rerun-if-env-changed=PKG_CONFIG");
    println!("cargo:rerun-if-env-changed=PKG_CONFIG_PATH");
    println!("cargo:rerun-if-env-changed=PKG_CONFIG_LIBDIR");
    let pkg_config = env::var("PKG_CONFIG").unwrap_or_else(|_| "pkg-config".to_owned());
    let hint = "install libvm_detection (cmake --install build --prefix /usr/local, or the \
                libvm-detection-dev package), or set PKG_CONFIG_PATH to PREFIX/lib/pkgconfig";
    let output = match Command::new(&pkg_config).args(["--libs", "vm_detection"]).output() {
        Ok(output) => output,
        Err(e) => fail(&format!("cannot run {}: {}; it finds libvm_detection", pkg_config, e)),
    };
    if !output.status.success() {
        fail(&format!(
            "{} --libs vm_detection failed: {}\nvm-detection: {}",
            pkg_config,
            String::from_utf8_lossy(&output.stderr).trim(),
            hint
        ));
    }
    for flag in String::from_utf8_lossy(&output.stdout).split_whitespace() {
        if let Some(dir) = flag.strip_prefix("-L") {
            println!("cargo:rustc-link-search=native={}", dir);
        } else if let Some(name) = flag.strip_prefix("-l") {
            println!("cargo:rustc-link-lib=dylib={}", name);
        }
    }
}
