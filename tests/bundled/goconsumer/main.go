// A program of one's own that go-gets the module: it prints the verdict,
// the vendor lists and the evidence of this machine's report, or of the
// report in the file it is given, as tests/bindings/summary.py does.
package main

import (
	"bufio"
	"fmt"
	"os"
	"strings"

	vmdetection "github.com/libvm-detection/libvm_detection/go"
)

func main() {
	var report *vmdetection.Report
	var err error
	if len(os.Args) > 1 {
		var text []byte
		if text, err = os.ReadFile(os.Args[1]); err == nil {
			report, err = vmdetection.Parse(string(text))
		}
	} else {
		report, err = vmdetection.Detect()
	}
	if err != nil {
		fmt.Fprintln(os.Stderr, "consumer:", err)
		os.Exit(1)
	}
	out := bufio.NewWriter(os.Stdout)
	defer out.Flush()
	fmt.Fprintf(out, "vm_likelihood: %s\nvm_score: %d\n", report.VMLikelihood, report.VMScore)
	for _, list := range []struct {
		name   string
		values []string
	}{
		{"hypervisors", report.Hypervisors},
		{"containers", report.Containers},
		{"compatibility_layers", report.CompatibilityLayers},
		{"host_hypervisors", report.HostHypervisors},
		{"cloud_providers", report.CloudProviders},
	} {
		fmt.Fprintf(out, "%s:%s\n", list.name, strings.Join(append([]string{""}, list.values...), " "))
	}
	for _, e := range report.Evidence {
		// Detail holds the bytes the probe read, written out as they are.
		fmt.Fprintf(out, "evidence: %s %s %s %d %s\n", e.Source, e.Category, e.Vendor, e.Weight, e.Detail)
	}
}
