// Command gozip writes a module's version into a GOPROXY directory as the
// Go command would fetch it: DIR/MODULE/@v/ with list, VERSION.info,
// VERSION.mod and VERSION.zip, the zip made and checked by
// golang.org/x/mod/zip as go get itself checks it.
//
//	gozip -src TREE -version vX.Y.Z -time RFC3339 -out PROXYDIR
//
// Its own module, so that the library's module neither carries it nor
// needs x/mod; built in GOPATH mode from Debian's golang-golang-x-mod-dev.
package main

import (
	"bytes"
	"encoding/json"
	"flag"
	"fmt"
	"os"
	"path/filepath"
	"time"

	"golang.org/x/mod/modfile"
	"golang.org/x/mod/module"
	"golang.org/x/mod/zip"
)

func main() {
	src := flag.String("src", "", "the module's tree (a clean copy: everything in it goes in)")
	version := flag.String("version", "", "the version, vX.Y.Z")
	stamp := flag.String("time", "", "the version's time, RFC 3339")
	out := flag.String("out", "", "the proxy directory")
	flag.Parse()
	if err := run(*src, *version, *stamp, *out); err != nil {
		fmt.Fprintln(os.Stderr, "gozip:", err)
		os.Exit(1)
	}
}

func run(src, version, stamp, out string) error {
	gomod, err := os.ReadFile(filepath.Join(src, "go.mod"))
	if err != nil {
		return err
	}
	path := modfile.ModulePath(gomod)
	m := module.Version{Path: path, Version: version}
	if err := module.Check(path, version); err != nil {
		return err
	}
	when, err := time.Parse(time.RFC3339, stamp)
	if err != nil {
		return err
	}
	escaped, err := module.EscapePath(path)
	if err != nil {
		return err
	}
	dir := filepath.Join(out, filepath.FromSlash(escaped), "@v")
	if err := os.MkdirAll(dir, 0o755); err != nil {
		return err
	}
	var archive bytes.Buffer
	if err := zip.CreateFromDir(&archive, m, src); err != nil {
		return err
	}
	base := filepath.Join(dir, version)
	if err := os.WriteFile(base+".zip", archive.Bytes(), 0o644); err != nil {
		return err
	}
	// What go get checks again after the download: names, sizes, go.mod.
	if _, err := zip.CheckZip(m, base+".zip"); err != nil {
		return err
	}
	info, _ := json.Marshal(struct {
		Version string
		Time    time.Time
	}{version, when.UTC()})
	for name, data := range map[string][]byte{
		base + ".mod":              gomod,
		base + ".info":             info,
		filepath.Join(dir, "list"): []byte(version + "\n"),
	} {
		if err := os.WriteFile(name, data, 0o644); err != nil {
			return err
		}
	}
	return nil
}
