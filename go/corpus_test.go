// The report corpus that every binding's tests walk: tests/reports, or
// $VMD_REPORTS.
package vmdetection

import (
	"encoding/json"
	"errors"
	"os"
	"path/filepath"
	"reflect"
	"strings"
	"testing"
)

func corpus(t *testing.T, kind string) map[string]string {
	t.Helper()
	dir := os.Getenv("VMD_REPORTS")
	if dir == "" {
		dir = "../tests/reports"
	}
	files, err := filepath.Glob(filepath.Join(dir, kind, "*.json"))
	if err != nil || len(files) < 10 {
		t.Fatalf("the %s reports of %s: %v, %d files", kind, dir, err, len(files))
	}
	texts := map[string]string{}
	for _, f := range files {
		text, err := os.ReadFile(f)
		if err != nil {
			t.Fatal(err)
		}
		texts[filepath.Base(f)] = string(text)
	}
	return texts
}

func withoutRaw(r Report) Report {
	r.Raw = ""
	return r
}

func TestValidReportsComeBackThroughEncodingJSON(t *testing.T) {
	for name, text := range corpus(t, "valid") {
		r, err := Parse(text)
		if err != nil {
			t.Errorf("%s: %v", name, err)
			continue
		}
		// The library's own reports are written back byte for byte.
		if library, _ := r.MarshalJSON(); strings.HasPrefix(name, "library_") &&
			string(library) != strings.TrimSuffix(text, "\n") {
			t.Errorf("%s: written back as\n%s", name, library)
		}
		out, err := json.Marshal(r)
		if err != nil {
			t.Errorf("%s: %v", name, err)
			continue
		}
		if strings.IndexFunc(string(out), func(c rune) bool { return c >= 0x7f }) >= 0 {
			t.Errorf("%s: json.Marshal wrote bytes outside ASCII: %q", name, out)
		}
		again, err := Parse(string(out))
		var read Report
		if err := json.Unmarshal(out, &read); err != nil {
			t.Errorf("%s: json.Unmarshal: %v", name, err)
		}
		if err != nil || !reflect.DeepEqual(withoutRaw(*again), withoutRaw(*r)) ||
			!reflect.DeepEqual(withoutRaw(read), withoutRaw(*r)) {
			t.Errorf("%s: %v, read back from\n%s\nas\n%+v\n%+v\nnot\n%+v", name, err, out, again, read, r)
		}
		// And what it holds, on its own.
		var evidence []Evidence
		var probes []Probe
		parts, _ := json.Marshal([]any{r.Evidence, r.Probes})
		if err := json.Unmarshal(parts, &[]any{&evidence, &probes}); err != nil ||
			!reflect.DeepEqual(evidence, r.Evidence) || !reflect.DeepEqual(probes, r.Probes) {
			t.Errorf("%s: %v, read back from\n%s\nas %+v, %+v", name, err, parts, evidence, probes)
		}
	}
}

func TestInvalidReportsAreParseErrors(t *testing.T) {
	for name, text := range corpus(t, "invalid") {
		r, err := Parse(text)
		var parseErr *ParseError
		if !errors.Is(err, ErrParse) || !errors.As(err, &parseErr) || r != nil {
			t.Errorf("%s: got %v, report %t", name, err, r != nil)
		}
		if err := json.Unmarshal([]byte(text), new(Report)); err == nil {
			t.Errorf("%s: json.Unmarshal accepted it", name)
		}
	}
	// The decoder's own error stays reachable.
	var syntax *json.SyntaxError
	if _, err := Parse(`{"schema_version":1,}`); !errors.As(err, &syntax) {
		t.Errorf("got %v", err)
	}
}
