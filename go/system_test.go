//go:build vmd_system

// Tests that only the installed library allows: another library in its
// place through the loader.
package vmdetection

import (
	"errors"
	"fmt"
	"os"
	"os/exec"
	"path/filepath"
	"strings"
	"testing"
)

// The stub library stands in for the real one in a child run of this test
// binary: the loader picks it up through LD_LIBRARY_PATH.
func TestStatusesBecomeErrorsThroughAStubLibrary(t *testing.T) {
	source := os.Getenv("VMD_STUB_SOURCE")
	if source == "" {
		source = "../tests/bindings/stub_library.c"
	}
	dir := t.TempDir()
	cc := os.Getenv("CC")
	if cc == "" {
		cc = "cc"
	}
	build := exec.Command(cc, "-shared", "-fPIC", "-o", filepath.Join(dir, "libvm_detection.so.1"), source)
	if out, err := build.CombinedOutput(); err != nil {
		t.Fatalf("building the stub: %v\n%s", err, out)
	}
	child := exec.Command(os.Args[0], "-test.run=^TestStubChild$", "-test.v")
	child.Env = append(os.Environ(), "VMD_STUB_CHILD=1", "LD_LIBRARY_PATH="+dir)
	out, err := child.CombinedOutput()
	if err != nil || !strings.Contains(string(out), "--- PASS: TestStubChild") {
		t.Errorf("child run: %v\n%s", err, out)
	}
}

func TestStubChild(t *testing.T) {
	if os.Getenv("VMD_STUB_CHILD") == "" {
		t.Skip("run by TestStatusesBecomeErrorsThroughAStubLibrary")
	}
	// A library of another major version is refused before it runs.
	for _, stated := range []string{"2.0.0", "0.9.1"} {
		os.Setenv("VMD_STUB_VERSION", stated)
		var v *VersionError
		if r, err := Detect(); !errors.As(err, &v) || r != nil ||
			!strings.Contains(err.Error(), stated) || !strings.Contains(err.Error(), "major version 1") {
			t.Errorf("version %s: got %v, %v", stated, r, err)
		}
	}
	os.Setenv("VMD_STUB_VERSION", "1.0.0")
	for _, status := range []int{1, 2, 3, 9} {
		os.Setenv("VMD_STUB_STATUS", fmt.Sprint(status))
		var e *Error
		if r, err := Detect(); !errors.As(err, &e) || e.Status != status || r != nil {
			t.Errorf("status %d: got %v, %v", status, r, err)
		} else if !strings.Contains(err.Error(), e.Meaning()) {
			t.Errorf("status %d: message %q", status, err)
		}
	}
	os.Setenv("VMD_STUB_STATUS", "0")
	if r, err := Detect(); err != nil || r.VMLikelihood != "unknown" {
		t.Errorf("status 0: got %v, %v", r, err)
	}
	if v := Version(); v != "1.0.0 outstanding 0" {
		t.Errorf("blocks not freed: %s", v)
	}
}
