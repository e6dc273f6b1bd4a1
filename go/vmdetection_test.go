// Tests against the library of the same build: pkg-config and the loader
// must find it, and vmd-detect is taken from $VMD_DETECT or PATH.
package vmdetection

import (
	"encoding/json"
	"errors"
	"os"
	"os/exec"
	"path/filepath"
	"regexp"
	"strings"
	"sync"
	"testing"
)

func vmdDetect(t *testing.T, args ...string) string {
	t.Helper()
	tool := os.Getenv("VMD_DETECT")
	if tool == "" {
		var err error
		if tool, err = exec.LookPath("vmd-detect"); err != nil {
			t.Fatal("vmd-detect not found: set VMD_DETECT or PATH")
		}
	}
	out, err := exec.Command(tool, args...).Output()
	if err != nil {
		t.Fatalf("%s %v: %v", tool, args, err)
	}
	return strings.TrimSuffix(string(out), "\n")
}

// encode writes a typed report back out; MarshalJSON writes it as the
// library does, so it must give the library's text back.
func encode(r *Report) string {
	out, err := json.Marshal(r)
	if err != nil {
		return err.Error()
	}
	return string(out)
}

var varying = regexp.MustCompile(`("duration_us":|"detail":"cpuid )[0-9]+`)

// comparable blanks what differs between runs: the duration and the cycle
// count of the timing evidence.
func comparable(report string) string { return varying.ReplaceAllString(report, "${1}_") }

func TestReportIsTheLibraryJSON(t *testing.T) {
	r, err := Detect()
	if err != nil {
		t.Fatal(err)
	}
	if got := encode(r); got != r.Raw {
		t.Errorf("typed report\n%s\ndiffers from its JSON\n%s", got, r.Raw)
	}
	if got, want := comparable(encode(r)), comparable(vmdDetect(t)); got != want {
		t.Errorf("typed report\n%s\ndiffers from vmd-detect's\n%s", got, want)
	}
	if v := Version(); v != r.ModuleVersion || v != "1.0.0" {
		t.Errorf("Version() %q, module_version %q", v, r.ModuleVersion)
	}
}

func TestBytesAbove0x7FComeBackAsRead(t *testing.T) {
	root := t.TempDir()
	data := "hv\xc3\xa9\xff\"\\\x01"
	if err := os.MkdirAll(filepath.Join(root, "sys/hypervisor"), 0o755); err != nil {
		t.Fatal(err)
	}
	if err := os.WriteFile(filepath.Join(root, "sys/hypervisor/type"), []byte(data), 0o644); err != nil {
		t.Fatal(err)
	}
	raw := vmdDetect(t, "--root", root)
	if !strings.Contains(raw, `"hv\u00c3\u00a9\u00ff\"\\\u0001"`) {
		t.Fatalf("no escaped detail in %s", raw)
	}
	r, err := Parse(raw)
	if err != nil {
		t.Fatal(err)
	}
	found := false
	for _, e := range r.Evidence {
		found = found || (e.Source == "hypervisor" && e.Detail == data)
	}
	if !found || encode(r) != raw {
		t.Errorf("detail %q not given back byte for byte: %+v", data, r.Evidence)
	}
}

func TestEightGoroutinesAtOnceGetTheSameReport(t *testing.T) {
	first, err := Detect()
	if err != nil {
		t.Fatal(err)
	}
	want := comparable(first.Raw)
	var wg sync.WaitGroup
	failures := make(chan string, 8*25)
	for g := 0; g < 8; g++ {
		wg.Add(1)
		go func() {
			defer wg.Done()
			for i := 0; i < 25; i++ {
				r, err := Detect()
				if err != nil {
					failures <- err.Error()
				} else if got := comparable(encode(r)); got != want {
					failures <- got
				}
			}
		}()
	}
	wg.Wait()
	close(failures)
	for f := range failures {
		t.Errorf("want %s\ngot %s", want, f)
	}
}

func TestNullOutPointerIsStatus1(t *testing.T) {
	var e *Error
	if _, err := detectInto(nil); !errors.As(err, &e) || e.Status != StatusInvalidArgument {
		t.Errorf("got %v", err)
	}
}

func TestParseRefusesMalformedReports(t *testing.T) {
	r, err := Detect()
	if err != nil {
		t.Fatal(err)
	}
	for _, bad := range []string{
		strings.Replace(r.Raw, `"schema_version":1`, `"schema_version":2`, 1),
		regexp.MustCompile(`"vm_score":[0-9]+`).ReplaceAllString(r.Raw, `"vm_score":true`),
		strings.Replace(r.Raw, `"probes":`, `"probe":`, 1),
		strings.Replace(r.Raw, `"module_version":"1.0.0"`, `"module_version":"\u2603"`, 1),
		r.Raw[:len(r.Raw)-1],
	} {
		if _, err := Parse(bad); err == nil {
			t.Errorf("accepted %s", bad)
		}
	}
}
