// Package vmdetection tells a Go program whether it runs in a virtual
// machine (and under which hypervisor), in a container, under WSL or on a
// cloud instance, with the evidence, through libvm_detection:
//
//	report, err := vmdetection.Detect()
//	if err != nil { ... }
//	fmt.Println(report.VMLikelihood, report.Hypervisors)
//
// The library does all the work; this package only calls it and turns its
// JSON report into the structs below, whose fields carry the report's
// member names in their JSON tags. The module carries the library's
// sources and cgo compiles them into the program; with the build tag
// vmd_system the package links the installed library instead.
//
// Strings hold bytes exactly as the probes read them. The library writes
// every byte outside printable ASCII as a \u00XX escape, and this package
// turns each escape back into that one byte, so a firmware string with the
// byte 0xE9 has the byte 0xE9 here: Detail need not be valid UTF-8 (print
// it with %q when in doubt). encoding/json writes a Report back as the
// library does, escapes included, and reads it as Parse does.
package vmdetection

// The library comes from cgo_bundled.go (its sources, compiled in) or,
// with the build tag vmd_system, from cgo_system.go (the installed one).

// #include <vm_detection.h>
import "C"

import (
	"fmt"
	"strconv"
	"strings"
)

// Report is one detection run's report, schema version 1.
type Report struct {
	SchemaVersion       int        `json:"schema_version"`
	ModuleVersion       string     `json:"module_version"`
	VMScore             int        `json:"vm_score"`
	VMLikelihood        string     `json:"vm_likelihood"`
	Hypervisors         []string   `json:"hypervisors"`
	Containers          []string   `json:"containers"`
	CompatibilityLayers []string   `json:"compatibility_layers"`
	HostHypervisors     []string   `json:"host_hypervisors"`
	CloudProviders      []string   `json:"cloud_providers"`
	Evidence            []Evidence `json:"evidence"`
	Probes              []Probe    `json:"probes"`
	DurationUS          int64      `json:"duration_us"`
	// Raw is the JSON text exactly as the library returned it.
	Raw string `json:"-"`
}

// Evidence is one finding.
type Evidence struct {
	Source   string `json:"source"`
	Category string `json:"category"`
	Vendor   string `json:"vendor"`
	Weight   int    `json:"weight"`
	Detail   string `json:"detail"`
}

// Probe is one attempted check and its outcome: "ok", "unavailable" or "error".
type Probe struct {
	Source string `json:"source"`
	Status string `json:"status"`
}

// Status codes of vmd_detect_json, as the C header names them (VMD_OK,
// VMD_INVALID_ARGUMENT, VMD_OUT_OF_MEMORY, VMD_INTERNAL_ERROR).
const (
	StatusOK              = 0
	StatusInvalidArgument = 1
	StatusOutOfMemory     = 2
	StatusInternalError   = 3
	// StatusInternalFailure is StatusInternalError's earlier name.
	StatusInternalFailure = StatusInternalError
)

// Error is a failed detection: the library returned Status (0 when it
// returned success but no report).
type Error struct {
	Status int
}

// Meaning describes the status in words.
func (e *Error) Meaning() string {
	switch e.Status {
	case StatusOK:
		return "success but no report"
	case StatusInvalidArgument:
		return "invalid argument: the output pointer was null"
	case StatusOutOfMemory:
		return "out of memory"
	case StatusInternalError:
		return "internal failure"
	}
	return "unknown status"
}

func (e *Error) Error() string {
	return fmt.Sprintf("vmd_detect_json failed with status %d: %s", e.Status, e.Meaning())
}

// Version returns the library's version, "1.0.0".
func Version() string {
	return C.GoString(C.vmd_version())
}

// MajorVersion is the major version of libvm_detection this package is
// written for; Detect refuses a library of another.
const MajorVersion = 1

// VersionError is a loaded library of another major version than
// MajorVersion: its report may not be the one this package reads.
type VersionError struct {
	Library string // what the library's vmd_version returned
	Want    int    // MajorVersion
}

func (e *VersionError) Error() string {
	return fmt.Sprintf("libvm_detection %q is loaded, but this package is built for major version %d",
		e.Library, e.Want)
}

func checkVersion(v string) error {
	major, _, _ := strings.Cut(v, ".")
	if n, err := strconv.Atoi(major); err != nil || n != MajorVersion {
		return &VersionError{Library: v, Want: MajorVersion}
	}
	return nil
}

// Detect runs one detection. Any number of goroutines may call it at once.
func Detect() (*Report, error) {
	if err := checkVersion(Version()); err != nil {
		return nil, err
	}
	var out *C.char
	raw, err := detectInto(&out)
	if err != nil {
		return nil, err
	}
	return Parse(raw)
}

// detectInto calls the library with out as its output pointer (nil asks
// for status 1) and frees whatever block it left there, on every path.
func detectInto(out **C.char) (string, error) {
	status := C.vmd_detect_json(out)
	var block *C.char
	if out != nil {
		block = *out
	}
	defer C.vmd_free(block)
	if status != StatusOK {
		return "", &Error{Status: int(status)}
	}
	if block == nil {
		return "", &Error{Status: StatusOK}
	}
	return C.GoString(block), nil
}
