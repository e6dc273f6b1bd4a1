package vmdetection

import (
	"os"
	"path/filepath"
	"regexp"
	"sort"
	"strings"
	"testing"
)

// The cgo build compiles what CMakeLists.txt lists for vmd_core, one
// lib_*.cpp per source, with its version and its static C++ runtime.
func TestBundledBuildFollowsCMake(t *testing.T) {
	read := func(name string) string {
		data, err := os.ReadFile(name)
		if err != nil {
			t.Fatal(err)
		}
		return string(data)
	}
	cmake := read("../CMakeLists.txt")
	core := regexp.MustCompile(`(?s)add_library\(vmd_core STATIC(.*?)\)`).FindStringSubmatch(cmake)
	if core == nil {
		t.Fatal("no vmd_core in CMakeLists.txt")
	}
	var want []string
	for _, source := range strings.Fields(core[1]) {
		name := "lib_" + strings.ReplaceAll(strings.TrimPrefix(source, "src/"), "/", "_")
		want = append(want, name)
		body := "//go:build !vmd_system\n\n#include \"version.h\"\n#include \"../" + source + "\"\n"
		if got := read(name); got != body {
			t.Errorf("%s is\n%s\nnot\n%s", name, got, body)
		}
	}
	got, _ := filepath.Glob("lib_*.c*")
	sort.Strings(got)
	sort.Strings(want)
	if strings.Join(got, " ") != strings.Join(want, " ") {
		t.Errorf("lib_*.cpp files %v, CMakeLists.txt's vmd_core %v", got, want)
	}
	version := regexp.MustCompile(`project\(vm_detection VERSION ([0-9.]+)`).FindStringSubmatch(cmake)
	if version == nil || !strings.Contains(read("version.h"), `#define VMD_VERSION "`+version[1]+`"`) {
		t.Errorf("version.h does not define CMakeLists.txt's version %v", version)
	}
	linked := regexp.MustCompile(`(?s)target_link_options\(vm_detection PRIVATE(.*?)\)`).FindStringSubmatch(cmake)
	ldflags := regexp.MustCompile(`#cgo LDFLAGS:(.*)`).FindStringSubmatch(read("cgo_bundled.go"))
	if linked == nil || ldflags == nil {
		t.Fatal("no link options")
	}
	for _, flag := range strings.Fields(linked[1]) {
		if strings.HasPrefix(flag, "-static-") && !strings.Contains(ldflags[1]+" ", " "+flag+" ") {
			t.Errorf("cgo LDFLAGS %q lack %s", ldflags[1], flag)
		}
	}
}

func TestVersionCheckReadsTheMajor(t *testing.T) {
	for v, ok := range map[string]bool{"1.0.0": true, "1.7.2-rc1": true, "2.0.0": false,
		"0.1.0": false, "11.0.0": false, "": false, "outstanding 0": false} {
		if err := checkVersion(v); (err == nil) != ok {
			t.Errorf("%q: %v", v, err)
		}
	}
}
